#pragma once

#include "app/Published.h"
#include "app/RawValues.h"
#include "app/Tasks.h"
#include "authorization/JITAuthorizationParser.h"
#include "channel/OwnerSetupClient.h"
#include "channel/OwnerSetupLinkStore.h"
#include "permissions/PermissionKind.h"
#include "process/QuorvantisNativeError.h"
#include "status/AgentRuntimeStatus.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
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

class CLIService;
class AgentStatusClient;

// The one model of the application. Views read its published properties and call its
// operations; every side effect goes through an effect function injected at construction.
//
// The behaviour is split across the subsystem folders: this header declares all of it,
// AppModel.cpp constructs, and e.g. setup/SetupRun.cpp defines the setup-run operations.
class AppModel : public QObject
{
    Q_OBJECT

public:
    // ---- Nested enums -----------------------------------------------------------------

    enum class InstallStage { runtime, permissions, setup, daemon, channel, handshake };
    friend constexpr RawValueTable<InstallStage, 6> rawValueTable(InstallStage)
    {
        return {{u"runtime", u"permissions", u"setup", u"daemon", u"channel", u"handshake"}};
    }

    enum class SetupPhase { runtime, preflight, permissions, redeem, configure, verify, starting, channel, handshake, online };
    friend constexpr RawValueTable<SetupPhase, 10> rawValueTable(SetupPhase)
    {
        return {{u"runtime", u"preflight", u"permissions", u"redeem", u"configure", u"verify", u"starting",
                 u"channel", u"handshake", u"online"}};
    }
    static QString title(SetupPhase phase);

    enum class ProgressState { pending, running, complete, failed };
    enum class OverallState { notInstalled, starting, waitingSetup, online, error };
    enum class SetupEntryMode { paste, enroll };

    enum class EnrollmentWorkspace { none, zoho, google };
    friend constexpr RawValueTable<EnrollmentWorkspace, 3> rawValueTable(EnrollmentWorkspace)
    {
        return {{u"none", u"zoho", u"google"}};
    }

    enum class PermissionNativeState { unknown, notGranted, granted };
    enum class RootPage { setup, dashboard };
    enum class LoginItemState { unavailable };
    enum class ChromeState { trusted };

    // A request to move keyboard focus: a permission row, the setup-code field or the
    // recovery button.
    struct FocusTarget
    {
        enum class Kind { permission, setupCode, recovery };
        Kind kind = Kind::setupCode;
        std::optional<PermissionKind> permission; // only for Kind::permission

        static FocusTarget forPermission(PermissionKind kind) { return {Kind::permission, kind}; }
        static FocusTarget setupCode() { return {Kind::setupCode, std::nullopt}; }
        static FocusTarget recovery() { return {Kind::recovery, std::nullopt}; }
        bool operator==(const FocusTarget &) const = default;
    };

    // What the error panel offers as its button.
    struct RecoveryAction
    {
        enum class Kind { openSystemSettings, none, enterInstallCode, retryInstall, restartAgent, openLogs,
                          checkForUpdates, recheckPermissions };
        Kind kind = Kind::none;
        std::optional<PermissionKind> permission; // only for Kind::openSystemSettings

        static RecoveryAction openSystemSettings(std::optional<PermissionKind> kind) { return {Kind::openSystemSettings, kind}; }
        static RecoveryAction make(Kind kind) { return {kind, std::nullopt}; }
        // The button title; absent for `none`.
        std::optional<QString> title() const;
        bool operator==(const RecoveryAction &) const = default;
    };

    // ---- Nested records ---------------------------------------------------------------

    struct SetupProgressItem
    {
        SetupPhase phase;
        ProgressState state = ProgressState::pending;
        bool operator==(const SetupProgressItem &) const = default;
    };

    struct PackageInstallProgress
    {
        int completed = 0;
        int total = 0;
        int percentage() const;
        bool operator==(const PackageInstallProgress &) const = default;
    };

    struct PermissionRule
    {
        PermissionKind kind;
        bool operator==(const PermissionRule &) const = default;
    };

    struct PermissionItem
    {
        PermissionRule rule;
        PermissionNativeState nativeState = PermissionNativeState::unknown;
        bool verified = false;
        bool operator==(const PermissionItem &) const = default;
    };

