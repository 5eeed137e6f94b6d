#include "app/AppModel.h"

#include "authorization/AuthorizationController.h"
#include "channel/ChannelController.h"
#include "model/AgentDaemon.h"
#include "model/Attention.h"
#include "model/InstallJourney.h"
#include "model/ProfileMarkers.h"
#include "permissions/PermissionController.h"
#include "platform/Bundle.h"
#include "process/CLIService.h"
#include "recovery/RecoveryController.h"
#include "setup/SetupController.h"
#include "status/AgentStatusClient.h"
#include "updates/UpdateController.h"

#include <QDir>
#include <QFile>

AppModel::AppModel(Options options, QObject *parent) : QObject(parent)
{
    m_appVersion = Bundle::infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QStringLiteral("--"));
    m_sleeper = options.sleeper ? std::move(options.sleeper) : Quorvantis::defaultSleeper();
    m_clock = options.clock ? std::move(options.clock) : [] { return QDateTime::currentDateTimeUtc(); };
    m_autoResume = options.autoResume;

    // The runner, the profile directory and the status client.
    m_cli = options.cli ? std::move(options.cli) : std::make_shared<CLIService>();
    m_profileDirectory = options.profileDirectory
        ? QDir::cleanPath(*options.profileDirectory)
        : QDir::cleanPath(QDir::homePath() + QStringLiteral("/.quorvantis/profiles/default"));
    m_agentStatus = std::make_unique<AgentStatusClient>(
        m_profileDirectory, options.statusTimeout.value_or(AgentStatusClient::defaultTimeout));

    // Every effect not given gets its default wiring.
    wireDefaultEffects(options);

    const auto announce = [this] { Q_EMIT willChange(); };
    m_attention = std::make_unique<Attention>(announce, m_clock);
    // Reads the persisted install stage.
    m_journey = std::make_unique<InstallJourney>(m_profileDirectory, announce, *m_attention);
    m_operations = std::make_unique<AgentOperations>(announce, m_clock);

    ModelContext context{
        .profileDirectory = m_profileDirectory,
        .announce = announce,
        .sleeper = m_sleeper,
        .clock = m_clock,
        .journey = m_journey.get(),
        .attention = m_attention.get(),
        .operations = m_operations.get(),
        .daemon = nullptr,
        .fail = [this](const Failure::Report &report) { fail(report); },
    };
    const Effects &e = m_effects;
    m_daemon = std::make_unique<AgentDaemon>(
        context, AgentDaemon::Effects{.daemonInstall = e.daemonInstall, .agentStarted = e.agentStarted});
    context.daemon = m_daemon.get();

    m_authorization = std::make_unique<AuthorizationController>(
        context, AuthorizationController::Effects{.setupAuthorizationOpen = e.setupAuthorizationOpen});
    // Reads the completed and the awaited permissions.
    m_permissions = std::make_unique<PermissionController>(
        context, PermissionController::Effects{.permissionCheck = e.permissionCheck,
                                               .permissionPrepare = e.permissionPrepare,
                                               .accessibilityPrepare = e.accessibilityPrepare,
                                               .openSystemSettings = e.openSystemSettings});
    m_setup = std::make_unique<SetupController>(
        context,
        SetupController::Effects{.environmentPrepare = e.environmentPrepare,
                                 .enrollmentKeyProvider = e.enrollmentKeyProvider,
                                 .setupWithCode = e.setupWithCode,
                                 .setupEnroll = e.setupEnroll,
                                 .setupResume = e.setupResume},
        SetupController::Links{
            .enterChannelStage = [this] { return m_channel->enterChannelStage(); },
            .resetPermissionVerification = [this] { m_permissions->resetPermissionVerification(); },
            .beginAuthorizationRun = [this] { m_authorization->beginRun(); },
            .clearAuthorization = [this] { m_authorization->clear(); },
            .authorizationHandler = [this](std::function<bool()> isCurrent) {
                return m_authorization->handlerFor(std::move(isCurrent));
            },
        },
        std::move(options.bootstrapRetryDelays));
    QPointer<AgentStatusClient> statusClient = m_agentStatus.get();
    std::function<QCoro::Task<AgentRuntimeStatus>()> fetchStatus = std::move(options.fetchStatus);
    if (!fetchStatus) {
        fetchStatus = [statusClient]() -> QCoro::Task<AgentRuntimeStatus> {
            // The client outlives every fetch it starts; a fetch it cannot start fails.
            if (!statusClient)
                throw std::runtime_error("the status client is gone");
            return statusClient->fetch();
        };
    }
    m_status = std::make_unique<StatusController>(
        context, StatusController::Effects{.fetchStatus = std::move(fetchStatus)},
        StatusController::Links{
            .refreshOwnerSetup = [this] { return m_channel->refreshOwnerSetup(false); },
            .checkAgentUpdate = [this](std::optional<QString> version) {
                return m_updates->checkAgentUpdate(std::move(version));
            },
            .isSubmittingSetup = [this] { return m_setup->isSubmittingSetup(); },
        });
    // A parked polling loop resumes with the change that gives it something to poll.
    connect(this, &AppModel::willChange, m_status.get(), &StatusController::noteModelChange);
    m_channel = std::make_unique<ChannelController>(
        context,
        ChannelController::Effects{.ownerSetupRequest = e.ownerSetupRequest,
                                   .ownerSetupOpen = e.ownerSetupOpen,
                                   .ownerSetupCopy = e.ownerSetupCopy,
                                   .ownerSetupLinkSave = e.ownerSetupLinkSave},
        ChannelController::Links{
            .startStatusMonitoring = [this] { m_status->startStatusMonitoring(); },
            .refreshAgentStatus = [this] { return m_status->refreshAgentStatus(); },
        });
    connect(m_channel.get(), &ChannelController::capturedLinkLoaded, this, &AppModel::capturedLinkLoaded);
    m_updates = std::make_unique<UpdateController>(
        context, UpdateController::Effects{.agentUpdateVersion = e.agentUpdateVersion, .runScript = e.runScript},
        UpdateController::Links{
            .recoverExistingConfiguration = [this] { return m_permissions->recoverExistingConfigurationIfNeeded(); },
            .allowExistingPermissionRecheck = [this] { m_permissions->allowExistingPermissionRecheck(); },
            .refreshAgentStatus = [this] { return m_status->refreshAgentStatus(); },
        });
    m_recovery = std::make_unique<RecoveryController>(
        context, RecoveryController::Effects{.openURL = e.openURL},
        RecoveryController::Links{
            .presentPermissionPrompt = [this](PermissionKind kind) { m_permissions->presentPermissionPrompt(kind); },
            .openSystemSettings = [this] { return m_permissions->openSettingsOrSay(std::nullopt); },
            .resumeInstallation = [this] { return resumeInstalledConfiguration(); },
            .recoverExistingConfiguration = [this] { return m_permissions->recoverExistingConfigurationIfNeeded(); },
            .refreshExistingPermissions = [this] { return m_permissions->refreshExistingPermissions(); },
            .refreshAgentStatus = [this] { return m_status->refreshAgentStatus(); },
        });

    // The captured binding link, when binding was under way.
    if (m_journey->isAt(InstallStage::channel))
        m_channel->loadCapturedLink(std::move(options.ownerSetupLinkLoad));

    // What to show and what to resume.
    m_journey->restoreAtLaunch();
    m_permissions->restoreAtLaunch();
    m_launchPending = m_autoResume;
    if (m_autoResume && !options.deferLaunch)
        startLaunch();
}

