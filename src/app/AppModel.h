#pragma once

#include "authorization/AuthorizationController.h"
#include "channel/ChannelController.h"
#include "model/AgentOperations.h"
#include "model/Attention.h"
#include "model/Effects.h"
#include "model/Failure.h"
#include "model/InstallJourney.h"
#include "model/ModelTypes.h"
#include "permissions/PermissionController.h"
#include "setup/SetupController.h"
#include "status/AgentRuntimeStatus.h"
#include "status/StatusController.h"
#include "updates/UpdateController.h"

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
class CLIService;
class RecoveryController;

// The one model of the application. The state lives in the controllers of the subsystems, each
// the only writer of its own; this face owns them, wires them to each other, runs the launch and
// `fail`, and takes the user's actions (the ones that act on the agent in turns). Views read the
// state through the owners' read-only interfaces it hands out. Every write of published state
// emits willChange() first.
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
    // Emitted once per turn of the event loop after writes that changed something, with the
    // groups they changed; the views render from it.
    void changed(ModelChanges changes);
    // The captured binding link has been loaded (construction starts the load in the channel stage).
    void capturedLinkLoaded();

public:
    // ---- The owners, read-only ----------------------------------------------------------------------
    // Views, the panel and the notifier read the published state where it lives; what the user
    // does goes through the operations below.

    const InstallJourney &journey() const { return *m_journey; }
    const Attention &attention() const { return *m_attention; }
    const AgentOperations &operations() const { return *m_operations; }
    const SetupController &setup() const { return *m_setup; }
    const AuthorizationController &authorization() const { return *m_authorization; }
    const PermissionController &permissions() const { return *m_permissions; }
    const ChannelController &channel() const { return *m_channel; }
    const StatusController &status() const { return *m_status; }
    const UpdateController &updates() const { return *m_updates; }

    const QString &appVersion() const { return m_appVersion; }
    // The agent's profile directory, where the markers, the logs and the agent's files live.
    const QString &profileDirectory() const { return m_profileDirectory; }
    QDateTime now() const { return m_clock(); }
    RootPage rootPage() const;

    // ---- Launch and activation ----------------------------------------------------------------------

    // Starts what `autoResume` starts (status monitoring and the launch's resume), once; nothing
    // without `autoResume`. Until then the window's activation checks nothing: the launch does.
    void startLaunch();
    QCoro::Task<void> resumeInstalledConfiguration();
    QCoro::Task<void> sceneDidBecomeActive();

    // Puts the model into its error state: the submission ends, the authorization card goes,
    // the error is shown, a code that can no longer be redeemed is forgotten (and the code field
    // focused), and every running phase is marked failed.
    void fail(const QString &code, const std::optional<QString> &message = std::nullopt);

    // ---- What the user does -------------------------------------------------------------------------
    // An action that acts on the agent waits for its turn, or is refused with a line while
    // another one runs (`operations().refusal()`).

    // The setup-code field's setter: stores the formatted input.
    void setSetupCodeInput(const QString &text);
    void setSetupAgentName(const QString &name);
    void setEnrollmentWorkspace(EnrollmentWorkspace workspace);
    void beginEnrollmentSetup();
    void useInstallCodeSetup();
    QCoro::Task<void> submitActiveSetup();
    QCoro::Task<void> submitSetupCode();
    QCoro::Task<void> submitEnrollmentSetup();
    QCoro::Task<void> openSetupAuthorization();

    QCoro::Task<void> continuePermissionOnboarding();
    QCoro::Task<void> confirmPermissionOnboarding(std::optional<PermissionKind> kind = std::nullopt);
    QCoro::Task<void> advancePermissionOnboarding();
    void openCurrentPermissionSettings();
    void dismissPermissionPrompt();
    // Opens the privacy pane of a revoked permission and follows it until it is granted.
    void resolvePermission(PermissionKind kind);

    QCoro::Task<void> refreshOwnerSetup(bool forceRefresh);
    QCoro::Task<void> openOwnerSetup();
    void copyOwnerSetupLink();
    QCoro::Task<void> noteChannelBindingSessionAppeared(std::chrono::milliseconds delay);
    void setChannelBindingSheetPresented(bool presented);

    QCoro::Task<void> updateAgent();
    void dismissAgentUpdate();
    QCoro::Task<void> perform(RecoveryAction action);

private:
    // Tests reach the owners' full interfaces through this, never through the face.
    friend struct AppModelAccess;

    void fail(const Failure::Report &report);
    void wireDefaultEffects(Options &options);
    QCoro::Task<void> launchResume();
    // A user's press of `kind`: its turn on the agent, or none when it is refused (the notice then
    // says why) or the model went away while it waited.
    QCoro::Task<std::optional<AgentOperations::Lease>> pressTurn(AgentOperation kind);
    // What the launch's resume of the persisted stage runs as; none when it runs nothing.
    std::optional<AgentOperation> resumeOperation() const;
    // Gathers what the writes of this turn changed, for one changed() on the next turn.
    void noteChanged(ModelChanges changes);
    void emitChanges();

    QString m_appVersion;
    Quorvantis::Sleeper m_sleeper;
    Clock m_clock;
    bool m_autoResume = false;
    bool m_launchPending = false;
    ModelChanges m_pendingChanges;
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