    struct StatusSnapshot
    {
        std::optional<QString> currentTask;
        bool isWorking = false;
        bool bridgeConnected = false;
        bool handshakeComplete = false;
        std::optional<QDateTime> bridgeHeartbeatAt;
        bool cloudConnected = false;
        std::optional<QDateTime> cloudHeartbeatAt;
        std::optional<QString> agentVersion;
        std::optional<QString> lastErrorCode;
        std::optional<qint64> processID;
        qint64 queueSize = 0;
        quint64 statusSequence = 0;

        static StatusSnapshot empty() { return {}; }
        bool operator==(const StatusSnapshot &) const = default;
    };

    struct DisplayError
    {
        QString code;
        QString message;
        QString impact;
        RecoveryAction recovery;

        // Maps a code and an optional raw message onto what the user sees.
        static DisplayError from(const QString &code, const std::optional<QString> &message);
        bool operator==(const DisplayError &) const = default;
    };

    struct ActivityEvent
    {
        enum class Source { agent, system };
        QUuid id;
        QDateTime occurredAt;
        Source source = Source::agent;
        QString summary;

        static QString sourceName(Source source);
        bool operator==(const ActivityEvent &) const = default;
    };

    // What one status sample means for the current-task line and the activity list.
    struct RuntimePresentation
    {
        QString taskLabel;
        std::optional<QString> activitySummary;
        bool operator==(const RuntimePresentation &) const = default;
    };

    // ---- Effects ----------------------------------------------------------------------

    using OutputHandler = std::function<void(const QString &)>;
    using AuthorizationHandler = std::function<void(const JITWorkspaceAuthorization &)>;
    using Clock = std::function<QDateTime()>;

    struct Effects
    {
        std::function<QCoro::Task<bool>(PermissionKind)> permissionCheck;
        std::function<QCoro::Task<bool>(PermissionKind)> permissionPrepare;
        std::function<QCoro::Task<bool>(AccessibilityStep, bool requestPrompt)> accessibilityPrepare;
        std::function<QCoro::Task<CLIResult>(OutputHandler)> environmentPrepare;
        std::function<QCoro::Task<CLIResult>(OutputHandler)> daemonInstall;
        std::function<QCoro::Task<bool>()> agentStarted;
        std::function<void(std::optional<PermissionKind>)> openSystemSettings;
        std::function<QCoro::Task<OwnerSetupSession>(std::optional<QUrl> existingURL, bool forceRefresh)> ownerSetupRequest;
        std::function<QCoro::Task<bool>(QUrl)> ownerSetupOpen;
        std::function<bool(QUrl)> ownerSetupCopy;
        std::function<void(std::optional<OwnerSetupLink>)> ownerSetupLinkSave;
        std::function<QCoro::Task<bool>(QUrl)> setupAuthorizationOpen;
        std::function<QCoro::Task<std::optional<QString>>()> agentUpdateVersion;
        std::function<std::optional<QString>()> enrollmentKeyProvider;
        std::function<QCoro::Task<CLIResult>(QString workspace, QString agentName, QString enrollmentKey, OutputHandler,
                                             AuthorizationHandler)>
            setupEnroll;
        std::function<QCoro::Task<CLIResult>(OutputHandler, AuthorizationHandler)> setupResume;

        // Two more seams, so every process run of the model can be scripted in tests:
        // the setup run with a code (default: CLIService::setup) and a "-c" script run
        // (default: CLIService::execute), used by the update and recovery actions.
        std::function<QCoro::Task<CLIResult>(QString code, std::optional<QString> agentName, OutputHandler,
                                             AuthorizationHandler)>
            setupWithCode;
        std::function<QCoro::Task<CLIResult>(QString script, OutputHandler)> runScript;
        // Opens a URL or folder on the desktop (releases page, logs directory).
        std::function<bool(QUrl)> openURL;
    };

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
    };

    explicit AppModel(Options options, QObject *parent = nullptr);
    ~AppModel() override;

Q_SIGNALS:
    // Emitted before every write of a published property, even of an equal value.
    void willChange();
    // The captured binding link has been loaded (construction starts the load).
    void capturedLinkLoaded();