void AppModel::startLaunch()
{
    if (!m_launchPending)
        return;
    m_launchPending = false;
    m_status->startStatusMonitoring();
    Quorvantis::startDetached(launchResume(), "launch resume");
}

AppModel::~AppModel() = default;

// ---- Published properties --------------------------------------------------------------------------

const QString &AppModel::setupCode() const { return m_setup->setupCode(); }
const QString &AppModel::setupAgentName() const { return m_setup->setupAgentName(); }
AppModel::EnrollmentWorkspace AppModel::enrollmentWorkspace() const { return m_setup->enrollmentWorkspace(); }
AppModel::SetupEntryMode AppModel::setupEntryMode() const { return m_setup->setupEntryMode(); }
const std::optional<JITWorkspaceAuthorization> &AppModel::setupAuthorization() const { return m_authorization->setupAuthorization(); }
bool AppModel::onboardingCompleted() const { return m_journey->onboardingCompleted(); }
bool AppModel::installationValidated() const { return m_journey->installationValidated(); }
bool AppModel::configurationReady() const { return m_journey->configurationReady(); }
const QList<AppModel::SetupProgressItem> &AppModel::setupProgress() const { return m_journey->setupProgress(); }
const std::optional<QString> &AppModel::setupProgressDetail() const { return m_journey->setupProgressDetail(); }
const std::optional<AppModel::PackageInstallProgress> &AppModel::packageInstallProgress() const { return m_journey->packageInstallProgress(); }
const QList<AppModel::PermissionItem> &AppModel::permissions() const { return m_permissions->permissions(); }
const AppModel::StatusSnapshot &AppModel::statusSnapshot() const { return m_status->statusSnapshot(); }
const std::optional<AppModel::DisplayError> &AppModel::lastError() const { return m_attention->lastError(); }
const QList<AppModel::ActivityEvent> &AppModel::activities() const { return m_attention->activities(); }
AppModel::OverallState AppModel::overallState() const { return m_journey->overallState(); }
bool AppModel::isSubmittingSetup() const { return m_setup->isSubmittingSetup(); }
bool AppModel::isPreparingEnvironment() const { return m_setup->isPreparingEnvironment(); }
bool AppModel::isOpeningSetupAuthorization() const { return m_authorization->isOpeningSetupAuthorization(); }
bool AppModel::setupAuthorizationOpenFailed() const { return m_authorization->setupAuthorizationOpenFailed(); }
const AppModel::FocusTarget &AppModel::focusTarget() const { return m_attention->focusTarget(); }
qint64 AppModel::focusRevision() const { return m_attention->focusRevision(); }
qint64 AppModel::announcementRevision() const { return m_attention->announcementRevision(); }
const QString &AppModel::announcement() const { return m_attention->announcement(); }
bool AppModel::pendingSetupResume() const { return m_journey->pendingSetupResume(); }
bool AppModel::ownerSetupPending() const { return m_channel->ownerSetupPending(); }
bool AppModel::isOpeningOwnerSetup() const { return m_channel->isOpeningOwnerSetup(); }
bool AppModel::ownerSetupOpenFailed() const { return m_channel->ownerSetupOpenFailed(); }
bool AppModel::ownerSetupDidOpen() const { return m_channel->ownerSetupDidOpen(); }
bool AppModel::ownerSetupLinkCopied() const { return m_channel->ownerSetupLinkCopied(); }
const std::optional<QString> &AppModel::ownerSetupError() const { return m_channel->ownerSetupError(); }
bool AppModel::isLoadingOwnerSetup() const { return m_channel->isLoadingOwnerSetup(); }
bool AppModel::isChannelBindingSheetPresented() const { return m_channel->isChannelBindingSheetPresented(); }
bool AppModel::channelBindingCompleted() const { return m_channel->channelBindingCompleted(); }
bool AppModel::channelOwnershipVerified() const { return m_channel->channelOwnershipVerified(); }
const std::optional<PermissionKind> &AppModel::permissionPromptKind() const { return m_permissions->permissionPromptKind(); }
bool AppModel::permissionSettingsPrompt() const { return m_permissions->permissionSettingsPrompt(); }
AccessibilityStep AppModel::accessibilityStep() const { return m_permissions->accessibilityStep(); }
const std::optional<AccessibilityProbeOutcome> &AppModel::accessibilityProbeOutcome() const { return m_permissions->accessibilityProbeOutcome(); }
bool AppModel::isCheckingPermission() const { return m_permissions->isCheckingPermission(); }
bool AppModel::permissionOperationInFlight() const { return m_permissions->permissionOperationInFlight(); }
bool AppModel::isUpdatingAgent() const { return m_updates->isUpdatingAgent(); }
const std::optional<RunningOperation> &AppModel::operation() const { return m_operations->operation(); }
std::optional<QString> AppModel::operationRefusal() const { return m_operations->refusal(); }
const std::optional<QString> &AppModel::actionNotice() const { return m_attention->notice(); }
const std::optional<QString> &AppModel::availableAgentVersion() const { return m_updates->availableAgentVersion(); }

