#pragma once

#include "permissions/PermissionKind.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

class AppModel;
class QSystemTrayIcon;

// Tells the user, outside the window, what needs them: the agent went offline or came back,
// an error waits for them, a permission was taken away, an agent update is offered. Through
// the tray icon where there is one, the desktop's notification service otherwise. One notice
// per change of state, none while the main window is active or once the user turned them off.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    enum class Event { agentOffline, agentBack, errorNeedsUser, permissionRevoked, updateOffered };

    struct Notice
    {
        Event event;
        QString title;
        QString body;
    };

    struct Options
    {
        QSystemTrayIcon *tray = nullptr;
        std::function<bool()> windowActive;
    };

    DesktopNotifier(AppModel *model, Options options, QObject *parent = nullptr);

    // Every notice shown so far, in order (what the tray or the service was handed).
    const QList<Notice> &shown() const { return m_shown; }

private:
    // What the notices are decided from, read from the model.
    struct Observed
    {
        bool agentConnected = false;
        QString errorKey;
        QString errorMessage;
        QSet<PermissionKind> granted;
        QSet<PermissionKind> denied;
        std::optional<QString> offeredVersion;
    };
    static Observed observe(const AppModel &model);
    QList<Notice> noticesFor(const Observed &now);
    void evaluate();
    void deliver(const Notice &notice);
#ifdef QUORVANTIS_WITH_DBUS
    void notifyService(const Notice &notice);
#endif

    AppModel *m_model;
    Options m_options;
    Observed m_seen;
    bool m_agentWentOffline = false;
    std::optional<QString> m_offeredVersionShown;
    // The service's id of the last agent notice, so that "back online" replaces "offline".
    uint m_agentNoticeId = 0;
    bool m_agentNoticePending = false;
    std::optional<Notice> m_agentNoticeQueued;
    QList<Notice> m_shown;
};
