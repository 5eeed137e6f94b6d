#include "recovery/RecoveryController.h"

#include "core/Configuration.h"
#include "model/AgentDaemon.h"
#include "model/Attention.h"
#include "model/InstallJourney.h"
#include "process/InstallLog.h"

#include <QPointer>
#include <QUrl>

RecoveryController::RecoveryController(ModelContext context, Effects effects, Links links, QObject *parent)
    : QObject(parent), m_context(std::move(context)), m_effects(std::move(effects)), m_links(std::move(links))
{
}

std::optional<AgentOperation> RecoveryController::operationOf(RecoveryAction::Kind kind)
{
    using Kind = RecoveryAction::Kind;
    switch (kind) {
    case Kind::retryInstall: return AgentOperation::resumeInstallation;
    case Kind::restartAgent: return AgentOperation::restartAgent;
    case Kind::recheckPermissions: return AgentOperation::checkPermissions;
    case Kind::openSystemSettings:
    case Kind::none:
    case Kind::enterInstallCode:
    case Kind::openLogs:
    case Kind::checkForUpdates:
        break;
    }
    return std::nullopt;
}

QCoro::Task<void> RecoveryController::perform(RecoveryAction action)
{
    QPointer<RecoveryController> self(this);
    using Kind = RecoveryAction::Kind;
    if (operationOf(action.kind))
        attention().clearNotice();
    const InstallJourney &journey = *m_context.journey;
    switch (action.kind) {
    case Kind::openSystemSettings:
        if (action.permission)
            m_links.presentPermissionPrompt(*action.permission);
        else if (m_links.openSystemSettings)
            co_await m_links.openSystemSettings();
        break;
    case Kind::none:
        break;
    case Kind::enterInstallCode:
        attention().requestFocus(FocusTarget::setupCode());
        break;
    case Kind::retryInstall:
        if (journey.installStage())
            co_await m_links.resumeInstallation();
        else if (journey.configurationReady())
            co_await m_links.recoverExistingConfiguration();
        else
            attention().requestFocus(FocusTarget::setupCode());
        break;
    case Kind::restartAgent:
        co_await restartAgent();
        break;
    case Kind::openLogs: {
        const QString folder = InstallLog::ensureLogsDirectory();
        QUrl url = QUrl::fromLocalFile(folder);
        QString instead = tr("无法打开日志目录，请在文件管理器中打开：%1").arg(folder);
        co_await openOrSay(std::move(url), std::move(instead));
        break;
    }
    case Kind::checkForUpdates: {
        const QString page = Configuration::releasesPageURL();
        QUrl url(page);
        QString instead = tr("无法打开浏览器，请复制链接在浏览器中打开：%1").arg(page);
        co_await openOrSay(std::move(url), std::move(instead));
        break;
    }
    case Kind::recheckPermissions:
        co_await m_links.refreshExistingPermissions();
        // A probe that could not run has said so in the line already.
        if (self && !attention().notice())
            attention().showNotice(tr("已重新检查权限"));
        break;
    }
}

QCoro::Task<void> RecoveryController::restartAgent()
{
    QPointer<RecoveryController> self(this);
    const bool restarted = co_await m_context.daemon->install(AgentDaemon::Purpose::restart);
    if (!self || !restarted)
        co_return;
    attention().clearError();
    attention().appendActivity(tr("Agent 已重启"), ActivityEvent::Source::system);
    attention().showNotice(tr("已重启 Agent"));
    co_await m_links.refreshAgentStatus();
}

QCoro::Task<void> RecoveryController::openOrSay(QUrl url, QString failure)
{
    QPointer<RecoveryController> self(this);
    bool opened = false;
    try {
        if (m_effects.openURL)
            opened = co_await m_effects.openURL(url);
    } catch (...) {
        opened = false;
    }
    if (!self)
        co_return;
    if (opened)
        attention().clearNotice();
    else
        attention().showNotice(failure);
}