// ---- Plain state -----------------------------------------------------------------------------------

const std::vector<std::chrono::milliseconds> &AppModel::bootstrapRetryDelays() const { return m_setup->bootstrapRetryDelays(); }
std::optional<AppModel::InstallStage> AppModel::installStage() const { return m_journey->stage(); }
const std::optional<QUuid> &AppModel::setupTaskID() const { return m_setup->setupTaskID(); }
bool AppModel::statusTask() const { return m_status->statusTask(); }
int AppModel::consecutiveStatusFailures() const { return m_status->consecutiveStatusFailures(); }
quint64 AppModel::statusSampleSequence() const { return m_status->statusSampleSequence(); }
const std::optional<AgentRuntimeStatus> &AppModel::previousRuntimeStatus() const { return m_status->previousRuntimeStatus(); }
const std::optional<PermissionKind> &AppModel::permissionAwaitingReturn() const { return m_permissions->permissionAwaitingReturn(); }
bool AppModel::daemonInstallInFlight() const { return m_setup->daemonInstallInFlight(); }
bool AppModel::ownerSetupRequestInFlight() const { return m_channel->ownerSetupRequestInFlight(); }
const std::optional<QUrl> &AppModel::ownerSetupURL() const { return m_channel->ownerSetupURL(); }
const std::optional<QDateTime> &AppModel::ownerSetupExpiresAt() const { return m_channel->ownerSetupExpiresAt(); }
bool AppModel::ownerSetupHasLiveSession() const { return m_channel->ownerSetupHasLiveSession(); }
bool AppModel::ownerSetupSawPendingBinding() const { return m_channel->ownerSetupSawPendingBinding(); }
const std::optional<QString> &AppModel::dismissedAgentVersion() const { return m_updates->dismissedAgentVersion(); }
const std::optional<QString> &AppModel::agentVersionChecked() const { return m_updates->agentVersionChecked(); }
bool AppModel::agentUpdateCheckInFlight() const { return m_updates->agentUpdateCheckInFlight(); }
bool AppModel::didRecheckExistingPermissions() const { return m_permissions->didRecheckExistingPermissions(); }
bool AppModel::permissionRecheckPending() const { return m_permissions->permissionRecheckPending(); }
bool AppModel::permissionReturnTaskRunning() const { return m_permissions->permissionReturnTaskRunning(); }
const QSet<PermissionKind> &AppModel::cachedCompletedPermissions() const { return m_permissions->cachedCompletedPermissions(); }

