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
    if (!configurationReady()) {
        co_await resumeInstalledConfiguration();
        co_return;
    }
    if (installStage()) {
        co_await resumeInstalledConfiguration();
        if (self && permissionAwaitingReturn())
            co_await m_permissions->advancePermissionOnboarding();
    } else {
        co_await m_permissions->recheckExistingPermissionsOnLaunchIfNeeded();
    }
}

QCoro::Task<void> AppModel::resumeInstalledConfiguration()
{
    const std::optional<InstallStage> stage = installStage();
    if (!stage)
        co_return;
    m_attention->clearError();
    switch (*stage) {
    case InstallStage::runtime:
        co_await m_setup->prepareEnvironmentIfNeeded();
        break;
    case InstallStage::permissions:
        m_journey->showResuming();
        if (permissionAwaitingReturn())
            co_await m_permissions->advancePermissionOnboarding();
        break;
    case InstallStage::setup:
        // The setup tool outlives an application that is killed, and may finish after it: the run
        // succeeded, and no code could be submitted any more.
        if (configurationReady()) {
            m_journey->showResuming();
            co_await m_setup->completeSetup();
            break;
        }
        m_journey->showWaitingForSetup();
        break;
    case InstallStage::daemon:
        if (!configurationReady())
            break;
        m_journey->showResuming();
        co_await m_setup->finishDaemonInstallationIfNeeded();
        break;
    case InstallStage::channel:
        if (!configurationReady())
            break;
        m_journey->showResuming();
        co_await m_channel->refreshOwnerSetup(false);
        break;
    case InstallStage::handshake:
        if (!configurationReady())
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
    co_await m_permissions->recheckExistingPermissionsOnLaunchIfNeeded();
    if (!self)
        co_return;
    co_await m_permissions->noteActivation();
    if (!self)
        co_return;
    if (installStage() == InstallStage::channel)
        co_await m_channel->refreshOwnerSetup(false);
    if (!self)
        co_return;
    co_await m_status->refreshAgentStatus();
}
