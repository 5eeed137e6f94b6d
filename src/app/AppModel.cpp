#include "app/AppModel.h"

#include "model/AgentDaemon.h"
#include "platform/Bundle.h"
#include "process/CLIService.h"
#include "recovery/RecoveryController.h"
#include "status/AgentStatusClient.h"

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

    const Publication publication{
        .willChange = [this] { Q_EMIT willChange(); },
        .changed = [this](ModelChanges changes) { noteChanged(changes); },
    };
    m_attention = std::make_unique<Attention>(publication, m_clock);
    // Reads the persisted install stage.
    m_journey = std::make_unique<InstallJourney>(m_profileDirectory, publication, *m_attention);
    m_operations = std::make_unique<AgentOperations>(publication, m_clock);

    ModelContext context{
        .profileDirectory = m_profileDirectory,
        .publication = publication,
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

void AppModel::noteChanged(ModelChanges changes)
{
    // One emission per turn of the event loop, with everything the turn's writes changed.
    if (!m_pendingChanges)
        QMetaObject::invokeMethod(this, &AppModel::emitChanges, Qt::QueuedConnection);
    m_pendingChanges |= changes;
}

void AppModel::emitChanges()
{
    const ModelChanges changes = std::exchange(m_pendingChanges, {});
    if (changes)
        Q_EMIT changed(changes);
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

AppModel::RootPage AppModel::rootPage() const
{
    return m_journey->installationValidated() ? RootPage::dashboard : RootPage::setup;
}

// ---- Errors ----------------------------------------------------------------------------------------

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
        QFile::remove(QDir(m_profileDirectory).filePath(QStringLiteral("setup-state.json")));
        m_attention->requestFocus(FocusTarget::setupCode());
    }
    m_journey->markRunningPhasesFailed();
}

// ---- What the user does ----------------------------------------------------------------------------

QCoro::Task<std::optional<AgentOperations::Lease>> AppModel::pressTurn(AgentOperation kind)
{
    if (const auto refusal = m_operations->refusal()) {
        m_attention->showNotice(*refusal);
        co_return std::nullopt;
    }
    co_return co_await m_operations->press(kind);
}

void AppModel::setSetupCodeInput(const QString &text) { m_setup->setSetupCodeInput(text); }
void AppModel::setSetupAgentName(const QString &name) { m_setup->setSetupAgentName(name); }
void AppModel::setEnrollmentWorkspace(EnrollmentWorkspace workspace) { m_setup->setEnrollmentWorkspace(workspace); }
void AppModel::beginEnrollmentSetup() { m_setup->beginEnrollmentSetup(); }
void AppModel::useInstallCodeSetup() { m_setup->useInstallCodeSetup(); }

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

QCoro::Task<void> AppModel::openSetupAuthorization() { return m_authorization->openSetupAuthorization(); }

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
void AppModel::dismissPermissionPrompt() { m_permissions->dismissPermissionPrompt(); }
void AppModel::resolvePermission(PermissionKind kind) { m_permissions->resolvePermission(kind); }

QCoro::Task<void> AppModel::refreshOwnerSetup(bool forceRefresh) { return m_channel->refreshOwnerSetup(forceRefresh); }
QCoro::Task<void> AppModel::openOwnerSetup() { return m_channel->openOwnerSetup(); }
void AppModel::copyOwnerSetupLink() { m_channel->copyOwnerSetupLink(); }
QCoro::Task<void> AppModel::noteChannelBindingSessionAppeared(std::chrono::milliseconds delay)
{
    return m_channel->noteChannelBindingSessionAppeared(delay);
}
void AppModel::setChannelBindingSheetPresented(bool presented) { m_channel->setChannelBindingSheetPresented(presented); }

QCoro::Task<void> AppModel::updateAgent()
{
    // A second press while the update runs is no new update (and no refusal to show either).
    if (!m_journey->configurationReady() || m_updates->isUpdatingAgent())
        co_return;
    const auto turn = co_await pressTurn(AgentOperation::updateAgent);
    if (turn)
        co_await m_updates->updateAgent();
}

void AppModel::dismissAgentUpdate() { m_updates->dismissAgentUpdate(); }

QCoro::Task<void> AppModel::perform(RecoveryAction action)
{
    const std::optional<AgentOperation> kind = RecoveryController::operationOf(action.kind);
    if (!kind) {
        co_await m_recovery->perform(action);
        co_return;
    }
    // A second press of the action that runs is that action, not a refusal.
    if (const auto &running = m_operations->operation(); running && running->kind == *kind)
        co_return;
    const auto turn = co_await pressTurn(*kind);
    if (turn)
        co_await m_recovery->perform(action);
}
