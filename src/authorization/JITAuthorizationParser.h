#pragma once

#include <QString>
#include <QStringView>
#include <QUrl>

#include <optional>

// The credentials of a freshly created workspace account and the page where its owner grants
// the agent access. Lives only in memory: never persisted, never logged.
struct JITWorkspaceAuthorization
{
    QString provider; // "google" or "zoho"
    QString email;
    QString password;
    QUrl authURL;

    bool operator==(const JITWorkspaceAuthorization &) const = default;
};

// Recognises a just-in-time workspace authorization request in the output of one setup run,
// either as the account-created / e-mail / password lines followed by the authorization URL,
// or as a single JSON event line. One parser per run; it redacts nothing and logs nothing.
class JITAuthorizationOutputParser
{
public:
    // Takes one trimmed output line, in output order.
    std::optional<JITWorkspaceAuthorization> consume(const QString &line);

    // A complete JSON authorization event, or nothing.
    static std::optional<JITWorkspaceAuthorization> jsonEvent(const QString &line);

    // The URL when it is an authorization page of the provider that sends the owner back to
    // the onboarding service; nothing otherwise.
    static std::optional<QUrl> validatedAuthorizationURL(const QString &string, const QString &provider);

    // User-perceived characters (extended grapheme clusters).
    static qsizetype characterCount(QStringView text);

    std::optional<QString> pendingProvider;
    std::optional<QString> pendingEmail;
    std::optional<QString> pendingPassword;
};
