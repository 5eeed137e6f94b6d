#include "app/AppModel.h"

#include "app/Configuration.h"
#include "process/CLIService.h"
#include "updates/AgentVersion.h"

#include <QDir>
#include <QUrl>

namespace {

const QString updateFailed = QStringLiteral("AGENT_UPDATE_FAILED");
const QString restartFailed = QStringLiteral("AGENT_RESTART_FAILED");

void ignoreOutput(const QString &) {}

} // namespace

QCoro::Task<void> AppModel::checkAgentUpdate(std::optional<QString> currentVersion)
{
    QPointer<AppModel> self(this);
    if (!configurationReady() || !AgentVersion::sanitized(currentVersion))
        co_return;
    // One registry question per distinct running version, whatever its answer.
    if (agentVersionChecked == currentVersion || agentUpdateCheckInFlight)
        co_return;
    agentVersionChecked = currentVersion;
    agentUpdateCheckInFlight = true;

    std::optional<QString> offered;
    try {
        offered = co_await effects.agentUpdateVersion();
    } catch (...) {
        offered = std::nullopt; // the probe never fails by contract; a substitute might
    }
    if (!self)
        co_return;
    if (offered && AgentVersion::isNewer(*offered, *currentVersion))
        availableAgentVersion = offered;
    else
        availableAgentVersion = std::nullopt;
    agentUpdateCheckInFlight = false;
}

QCoro::Task<bool> AppModel::runCLIAction(QString script, QString failureCode)
{
    QPointer<AppModel> self(this);
    try {
        const CLIResult result = co_await effects.runScript(script, ignoreOutput);
        if (!self)
            co_return false;
        if (result.status == 0)
            co_return true;
        fail(failureCode, safeErrorMessage(result.lastErrorLine));
    } catch (const QuorvantisNativeError &error) {
        if (self)
            fail(error.code, error.message);
    } catch (...) {
        if (self)
            fail(failureCode);
    }
    co_return false;
}

QCoro::Task<void> AppModel::updateAgent()
{
    QPointer<AppModel> self(this);
    if (!configurationReady() || isUpdatingAgent())
        co_return;
    isUpdatingAgent = true;
    const std::optional<QString> target = availableAgentVersion();

    const bool updated = co_await runCLIAction(CLIService::agentUpdateScript(), updateFailed);
    if (!self)
        co_return;
    if (!updated) {
        isUpdatingAgent = false;
        co_return;
    }

    // The new package only runs once the daemon is reinstalled and restarted.
    try {
        const CLIResult result = co_await effects.daemonInstall(ignoreOutput);
        if (!self)
            co_return;
        if (result.status != 0) {
            fail(updateFailed, safeErrorMessage(result.lastErrorLine));
            isUpdatingAgent = false;
            co_return;
        }
    } catch (const QuorvantisNativeError &error) {
        if (!self)
            co_return;
        fail(error.code, error.message);
        isUpdatingAgent = false;
        co_return;
    } catch (...) {
        if (!self)
            co_return;
        fail(updateFailed);
        isUpdatingAgent = false;
        co_return;
    }

    // Hide the offer of what was just installed even if the agent still reports its old version.
    dismissedAgentVersion = target;
    availableAgentVersion = std::nullopt;
    agentVersionChecked = std::nullopt;
    didRecheckExistingPermissions = false;

    co_await recoverExistingConfigurationIfNeeded();
    if (!self)
        co_return;
    co_await refreshAgentStatus();
    if (!self)
        co_return;
    isUpdatingAgent = false;
}

QCoro::Task<void> AppModel::perform(RecoveryAction action)
{
    QPointer<AppModel> self(this);
    using Kind = RecoveryAction::Kind;
    switch (action.kind) {
    case Kind::openSystemSettings:
        if (action.permission)
            permissionPromptKind = action.permission;
        else
            effects.openSystemSettings(std::nullopt);
        break;
    case Kind::none:
        break;
    case Kind::enterInstallCode:
        requestFocus(FocusTarget::setupCode());
        break;
    case Kind::retryInstall:
        if (installStage)
            co_await resumeInstalledConfiguration();
        else if (configurationReady())
            co_await recoverExistingConfigurationIfNeeded();
        else
            requestFocus(FocusTarget::setupCode());
        break;
    case Kind::restartAgent:
        try {
            const CLIResult result = co_await effects.daemonInstall(ignoreOutput);
            if (!self)
                co_return;
            if (result.status == 0) {
                lastError = std::nullopt;
                co_await refreshAgentStatus();
            } else {
                fail(restartFailed, safeErrorMessage(result.lastErrorLine));
            }
        } catch (const QuorvantisNativeError &error) {
            if (self)
                fail(error.code, error.message);
        } catch (...) {
            if (self)
                fail(restartFailed);
        }
        break;
    case Kind::openLogs:
        effects.openURL(QUrl::fromLocalFile(CLIService::ensureLogsDirectory()));
        break;
    case Kind::checkForUpdates:
        effects.openURL(QUrl(Configuration::releasesPageURL()));
        break;
    case Kind::recheckPermissions:
        co_await refreshExistingPermissions();
        break;
    }
}

bool AppModel::showsAgentUpdateBanner() const
{
    return availableAgentVersion() && availableAgentVersion() != dismissedAgentVersion;
}

QString AppModel::agentUpdateBannerText() const
{
    const auto version = availableAgentVersion();
    return version ? QStringLiteral("Agent ") + *version + QStringLiteral(" 可更新") : QString();
}

void AppModel::dismissAgentUpdate()
{
    dismissedAgentVersion = availableAgentVersion();
    // Plain state: announce it so the banner hides at once.
    Q_EMIT willChange();
}
