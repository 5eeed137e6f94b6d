#include "updates/UpdateController.h"

#include "core/Configuration.h"
#include "model/Attention.h"
#include "model/InFlight.h"
#include "model/InstallJourney.h"
#include "process/CLIService.h"
#include "process/InstallLog.h"
#include "updates/AgentVersion.h"

#include <QPointer>
#include <QUrl>

namespace {

const QString updateFailed = QStringLiteral("AGENT_UPDATE_FAILED");
const QString restartFailed = QStringLiteral("AGENT_RESTART_FAILED");

void ignoreOutput(const QString &) {}

} // namespace

UpdateController::UpdateController(ModelContext context, Effects effects, Links links, QObject *parent)
    : QObject(parent),
      m_context(std::move(context)),
      m_effects(std::move(effects)),
      m_links(std::move(links)),
      m_isUpdatingAgent(m_context.announce, false),
      m_availableAgentVersion(m_context.announce)
{
}

QCoro::Task<void> UpdateController::checkAgentUpdate(std::optional<QString> currentVersion)
{
    QPointer<UpdateController> self(this);
    if (!journey().configurationReady() || !AgentVersion::sanitized(currentVersion))
        co_return;
    // One registry question per distinct running version, whatever its answer.
    if (m_agentVersionChecked == currentVersion || m_agentUpdateCheckInFlight)
        co_return;
    m_agentVersionChecked = currentVersion;
    InFlight checking(this, m_agentUpdateCheckInFlight);

    std::optional<QString> offered;
    try {
        offered = co_await m_effects.agentUpdateVersion();
    } catch (...) {
        offered = std::nullopt; // the probe never fails by contract; a substitute might
    }
    if (!self)
        co_return;
    if (offered && AgentVersion::isNewer(*offered, *currentVersion))
        m_availableAgentVersion = offered;
    else
        m_availableAgentVersion = std::nullopt;
}

QCoro::Task<bool> UpdateController::runCLIAction(QString script, QString failureCode)
{
    QPointer<UpdateController> self(this);
    std::optional<CLIResult> result;
    std::exception_ptr error;
    try {
        result = co_await m_effects.runScript(script, ignoreOutput);
    } catch (...) {
        error = std::current_exception();
    }
    if (!self)
        co_return false;
    if (!error && result->status == 0)
        co_return true;
    m_context.fail(error ? Failure::from(error, failureCode) : Failure::forExit(failureCode, *result));
    co_return false;
}

QCoro::Task<void> UpdateController::updateAgent()
{
    QPointer<UpdateController> self(this);
    if (!journey().configurationReady() || isUpdatingAgent())
        co_return;
    InFlight updating(this, m_isUpdatingAgent);
    const std::optional<QString> target = availableAgentVersion();

    const bool updated = co_await runCLIAction(CLIService::agentUpdateScript(), updateFailed);
    if (!self || !updated)
        co_return;

    // The new package only runs once the daemon is reinstalled and restarted.
    std::optional<CLIResult> result;
    std::exception_ptr error;
    try {
        result = co_await m_effects.daemonInstall(ignoreOutput);
    } catch (...) {
        error = std::current_exception();
    }
    if (!self)
        co_return;
    if (error || result->status != 0) {
        m_context.fail(error ? Failure::from(error, updateFailed) : Failure::forExit(updateFailed, *result));
        co_return;
    }

    // Hide the offer of what was just installed even if the agent still reports its old version.
    m_dismissedAgentVersion = target;
    m_availableAgentVersion = std::nullopt;
    m_agentVersionChecked = std::nullopt;
    m_links.allowExistingPermissionRecheck();

    co_await m_links.recoverExistingConfiguration();
    if (!self)
        co_return;
    co_await m_links.refreshAgentStatus();
}

QCoro::Task<void> UpdateController::perform(RecoveryAction action)
{
    QPointer<UpdateController> self(this);
    using Kind = RecoveryAction::Kind;
    switch (action.kind) {
    case Kind::openSystemSettings:
        if (action.permission)
            m_links.presentPermissionPrompt(*action.permission);
        else
            m_effects.openSystemSettings(std::nullopt);
        break;
    case Kind::none:
        break;
    case Kind::enterInstallCode:
        attention().requestFocus(FocusTarget::setupCode());
        break;
    case Kind::retryInstall:
        if (journey().stage())
            co_await m_links.resumeInstallation();
        else if (journey().configurationReady())
            co_await m_links.recoverExistingConfiguration();
        else
            attention().requestFocus(FocusTarget::setupCode());
        break;
    case Kind::restartAgent: {
        std::optional<CLIResult> result;
        std::exception_ptr error;
        try {
            result = co_await m_effects.daemonInstall(ignoreOutput);
        } catch (...) {
            error = std::current_exception();
        }
        if (!self)
            co_return;
        if (error || result->status != 0) {
            m_context.fail(error ? Failure::from(error, restartFailed) : Failure::forExit(restartFailed, *result));
            break;
        }
        attention().clearError();
        co_await m_links.refreshAgentStatus();
        break;
    }
    case Kind::openLogs:
        m_effects.openURL(QUrl::fromLocalFile(InstallLog::ensureLogsDirectory()));
        break;
    case Kind::checkForUpdates:
        m_effects.openURL(QUrl(Configuration::releasesPageURL()));
        break;
    case Kind::recheckPermissions:
        co_await m_links.refreshExistingPermissions();
        break;
    }
}

bool UpdateController::showsAgentUpdateBanner() const
{
    return availableAgentVersion() && availableAgentVersion() != m_dismissedAgentVersion;
}

QString UpdateController::agentUpdateBannerText() const
{
    const auto version = availableAgentVersion();
    return version ? QStringLiteral("Agent ") + *version + QStringLiteral(" 可更新") : QString();
}

void UpdateController::dismissAgentUpdate()
{
    m_dismissedAgentVersion = availableAgentVersion();
    // Plain state: announce it so the banner hides at once.
    m_context.announce();
}
