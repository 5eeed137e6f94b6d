// The permission onboarding flow of the model, driven by scripted probes and virtual time.
#include "app/AppModel.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ModelFixture.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTest>

#include <coroutine>

#include <sys/stat.h>
#include <stdexcept>

using namespace std::chrono_literals;
using QuorvantisTest::await;

using Stage = AppModel::InstallStage;
using NativeState = AppModel::PermissionNativeState;
using Progress = AppModel::ProgressState;

namespace {

const PermissionKind kScreen = PermissionKind::screenRecording;
const PermissionKind kAccess = PermissionKind::accessibility;
const PermissionKind kDisk = PermissionKind::fullDiskAccess;

const QString deniedGuidance = QStringLiteral(
    "尚未检测到辅助功能授权。请在系统设置中同时开启稳定路径的 cliclick 和 Agent 使用的真实 node。"
    "若列表中已有 cliclick 却仍未通过，请删除该条目后重新添加——组件更新后只切换开关不会生效。");
const QString incompleteGuidance = QStringLiteral("运行环境中的 cliclick 组件不完整，请重新运行环境准备后再试。");
const QString mismatchGuidance = QStringLiteral("Agent 实际调用的 cliclick 不是已授权的那一个，请重新运行环境准备后再试。");

// What a scripted probe does when it is called.
enum class Answer { yes, no, throwsCoded, throwsOther, hang };

enum class DaemonOutcome { ok, exitStatus, coded, other };

// The scripted side effects of one model. Probe calls are recorded as "check:kind",
// "prepare:kind" and "ax:step:prompt"; each takes the next scripted answer, else its fallback.
struct Probes
{
    QHash<QString, QList<Answer>> script;
    QHash<QString, Answer> fallback;
    QStringList calls;

    // Suspended "hang" probes; release() lets them answer.
    std::vector<std::coroutine_handle<>> hung;
    bool hungAnswer = false;

    // Written to the probe state file by every accessibility probe, like the real probe does.
    QString profileDirectory;
    std::optional<QByteArray> accessibilityFile;

    bool agentRunning = false;
    DaemonOutcome daemon = DaemonOutcome::ok;
    std::optional<QString> daemonErrorLine;

    QList<std::optional<PermissionKind>> opened;

    Answer next(const QString &call)
    {
        calls << call;
        auto &queue = script[call];
        if (!queue.isEmpty())
            return queue.takeFirst();
        return fallback.value(call, Answer::no);
    }
    int count(const QString &call) const { return int(calls.count(call)); }

    void release(bool answer)
    {
        hungAnswer = answer;
        auto waiting = std::move(hung);
        hung.clear();
        for (auto handle : waiting)
            handle.resume();
    }
};

struct HangAwaiter
{
    Probes *probes;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) { probes->hung.push_back(handle); }
    void await_resume() const noexcept {}
};

QCoro::Task<bool> scriptedProbe(std::shared_ptr<Probes> probes, QString call)
{
    const Answer answer = probes->next(call);
    switch (answer) {
    case Answer::yes: co_return true;
    case Answer::no: co_return false;
    case Answer::throwsCoded: throw QuorvantisNativeError(QStringLiteral("PROBE_BROKEN"), QStringLiteral("探针失败"));
    case Answer::throwsOther: throw std::runtime_error("probe crashed");
    case Answer::hang: break;
    }
    HangAwaiter hang{probes.get()};
    co_await hang;
    co_return probes->hungAnswer;
}

QCoro::Task<bool> scriptedAccessibility(std::shared_ptr<Probes> probes, AccessibilityStep step, bool prompt)
{
    if (probes->accessibilityFile) {
        QFile file(QDir(probes->profileDirectory).filePath(QStringLiteral("mac-app-accessibility-probe")));
        if (file.open(QIODevice::WriteOnly))
            file.write(*probes->accessibilityFile);
    }
    co_return co_await scriptedProbe(probes, QStringLiteral("ax:%1:%2").arg(rawValue(step), prompt ? QStringLiteral("prompt") : QStringLiteral("check")));
}

QCoro::Task<bool> scriptedAgentStarted(std::shared_ptr<Probes> probes)
{
    probes->calls << QStringLiteral("agentStarted");
    co_return probes->agentRunning;
}

QCoro::Task<CLIResult> scriptedDaemon(std::shared_ptr<Probes> probes)
{
    probes->calls << QStringLiteral("daemonInstall");
    switch (probes->daemon) {
    case DaemonOutcome::ok: co_return CLIResult{0, std::nullopt};
    case DaemonOutcome::exitStatus: co_return CLIResult{3, probes->daemonErrorLine};
    case DaemonOutcome::coded:
        throw QuorvantisNativeError(QStringLiteral("INSTALL_LAUNCH_FAILED"), QStringLiteral("无法启动安装进程。"));
    case DaemonOutcome::other: throw std::runtime_error("daemon run broke");
    }
    co_return CLIResult{};
}

QCoro::Task<CLIResult> refusedRun()
{
    co_return CLIResult{1, std::nullopt};
}

std::optional<QByteArray> readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

// The shared model fixture with scripted probes, over the files a launch would find.
struct Fixture : ModelFixture
{
    std::shared_ptr<Probes> probes = std::make_shared<Probes>();
    AppModel *model = nullptr;

    struct Launch
    {
        std::optional<QByteArray> stage = std::nullopt;
        bool configured = false;
        std::optional<QByteArray> completed = std::nullopt;
        std::optional<QByteArray> awaiting = std::nullopt;
    };

