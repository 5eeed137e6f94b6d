#pragma once

#include "model/AgentOperations.h"
#include "model/Effects.h"
#include "model/Failure.h"
#include "model/ModelTypes.h"
#include "status/AgentRuntimeStatus.h"
#include "status/StatusController.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class AgentDaemon;
class AgentStatusClient;
class Attention;
class AuthorizationController;
class ChannelController;
class CLIService;
class InstallJourney;
class PermissionController;
class RecoveryController;
class SetupController;
class UpdateController;

// The one model of the application, as the views, the tray panel and the tests see it: every
// documented property as a read accessor, every operation as a method. The state itself lives in
// the controllers of the subsystems, each the only writer of its own; this face owns them, wires
// them to each other and forwards. Every write of published state emits willChange() first.
class AppModel : public QObject
{
    Q_OBJECT

public:
    // ---- The model's enums and records (model/ModelTypes.h) ---------------------------------------

    using InstallStage = ::InstallStage;
    using SetupPhase = ::SetupPhase;
    using ProgressState = ::ProgressState;
    using OverallState = ::OverallState;
    using SetupEntryMode = ::SetupEntryMode;
    using EnrollmentWorkspace = ::EnrollmentWorkspace;
    using PermissionNativeState = ::PermissionNativeState;
    using RootPage = ::RootPage;
    using LoginItemState = ::LoginItemState;
    using ChromeState = ::ChromeState;
    using FocusTarget = ::FocusTarget;
    using RecoveryAction = ::RecoveryAction;
    using SetupProgressItem = ::SetupProgressItem;
    using PackageInstallProgress = ::PackageInstallProgress;
    using PermissionRule = ::PermissionRule;
    using PermissionItem = ::PermissionItem;
    using StatusSnapshot = ::StatusSnapshot;
    using DisplayError = ::DisplayError;
    using ActivityEvent = ::ActivityEvent;
    using RuntimePresentation = StatusController::RuntimePresentation;

    static QString title(SetupPhase phase) { return ::title(phase); }

    // ---- Construction ---------------------------------------------------------------------------

    using OutputHandler = ::OutputHandler;
    using AuthorizationHandler = ::AuthorizationHandler;
    using Clock = std::function<QDateTime()>;
    using Effects = ModelEffects;
    using LinkLoader = std::function<QCoro::Task<std::optional<OwnerSetupLink>>()>;
    using LinkSaver = std::function<void(std::optional<QUrl>, std::optional<QDateTime>)>;

    // Construction parameters. Everything may be left empty and then gets its default wiring,
    // except `bootstrapRetryDelays` and `autoResume`, which every caller states.
    struct Options
    {
        std::shared_ptr<CLIService> cli{};
        std::optional<QString> profileDirectory{};
        Effects effects{};
        LinkLoader ownerSetupLinkLoad{};
        LinkSaver ownerSetupLinkSave{};
        std::vector<std::chrono::milliseconds> bootstrapRetryDelays{};
        bool autoResume = false;
        // Every wait and every "now" of the model.
        Quorvantis::Sleeper sleeper{};
        Clock clock{};
        // The status client's per-request deadline; tests shorten it.
        std::optional<std::chrono::milliseconds> statusTimeout{};
        // One status document of the agent; empty: the status client's request on loopback.
        std::function<QCoro::Task<AgentRuntimeStatus>()> fetchStatus{};
        // With `autoResume`: the launch's work waits for startLaunch() (the window's first
        // paint) instead of starting with the model.
        bool deferLaunch = false;
    };

    explicit AppModel(Options options, QObject *parent = nullptr);
    ~AppModel() override;

Q_SIGNALS:
    // Emitted before every write of a published property, even of an equal value.
    void willChange();
    // The captured binding link has been loaded (construction starts the load in the channel stage).
    void capturedLinkLoaded();

public:
    // ---- Published properties ---------------------------------------------------------------------