public:
    // ---- Published properties, in declaration order -------------------------------------

    Published<QString> setupCode{notifier()};
    Published<QString> setupAgentName{notifier()};
    Published<EnrollmentWorkspace> enrollmentWorkspace{notifier(), EnrollmentWorkspace::none};
    Published<SetupEntryMode> setupEntryMode{notifier(), SetupEntryMode::paste};
    Published<std::optional<JITWorkspaceAuthorization>> setupAuthorization{notifier()};
    Published<bool> onboardingCompleted{notifier(), false};
    Published<bool> installationValidated{notifier(), false};
    Published<bool> configurationReady{notifier(), false};
    Published<QList<SetupProgressItem>> setupProgress{notifier(), initialProgress()};
    Published<std::optional<QString>> setupProgressDetail{notifier()};
    Published<std::optional<PackageInstallProgress>> packageInstallProgress{notifier()};
    Published<QList<PermissionItem>> permissions{notifier(), initialPermissions()};
    Published<StatusSnapshot> statusSnapshot{notifier(), StatusSnapshot::empty()};
    Published<std::optional<DisplayError>> lastError{notifier()};
    Published<QList<ActivityEvent>> activities{notifier()};
    Published<OverallState> overallState{notifier(), OverallState::notInstalled};
    Published<bool> isSubmittingSetup{notifier(), false};
    Published<bool> isPreparingEnvironment{notifier(), false};
    Published<bool> isOpeningSetupAuthorization{notifier(), false};
    Published<bool> setupAuthorizationOpenFailed{notifier(), false};
    Published<FocusTarget> focusTarget{notifier(), FocusTarget::setupCode()};
    Published<qint64> focusRevision{notifier(), 0};
    Published<qint64> announcementRevision{notifier(), 0};
    Published<QString> announcement{notifier()};
    Published<bool> pendingSetupResume{notifier(), false};
    Published<bool> ownerSetupPending{notifier(), false};
    Published<bool> isOpeningOwnerSetup{notifier(), false};
    Published<bool> ownerSetupOpenFailed{notifier(), false};
    Published<bool> ownerSetupDidOpen{notifier(), false};
    Published<bool> ownerSetupLinkCopied{notifier(), false};
    Published<std::optional<QString>> ownerSetupError{notifier()};
    Published<bool> isLoadingOwnerSetup{notifier(), false};
    Published<bool> isChannelBindingSheetPresented{notifier(), false};
    Published<bool> channelBindingCompleted{notifier(), false};
    Published<bool> channelOwnershipVerified{notifier(), false};
    Published<std::optional<PermissionKind>> permissionPromptKind{notifier()};
    Published<bool> permissionSettingsPrompt{notifier(), false};
    Published<AccessibilityStep> accessibilityStep{notifier(), AccessibilityStep::node};
    Published<std::optional<AccessibilityProbeOutcome>> accessibilityProbeOutcome{notifier()};
    Published<bool> isCheckingPermission{notifier(), false};
    Published<bool> permissionOperationInFlight{notifier(), false};
    Published<bool> isUpdatingAgent{notifier(), false};
    Published<std::optional<QString>> availableAgentVersion{notifier()};
    Published<QString> appVersion{notifier(), QStringLiteral("--")};

    // ---- Plain state, in declaration order ----------------------------------------------

    LoginItemState loginItemState = LoginItemState::unavailable;
    ChromeState chromeState = ChromeState::trusted;
    std::shared_ptr<CLIService> cli;
    std::unique_ptr<AgentStatusClient> agentStatus;
    QString profileDirectory;
    Effects effects;
    std::vector<std::chrono::milliseconds> bootstrapRetryDelays;
    std::optional<InstallStage> installStage;
    std::optional<QUuid> setupTaskID;
    bool statusTask = false; // the polling loop runs (one per process)
    int consecutiveStatusFailures = 0;
    quint64 statusSampleSequence = 0;
    std::optional<AgentRuntimeStatus> previousRuntimeStatus;
    std::optional<PermissionKind> permissionAwaitingReturn;
    bool daemonInstallInFlight = false;
    bool ownerSetupRequestInFlight = false;
    std::optional<QUrl> ownerSetupURL;
    std::optional<QDateTime> ownerSetupExpiresAt;
    bool ownerSetupHasLiveSession = false;
    bool ownerSetupSawPendingBinding = false;
    std::optional<QString> dismissedAgentVersion;
    std::optional<QString> agentVersionChecked;
    bool agentUpdateCheckInFlight = false;
    bool didRecheckExistingPermissions = false;
    bool permissionRecheckPending = false;
    quint64 permissionReturnGeneration = 0; // a new series of return checks replaces the old
    bool permissionReturnTaskRunning = false;
    QSet<PermissionKind> cachedCompletedPermissions;

    Quorvantis::Sleeper sleeper;
    Clock clock;
    bool autoResume = false;

    QDateTime now() const { return clock(); }
    QCoro::Task<void> sleep(std::chrono::milliseconds duration) { return sleeper(duration); }

    // ---- Launch, activation and persisted state ------------------------------------------

    void persistInstallStage(std::optional<InstallStage> stage);
    void persistCompletedPermissions();
    void persistAwaitingPermission(std::optional<PermissionKind> kind);
    static std::optional<InstallStage> readInstallStage(const QString &directory);
    static QSet<PermissionKind> readCompletedPermissions(const QString &directory);
    static std::optional<PermissionKind> readAwaitingPermission(const QString &directory);
    static std::optional<AccessibilityProbeOutcome> readAccessibilityProbeOutcome(const QString &directory);
    void restoreProgress(InstallStage stage);
    QCoro::Task<void> resumeInstalledConfiguration();
    QCoro::Task<void> sceneDidBecomeActive();
    QCoro::Task<void> recheckExistingPermissionsOnLaunchIfNeeded();
    QCoro::Task<void> recoverExistingConfigurationIfNeeded();
    QString profileFile(const QString &name) const;

    // ---- Errors, recovery and activity --------------------------------------------------

    void fail(const QString &code, const std::optional<QString> &message = std::nullopt);
    // Reports an error thrown by an effect: coded errors keep their code, others get `fallbackCode`.
    void fail(const std::exception_ptr &error, const QString &fallbackCode);
    static std::optional<QString> safeErrorMessage(const std::optional<QString> &text);
    void appendActivity(const QString &summary);
    void requestFocus(FocusTarget target);

    // ---- Setup codes and names ----------------------------------------------------------

    QString normalizedSetupCode() const;
    std::optional<QString> setupCodeValidationMessage() const;
    std::optional<QString> setupAgentNameValidationMessage() const;
    bool canSubmitSetup() const;
    bool canRequestEnrollmentSetup() const;
    bool canUseInstallCodeSetup() const;
    // The setup-code field's setter: stores the formatted input.
    void setSetupCodeInput(const QString &text);

    // ---- Setup run ----------------------------------------------------------------------

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
    AuthorizationHandler setupAuthorizationHandler();