    explicit Fixture(Launch launch)
    {
        probes->profileDirectory = profileDirectory();
        const std::pair<const char *, std::optional<QByteArray>> files[] = {
            {"mac-app-install-stage", launch.stage},
            {"config.json", launch.configured ? std::optional<QByteArray>("{}") : std::nullopt},
            {"mac-app-permissions-completed", launch.completed},
            {"mac-app-permission-awaiting", launch.awaiting}};
        for (const auto &[name, content] : files) {
            if (content)
                writeProfileFile(QString::fromLatin1(name), *content);
        }
        auto p = probes;
        effects.permissionCheck = [p](PermissionKind kind) { return scriptedProbe(p, QStringLiteral("check:") + rawValue(kind)); };
        effects.permissionPrepare = [p](PermissionKind kind) { return scriptedProbe(p, QStringLiteral("prepare:") + rawValue(kind)); };
        effects.accessibilityPrepare = [p](AccessibilityStep step, bool prompt) { return scriptedAccessibility(p, step, prompt); };
        effects.agentStarted = [p] { return scriptedAgentStarted(p); };
        effects.daemonInstall = [p](AppModel::OutputHandler) { return scriptedDaemon(p); };
        effects.openSystemSettings = [p](std::optional<PermissionKind> kind) { p->opened << kind; };
        effects.environmentPrepare = [](AppModel::OutputHandler) { return refusedRun(); };
        effects.runScript = [](QString, AppModel::OutputHandler) { return refusedRun(); };
        effects.openURL = [](QUrl) { return false; };
        CLIService::Options options;
        options.installLogPath = path("install.log");
        cli = std::make_shared<CLIService>(std::move(options));
        model = &make();
    }
    ~Fixture()
    {
        // Suspended probes and loops finish against a model that is gone.
        reset();
        probes->release(false);
    }

    QString path(const char *name) const { return profileFile(QString::fromLatin1(name)); }
    std::optional<QByteArray> file(const char *name) const { return readFile(path(name)); }
    bool privateFile(const char *name) const
    {
        struct stat status{};
        return ::stat(QFile::encodeName(path(name)).constData(), &status) == 0 && (status.st_mode & 07777) == 0600;
    }

    AppModel::PermissionItem item(PermissionKind kind) const
    {
        for (const auto &item : model->permissions()) {
            if (item.rule.kind == kind)
                return item;
        }
        return {};
    }
    void verify(PermissionKind kind)
    {
        model->permissions.mutate([kind](QList<AppModel::PermissionItem> &items) {
            for (auto &item : items) {
                if (item.rule.kind == kind) {
                    item.verified = true;
                    item.nativeState = NativeState::granted;
                }
            }
        });
    }
    // Passes the half-second waits of the return checks, one after another.
    void passReturnChecks(int count)
    {
        for (int i = 0; i < count; ++i)
            time.advance(500ms);
    }
};

Fixture::Launch onboarding()
{
    return {.stage = QByteArray("permissions\n")};
}

} // namespace

// Receives what the desktop would open.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
    Q_INVOKABLE void open(const QUrl &url) { urls << url; }
};

Q_DECLARE_METATYPE(PermissionKind)
Q_DECLARE_METATYPE(std::optional<PermissionKind>)
Q_DECLARE_METATYPE(Answer)
Q_DECLARE_METATYPE(DaemonOutcome)

class PermissionFlowTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void summaryAndProgress_data()
    {
        QTest::addColumn<int>("verified");
        QTest::addColumn<std::optional<AccessibilityProbeOutcome>>("outcome");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<std::optional<PermissionKind>>("current");
        QTest::addColumn<QString>("guidance");
        const std::optional<AccessibilityProbeOutcome> none;
        QTest::newRow("screen recording") << 0 << none << QStringLiteral("3 项权限需要处理") << std::optional(kScreen)
            << QStringLiteral("尚未检测到截图组件已获得屏幕录制授权。请在系统设置的屏幕录制列表中开启“macos-screenshot”；"
                              "若列表中没有它，点击列表下方 + 号，按 Shift-Command-G 前往 ~/.quorvantis/bin/ 选择 macos-screenshot。"
                              "组件更新后授权会失效，此时请删除条目再重新添加。");
        QTest::newRow("accessibility, no outcome") << 1 << none << QStringLiteral("2 项权限需要处理") << std::optional(kAccess)
                                                   << deniedGuidance;
        QTest::newRow("accessibility, unsupported") << 1 << std::optional(AccessibilityProbeOutcome::unsupported)
                                                    << QStringLiteral("2 项权限需要处理") << std::optional(kAccess)
                                                    << incompleteGuidance;
        QTest::newRow("full disk access") << 2 << std::optional(AccessibilityProbeOutcome::mismatch)
            << QStringLiteral("1 项权限需要处理") << std::optional(kDisk)
            << QStringLiteral("尚未检测到 Agent 使用的真实 node 已开启完全磁盘访问。请在系统设置中开启对应的 node；"
                              "若列表中没有它，点击 + 号后按 Shift-Command-G 手动添加该 node 路径。");
        QTest::newRow("all verified") << 3 << none << QStringLiteral("系统权限已配置") << std::optional<PermissionKind>()
                                      << QStringLiteral("尚未检测到所需的系统权限。");
    }

    void summaryAndProgress()
    {
        QFETCH(int, verified);
        QFETCH(std::optional<AccessibilityProbeOutcome>, outcome);
        QFETCH(QString, summary);
        QFETCH(std::optional<PermissionKind>, current);
        QFETCH(QString, guidance);
        Fixture f(onboarding());
        const PermissionKind order[] = {kScreen, kAccess, kDisk};
        for (int i = 0; i < verified; ++i)
            f.verify(order[i]);
        f.model->accessibilityProbeOutcome = outcome;
        QCOMPARE(f.model->permissionSummary(), summary);
        QCOMPARE(f.model->onboardingPermissionProgress(), std::make_pair(verified, 3));
        QCOMPARE(f.model->currentPermissionOnboardingKind(), current);
        QCOMPARE(f.model->permissionSettingsGuidance(), guidance);
    }

    void verifyingAndUserAction_data()
    {
        QTest::addColumn<bool>("inFlight");
        QTest::addColumn<bool>("settingsPrompt");
        QTest::addColumn<std::optional<PermissionKind>>("awaiting");
        QTest::addColumn<bool>("verifying");
        QTest::addColumn<bool>("needsAction");
        const std::optional<PermissionKind> none;
        QTest::newRow("first probe running") << true << false << none << true << false;
        QTest::newRow("re-probe after settings") << true << false << std::optional(kScreen) << false << true;
        QTest::newRow("idle, waiting for the user") << false << false << std::optional(kScreen) << false << true;
        QTest::newRow("settings prompt shown") << false << true << none << false << true;
        QTest::newRow("awaiting another kind") << true << false << std::optional(kDisk) << true << false;
        QTest::newRow("idle, nothing asked yet") << false << false << none << false << false;
    }

    void verifyingAndUserAction()
    {
        QFETCH(bool, inFlight);
        QFETCH(bool, settingsPrompt);
        QFETCH(std::optional<PermissionKind>, awaiting);
        QFETCH(bool, verifying);
        QFETCH(bool, needsAction);
        Fixture f(onboarding());
        f.model->permissionOperationInFlight = inFlight;
        f.model->permissionSettingsPrompt = settingsPrompt;
        f.model->permissionAwaitingReturn = awaiting;
        QCOMPARE(f.model->isVerifyingCurrentPermission(), verifying);
        QCOMPARE(f.model->permissionNeedsUserAction(), needsAction);
    }

    void openSettingsURL_data()
    {
        QTest::addColumn<std::optional<PermissionKind>>("kind");
        QTest::addColumn<QString>("url");
        const QString base = QStringLiteral("x-apple.systempreferences:com.apple.preference.security?");
        QTest::newRow("screen recording") << std::optional(kScreen) << base + QStringLiteral("Privacy_ScreenCapture");
        QTest::newRow("accessibility") << std::optional(kAccess) << base + QStringLiteral("Privacy_Accessibility");
        QTest::newRow("full disk access") << std::optional(kDisk) << base + QStringLiteral("Privacy_AllFiles");
        QTest::newRow("no kind") << std::optional<PermissionKind>() << base + QStringLiteral("Privacy_Accessibility");
    }

    void openSettingsURL()
    {
        QFETCH(std::optional<PermissionKind>, kind);
        QFETCH(QString, url);
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler(QStringLiteral("x-apple.systempreferences"), &recorder, "open");
        AppModel::openSettings(kind);
        QDesktopServices::unsetUrlHandler(QStringLiteral("x-apple.systempreferences"));

        QCOMPARE(recorder.urls.size(), 1);
        QCOMPARE(recorder.urls.first().toString(), url);
    }

    void openCurrentSettingsOnlyDuringOnboarding()
    {
        Fixture f(onboarding());
        f.verify(kScreen);
        f.model->openCurrentPermissionSettings();
        QCOMPARE(f.probes->opened, (QList<std::optional<PermissionKind>>{kAccess}));
        Fixture g({.stage = QByteArray("setup\n")});
        g.model->openCurrentPermissionSettings();
        QVERIFY(g.probes->opened.isEmpty());
    }

    void continueOpensTheVerificationPrompt()
    {
        Fixture f(onboarding());
        f.model->permissionSettingsPrompt = true;
        await(f.model->continuePermissionOnboarding());
        QCOMPARE(f.model->permissionPromptKind(), std::optional(kScreen));
        QVERIFY(!f.model->permissionSettingsPrompt());
        QVERIFY(f.probes->calls.isEmpty());

        // With everything verified, continuing finishes the stage without probing.
        Fixture g(onboarding());
        for (const auto kind : {kScreen, kAccess, kDisk})
            g.verify(kind);
        await(g.model->continuePermissionOnboarding());
        QVERIFY(g.probes->calls.isEmpty());
        QCOMPARE(g.model->installStage, std::optional(Stage::setup));
    }

    void advanceOutcomes_data()
    {
        QTest::addColumn<PermissionKind>("kind");
        QTest::addColumn<AccessibilityStep>("step");
        QTest::addColumn<bool>("passes");
        QTest::addColumn<int>("nativeState");
        QTest::addColumn<bool>("verified");
        QTest::addColumn<QByteArray>("completedAfter");
        QTest::addColumn<bool>("stillAwaiting");
        QTest::addColumn<AccessibilityStep>("stepAfter");
        // Every row starts from the completed set {kind} on file and the user sent to kind's pane.
        const int unknown = int(NativeState::unknown), no = int(NativeState::notGranted), yes = int(NativeState::granted);
        const auto node = AccessibilityStep::node, cliclick = AccessibilityStep::cliclick;
        QTest::newRow("plain kind passes") << kDisk << node << true << yes << true << QByteArray("fullDiskAccess\n") << false
                                           << node;
        QTest::newRow("node passes") << kAccess << node << true << unknown << false << QByteArray("accessibility\n") << false
                                     << cliclick;
        QTest::newRow("node fails") << kAccess << node << false << no << false << QByteArray("accessibility\n") << true
                                    << node;
        QTest::newRow("cliclick passes") << kAccess << cliclick << true << yes << true << QByteArray("accessibility\n")
                                         << false << cliclick;
        QTest::newRow("cliclick fails") << kAccess << cliclick << false << no << false << QByteArray() << true << cliclick;
    }

    void advanceOutcomes()
    {
        QFETCH(PermissionKind, kind);
        QFETCH(AccessibilityStep, step);
        QFETCH(bool, passes);
        QFETCH(int, nativeState);
        QFETCH(bool, verified);
        QFETCH(QByteArray, completedAfter);
        QFETCH(bool, stillAwaiting);
        QFETCH(AccessibilityStep, stepAfter);
        Fixture f({.stage = QByteArray("permissions\n"), .completed = rawValue(kind).toUtf8() + '\n',
                   .awaiting = rawValue(kind).toUtf8() + '\n'});
        f.verify(kScreen);
        if (kind == kDisk)
            f.verify(kAccess);
        f.model->accessibilityStep = step;
        const QString call = kind == kAccess ? QStringLiteral("ax:%1:check").arg(rawValue(step))
                                             : QStringLiteral("check:") + rawValue(kind);
        f.probes->fallback[call] = passes ? Answer::yes : Answer::no;
        await(f.model->advancePermissionOnboarding());

        QCOMPARE(f.probes->calls, QStringList{call});
        QCOMPARE(int(f.item(kind).nativeState), nativeState);
        QCOMPARE(f.item(kind).verified, verified);
        QCOMPARE(f.file("mac-app-permissions-completed").value_or(QByteArray()), completedAfter);
        QCOMPARE(f.file("mac-app-permission-awaiting").has_value(), stillAwaiting);
        QCOMPARE(f.model->accessibilityStep(), stepAfter);
        QVERIFY(!f.model->permissionOperationInFlight());
        // A pass of the last kind finishes the stage; nothing else does.
        QCOMPARE(f.model->installStage, std::optional(kind == kDisk && passes ? Stage::setup : Stage::permissions));
    }

    void confirmIgnoresOtherKindsAndOtherStages()
    {
        Fixture f(onboarding());
        f.model->permissionPromptKind = kAccess; // not the current kind
        await(f.model->confirmPermissionOnboarding());
        await(f.model->confirmPermissionOnboarding(kDisk));
        QVERIFY(f.probes->calls.isEmpty());
        QCOMPARE(f.model->permissionPromptKind(), std::optional(kAccess));

        Fixture g({.stage = QByteArray("setup\n")});
        const qint64 revision = g.model->focusRevision();
        await(g.model->confirmPermissionOnboarding(kScreen));
        await(g.model->advancePermissionOnboarding());
        QVERIFY(g.probes->calls.isEmpty());
        QCOMPARE(g.model->focusRevision(), revision);
    }

    void accessibilityNeedsTwoConfirms()
    {
        Fixture f(onboarding());
        f.verify(kScreen);
        f.probes->script[QStringLiteral("ax:node:check")] = {Answer::yes};
        f.probes->script[QStringLiteral("ax:cliclick:check")] = {Answer::yes};
        f.model->permissionPromptKind = kAccess;

        await(f.model->confirmPermissionOnboarding());
        QCOMPARE(f.probes->calls, QStringList{QStringLiteral("ax:node:check")});
        QCOMPARE(f.model->accessibilityStep(), AccessibilityStep::cliclick);
        QVERIFY(!f.item(kAccess).verified);
        QCOMPARE(f.model->permissionPromptKind(), std::optional(kAccess));
        QVERIFY(!f.model->permissionSettingsPrompt());

        await(f.model->confirmPermissionOnboarding());
        QCOMPARE(f.probes->calls, (QStringList{QStringLiteral("ax:node:check"), QStringLiteral("ax:cliclick:check")}));
        QVERIFY(f.item(kAccess).verified);
        QCOMPARE(f.model->currentPermissionOnboardingKind(), std::optional(kDisk));
        // Without a configuration there is no agent to restart.
        QCOMPARE(f.probes->count(QStringLiteral("agentStarted")), 0);
    }

    void allThreeFinishTheStage()
    {
        Fixture f(onboarding());
        for (const char *call : {"prepare:screenRecording", "prepare:fullDiskAccess", "ax:node:check", "ax:cliclick:check"})
            f.probes->fallback[QString::fromLatin1(call)] = Answer::yes;
        const qint64 revision = f.model->focusRevision();
        await(f.model->confirmPermissionOnboarding(kScreen));
        QCOMPARE(f.model->focusTarget(), AppModel::FocusTarget::forPermission(kScreen));
        QCOMPARE(f.model->focusRevision(), revision + 1);
        QCOMPARE(f.time.pendingSleepers(), 0); // no return checks after a pass
        await(f.model->confirmPermissionOnboarding(kAccess));
        await(f.model->confirmPermissionOnboarding(kAccess));
        QCOMPARE(f.model->installStage, std::optional(Stage::permissions));
        await(f.model->confirmPermissionOnboarding(kDisk));

        QCOMPARE(f.model->installStage, std::optional(Stage::setup));
        QCOMPARE(f.file("mac-app-install-stage"), std::optional(QByteArray("setup\n")));
        QCOMPARE(f.file("mac-app-permissions-completed"),
                 std::optional(QByteArray("screenRecording\naccessibility\nfullDiskAccess\n")));
        QVERIFY(!f.file("mac-app-permission-awaiting"));
        QCOMPARE(f.model->overallState(), AppModel::OverallState::waitingSetup);
        QCOMPARE(f.model->focusTarget(), AppModel::FocusTarget::setupCode());
        QCOMPARE(f.model->setupProgress()[int(AppModel::SetupPhase::permissions)].state, Progress::complete);
        QCOMPARE(f.model->setupProgress()[int(AppModel::SetupPhase::redeem)].state, Progress::pending);
    }

    void failedConfirmWaitsForTheUser()
    {
        Fixture f(onboarding());
        f.model->permissionPromptKind = kScreen;
        await(f.model->confirmPermissionOnboarding());
        QCOMPARE(f.item(kScreen).nativeState, NativeState::notGranted);
        QCOMPARE(f.model->permissionAwaitingReturn, std::optional(kScreen));
        QVERIFY(f.model->permissionSettingsPrompt());
        QVERIFY(f.model->permissionNeedsUserAction());
        QVERIFY(!f.model->permissionOperationInFlight());
        QCOMPARE(f.time.requested(), (QList<std::chrono::milliseconds>{500ms}));
        QCOMPARE(f.model->lastError(), std::nullopt);

        // Continue now re-probes instead of reopening the verification prompt.
        f.probes->script[QStringLiteral("check:screenRecording")] = {Answer::yes};
        await(f.model->continuePermissionOnboarding());
        QCOMPARE(f.probes->calls, (QStringList{QStringLiteral("prepare:screenRecording"), QStringLiteral("check:screenRecording")}));
        QVERIFY(f.item(kScreen).verified);
        QCOMPARE(f.model->permissionAwaitingReturn, std::nullopt);
    }

    void restartAfterCliclick_data()
    {
        QTest::addColumn<bool>("agentRunning");
        QTest::addColumn<DaemonOutcome>("daemon");
        QTest::addColumn<std::optional<QString>>("errorLine");
        QTest::addColumn<bool>("verified");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        const std::optional<QString> none;
        QTest::newRow("agent not running") << false << DaemonOutcome::ok << none << true << QString() << QString();
        QTest::newRow("restarted") << true << DaemonOutcome::ok << none << true << QString() << QString();
        QTest::newRow("exit status with a line")
            << true << DaemonOutcome::exitStatus << std::optional(QStringLiteral("  launchctl bootstrap failed \n")) << false
            << QStringLiteral("AGENT_RESTART_FAILED") << QStringLiteral("launchctl bootstrap failed");
        QTest::newRow("exit status with a secret line")
            << true << DaemonOutcome::exitStatus << std::optional(QStringLiteral("token=[REDACTED]")) << false
            << QStringLiteral("AGENT_RESTART_FAILED") << QStringLiteral("操作失败：AGENT_RESTART_FAILED");
        QTest::newRow("coded error") << true << DaemonOutcome::coded << none << false << QStringLiteral("INSTALL_LAUNCH_FAILED")
                                     << QStringLiteral("无法启动安装进程。");
        QTest::newRow("other error") << true << DaemonOutcome::other << none << false << QStringLiteral("AGENT_RESTART_FAILED")
                                     << QStringLiteral("操作失败：AGENT_RESTART_FAILED");
    }

    void restartAfterCliclick()
    {
        QFETCH(bool, agentRunning);
        QFETCH(DaemonOutcome, daemon);
        QFETCH(std::optional<QString>, errorLine);
        QFETCH(bool, verified);
        QFETCH(QString, code);
        QFETCH(QString, message);
        Fixture f({.stage = QByteArray("permissions\n"), .configured = true});
        f.verify(kScreen);
        f.probes->agentRunning = agentRunning;
        f.probes->daemon = daemon;
        f.probes->daemonErrorLine = errorLine;
        f.probes->fallback[QStringLiteral("ax:node:check")] = Answer::yes;
        f.probes->fallback[QStringLiteral("ax:cliclick:check")] = Answer::yes;
        await(f.model->confirmPermissionOnboarding(kAccess));
        QCOMPARE(f.probes->count(QStringLiteral("agentStarted")), 0); // node alone restarts nothing
        await(f.model->confirmPermissionOnboarding(kAccess));

        QCOMPARE(f.probes->count(QStringLiteral("daemonInstall")), agentRunning ? 1 : 0);
        QCOMPARE(f.item(kAccess).verified, verified);
        QCOMPARE(AppModel::readCompletedPermissions(f.profileDirectory()).contains(kAccess), verified);
        if (verified) {
            QCOMPARE(f.model->lastError(), std::nullopt);
            return;
        }
        QCOMPARE(f.model->lastError()->code, code);
        QCOMPARE(f.model->lastError()->message, message);
        QCOMPARE(f.model->overallState(), AppModel::OverallState::error);
        QCOMPARE(f.model->setupProgress()[int(AppModel::SetupPhase::permissions)].state, Progress::failed);
        // The user can confirm the cliclick step again, and a successful restart ends the failure.
        QCOMPARE(f.model->accessibilityStep(), AccessibilityStep::cliclick);
        f.probes->daemon = DaemonOutcome::ok;
        await(f.model->confirmPermissionOnboarding(kAccess));
        QVERIFY(f.item(kAccess).verified);
        QCOMPARE(f.model->lastError(), std::nullopt);
        QCOMPARE(f.model->setupProgress()[int(AppModel::SetupPhase::permissions)].state, Progress::running);
    }

    void returnChecksStopAtTheFirstPass()
    {
        Fixture f(onboarding());
        await(f.model->confirmPermissionOnboarding(kScreen));
        QCOMPARE(f.file("mac-app-permission-awaiting"), std::optional(QByteArray("screenRecording\n")));
        QVERIFY(f.privateFile("mac-app-permission-awaiting"));
        QCOMPARE(AppModel::readAwaitingPermission(f.profileDirectory()), std::optional(kScreen));
        f.probes->script[QStringLiteral("check:screenRecording")] = {Answer::yes};

        f.passReturnChecks(1);
        QCOMPARE(f.probes->count(QStringLiteral("check:screenRecording")), 1);
        QVERIFY(f.item(kScreen).verified);
        QVERIFY(!f.file("mac-app-permission-awaiting"));
        QCOMPARE(f.file("mac-app-permissions-completed"), std::optional(QByteArray("screenRecording\n")));
        QVERIFY(f.privateFile("mac-app-permissions-completed"));
        QCOMPARE(f.time.pendingSleepers(), 0);
        QVERIFY(!f.model->permissionReturnTaskRunning);
        f.passReturnChecks(5);
        QCOMPARE(f.probes->calls.size(), 2);
    }

    void returnChecksStopAfter120Passes()
    {
        Fixture f(onboarding());
        await(f.model->confirmPermissionOnboarding(kScreen));
        f.passReturnChecks(119);
        QVERIFY(f.model->permissionReturnTaskRunning);
        f.passReturnChecks(1);
        QCOMPARE(f.probes->count(QStringLiteral("check:screenRecording")), 120);
        QVERIFY(!f.model->permissionReturnTaskRunning);
        f.passReturnChecks(20);
        QCOMPARE(f.probes->count(QStringLiteral("check:screenRecording")), 120);
        QCOMPARE(f.time.elapsed(), 140 * 500ms);
        // Still waiting for the user: nothing was verified.
        QCOMPARE(f.model->permissionAwaitingReturn, std::optional(kScreen));
    }

    void returnChecksStopWhenTheUserMovesOn_data()
    {
        QTest::addColumn<QString>("move");
        QTest::addColumn<int>("checksAfterMove");
        // Checks counted after the move, over 200 more half-seconds.
        QTest::newRow("verification reset") << QStringLiteral("reset") << 0;
        QTest::newRow("granted on activation") << QStringLiteral("activation") << 0;
        QTest::newRow("stage left") << QStringLiteral("stage") << 0;
        QTest::newRow("confirmed again") << QStringLiteral("reconfirm") << 120;
    }

    void returnChecksStopWhenTheUserMovesOn()
    {
        QFETCH(QString, move);
        QFETCH(int, checksAfterMove);
        Fixture f(onboarding());
        await(f.model->confirmPermissionOnboarding(kScreen));
        f.passReturnChecks(30);
        if (move == u"reset") {
            f.model->resetPermissionVerification();
        } else if (move == u"activation") {
            // The awaited kind is granted, so the current kind changes to accessibility.
            f.probes->script[QStringLiteral("check:screenRecording")] = {Answer::yes};
            await(f.model->sceneDidBecomeActive());
            QCOMPARE(f.model->currentPermissionOnboardingKind(), std::optional(kAccess));
        } else if (move == u"stage") {
            f.model->installStage = Stage::setup;
        } else {
            await(f.model->confirmPermissionOnboarding(kScreen));
        }
        const int before = f.probes->count(QStringLiteral("check:screenRecording"));
        f.passReturnChecks(200);
        QCOMPARE(f.probes->count(QStringLiteral("check:screenRecording")) - before, checksAfterMove);
        QCOMPARE(f.time.pendingSleepers(), 0);
    }

    void returnChecksEndWithTheModel()
    {
        Fixture f(onboarding());
        await(f.model->confirmPermissionOnboarding(kScreen));
        QCOMPARE(f.time.pendingSleepers(), 1);
        const auto probes = f.probes;
        f.reset();
        f.passReturnChecks(3);
        QCOMPARE(f.time.pendingSleepers(), 0);
        QCOMPARE(probes->count(QStringLiteral("check:screenRecording")), 0);
    }

    void activationDuringAProbeIsOwed_data()
    {
        QTest::addColumn<bool>("probePasses");
        QTest::newRow("probe fails: the owed re-check runs") << false;
        QTest::newRow("probe passes: the owed re-check is dropped") << true;
    }

    void activationDuringAProbeIsOwed()
    {
        QFETCH(bool, probePasses);
        Fixture f(onboarding());
        await(f.model->confirmPermissionOnboarding(kScreen)); // fails: now waiting for the user
        f.probes->script[QStringLiteral("prepare:screenRecording")] = {Answer::hang};
        auto confirm = f.model->confirmPermissionOnboarding(kScreen);
        await(f.model->sceneDidBecomeActive());
        QVERIFY(f.model->permissionRecheckPending);
        QCOMPARE(f.probes->count(QStringLiteral("check:screenRecording")), 0);

        f.probes->script[QStringLiteral("check:screenRecording")] = {Answer::yes};
        f.probes->release(probePasses);
        await(std::move(confirm));

        QVERIFY(!f.model->permissionRecheckPending);
        QVERIFY(!f.model->isCheckingPermission());
        QCOMPARE(f.probes->count(QStringLiteral("check:screenRecording")), probePasses ? 0 : 1);
        // Either the confirm or the owed re-check found the grant.
        QVERIFY(f.item(kScreen).verified);
        QCOMPARE(f.model->permissionAwaitingReturn, std::nullopt);
    }

    void launchResumesAnAwaitedKind()
    {
        Fixture f({.stage = QByteArray("permissions\n"), .awaiting = QByteArray(" screenRecording \n\n")});
        f.probes->script[QStringLiteral("check:screenRecording")] = {Answer::yes};
        await(f.model->resumeInstalledConfiguration());
        QCOMPARE(f.probes->calls, QStringList{QStringLiteral("check:screenRecording")});
        QVERIFY(f.item(kScreen).verified);
        QVERIFY(!f.file("mac-app-permission-awaiting"));
        QCOMPARE(f.file("mac-app-permissions-completed"), std::optional(QByteArray("screenRecording\n")));
    }

    void revokedPermissionReturnsToOnboarding()
    {
        Fixture f({.configured = true});
        QVERIFY(f.model->installationValidated());
        f.probes->fallback[QStringLiteral("check:screenRecording")] = Answer::yes;
        f.probes->fallback[QStringLiteral("check:fullDiskAccess")] = Answer::yes;
        await(f.model->sceneDidBecomeActive());

        QCOMPARE(f.probes->calls.size(), 3);
        QCOMPARE(f.model->installStage, std::optional(Stage::permissions));
        QCOMPARE(f.file("mac-app-install-stage"), std::optional(QByteArray("permissions\n")));
        QVERIFY(f.privateFile("mac-app-install-stage"));
        QVERIFY(!f.model->installationValidated());
        QVERIFY(f.model->pendingSetupResume());
        QCOMPARE(f.model->setupProgress()[int(AppModel::SetupPhase::permissions)].state, Progress::running);
        QCOMPARE(f.file("mac-app-permissions-completed"), std::optional(QByteArray("screenRecording\nfullDiskAccess\n")));
        QCOMPARE(f.model->currentPermissionOnboardingKind(), std::optional(kAccess));

        // Another activation probes nothing: the user has not been sent anywhere yet.
        await(f.model->sceneDidBecomeActive());
        QCOMPARE(f.probes->calls.size(), 3);

        // Granting accessibility again finishes the installation again: its configuration is
        // still there, so there is no setup code to redeem.
        f.probes->fallback[QStringLiteral("ax:node:check")] = Answer::yes;
        f.probes->fallback[QStringLiteral("ax:cliclick:check")] = Answer::yes;
        await(f.model->confirmPermissionOnboarding(kAccess));
        await(f.model->confirmPermissionOnboarding(kAccess));
        QCOMPARE(f.model->installStage, std::nullopt);
        QVERIFY(!f.file("mac-app-install-stage"));
        QVERIFY(f.model->installationValidated());
        for (const auto &item : f.model->setupProgress())
            QCOMPARE(item.state, Progress::complete);
    }

    void intactInstallationIsRecheckedOnce()
    {
        Fixture f({.configured = true});
        for (const char *call : {"check:screenRecording", "check:accessibility", "check:fullDiskAccess"})
            f.probes->fallback[QString::fromLatin1(call)] = Answer::yes;
        await(f.model->sceneDidBecomeActive());
        await(f.model->sceneDidBecomeActive());
        QCOMPARE(f.probes->calls.size(), 3);
        QCOMPARE(f.model->installStage, std::nullopt);
        QCOMPARE(f.file("mac-app-permissions-completed"),
                 std::optional(QByteArray("screenRecording\naccessibility\nfullDiskAccess\n")));

        // An explicit re-check (the menu's action) probes again.
        await(f.model->refreshExistingPermissions());
        QCOMPARE(f.probes->calls.size(), 6);
    }

    void overlappingRechecksShareOneProbeRun()
    {
        Fixture f({.configured = true});
        f.probes->script[QStringLiteral("check:screenRecording")] = {Answer::hang};
        f.probes->fallback[QStringLiteral("check:accessibility")] = Answer::yes;
        auto first = f.model->refreshExistingPermissions();
        auto second = f.model->refreshExistingPermissions();
        QCOMPARE(f.probes->calls.size(), 1);
        f.probes->release(true);
        await(std::move(first));
        await(std::move(second));
        QCOMPARE(f.probes->calls.size(), 3);
        QVERIFY(f.item(kScreen).verified);
        QCOMPARE(f.item(kDisk).nativeState, NativeState::notGranted);
    }

    void confirmForgetsTheKindWhileProbing()
    {
        Fixture f({.stage = QByteArray("permissions\n"), .completed = QByteArray("screenRecording\naccessibility\n")});
        f.probes->script[QStringLiteral("prepare:screenRecording")] = {Answer::hang};
        auto confirm = f.model->confirmPermissionOnboarding(kScreen);
        QCOMPARE(f.file("mac-app-permissions-completed"), std::optional(QByteArray("accessibility\n")));
        f.probes->release(true);
        await(std::move(confirm));
        QCOMPARE(f.file("mac-app-permissions-completed"), std::optional(QByteArray("screenRecording\naccessibility\n")));

        // Emptying the set removes the file.
        Fixture g({.stage = QByteArray("permissions\n"), .completed = QByteArray("screenRecording\n")});
        await(g.model->confirmPermissionOnboarding(kScreen));
        QVERIFY(!g.file("mac-app-permissions-completed"));
    }

    void resetForgetsVerificationButNotTheCompletedSet()
    {
        Fixture f({.stage = QByteArray("permissions\n"), .completed = QByteArray("screenRecording\n"),
                   .awaiting = QByteArray("accessibility\n")});
        f.verify(kScreen);
        f.model->resetPermissionVerification();
        QCOMPARE(f.item(kScreen).nativeState, NativeState::unknown);
        QVERIFY(!f.item(kScreen).verified);
        QVERIFY(!f.file("mac-app-permission-awaiting"));
        QCOMPARE(f.file("mac-app-permissions-completed"), std::optional(QByteArray("screenRecording\n")));
    }

    void probeStateFile_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<std::optional<AccessibilityProbeOutcome>>("outcome");
        QTest::addColumn<QString>("guidance");
        const std::optional<AccessibilityProbeOutcome> none;
        QTest::newRow("mismatch with white space") << QStringLiteral("file") << QByteArray("  mismatch \n\n")
                                                   << std::optional(AccessibilityProbeOutcome::mismatch) << mismatchGuidance;
        QTest::newRow("missing") << QStringLiteral("file") << QByteArray("missing\n")
                                 << std::optional(AccessibilityProbeOutcome::missing) << incompleteGuidance;
        QTest::newRow("unknown word") << QStringLiteral("file") << QByteArray("maybe\n") << none << deniedGuidance;
        QTest::newRow("binary") << QStringLiteral("file") << QByteArray("\xff\xfe\x00mis\x80", 8) << none << deniedGuidance;
        QTest::newRow("huge") << QStringLiteral("file") << QByteArray(200 * 1024, 'm') << none << deniedGuidance;
        QTest::newRow("directory") << QStringLiteral("directory") << QByteArray() << none << deniedGuidance;
        QTest::newRow("absent") << QStringLiteral("absent") << QByteArray() << none << deniedGuidance;
    }

    void probeStateFile()
    {
        QFETCH(QString, shape);
        QFETCH(QByteArray, content);
        QFETCH(std::optional<AccessibilityProbeOutcome>, outcome);
        QFETCH(QString, guidance);
        Fixture f(onboarding());
        f.verify(kScreen);
        if (shape == u"file")
            f.probes->accessibilityFile = content;
        else if (shape == u"directory")
            QVERIFY(QDir().mkpath(f.path("mac-app-accessibility-probe")));
        // A stale outcome from an earlier probe must not survive an unreadable file.
        f.model->accessibilityProbeOutcome = AccessibilityProbeOutcome::unsupported;
        await(f.model->confirmPermissionOnboarding(kAccess));
        QCOMPARE(f.model->accessibilityProbeOutcome(), outcome);
        QCOMPARE(f.model->permissionSettingsGuidance(), guidance);
        QCOMPARE(f.model->permissionAwaitingReturn, std::optional(kAccess));
        QCOMPARE(f.model->lastError(), std::nullopt);
    }

    void throwingProbesReadAsNotGranted_data()
    {
        QTest::addColumn<Answer>("answer");
        QTest::newRow("coded error") << Answer::throwsCoded;
        QTest::newRow("other error") << Answer::throwsOther;
    }

    void throwingProbesReadAsNotGranted()
    {
        QFETCH(Answer, answer);
        // The first probe of a kind.
        Fixture f(onboarding());
        f.probes->fallback[QStringLiteral("prepare:screenRecording")] = answer;
        await(f.model->confirmPermissionOnboarding(kScreen));
        QCOMPARE(f.item(kScreen).nativeState, NativeState::notGranted);
        QCOMPARE(f.model->permissionAwaitingReturn, std::optional(kScreen));
        QVERIFY(!f.model->permissionOperationInFlight());
        QCOMPARE(f.model->lastError(), std::nullopt);

        // A re-check of accessibility during onboarding.
        f.verify(kScreen);
        f.probes->fallback[QStringLiteral("ax:node:check")] = answer;
        await(f.model->advancePermissionOnboarding());
        QCOMPARE(f.item(kAccess).nativeState, NativeState::notGranted);
        QCOMPARE(f.model->accessibilityStep(), AccessibilityStep::node);
        QVERIFY(!f.model->permissionOperationInFlight());

        // The re-check after installation.
        Fixture g({.configured = true});
        g.probes->fallback[QStringLiteral("check:screenRecording")] = Answer::yes;
        g.probes->fallback[QStringLiteral("check:accessibility")] = answer;
        await(g.model->refreshExistingPermissions());
        QCOMPARE(g.item(kAccess).nativeState, NativeState::notGranted);
        QVERIFY(g.item(kScreen).verified);
        QCOMPARE(g.model->lastError(), std::nullopt);
    }

    void hangingProbeBlocksNothingElse()
    {
        Fixture f(onboarding());
        f.probes->script[QStringLiteral("prepare:screenRecording")] = {Answer::hang};
        auto confirm = f.model->confirmPermissionOnboarding(kScreen);
        QVERIFY(f.model->isVerifyingCurrentPermission());

        // None of these waits for the probe, and none starts a second one.
        await(f.model->confirmPermissionOnboarding(kScreen));
        await(f.model->advancePermissionOnboarding());
        await(f.model->sceneDidBecomeActive());
        f.model->openCurrentPermissionSettings();
        await(f.model->refreshAgentStatus());
        QCOMPARE(f.probes->calls, QStringList{QStringLiteral("prepare:screenRecording")});
        QCOMPARE(f.probes->opened, (QList<std::optional<PermissionKind>>{kScreen}));
        QVERIFY(!f.model->isCheckingPermission());

        // The probe gives up at last: not granted.
        f.probes->release(false);
        await(std::move(confirm));
        QCOMPARE(f.item(kScreen).nativeState, NativeState::notGranted);
        QCOMPARE(f.model->permissionAwaitingReturn, std::optional(kScreen));

        // A model that goes away while its probe hangs is left alone by the late answer.
        Fixture g(onboarding());
        g.probes->script[QStringLiteral("prepare:screenRecording")] = {Answer::hang};
        auto orphan = g.model->confirmPermissionOnboarding(kScreen);
        g.reset();
        g.probes->release(true);
        await(std::move(orphan));
    }
};

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    PermissionFlowTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "PermissionFlowTests.moc"
