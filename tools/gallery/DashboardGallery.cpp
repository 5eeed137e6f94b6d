#include "DashboardGallery.h"

#include "app/AppModel.h"
#include "ui/ChannelBindingSessionSheet.h"
#include "ui/RootContentView.h"
#include "ui/Views.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QUuid>

#include <functional>
#include <memory>

namespace DashboardGallery {

namespace {

using namespace std::chrono_literals;

const QDateTime galleryNow = QDateTime(QDate(2026, 3, 6), QTime(10, 42, 18), Qt::LocalTime);

QCoro::Task<void> noWait(std::chrono::milliseconds)
{
    co_return;
}

QCoro::Task<bool> answer(bool value)
{
    co_return value;
}

QCoro::Task<CLIResult> exitStatus(int status)
{
    co_return CLIResult{status, std::nullopt};
}

QCoro::Task<OwnerSetupSession> noSession()
{
    throw QuorvantisNativeError(QStringLiteral("OWNER_SETUP_UNAVAILABLE"), QStringLiteral("gallery"));
    co_return OwnerSetupSession{};
}

QCoro::Task<std::optional<QString>> noVersion()
{
    co_return std::nullopt;
}

QCoro::Task<std::optional<OwnerSetupLink>> noLink()
{
    co_return std::nullopt;
}

void settle(int rounds = 6)
{
    for (int i = 0; i < rounds; ++i)
        QCoreApplication::processEvents();
}

// Runs a model task to its end on the event loop.
void run(QCoro::Task<void> task)
{
    bool done = false;
    auto wrapper = [](QCoro::Task<void> inner, bool *finished) -> QCoro::Task<void> {
        try {
            co_await std::move(inner);
        } catch (...) {
        }
        *finished = true;
    };
    auto running = wrapper(std::move(task), &done);
    const QDeadlineTimer deadline(5000);
    while (!done && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
}

// A model in a throw-away profile whose every effect is scripted to do nothing real.
struct Scene
{
    QTemporaryDir home;
    std::unique_ptr<AppModel> model;

    Scene()
    {
        AppModel::Effects effects;
        effects.permissionCheck = [](PermissionKind) { return answer(true); };
        effects.permissionPrepare = [](PermissionKind) { return answer(true); };
        effects.accessibilityPrepare = [](AccessibilityStep, bool) { return answer(true); };
        effects.environmentPrepare = [](AppModel::OutputHandler) { return exitStatus(0); };
        effects.daemonInstall = [](AppModel::OutputHandler) { return exitStatus(0); };
        effects.agentStarted = [] { return answer(true); };
        effects.openSystemSettings = [](std::optional<PermissionKind>) {};
        effects.ownerSetupRequest = [](std::optional<QUrl>, bool) { return noSession(); };
        effects.ownerSetupOpen = [](QUrl) { return answer(true); };
        effects.ownerSetupCopy = [](QUrl) { return true; };
        effects.ownerSetupLinkSave = [](std::optional<OwnerSetupLink>) {};
        effects.setupAuthorizationOpen = [](QUrl) { return answer(true); };
        effects.agentUpdateVersion = [] { return noVersion(); };
        effects.enrollmentKeyProvider = [] { return std::optional<QString>(); };
        effects.setupEnroll = [](QString, QString, QString, AppModel::OutputHandler, AppModel::AuthorizationHandler) {
            return exitStatus(1);
        };
        effects.setupResume = [](AppModel::OutputHandler, AppModel::AuthorizationHandler) { return exitStatus(1); };
        effects.setupWithCode = [](QString, std::optional<QString>, AppModel::OutputHandler,
                                   AppModel::AuthorizationHandler) { return exitStatus(1); };
        effects.runScript = [](QString, AppModel::OutputHandler) { return exitStatus(0); };
        effects.openURL = [](QUrl) { return true; };
        model = std::make_unique<AppModel>(AppModel::Options{
            .profileDirectory = home.filePath(QStringLiteral("profile")),
            .effects = effects,
            .ownerSetupLinkLoad = [] { return noLink(); },
            .ownerSetupLinkSave = [](std::optional<QUrl>, std::optional<QDateTime>) {},
            .bootstrapRetryDelays = {2s, 4s, 8s},
            .autoResume = false,
            .sleeper = [](std::chrono::milliseconds duration) { return noWait(duration); },
            .clock = [] { return galleryNow; },
        });
    }
};

// An installed, bound agent that answers its status endpoint.
void installedOnline(AppModel &model)
{
    model.configurationReady = true;
    model.installationValidated = true;
    model.onboardingCompleted = true;
    model.channelBindingCompleted = true;
    model.channelOwnershipVerified = true;
    model.overallState = AppModel::OverallState::online;
    model.appVersion = QStringLiteral("0.1.0");
    model.permissions.mutate([](QList<AppModel::PermissionItem> &items) {
        for (auto &item : items) {
            item.nativeState = AppModel::PermissionNativeState::granted;
            item.verified = true;
        }
    });
    AppModel::StatusSnapshot snapshot;
    snapshot.currentTask = QStringLiteral("Idle");
    snapshot.bridgeConnected = true;
    snapshot.handshakeComplete = true;
    snapshot.cloudConnected = true;
    snapshot.bridgeHeartbeatAt = galleryNow.addSecs(-1);
    snapshot.cloudHeartbeatAt = snapshot.bridgeHeartbeatAt;
    snapshot.agentVersion = QStringLiteral("1.4.2");
    snapshot.processID = 48213;
    snapshot.statusSequence = 57;
    model.statusSnapshot = snapshot;
}

QList<AppModel::ActivityEvent> sampleActivity()
{
    const QList<std::pair<int, QString>> entries{
        {4, QStringLiteral("Started working")},
        {31, QStringLiteral("Received a new message")},
        {95, QStringLiteral("Task complete")},
        {142, QStringLiteral("Organizing context")},
        {260, QStringLiteral("Started coding")},
        {318, QStringLiteral("Received new messages — 3 waiting")},
    };
    QList<AppModel::ActivityEvent> events;
    for (const auto &[secondsAgo, summary] : entries)
        events.append({QUuid::createUuid(), galleryNow.addSecs(-secondsAgo), AppModel::ActivityEvent::Source::agent, summary});
    return events;
}

struct State
{
    QString name;
    std::function<void(AppModel &)> prepare;
};

QList<State> dashboardStates()
{
    return {
        {QStringLiteral("dashboard-online"), [](AppModel &model) { installedOnline(model); }},
        {QStringLiteral("dashboard-working"),
         [](AppModel &model) {
             installedOnline(model);
             model.statusSnapshot.mutate([](AppModel::StatusSnapshot &snapshot) {
                 snapshot.currentTask = QStringLiteral("Working");
                 snapshot.isWorking = true;
                 snapshot.queueSize = 1;
             });
             model.activities = sampleActivity();
         }},
        {QStringLiteral("dashboard-disconnected"),
         [](AppModel &model) {
             installedOnline(model);
             model.activities = sampleActivity().mid(2);
             model.statusSnapshot.mutate(
                 [](AppModel::StatusSnapshot &snapshot) { snapshot.bridgeHeartbeatAt = galleryNow.addSecs(-7); });
             // Three polls of a status endpoint that is not there.
             for (int poll = 0; poll < 3; ++poll)
                 run(model.refreshAgentStatus());
         }},
        {QStringLiteral("dashboard-error-recovery"),
         [](AppModel &model) {
             installedOnline(model);
             model.fail(QStringLiteral("AGENT_START_TIMEOUT"), QStringLiteral("Agent 已安装，但未能在 15 秒内启动。"));
         }},
        {QStringLiteral("dashboard-error-no-recovery"),
         [](AppModel &model) {
             installedOnline(model);
             model.overallState = AppModel::OverallState::error;
             model.lastError = AppModel::DisplayError{QStringLiteral("AGENT_STATUS_UNREADABLE"),
                                                      QStringLiteral("Agent 状态暂时无法读取。"),
                                                      QStringLiteral("安装或运行尚未完成。请查看 App 中的安装详情。"),
                                                      AppModel::RecoveryAction::make(AppModel::RecoveryAction::Kind::none)};
         }},
        {QStringLiteral("dashboard-permission-missing"),
         [](AppModel &model) {
             installedOnline(model);
             model.permissions.mutate([](QList<AppModel::PermissionItem> &items) {
                 items[1].nativeState = AppModel::PermissionNativeState::notGranted;
                 items[1].verified = false;
             });
         }},
        {QStringLiteral("dashboard-channel-unbound"),
         [](AppModel &model) {
             installedOnline(model);
             model.channelBindingCompleted = false;
             model.channelOwnershipVerified = false;
             model.onboardingCompleted = false;
             model.installStage = AppModel::InstallStage::channel;
             model.statusSnapshot.mutate([](AppModel::StatusSnapshot &snapshot) { snapshot.currentTask.reset(); });
         }},
        {QStringLiteral("update-banner-idle"),
         [](AppModel &model) {
             installedOnline(model);
             model.availableAgentVersion = QStringLiteral("1.5.0");
         }},
        {QStringLiteral("update-banner-updating"),
         [](AppModel &model) {
             installedOnline(model);
             model.availableAgentVersion = QStringLiteral("1.5.0");
             model.isUpdatingAgent = true;
         }},
    };
}

QList<State> sheetStates()
{
    // Outside the channel stage the sheet's appearance refresh stays away, so each picture shows
    // exactly the flags set here.
    auto withLink = [](AppModel &model) {
        model.configurationReady = true;
        model.ownerSetupPending = true;
        model.ownerSetupURL = QUrl(QStringLiteral("https://onboarding.example/bind/7c1e"));
    };
    return {
        {QStringLiteral("sheet-waiting"), withLink},
        {QStringLiteral("sheet-opening"),
         [withLink](AppModel &model) {
             withLink(model);
             model.isOpeningOwnerSetup = true;
         }},
        {QStringLiteral("sheet-open-failed"),
         [withLink](AppModel &model) {
             withLink(model);
             model.ownerSetupOpenFailed = true;
             model.ownerSetupLinkCopied = true;
         }},
        {QStringLiteral("sheet-opened-by-agent"),
         [](AppModel &model) {
             model.configurationReady = true;
             model.ownerSetupPending = true;
             model.ownerSetupHasLiveSession = true;
         }},
        {QStringLiteral("sheet-verified"),
         [withLink](AppModel &model) {
             withLink(model);
             model.ownerSetupDidOpen = true;
             model.channelOwnershipVerified = true;
         }},
        {QStringLiteral("sheet-refresh-error"),
         [withLink](AppModel &model) {
             withLink(model);
             model.ownerSetupDidOpen = true;
             model.ownerSetupError = QStringLiteral("暂时无法获取 Channel 绑定状态，请检查网络后重试。");
         }},
    };
}

} // namespace

QStringList writeAll(const QString &directory)
{
    QDir().mkpath(directory);
    // Still spinners and no page animation: the pictures do not depend on timing.
    Motion::setReducedMotionOverride(true);
    QStringList written;

    for (const State &state : dashboardStates()) {
        Scene scene;
        state.prepare(*scene.model);
        RootContentView window(scene.model.get());
        window.resize(RootContentView::defaultSize);
        window.show();
        settle();
        const QString path = QDir(directory).filePath(state.name + QStringLiteral(".png"));
        if (window.grab().save(path))
            written.append(path);
        window.hide();
    }

    for (const State &state : sheetStates()) {
        Scene scene;
        state.prepare(*scene.model);
        ChannelBindingSessionSheet sheet(scene.model.get());
        sheet.resize(560, sheet.sizeHint().height());
        sheet.show();
        settle();
        sheet.resize(560, sheet.sizeHint().height());
        settle();
        const QString path = QDir(directory).filePath(state.name + QStringLiteral(".png"));
        if (sheet.grab().save(path))
            written.append(path);
        sheet.hide();
    }
    return written;
}

} // namespace DashboardGallery