private:
    // Gives the model a new current run and clears what the previous one left shown.
    QUuid beginSetupRun();

public:
    // ---- Progress -----------------------------------------------------------------------

    void applyProgress(const QString &phase, const QString &status, const std::optional<QString> &detail = std::nullopt);
    void beginProgress();
    void updatePackageInstallProgress(std::optional<int> completed, std::optional<int> total);
    std::pair<int, int> setupProgressCounts() const;
    double setupProgressFraction() const;
    bool showsPackageInstallProgress() const;
    QString currentTask() const;

    // ---- Environment and daemon stages ---------------------------------------------------

    QCoro::Task<void> prepareEnvironmentIfNeeded();
    QCoro::Task<void> finishDaemonInstallationIfNeeded();

    // ---- Permission onboarding ----------------------------------------------------------

    QCoro::Task<void> continuePermissionOnboarding();
    QCoro::Task<void> confirmPermissionOnboarding(std::optional<PermissionKind> kind = std::nullopt);
    QCoro::Task<void> advancePermissionOnboarding();
    void openCurrentPermissionSettings();
    static void openSettings(std::optional<PermissionKind> kind);
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

private:
    struct PermissionRefreshRun;
    // The System Settings pane of a kind (absent: accessibility).
    static QUrl permissionSettingsURL(std::optional<PermissionKind> kind);
    QCoro::Task<void> runPermissionReturnChecks(PermissionKind kind, quint64 generation);
    // Restarts a running agent so that it picks up a new accessibility grant; false (after
    // reporting the failure) when the restart did not succeed.
    QCoro::Task<bool> restartAgentAfterAccessibilityGrant();
    bool allPermissionsVerified() const;
    bool hasPermissionItem(PermissionKind kind) const;
    void setPermissionState(PermissionKind kind, PermissionNativeState state, bool verified);
    // Applies a probe's answer to the item and the completed set, and persists the set.
    void recordPermissionResult(PermissionKind kind, bool granted);
    void stopAwaitingPermission(PermissionKind kind);
    // The re-check of existing permissions that is running, joined by overlapping requests.
    std::shared_ptr<PermissionRefreshRun> m_permissionRefreshRun;
    // The failure a restart after the accessibility grant reported; a later restart that
    // succeeds takes it back while it is still the one shown.
    std::optional<DisplayError> m_permissionRestartError;