// ---- Launch and persisted state --------------------------------------------------------------------

std::optional<AppModel::InstallStage> AppModel::readInstallStage(const QString &directory)
{
    return ProfileMarkers::readInstallStage(directory);
}

QSet<PermissionKind> AppModel::readCompletedPermissions(const QString &directory)
{
    return ProfileMarkers::readCompletedPermissions(directory);
}

std::optional<PermissionKind> AppModel::readAwaitingPermission(const QString &directory)
{
    return ProfileMarkers::readAwaitingPermission(directory);
}

std::optional<AccessibilityProbeOutcome> AppModel::readAccessibilityProbeOutcome(const QString &directory)
{
    return ProfileMarkers::readAccessibilityProbeOutcome(directory);
}

QString AppModel::profileFile(const QString &name) const
{
    return QDir(m_profileDirectory).filePath(name);
}

QCoro::Task<void> AppModel::recheckExistingPermissionsOnLaunchIfNeeded() { return m_permissions->recheckExistingPermissionsOnLaunchIfNeeded(); }
QCoro::Task<void> AppModel::recoverExistingConfigurationIfNeeded() { return m_permissions->recoverExistingConfigurationIfNeeded(); }

// ---- Errors, recovery and activity -----------------------------------------------------------------

void AppModel::fail(const QString &code, const std::optional<QString> &message)
{
    fail(Failure::Report{code, message});
}

