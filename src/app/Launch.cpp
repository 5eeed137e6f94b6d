// Resuming the installation where it stopped: at launch, on the error panel's "重试" and each time
// the window becomes active again.
#include "app/AppModel.h"

#include "channel/ChannelController.h"
#include "model/Attention.h"
#include "model/InstallJourney.h"
#include "permissions/PermissionController.h"
#include "setup/SetupController.h"
#include "status/StatusController.h"

#include <QCoro/QCoroSignal>
#include <QPointer>

QCoro::Task<void> AppModel::launchResume()
{
    QPointer<AppModel> self(this);
    // A captured binding link is loaded before anything may ask the service for a new one.
    if (m_channel->isLoadingCapturedLink())
        co_await qCoro(this, &AppModel::capturedLinkLoaded);
    if (!self)
        co_return;
    if (!m_journey->configurationReady() || m_journey->installStage()) {
        // The persisted stage's work is the launch's operation on the agent; the re-probe of an
        // awaited permission is a background check like the return checks.
        std::optional<AgentOperations::Lease> turn;
        if (const auto kind = resumeOperation()) {
            turn = co_await m_operations->beginStage(*kind);
            if (!turn)
                co_return; // the model went away meanwhile
        } else if (m_permissions->permissionAwaitingReturn()) {
            turn = co_await m_operations->check();
            if (!turn)
                co_return;
        }
        if (!self)
            co_return;
        co_await resumeInstalledConfiguration();
        if (self && m_journey->configurationReady() && m_journey->installStage() && m_permissions->permissionAwaitingReturn())
            co_await m_permissions->advancePermissionOnboarding();
        co_return;
    }
    const auto turn = co_await m_operations->check();
    if (!turn)
        co_return;
    co_await m_permissions->recheckExistingPermissionsOnLaunchIfNeeded();
}

std::optional<AgentOperation> AppModel::resumeOperation() const
{
    const std::optional<InstallStage> stage = m_journey->installStage();
    if (!stage)
        return std::nullopt;
    switch (*stage) {
    case InstallStage::runtime:
        return AgentOperation::prepareRuntime;
    case InstallStage::setup:
        // Only a setup the tool finished after a kill has work left: the daemon.
        return m_journey->configurationReady() ? std::optional(AgentOperation::installDaemon) : std::nullopt;
    case InstallStage::daemon:
        return m_journey->configurationReady() ? std::optional(AgentOperation::installDaemon) : std::nullopt;
    case InstallStage::permissions:
    case InstallStage::channel:
    case InstallStage::handshake:
        break;
    }
    return std::nullopt;
}

QCoro::Task<void> AppModel::resumeInstalledConfiguration()
{
    const std::optional<InstallStage> stage = m_journey->installStage();
    if (!stage)
        co_return;
    // "重试" on an error comes here too: the stage's work goes again.
    const std::optional<QString> failedCode =
        m_attention->lastError() ? std::optional(m_attention->lastError()->code) : std::nullopt;
    m_attention->clearError();
    switch (*stage) {
    case InstallStage::runtime:
        co_await m_setup->prepareEnvironmentIfNeeded();
        break;
    case InstallStage::permissions:
        m_journey->showResuming();
        if (m_permissions->permissionAwaitingReturn())
            co_await m_permissions->advancePermissionOnboarding();
        break;
    case InstallStage::setup:
        // The setup tool outlives an application that is killed, and may finish after it: the run
        // succeeded, and no code could be submitted any more.
        if (m_journey->configurationReady()) {
            m_journey->showResuming();
            co_await m_setup->completeSetup();
            break;
        }
        co_await m_setup->waitForSetupOrRetry(failedCode);
        break;
    case InstallStage::daemon:
        if (!m_journey->configurationReady())
            break;
        m_journey->showResuming();
        co_await m_setup->finishDaemonInstallationIfNeeded();
        break;
    case InstallStage::channel:
        if (!m_journey->configurationReady())
            break;
        m_journey->showResuming();
        co_await m_channel->refreshOwnerSetup(false);
        break;
    case InstallStage::handshake:
        if (!m_journey->configurationReady())
            break;
        m_journey->showResuming();
        m_status->startStatusMonitoring();
        co_await m_status->refreshAgentStatus();
        break;
    }
}

QCoro::Task<void> AppModel::sceneDidBecomeActive()
{
    // Before the launch has started (its window not painted yet) the launch's own resume does
    // these checks right after.
    if (m_launchPending)
        co_return;
    QPointer<AppModel> self(this);
    // The user may be back from System Settings: a background check, one at a time however often
    // the window is activated meanwhile.
    if (!m_activationCheckWaiting) {
        m_activationCheckWaiting = true;
        const auto turn = co_await m_operations->check();
        if (!turn)
            co_return;
        m_activationCheckWaiting = false;
        co_await m_permissions->recheckExistingPermissionsOnLaunchIfNeeded();
        if (!self)
            co_return;
        co_await m_permissions->noteActivation();
        if (!self)
            co_return;
    }
    if (m_journey->installStage() == InstallStage::channel)
        co_await m_channel->refreshOwnerSetup(false);
    if (!self)
        co_return;
    co_await m_status->refreshAgentStatus();
}