    const QString &setupCode() const;
    const QString &setupAgentName() const;
    EnrollmentWorkspace enrollmentWorkspace() const;
    SetupEntryMode setupEntryMode() const;
    const std::optional<JITWorkspaceAuthorization> &setupAuthorization() const;
    bool onboardingCompleted() const;
    bool installationValidated() const;
    bool configurationReady() const;
    const QList<SetupProgressItem> &setupProgress() const;
    const std::optional<QString> &setupProgressDetail() const;
    const std::optional<PackageInstallProgress> &packageInstallProgress() const;
    const QList<PermissionItem> &permissions() const;
    const StatusSnapshot &statusSnapshot() const;
    const std::optional<DisplayError> &lastError() const;
    const QList<ActivityEvent> &activities() const;
    OverallState overallState() const;
    bool isSubmittingSetup() const;
    bool isPreparingEnvironment() const;
    bool isOpeningSetupAuthorization() const;
    bool setupAuthorizationOpenFailed() const;
    const FocusTarget &focusTarget() const;
    qint64 focusRevision() const;
    qint64 announcementRevision() const;
    const QString &announcement() const;
    bool pendingSetupResume() const;
    bool ownerSetupPending() const;
    bool isOpeningOwnerSetup() const;
    bool ownerSetupOpenFailed() const;
    bool ownerSetupDidOpen() const;
    bool ownerSetupLinkCopied() const;
    const std::optional<QString> &ownerSetupError() const;
    bool isLoadingOwnerSetup() const;
    bool isChannelBindingSheetPresented() const;
    bool channelBindingCompleted() const;
    bool channelOwnershipVerified() const;
    const std::optional<PermissionKind> &permissionPromptKind() const;
    bool permissionSettingsPrompt() const;
    AccessibilityStep accessibilityStep() const;
    const std::optional<AccessibilityProbeOutcome> &accessibilityProbeOutcome() const;
    bool isCheckingPermission() const;
    bool permissionOperationInFlight() const;
    bool isUpdatingAgent() const;
    const std::optional<QString> &availableAgentVersion() const;
    const QString &appVersion() const { return m_appVersion; }
    // The operation on the agent that runs (a press, or stage work the model started), and since
    // when. While one runs every other action that acts on the agent is refused; `operationRefusal`
    // says why in one line.
    const std::optional<RunningOperation> &operation() const;
    std::optional<QString> operationRefusal() const;
    bool acceptsPress() const { return !operation().has_value(); }
    // How the last action ended (or why it could not run), when nothing else shows it.
    const std::optional<QString> &actionNotice() const;

    // ---- Plain state ------------------------------------------------------------------------------

    LoginItemState loginItemState() const { return LoginItemState::unavailable; }
    ChromeState chromeState() const { return ChromeState::trusted; }
    const std::shared_ptr<CLIService> &cli() const { return m_cli; }
    AgentStatusClient &agentStatus() const { return *m_agentStatus; }
    const QString &profileDirectory() const { return m_profileDirectory; }
    const Effects &effects() const { return m_effects; }
    const std::vector<std::chrono::milliseconds> &bootstrapRetryDelays() const;
    std::optional<InstallStage> installStage() const;
    const std::optional<QUuid> &setupTaskID() const;
    bool statusTask() const;
    int consecutiveStatusFailures() const;
    quint64 statusSampleSequence() const;
    const std::optional<AgentRuntimeStatus> &previousRuntimeStatus() const;
    const std::optional<PermissionKind> &permissionAwaitingReturn() const;
    bool daemonInstallInFlight() const;
    bool ownerSetupRequestInFlight() const;
    const std::optional<QUrl> &ownerSetupURL() const;
    const std::optional<QDateTime> &ownerSetupExpiresAt() const;
    bool ownerSetupHasLiveSession() const;
    bool ownerSetupSawPendingBinding() const;
    const std::optional<QString> &dismissedAgentVersion() const;
    const std::optional<QString> &agentVersionChecked() const;
    bool agentUpdateCheckInFlight() const;
    bool didRecheckExistingPermissions() const;
    bool permissionRecheckPending() const;
    bool permissionReturnTaskRunning() const;
    const QSet<PermissionKind> &cachedCompletedPermissions() const;
    bool autoResume() const { return m_autoResume; }
    // Starts what `autoResume` starts (status monitoring and the launch's resume), once; nothing
    // without `autoResume`. Until then the window's activation checks nothing: the launch does.
    void startLaunch();
    bool isLaunchPending() const { return m_launchPending; }
    QDateTime now() const { return m_clock(); }