void AppModel::fail(const Failure::Report &report)
{
    m_setup->abandonSubmission();
    m_authorization->clear();
    m_journey->setOverallState(OverallState::error);
    m_attention->showError(DisplayError::from(report.code, report.message));
    if (m_attention->lastError()->recovery.kind == RecoveryAction::Kind::enterInstallCode) {
        // The code can no longer be redeemed: forget the tool's half-finished session.
        QFile::remove(profileFile(QStringLiteral("setup-state.json")));
        m_attention->requestFocus(FocusTarget::setupCode());
    }
    m_journey->markRunningPhasesFailed();
}

std::optional<QString> AppModel::safeErrorMessage(const std::optional<QString> &text)
{
    return Failure::safeErrorMessage(text);
}

void AppModel::appendActivity(const QString &summary) { m_attention->appendActivity(summary); }
void AppModel::requestFocus(FocusTarget target) { m_attention->requestFocus(target); }

// ---- Setup -----------------------------------------------------------------------------------------

QString AppModel::normalizedSetupCode() const { return m_setup->normalizedSetupCode(); }
std::optional<QString> AppModel::setupCodeValidationMessage() const { return m_setup->setupCodeValidationMessage(); }
std::optional<QString> AppModel::setupAgentNameValidationMessage() const { return m_setup->setupAgentNameValidationMessage(); }
bool AppModel::canSubmitSetup() const { return m_setup->canSubmitSetup(); }
bool AppModel::canRequestEnrollmentSetup() const { return m_setup->canRequestEnrollmentSetup(); }
bool AppModel::canUseInstallCodeSetup() const { return m_setup->canUseInstallCodeSetup(); }
void AppModel::setSetupCodeInput(const QString &text) { m_setup->setSetupCodeInput(text); }
void AppModel::setSetupAgentName(const QString &name) { m_setup->setSetupAgentName(name); }
void AppModel::setEnrollmentWorkspace(EnrollmentWorkspace workspace) { m_setup->setEnrollmentWorkspace(workspace); }
QCoro::Task<void> AppModel::submitActiveSetup()
{
    const auto turn = co_await pressTurn(AgentOperation::runSetup);
    if (turn)
        co_await m_setup->submitActiveSetup();
}
QCoro::Task<void> AppModel::submitSetupCode()
{
    const auto turn = co_await pressTurn(AgentOperation::runSetup);
    if (turn)
        co_await m_setup->submitSetupCode();
}
QCoro::Task<void> AppModel::submitEnrollmentSetup()
{
    const auto turn = co_await pressTurn(AgentOperation::runSetup);
    if (turn)
        co_await m_setup->submitEnrollmentSetup();
}
void AppModel::beginEnrollmentSetup() { m_setup->beginEnrollmentSetup(); }
void AppModel::useInstallCodeSetup() { m_setup->useInstallCodeSetup(); }
QCoro::Task<void> AppModel::runSetupWithTransientRetry(QUuid taskID, SetupOperation operation)
{
    return m_setup->runSetupWithTransientRetry(taskID, std::move(operation));
}
void AppModel::consumeSetupOutput(const QString &line) { m_setup->consumeSetupOutput(line); }
QCoro::Task<void> AppModel::completeSetup() { return m_setup->completeSetup(); }
bool AppModel::hasResumableSetupSession() const { return m_setup->hasResumableSetupSession(); }
bool AppModel::hasClaimableSetupCode() const { return m_setup->hasClaimableSetupCode(); }
AppModel::OutputHandler AppModel::setupOutputHandler() { return m_setup->setupOutputHandler(); }
QCoro::Task<void> AppModel::prepareEnvironmentIfNeeded() { return m_setup->prepareEnvironmentIfNeeded(); }
QCoro::Task<void> AppModel::finishDaemonInstallationIfNeeded() { return m_setup->finishDaemonInstallationIfNeeded(); }
bool AppModel::showsPackageInstallProgress() const { return m_setup->showsPackageInstallProgress(); }

