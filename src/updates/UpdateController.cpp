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

// A run another part of the model holds is waited for this many times before its refusal stands.
constexpr int maximumRunnerWaits = 20;

bool runsInTheBackground(RecoveryAction::Kind kind)
{
    using Kind = RecoveryAction::Kind;
    return kind == Kind::retryInstall || kind == Kind::restartAgent || kind == Kind::recheckPermissions;
}

} // namespace

// Shows a recovery action as running for as long as it lives (and only while its controller does).
class UpdateController::Running
{
public:
    Running(UpdateController *owner, RecoveryAction::Kind kind) : m_owner(owner) { owner->m_runningRecovery = kind; }
    ~Running()
    {
        if (m_owner)
            m_owner->m_runningRecovery = std::nullopt;
    }
    Running(const Running &) = delete;
    Running &operator=(const Running &) = delete;

private:
    QPointer<UpdateController> m_owner;
};

UpdateController::UpdateController(ModelContext context, Effects effects, Links links, QObject *parent)
    : QObject(parent),
      m_context(std::move(context)),
      m_effects(std::move(effects)),
      m_links(std::move(links)),
      m_isUpdatingAgent(m_context.announce, false),
      m_availableAgentVersion(m_context.announce),
      m_runningRecovery(m_context.announce),
      m_actionNotice(m_context.announce)
{
}

QCoro::Task<CLIResult> UpdateController::whenRunnerFree(std::function<QCoro::Task<CLIResult>()> run)
{
    // Nothing of the controller is touched once this has suspended.
    const auto runnerIdle = m_effects.runnerIdle;
    for (int wait = 1;; ++wait) {
        if (runnerIdle)
            co_await runnerIdle();
        std::optional<CLIResult> result;
        std::exception_ptr error;
        try {
            result = co_await run();
        } catch (...) {
            error = std::current_exception();
        }
        if (!error)
            co_return *result;
        const Failure::Report report = Failure::from(error, {});
        if (report.code != u"OPERATION_ALREADY_RUNNING" || !runnerIdle || wait >= maximumRunnerWaits)
            std::rethrow_exception(error);
    }
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
    // Named, not a temporary of the co_await expression: g++ 12 would destroy that twice.
    std::function<QCoro::Task<CLIResult>()> run = [effect = m_effects.runScript, script] {
        return effect(script, ignoreOutput);
    };
    const bool succeeded = co_await runAction(std::move(run), std::move(failureCode));
    co_return succeeded;
}

QCoro::Task<bool> UpdateController::reinstallDaemon(QString failureCode)
{
    std::function<QCoro::Task<CLIResult>()> install = [effect = m_effects.daemonInstall] { return effect(ignoreOutput); };
    const bool succeeded = co_await runAction(std::move(install), std::move(failureCode));
    co_return succeeded;
}

QCoro::Task<bool> UpdateController::runAction(std::function<QCoro::Task<CLIResult>()> run, QString failureCode)
{
    QPointer<UpdateController> self(this);
    std::optional<CLIResult> result;
    std::exception_ptr error;
    try {
        result = co_await whenRunnerFree(std::move(run));
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
    m_actionNotice = std::nullopt;
    const std::optional<QString> target = availableAgentVersion();

    const bool updated = co_await runCLIAction(CLIService::agentUpdateScript(), updateFailed);
    if (!self || !updated)
        co_return;

    // The new package only runs once the daemon is reinstalled and restarted.
    const bool reinstalled = co_await reinstallDaemon(updateFailed);
    if (!self || !reinstalled)
        co_return;
    m_context.attention->appendActivity(target ? QStringLiteral("Agent 已更新到 %1").arg(*target)
                                               : QStringLiteral("Agent 已更新"),
                                        ActivityEvent::Source::system);
    m_actionNotice = QStringLiteral("已更新 Agent");

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
    // A second press of an action that runs does not start it again.
    if (runsInTheBackground(action.kind) && m_runningRecovery() == action.kind)
        co_return;
    std::optional<Running> running;
    if (runsInTheBackground(action.kind)) {
        running.emplace(this, action.kind);
        m_actionNotice = std::nullopt;
    }
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
    case Kind::restartAgent:
        co_await restartAgent();
        break;
    case Kind::openLogs: {
        const QString folder = InstallLog::ensureLogsDirectory();
        openOrSay(QUrl::fromLocalFile(folder), QStringLiteral("无法打开日志目录，请在文件管理器中打开：%1").arg(folder));
        break;
    }
    case Kind::checkForUpdates: {
        const QString page = Configuration::releasesPageURL();
        openOrSay(QUrl(page), QStringLiteral("无法打开浏览器，请访问：%1").arg(page));
        break;
    }
    case Kind::recheckPermissions:
        co_await m_links.refreshExistingPermissions();
        if (self)
            m_actionNotice = QStringLiteral("已重新检查权限");
        break;
    }
}

QCoro::Task<void> UpdateController::restartAgent()
{
    QPointer<UpdateController> self(this);
    const bool reinstalled = co_await reinstallDaemon(restartFailed);
    if (!self || !reinstalled)
        co_return;
    attention().clearError();
    attention().appendActivity(QStringLiteral("Agent 已重启"), ActivityEvent::Source::system);
    m_actionNotice = QStringLiteral("已重启 Agent");
    co_await m_links.refreshAgentStatus();
}

void UpdateController::openOrSay(const QUrl &url, const QString &failure)
{
    bool opened = false;
    try {
        opened = m_effects.openURL && m_effects.openURL(url);
    } catch (...) {
        opened = false;
    }
    m_actionNotice = opened ? std::nullopt : std::optional<QString>(failure);
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
