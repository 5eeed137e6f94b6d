#include "updates/UpdateController.h"

#include "model/AgentDaemon.h"
#include "model/Attention.h"
#include "model/InFlight.h"
#include "model/InstallJourney.h"
#include "process/CLIService.h"
#include "updates/AgentVersion.h"
#include "updates/RegistryLocator.h"

#include <QPointer>
#include <QUrl>

#include <utility>

namespace {

const QString updateFailed = QStringLiteral("AGENT_UPDATE_FAILED");

void ignoreOutput(const QString &) {}

} // namespace

UpdateController::UpdateController(ModelContext context, Effects effects, Links links, QObject *parent)
    : QObject(parent),
      m_context(std::move(context)),
      m_effects(std::move(effects)),
      m_links(std::move(links)),
      m_isUpdatingAgent(m_context.publication, ModelChange::updates, false),
      m_availableAgentVersion(m_context.publication, ModelChange::updates)
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
    const std::optional<QString> checkedBefore = std::exchange(m_agentVersionChecked, currentVersion);
    InFlight checking(this, m_agentUpdateCheckInFlight);

    std::optional<QString> offered;
    bool deferred = false;
    try {
        offered = co_await m_effects.agentUpdateVersion();
    } catch (const RegistryLookupDeferred &) {
        deferred = true;
    } catch (...) {
        offered = std::nullopt; // the probe never fails by contract; a substitute might
    }
    if (!self)
        co_return;
    if (deferred) {
        // Nothing was asked (the registry could not be looked up while the agent was busy): the
        // next status sample asks for this version again, and the offer stands meanwhile.
        m_agentVersionChecked = checkedBefore;
        co_return;
    }
    if (offered && AgentVersion::isNewer(*offered, *currentVersion))
        m_availableAgentVersion = offered;
    else
        m_availableAgentVersion = std::nullopt;
}

QCoro::Task<bool> UpdateController::runCLIAction(QString script, QString failureCode)
{
    QPointer<UpdateController> self(this);
    const auto run = m_effects.runScript;
    // Named, not built inside the co_await expression: g++ 12 would destroy it twice.
    const OutputHandler discard = ignoreOutput;
    std::optional<CLIResult> result;
    std::exception_ptr error;
    try {
        result = co_await run(std::move(script), discard);
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
    m_context.attention->clearNotice();
    const std::optional<QString> target = availableAgentVersion();

    const bool updated = co_await runCLIAction(CLIService::agentUpdateScript(), updateFailed);
    if (!self || !updated)
        co_return;

    // The new package only runs once the daemon is reinstalled and restarted.
    const bool reinstalled = co_await m_context.daemon->install(AgentDaemon::Purpose::update);
    if (!self || !reinstalled)
        co_return;
    m_context.attention->appendActivity(target ? tr("Agent 已更新到 %1").arg(*target)
                                               : tr("Agent 已更新"),
                                        ActivityEvent::Source::system);
    m_context.attention->showNotice(tr("已更新 Agent"));

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

bool UpdateController::showsAgentUpdateBanner() const
{
    return availableAgentVersion() && availableAgentVersion() != m_dismissedAgentVersion;
}

QString UpdateController::agentUpdateBannerText() const
{
    const auto version = availableAgentVersion();
    return version ? tr("Agent %1 可更新").arg(*version) : QString();
}

void UpdateController::dismissAgentUpdate()
{
    m_dismissedAgentVersion = availableAgentVersion();
    // Plain state: announce it so the banner hides at once.
    m_context.publication.announce();
    m_context.publication.markChanged(ModelChange::updates);
}