    // ---- Launch, activation and persisted state ---------------------------------------------------

    static std::optional<InstallStage> readInstallStage(const QString &directory);
    static QSet<PermissionKind> readCompletedPermissions(const QString &directory);
    static std::optional<PermissionKind> readAwaitingPermission(const QString &directory);
    static std::optional<AccessibilityProbeOutcome> readAccessibilityProbeOutcome(const QString &directory);
    QCoro::Task<void> resumeInstalledConfiguration();
    QCoro::Task<void> sceneDidBecomeActive();
    QCoro::Task<void> recheckExistingPermissionsOnLaunchIfNeeded();
    QCoro::Task<void> recoverExistingConfigurationIfNeeded();
    QString profileFile(const QString &name) const;

    // ---- Errors, recovery and activity ------------------------------------------------------------

    // Puts the model into its error state: the submission ends, the authorization card goes,
    // the error is shown, a code that can no longer be redeemed is forgotten (and the code field
    // focused), and every running phase is marked failed.
    void fail(const QString &code, const std::optional<QString> &message = std::nullopt);
    static std::optional<QString> safeErrorMessage(const std::optional<QString> &text);
    void appendActivity(const QString &summary);
    void requestFocus(FocusTarget target);

    // ---- Setup codes and names --------------------------------------------------------------------

    QString normalizedSetupCode() const;
    std::optional<QString> setupCodeValidationMessage() const;
    std::optional<QString> setupAgentNameValidationMessage() const;
    bool canSubmitSetup() const;
    bool canRequestEnrollmentSetup() const;
    bool canUseInstallCodeSetup() const;
    // The setup-code field's setter: stores the formatted input.
    void setSetupCodeInput(const QString &text);
    void setSetupAgentName(const QString &name);
    void setEnrollmentWorkspace(EnrollmentWorkspace workspace);

    // ---- Setup run --------------------------------------------------------------------------------

    using SetupOperation = std::function<QCoro::Task<CLIResult>(int attempt)>;
    QCoro::Task<void> submitActiveSetup();
    QCoro::Task<void> submitSetupCode();
    QCoro::Task<void> submitEnrollmentSetup();
    void beginEnrollmentSetup();
    void useInstallCodeSetup();
    QCoro::Task<void> runSetupWithTransientRetry(QUuid taskID, SetupOperation operation);
    void consumeSetupOutput(const QString &line);
    QCoro::Task<void> completeSetup();
    bool hasResumableSetupSession() const;
    bool hasClaimableSetupCode() const;
    OutputHandler setupOutputHandler();

    // ---- Progress ---------------------------------------------------------------------------------

    void applyProgress(SetupPhase phase, ProgressState state, const std::optional<QString> &detail = std::nullopt);
    void beginProgress();
    void updatePackageInstallProgress(std::optional<int> completed, std::optional<int> total);
    std::pair<int, int> setupProgressCounts() const;
    double setupProgressFraction() const;
    bool showsPackageInstallProgress() const;
    QString currentTask() const;

    // ---- Environment and daemon stages ------------------------------------------------------------

    QCoro::Task<void> prepareEnvironmentIfNeeded();
    QCoro::Task<void> finishDaemonInstallationIfNeeded();

    // ---- Permission onboarding --------------------------------------------------------------------

    QCoro::Task<void> continuePermissionOnboarding();
    QCoro::Task<void> confirmPermissionOnboarding(std::optional<PermissionKind> kind = std::nullopt);
    QCoro::Task<void> advancePermissionOnboarding();
    void openCurrentPermissionSettings();
    // Opens the privacy pane of a kind (the dashboard's revoked-permission rows).
    QCoro::Task<bool> openSystemSettings(std::optional<PermissionKind> kind);
    static QCoro::Task<bool> openSettings(std::optional<PermissionKind> kind);
    void dismissPermissionPrompt();
    // Opens the privacy pane of a revoked permission and follows it until it is granted.
    void resolvePermission(PermissionKind kind);
    void schedulePermissionReturnChecks(PermissionKind kind);
    QCoro::Task<void> finishPermissionStageIfReady();
    QCoro::Task<void> refreshExistingPermissions();
    void resetPermissionVerification();
    QString permissionSummary() const;
    std::pair<int, int> onboardingPermissionProgress() const;
    std::optional<PermissionItem> currentPermissionOnboardingItem() const;
    std::optional<PermissionKind> currentPermissionOnboardingKind() const;
    bool isVerifyingCurrentPermission() const;
    bool permissionNeedsUserAction() const;
    QString permissionSettingsGuidance() const;
    std::optional<QString> permissionSettingsFailure() const;