public:

    // ---- Channel binding ----------------------------------------------------------------

    QCoro::Task<void> enterChannelStage();
    QCoro::Task<void> refreshOwnerSetup(bool forceRefresh);
    QCoro::Task<void> openOwnerSetup();
    void copyOwnerSetupLink();
    QCoro::Task<void> noteChannelBindingSessionAppeared(std::chrono::milliseconds delay);
    bool canOpenOwnerSetup() const;
    bool ownerSetupOpenedByAgent() const;
    QString ownerSetupOpenButtonTitle() const;
    QString channelBindingSummary() const;

private:
    // Requests are retried this many times in all while no link is held, this far apart.
    static constexpr int ownerSetupMaxRequests = 10;
    static constexpr std::chrono::milliseconds ownerSetupRetryDelay{600};
    static bool isRetryableOwnerSetupFailure(const std::exception_ptr &error);
    static QString ownerSetupFailureMessage(const std::exception_ptr &error);
    void saveOwnerSetupLink(std::optional<OwnerSetupLink> link);
    void applyOwnerSetupSession(const OwnerSetupSession &session, bool forceRefresh);
    // Binding is complete: clears the link and moves the installation on to the handshake.
    void finishChannelBinding();
public:

    // ---- Workspace authorization --------------------------------------------------------

    QCoro::Task<void> openSetupAuthorization();

    // ---- Status monitoring --------------------------------------------------------------

    void startStatusMonitoring();
    QCoro::Task<void> refreshAgentStatus();
    static RuntimePresentation runtimePresentation(const AgentRuntimeStatus &sample,
                                                   const std::optional<AgentRuntimeStatus> &previous);
    QString headlineStatusTitle() const;
    QString headlineStatusDetail() const;
    QString agentProcessDescription() const;
    QString heartbeatDescription(const QDateTime &now) const;

private:
    static constexpr std::chrono::milliseconds statusPollInterval{2000};
    static constexpr std::chrono::milliseconds channelStatusPollInterval{500};
    static constexpr int statusFailuresBeforeError = 3;
    // The polling loop; holds the model only weakly and ends once it is gone.
    static QCoro::Task<void> statusPollingLoop(QPointer<AppModel> model);
    void applyStatusSample(const AgentRuntimeStatus &sample);
    void noteStatusFailure();
    void finishInstallationIfReady(const AgentRuntimeStatus &sample);
public:

    // ---- Updates and recovery -----------------------------------------------------------

    QCoro::Task<void> checkAgentUpdate(std::optional<QString> currentVersion);
    QCoro::Task<void> updateAgent();
    QCoro::Task<bool> runCLIAction(QString script, QString failureCode);
    QCoro::Task<void> perform(RecoveryAction action);
    bool showsAgentUpdateBanner() const;
    QString agentUpdateBannerText() const;
    void dismissAgentUpdate();

    // ---- Views ----------------------------------------------------------------------------

    RootPage rootPage() const { return installationValidated() ? RootPage::dashboard : RootPage::setup; }

private:
    Published<int>::Notifier notifier()
    {
        return [this] { Q_EMIT willChange(); };
    }
    static QList<SetupProgressItem> initialProgress();
    static QList<PermissionItem> initialPermissions();

    void wireDefaultEffects(Options &options);
    std::unique_ptr<AgentStatusClient> makeAgentStatusClient(std::optional<std::chrono::milliseconds> timeout);
    void restoreAtLaunch();
    QCoro::Task<void> launchResume();
    QCoro::Task<void> loadCapturedLink(LinkLoader loader);

    std::shared_ptr<OwnerSetupClient> m_ownerSetupClient;
    // Set while the captured binding link is being loaded at construction; the channel
    // refresh waits for it so that it never asks for a new link over a captured one.
    bool m_linkLoadPending = false;
};

// Free helpers of the setup-code field.
QString formattedQuorvantisSetupCodeInput(const QString &text);
std::optional<QString> canonicalQuorvantisSetupCode(const QString &text);

