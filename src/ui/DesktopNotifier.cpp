#include "ui/DesktopNotifier.h"

#include "app/AppModel.h"
#include "app/ProfileFiles.h"
#include "platform/Bundle.h"
#include "ui/Symbols.h"
#include "ui/Views.h"

#include <QSystemTrayIcon>
#include <QUrl>

#ifdef QUORVANTIS_WITH_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#endif

namespace {

DesktopNotifier::Notice notice(DesktopNotifier::Event event, const QString &detail = {})
{
    using Event = DesktopNotifier::Event;
    switch (event) {
    case Event::agentOffline:
        return {event, DesktopNotifier::tr("Quorvantis Agent 已离线"),
                DesktopNotifier::tr("暂时无法连接到 Agent，Quorvantis 会继续尝试。也可以在状态面板中重启 Agent。")};
    case Event::agentBack:
        return {event, DesktopNotifier::tr("Quorvantis Agent 已恢复在线"), DesktopNotifier::tr("Agent 已重新连接。")};
    case Event::errorNeedsUser:
        return {event, DesktopNotifier::tr("Quorvantis 需要处理"), detail};
    case Event::permissionRevoked:
        return {event, DesktopNotifier::tr("权限已被关闭"),
                DesktopNotifier::tr("%1权限已被关闭，Agent 的部分功能将无法使用。请打开 Quorvantis 重新授权。").arg(detail)};
    case Event::updateOffered:
        return {event, DesktopNotifier::tr("Agent 有新版本"), DesktopNotifier::tr("Agent %1 可更新，打开 Quorvantis 即可更新。").arg(detail)};
    }
    return {event, {}, {}};
}

} // namespace

DesktopNotifier::DesktopNotifier(AppModel *model, Options options, QObject *parent)
    : QObject(parent), m_model(model), m_options(std::move(options)), m_seen(observe(*model))
{
    new ModelObserver(model, this, [this] { evaluate(); });
}

DesktopNotifier::Observed DesktopNotifier::observe(const AppModel &model)
{
    Observed now;
    now.agentConnected = model.status().statusSnapshot().bridgeConnected;
    if (const auto &error = model.attention().lastError()) {
        now.errorKey = error->code + u'\n' + error->message + u'\n' + error->detail.value_or(QString());
        now.errorMessage = error->message;
    }
    for (const AppModel::PermissionItem &item : model.permissions().permissions()) {
        if (item.nativeState == AppModel::PermissionNativeState::granted)
            now.granted.insert(item.rule.kind);
        else if (item.nativeState == AppModel::PermissionNativeState::notGranted)
            now.denied.insert(item.rule.kind);
    }
    if (model.updates().showsAgentUpdateBanner())
        now.offeredVersion = model.updates().availableAgentVersion();
    return now;
}

QList<DesktopNotifier::Notice> DesktopNotifier::noticesFor(const Observed &now)
{
    QList<Notice> notices;
    if (m_seen.agentConnected && !now.agentConnected) {
        m_agentWentOffline = true;
        notices.append(notice(Event::agentOffline));
    } else if (!m_seen.agentConnected && now.agentConnected && m_agentWentOffline) {
        m_agentWentOffline = false;
        notices.append(notice(Event::agentBack));
    }

    if (!now.errorKey.isEmpty() && now.errorKey != m_seen.errorKey)
        notices.append(notice(Event::errorNeedsUser, now.errorMessage));

    QStringList revoked;
    for (const PermissionKind kind : allCases<PermissionKind>()) {
        if (m_seen.granted.contains(kind) && now.denied.contains(kind))
            revoked.append(PermissionKinds::title(kind));
    }
    if (!revoked.isEmpty())
        notices.append(notice(Event::permissionRevoked, revoked.join(tr("、"))));

    if (now.offeredVersion && now.offeredVersion != m_offeredVersionShown) {
        m_offeredVersionShown = now.offeredVersion;
        notices.append(notice(Event::updateOffered, *now.offeredVersion));
    }
    m_seen = now;
    return notices;
}

void DesktopNotifier::evaluate()
{
    // The state is taken in even when nothing is shown, so that it is not announced later.
    const QList<Notice> notices = noticesFor(observe(*m_model));
    if (notices.isEmpty() || (m_options.windowActive && m_options.windowActive())
        || !ProfileFiles::notificationsEnabled(ProfileFiles::profileDirectory(*m_model)))
        return;
    for (const Notice &each : notices)
        deliver(each);
}

void DesktopNotifier::deliver(const Notice &notice)
{
    m_shown.append(notice);
    QSystemTrayIcon *tray = m_options.tray;
    if (tray && tray->isVisible() && QSystemTrayIcon::supportsMessages()) {
        tray->showMessage(notice.title, notice.body, Symbols::quorvantisLogo());
        return;
    }
#ifdef QUORVANTIS_WITH_DBUS
    notifyService(notice);
#endif
}

#ifdef QUORVANTIS_WITH_DBUS
void DesktopNotifier::notifyService(const Notice &notice)
{
    const bool agentNotice = notice.event == Event::agentOffline || notice.event == Event::agentBack;
    // "Back online" replaces "offline" by the id the service gave it: while that id is still on
    // its way, the next agent notice waits for it (only the newest one).
    if (agentNotice && m_agentNoticePending) {
        m_agentNoticeQueued = notice;
        return;
    }
    const auto logo = Bundle::resourcePath(QStringLiteral("QuorvantisMark"), QStringLiteral("png"));
    const QString icon = logo ? QUrl::fromLocalFile(*logo).toString() : QStringLiteral("dev.quorvantis.Companion");
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("dev.quorvantis.Companion")}};
    call << QStringLiteral("Quorvantis") << (agentNotice ? m_agentNoticeId : 0u) << icon << notice.title << notice.body
         << QStringList() << hints << qint32(-1);
    // Never wait for the desktop: a missing or slow service only costs the notice.
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    if (agentNotice)
        m_agentNoticePending = true;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, agentNotice] {
        const QDBusPendingReply<uint> reply = *watcher;
        watcher->deleteLater();
        if (!agentNotice)
            return;
        if (reply.isValid())
            m_agentNoticeId = reply.value();
        m_agentNoticePending = false;
        if (const std::optional<Notice> next = std::exchange(m_agentNoticeQueued, std::nullopt))
            notifyService(*next);
    });
}
#endif