// ---- Progress --------------------------------------------------------------------------------------

void AppModel::applyProgress(SetupPhase phase, ProgressState state, const std::optional<QString> &detail)
{
    m_journey->applyProgress(phase, state, detail);
}
void AppModel::beginProgress() { m_journey->beginProgress(); }
void AppModel::updatePackageInstallProgress(std::optional<int> completed, std::optional<int> total)
{
    m_journey->updatePackageInstallProgress(completed, total);
}
std::pair<int, int> AppModel::setupProgressCounts() const { return m_journey->setupProgressCounts(); }
double AppModel::setupProgressFraction() const { return m_journey->setupProgressFraction(); }
QString AppModel::currentTask() const { return m_status->currentTask(); }

// ---- Permissions -----------------------------------------------------------------------------------

QCoro::Task<void> AppModel::continuePermissionOnboarding()
{
    const auto turn = co_await pressTurn(AgentOperation::checkPermissions);
    if (turn)
        co_await m_permissions->continuePermissionOnboarding();
}
QCoro::Task<void> AppModel::confirmPermissionOnboarding(std::optional<PermissionKind> kind)
{
    const auto turn = co_await pressTurn(AgentOperation::checkPermissions);
    if (turn)
        co_await m_permissions->confirmPermissionOnboarding(kind);
}
QCoro::Task<void> AppModel::advancePermissionOnboarding()
{
    const auto turn = co_await pressTurn(AgentOperation::checkPermissions);
    if (turn)
        co_await m_permissions->advancePermissionOnboarding();
}
void AppModel::openCurrentPermissionSettings() { m_permissions->openCurrentPermissionSettings(); }
QCoro::Task<bool> AppModel::openSystemSettings(std::optional<PermissionKind> kind)
{
    if (!m_effects.openSystemSettings)
        co_return false;
    co_return co_await m_effects.openSystemSettings(kind);
}
QCoro::Task<bool> AppModel::openSettings(std::optional<PermissionKind> kind)
{
    return PermissionController::openSettings(kind);
}
void AppModel::dismissPermissionPrompt() { m_permissions->dismissPermissionPrompt(); }
void AppModel::resolvePermission(PermissionKind kind) { m_permissions->resolvePermission(kind); }
void AppModel::schedulePermissionReturnChecks(PermissionKind kind) { m_permissions->schedulePermissionReturnChecks(kind); }
QCoro::Task<void> AppModel::finishPermissionStageIfReady() { return m_permissions->finishPermissionStageIfReady(); }
QCoro::Task<void> AppModel::refreshExistingPermissions() { return m_permissions->refreshExistingPermissions(); }
void AppModel::resetPermissionVerification() { m_permissions->resetPermissionVerification(); }
QString AppModel::permissionSummary() const { return m_permissions->permissionSummary(); }
std::pair<int, int> AppModel::onboardingPermissionProgress() const { return m_permissions->onboardingPermissionProgress(); }
std::optional<AppModel::PermissionItem> AppModel::currentPermissionOnboardingItem() const
{
    return m_permissions->currentPermissionOnboardingItem();
}
std::optional<PermissionKind> AppModel::currentPermissionOnboardingKind() const
{
    return m_permissions->currentPermissionOnboardingKind();
}
bool AppModel::isVerifyingCurrentPermission() const { return m_permissions->isVerifyingCurrentPermission(); }
bool AppModel::permissionNeedsUserAction() const { return m_permissions->permissionNeedsUserAction(); }
QString AppModel::permissionSettingsGuidance() const { return m_permissions->permissionSettingsGuidance(); }
std::optional<QString> AppModel::permissionSettingsFailure() const { return m_permissions->permissionSettingsFailure(); }

// ---- Channel binding and authorization -------------------------------------------------------------

