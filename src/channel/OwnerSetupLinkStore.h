#pragma once

#include "model/ModelTypes.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <optional>

// The last binding link, kept in the user's keychain per profile directory so that a restart
// in the channel stage shows the same link instead of invalidating it with a new one.
// Every keychain failure is silent: a failed save keeps what was there (or nothing), a failed
// load reads as no link.
class OwnerSetupLinkStore
{
public:
    static QString defaultService();

    OwnerSetupLinkStore(QString service, QString account);
    // The store of a profile directory: the account is its standardised absolute path.
    static OwnerSetupLinkStore forProfileDirectory(const QString &profileDirectory);
    static QString standardizedPath(const QString &path);

    const QString &service() const { return m_service; }
    const QString &account() const { return m_account; }

    // Both copy what they need, so the store itself may go away while they run.
    QCoro::Task<std::optional<OwnerSetupLink>> load() const;
    // Deletes the entry, then adds the given link (if any).
    QCoro::Task<void> save(std::optional<OwnerSetupLink> link) const;

    // The raw item value; absent when there is none or the keychain failed.
    static QCoro::Task<std::optional<QByteArray>> readData(QString service, QString account);
    // Replaces the raw item value (absent: only deletes). Returns whether the keychain reported success.
    static QCoro::Task<bool> writeData(QString service, QString account, std::optional<QByteArray> data);

    // Why the keychain cannot be used now (no Secret Service, a locked or refused keychain);
    // absent when it answers.
    static QCoro::Task<std::optional<QString>> keychainProblem(QString profileDirectory);

private:
    QString m_service;
    QString m_account;
};