    // ---- Channel binding --------------------------------------------------------------------------

    QCoro::Task<void> enterChannelStage();
    QCoro::Task<void> refreshOwnerSetup(bool forceRefresh);
    QCoro::Task<void> openOwnerSetup();
    void copyOwnerSetupLink();
    QCoro::Task<void> noteChannelBindingSessionAppeared(std::chrono::milliseconds delay);
    void setChannelBindingSheetPresented(bool presented);
    bool canOpenOwnerSetup() const;
    bool ownerSetupOpenedByAgent() const;
    QString ownerSetupOpenButtonTitle() const;
    QString channelBindingSummary() const;

    // ---- Workspace authorization ------------------------------------------------------------------

    QCoro::Task<void> openSetupAuthorization();

    // ---- Status monitoring ------------------------------------------------------------------------

    void startStatusMonitoring();
    QCoro::Task<void> refreshAgentStatus();
    static RuntimePresentation runtimePresentation(const AgentRuntimeStatus &sample,
                                                   const std::optional<AgentRuntimeStatus> &previous);
    QString headlineStatusTitle() const;
    QString headlineStatusDetail() const;
    QString agentProcessDescription() const;
    QString heartbeatDescription(const QDateTime &now) const;

    // ---- Updates and recovery ---------------------------------------------------------------------

    QCoro::Task<void> checkAgentUpdate(std::optional<QString> currentVersion);
    QCoro::Task<void> updateAgent();
    QCoro::Task<bool> runCLIAction(QString script, QString failureCode);
    QCoro::Task<void> perform(RecoveryAction action);
    bool showsAgentUpdateBanner() const;
    QString agentUpdateBannerText() const;
    void dismissAgentUpdate();

    // ---- Views ------------------------------------------------------------------------------------

    RootPage rootPage() const { return installationValidated() ? RootPage::dashboard : RootPage::setup; }

private:
    void fail(const Failure::Report &report);
    void wireDefaultEffects(Options &options);
    QCoro::Task<void> launchResume();
    // A user's press of `kind`: its turn on the agent, or none when it is refused (the notice then
    // says why) or the model went away while it waited.
    QCoro::Task<std::optional<AgentOperations::Lease>> pressTurn(AgentOperation kind);
    // What the launch's resume of the persisted stage runs as; none when it runs nothing.
    std::optional<AgentOperation> resumeOperation() const;

    QString m_appVersion;
    Quorvantis::Sleeper m_sleeper;
    Clock m_clock;
    bool m_autoResume = false;
    bool m_launchPending = false;
    std::shared_ptr<CLIService> m_cli;
    QString m_profileDirectory;
    std::unique_ptr<AgentStatusClient> m_agentStatus;
    Effects m_effects;

    std::unique_ptr<Attention> m_attention;
    std::unique_ptr<InstallJourney> m_journey;
    std::unique_ptr<AgentOperations> m_operations;
    std::unique_ptr<AgentDaemon> m_daemon;
    bool m_activationCheckWaiting = false;
    // Declared last, destroyed first: a background task of a controller sees it gone before
    // anything it uses goes.
    std::unique_ptr<AuthorizationController> m_authorization;
    std::unique_ptr<PermissionController> m_permissions;
    std::unique_ptr<SetupController> m_setup;
    std::unique_ptr<StatusController> m_status;
    std::unique_ptr<ChannelController> m_channel;
    std::unique_ptr<UpdateController> m_updates;
    std::unique_ptr<RecoveryController> m_recovery;
};