QCoro::Task<void> AppModel::enterChannelStage() { return m_channel->enterChannelStage(); }
QCoro::Task<void> AppModel::refreshOwnerSetup(bool forceRefresh) { return m_channel->refreshOwnerSetup(forceRefresh); }
QCoro::Task<void> AppModel::openOwnerSetup() { return m_channel->openOwnerSetup(); }
void AppModel::copyOwnerSetupLink() { m_channel->copyOwnerSetupLink(); }
QCoro::Task<void> AppModel::noteChannelBindingSessionAppeared(std::chrono::milliseconds delay)
{
    return m_channel->noteChannelBindingSessionAppeared(delay);
}
void AppModel::setChannelBindingSheetPresented(bool presented) { m_channel->setChannelBindingSheetPresented(presented); }
bool AppModel::canOpenOwnerSetup() const { return m_channel->canOpenOwnerSetup(); }
bool AppModel::ownerSetupOpenedByAgent() const { return m_channel->ownerSetupOpenedByAgent(); }
QString AppModel::ownerSetupOpenButtonTitle() const { return m_channel->ownerSetupOpenButtonTitle(); }
QString AppModel::channelBindingSummary() const { return m_channel->channelBindingSummary(); }
QCoro::Task<void> AppModel::openSetupAuthorization() { return m_authorization->openSetupAuthorization(); }

// ---- Status ----------------------------------------------------------------------------------------

void AppModel::startStatusMonitoring() { m_status->startStatusMonitoring(); }
QCoro::Task<void> AppModel::refreshAgentStatus() { return m_status->refreshAgentStatus(); }
AppModel::RuntimePresentation AppModel::runtimePresentation(const AgentRuntimeStatus &sample,
                                                            const std::optional<AgentRuntimeStatus> &previous)
{
    return StatusController::runtimePresentation(sample, previous);
}
QString AppModel::headlineStatusTitle() const { return m_status->headlineStatusTitle(); }
QString AppModel::headlineStatusDetail() const { return m_status->headlineStatusDetail(); }
QString AppModel::agentProcessDescription() const { return m_status->agentProcessDescription(); }
QString AppModel::heartbeatDescription(const QDateTime &now) const { return m_status->heartbeatDescription(now); }

// ---- Updates and recovery --------------------------------------------------------------------------

QCoro::Task<void> AppModel::checkAgentUpdate(std::optional<QString> currentVersion)
{
    return m_updates->checkAgentUpdate(std::move(currentVersion));
}
QCoro::Task<void> AppModel::updateAgent()
{
    // A second press while the update runs is no new update (and no refusal to show either).
    if (!configurationReady() || isUpdatingAgent())
        co_return;
    const auto turn = co_await pressTurn(AgentOperation::updateAgent);
    if (turn)
        co_await m_updates->updateAgent();
}
QCoro::Task<bool> AppModel::runCLIAction(QString script, QString failureCode)
{
    return m_updates->runCLIAction(std::move(script), std::move(failureCode));
}
QCoro::Task<void> AppModel::perform(RecoveryAction action)
{
    const std::optional<AgentOperation> kind = RecoveryController::operationOf(action.kind);
    if (!kind) {
        co_await m_recovery->perform(action);
        co_return;
    }
    // A second press of the action that runs is that action, not a refusal.
    if (operation() && operation()->kind == *kind)
        co_return;
    const auto turn = co_await pressTurn(*kind);
    if (turn)
        co_await m_recovery->perform(action);
}

QCoro::Task<std::optional<AgentOperations::Lease>> AppModel::pressTurn(AgentOperation kind)
{
    if (const auto refusal = m_operations->refusal()) {
        m_attention->showNotice(*refusal);
        co_return std::nullopt;
    }
    co_return co_await m_operations->press(kind);
}
bool AppModel::showsAgentUpdateBanner() const { return m_updates->showsAgentUpdateBanner(); }
QString AppModel::agentUpdateBannerText() const { return m_updates->agentUpdateBannerText(); }
void AppModel::dismissAgentUpdate() { m_updates->dismissAgentUpdate(); }
