// The permission onboarding on scripted probes and virtual time: one permission at a time, each
// decided only by a probe; the checks after the user was sent to System Settings; the restart
// that a new accessibility grant needs; and the re-check of a finished installation.
#include "model/ProfileMarkers.h"
#include "permissions/PermissionController.h"
#include "support/AwaitTask.h"
#include "support/ControllerHarness.h"
#include "support/Scripted.h"
#include "support/ScriptFiles.h"

#include <QTest>

using namespace QuorvantisTest;
using namespace std::chrono_literals;
using Kind = PermissionKind;

namespace {

// What a scripted probe does: answer, throw (a coded or another error), or wait at the gate.
enum Answer { no, yes, fails, coded, hang };

struct Probes
{
    QHash<QString, QList<Answer>> script; // per call, the answers in turn; the last repeats; none: no
    QStringList calls;                    // "check:<kind>", "prepare:<kind>", "ax:<step>" (":prompt" if asked to)
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    bool heldAnswer = false;
    QByteArrayList probeFiles; // what the accessibility probes leave, one per probe
    QString directory;
};

QCoro::Task<bool> probe(std::shared_ptr<Probes> p, QString call)
{
    p->calls << call;
    QList<Answer> &queue = p->script[call];
    const Answer answer = queue.isEmpty() ? no : queue.size() > 1 ? queue.takeFirst() : queue.first();
    if (answer == fails)
        throw std::runtime_error("probe crashed");
    if (answer == coded)
        throw QuorvantisNativeError(QStringLiteral("PROBE_BROKEN"), QStringLiteral("探针失败"));
    if (answer == hang) {
        const auto gate = p->gate;
        co_await gate->wait();
        co_return p->heldAnswer;
    }
    co_return answer == yes;
}

QCoro::Task<bool> accessibilityProbe(std::shared_ptr<Probes> p, AccessibilityStep step, bool prompt)
{
    if (!p->probeFiles.isEmpty())
        writeFile(QDir(p->directory).filePath(ProfileMarkers::accessibilityProbeFile), p->probeFiles.takeFirst());
    co_return co_await probe(p, QStringLiteral("ax:") + rawValue(step) + (prompt ? QStringLiteral(":prompt") : QString()));
}

// A scenario: the profile a launch finds, the probes' answers, the operations in turn, and what
// the controller shows afterwards.
struct Scenario
{
    QString launch;  // the stage ("-": finished), then any of configured, completed=<kinds>, awaiting=<kind>
    QString answers; // <call>=<answer>[*<times>],... (yes no fails coded hang; the last repeats)
    QString ops;     // see Flow::start; hold:<op> leaves it waiting at a hanging probe, release:<yes|no> answers
    QString calls;   // the probes run (a repeated one as <call>*<times>)
    QString state;   // Flow::state()
    QString flags{}; // Flow::flags()
    QString journey{}; // describe(journey), when the row checks it
    std::deque<bool> agentRunning{true};
    QList<Step> daemon{Step::success()};
};

// One controller over the harness, with scripted probes, agent and daemon installer.
struct Flow
{
    ControllerHarness h;
    std::shared_ptr<Probes> p = std::make_shared<Probes>();
    std::shared_ptr<ScriptedRun> daemon = std::make_shared<ScriptedRun>();
    std::shared_ptr<ScriptedAnswer> running = std::make_shared<ScriptedAnswer>();
    QStringList opened;
    std::unique_ptr<PermissionController> c;
    std::vector<QCoro::Task<void>> held;

    ~Flow()
    {
        // A probe still held finishes against a controller that is gone.
        c.reset();
        p->gate->open();
    }
    PermissionController &make(const QString &launch)
    {
        const QStringList words = launch.split(u' ');
        for (const QString &word : words.mid(1)) {
            QSet<Kind> kinds;
            for (const QString &kind : word.section(u'=', 1).split(u',', Qt::SkipEmptyParts))
                kinds << *fromRawValue<Kind>(kind);
            if (word.startsWith(u"completed="))
                ProfileMarkers::writeCompletedPermissions(h.profileDirectory(), kinds);
            if (word.startsWith(u"awaiting="))
                ProfileMarkers::writeAwaitingPermission(h.profileDirectory(), *kinds.cbegin());
        }
        h.launchAt(fromRawValue<InstallStage>(words.first()), words.contains(QStringLiteral("configured")));
        p->directory = h.profileDirectory();
        PermissionController::Effects effects{
            [p = p](Kind kind) { return probe(p, QStringLiteral("check:") + rawValue(kind)); },
            [p = p](Kind kind) { return probe(p, QStringLiteral("prepare:") + rawValue(kind)); },
            [p = p](AccessibilityStep step, bool prompt) { return accessibilityProbe(p, step, prompt); },
            answerEffect(running), runEffect(daemon), [this](std::optional<Kind> kind) { opened << rawOr(kind); }};
        c = std::make_unique<PermissionController>(h.context(), std::move(effects));
        return *c;
    }
    void answer(const QString &answers)
    {
        static const QStringList names{"no", "yes", "fails", "coded", "hang"};
        for (const QString &entry : answers.split(u' ', Qt::SkipEmptyParts)) {
            QList<Answer> &queue = p->script[entry.section(u'=', 0, 0)];
            for (const QString &token : entry.section(u'=', 1).split(u','))
                queue.append(QList<Answer>(std::max(1, token.section(u'*', 1).toInt()), Answer(names.indexOf(token.section(u'*', 0, 0)))));
        }
    }
    // Starts an operation; the synchronous ones are done when it returns.
    QCoro::Task<void> start(const QString &op)
    {
        const QString name = op.section(u':', 0, 0), argument = op.section(u':', 1);
        const auto kind = fromRawValue<Kind>(argument);
        const QHash<QString, std::function<QCoro::Task<void>()>> awaited{
            {"confirm", [&] { return c->confirmPermissionOnboarding(kind); }}, {"continue", [&] { return c->continuePermissionOnboarding(); }},
            {"advance", [&] { return c->advancePermissionOnboarding(); }}, {"activate", [&] { return c->noteActivation(); }},
            {"refresh", [&] { return c->refreshExistingPermissions(); }}, {"recheck", [&] { return c->recheckExistingPermissionsOnLaunchIfNeeded(); }}};
        const QHash<QString, std::function<void()>> immediate{
            {"hold", [&] { held.push_back(start(argument)); }}, {"release", [&] { release(argument == u"yes"); }},
            {"present", [&] { c->presentPermissionPrompt(*kind); }}, {"open", [&] { c->openCurrentPermissionSettings(); }},
            {"reset", [&] { c->resetPermissionVerification(); }}, {"allow", [&] { c->allowExistingPermissionRecheck(); }},
            {"leave", [&] { h.journey().moveTo(InstallStage::setup); }}, {"gone", [&] { c.reset(); }},
            {"restore", [&] { c->restoreAtLaunch(); }}, {"resolve", [&] { c->resolvePermission(*kind); }},
            {"wait", [&] { h.time.advance(500ms * argument.toInt()); }}};
        if (awaited.contains(name))
            return awaited[name]();
        if (!immediate.contains(name))
            qFatal("unknown operation %s", qPrintable(op));
        immediate[name]();
        return nothing();
    }
    void release(bool answer)
    {
        p->heldAnswer = answer;
        std::exchange(p->gate, std::make_shared<Gate>())->open();
        for (auto &task : std::exchange(held, {}))
            QVERIFY2(finishesAtOnce(std::move(task)), "a held operation is still running");
    }
    // The stage, each permission (v verified, x not granted, ? unknown), the accessibility step,
    // the awaited and completed marker files and the prompt ("!": the System Settings prompt).
    QString state() const
    {
        if (!c)
            return QStringLiteral("gone");
        QString items;
        for (const auto &item : c->permissions())
            items += item.verified ? u'v' : QStringLiteral("?xg").at(int(item.nativeState));
        QStringList done;
        for (const Kind kind : allCases<Kind>()) {
            if (ProfileMarkers::readCompletedPermissions(h.profileDirectory()).contains(kind))
                done << rawValue(kind);
        }
        QString awaiting = rawOr(ProfileMarkers::readAwaitingPermission(h.profileDirectory()));
        if (rawOr(c->permissionAwaitingReturn()) != awaiting)
            awaiting += u'/' + rawOr(c->permissionAwaitingReturn());
        return QStringLiteral("%1 %2 %3 awaiting=%4 done=%5 prompt=%6%7")
            .arg(rawOr(h.journey().stage()), items, rawValue(c->accessibilityStep()), awaiting, done.join(u','),
                 rawOr(c->permissionPromptKind()), c->permissionSettingsPrompt() ? QStringLiteral("!") : QString());
    }
    // What else holds: the controller's flags (what the onboarding shows only while it is shown),
    // waits, focus requests, opened panes, the agent asked and restarted, the error and failures.
    QString flags() const
    {
        const bool onboarding = c && h.journey().isAt(InstallStage::permissions);
        const Attention &a = h.attention();
        const auto focus = a.focusTarget().permission ? rawValue(*a.focusTarget().permission) : QStringLiteral("setupCode");
        const std::pair<bool, QString> all[] = {
            {c && c->permissionOperationInFlight(), "inFlight"}, {c && c->isCheckingPermission(), "checking"},
            {c && c->permissionRecheckPending(), "recheckPending"}, {onboarding && c->isVerifyingCurrentPermission(), "verifying"},
            {onboarding && c->permissionNeedsUserAction(), "needsAction"}, {c && c->permissionReturnTaskRunning(), "returnChecks"},
            {h.time.pendingSleepers() > 0, QStringLiteral("sleeping=%1").arg(h.time.pendingSleepers())},
            {a.focusRevision() > 0, QStringLiteral("focus=%1#%2").arg(focus).arg(a.focusRevision())},
            {!opened.isEmpty(), QStringLiteral("opened=") + opened.join(u',')}, {running->calls > 0, QStringLiteral("agent=%1").arg(running->calls)},
            {!daemon->calls.isEmpty(), QStringLiteral("daemon=%1").arg(daemon->calls.size())},
            {a.lastError().has_value(), QStringLiteral("error=") + a.lastError().value_or(DisplayError{}).code},
            {!h.failures.isEmpty(), QStringLiteral("fail=") + h.failureReports()}};
        QStringList set;
        for (const auto &[on, text] : all) {
            if (on)
                set << text;
        }
        return set.join(u' ');
    }
};

const QString deniedGuidance = QStringLiteral(
    "尚未检测到辅助功能授权。请在系统设置中同时开启稳定路径的 cliclick 和 Agent 使用的真实 node。"
    "若列表中已有 cliclick 却仍未通过，请删除该条目后重新添加——组件更新后只切换开关不会生效。");
const QString incompleteGuidance = QStringLiteral("运行环境中的 cliclick 组件不完整，请重新运行环境准备后再试。");

struct Derived
{
    int verified = 0;
    QByteArrayList probeFiles{}; // left by failing accessibility probes after that
    QString summary{}, current{}, guidance{};
};

} // namespace

Q_DECLARE_METATYPE(Scenario)
Q_DECLARE_METATYPE(Derived)
Q_DECLARE_METATYPE(std::optional<Kind>)

class PermissionControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scenarios_data()
    {
        QTest::addColumn<Scenario>("row");
        const QString all = QStringLiteral("screenRecording,accessibility,fullDiskAccess");
        const QString restart = QStringLiteral("check:screenRecording=yes ax:node=yes ax:cliclick=yes");
        const QString restartOps = QStringLiteral("advance confirm:accessibility confirm:accessibility");
        const QString granted = QStringLiteral("permissions vv? cliclick awaiting=- done=screenRecording,accessibility prompt=-");
        const QString restartFailed = QStringLiteral("permissions v?? cliclick awaiting=- done=screenRecording prompt=-");
        const QString failedJourney = QStringLiteral("permissions ccfppppppp error resume configured");
        const QString waiting = QStringLiteral("permissions x?? node awaiting=screenRecording done= prompt=screenRecording!");
        const QString waitingFlags = QStringLiteral("needsAction returnChecks sleeping=1 focus=screenRecording#1");
        // ---- One kind at a time ----
        QTest::newRow("another kind than the current one") << Scenario{"permissions", "", "present:accessibility confirm confirm:fullDiskAccess open", "", "permissions ??? node awaiting=- done= prompt=accessibility", "opened=screenRecording"};
        QTest::newRow("continue asks to verify the current kind") << Scenario{"permissions", "", "continue", "", "permissions ??? node awaiting=- done= prompt=screenRecording"};
        QTest::newRow("a passing confirm needs no return checks") << Scenario{"permissions", "prepare:screenRecording=yes", "confirm:screenRecording", "prepare:screenRecording", "permissions v?? node awaiting=- done=screenRecording prompt=-", "focus=screenRecording#1"};
        QTest::newRow("node passes: cliclick next, the prompt stays") << Scenario{"permissions", "check:screenRecording=yes ax:node=yes", "advance confirm:accessibility", "check:screenRecording ax:node", "permissions v?? cliclick awaiting=- done=screenRecording prompt=accessibility", "focus=accessibility#1"};
        QTest::newRow("the whole onboarding") << Scenario{"permissions", "prepare:screenRecording=yes prepare:fullDiskAccess=yes ax:node=yes ax:cliclick=yes", "continue confirm continue confirm confirm confirm:fullDiskAccess",
            "prepare:screenRecording ax:node ax:cliclick prepare:fullDiskAccess", "setup vvv cliclick awaiting=- done=" + all + " prompt=-", "focus=setupCode#5", "setup cccppppppp waitingSetup"};
        QTest::newRow("nothing outside the stage") << Scenario{"setup awaiting=screenRecording", "", "confirm:screenRecording advance activate open", "", "setup ??? node awaiting=screenRecording done= prompt=-"};
        // ---- Refused: the user is sent to System Settings and the kind re-probed ----
        QTest::newRow("a refused confirm waits for the user") << Scenario{"permissions", "", "continue confirm", "prepare:screenRecording", waiting, waitingFlags};
        QTest::newRow("continue then re-probes") << Scenario{"permissions", "check:screenRecording=yes", "confirm:screenRecording continue", "prepare:screenRecording check:screenRecording", "permissions v?? node awaiting=- done=screenRecording prompt=screenRecording!", "needsAction returnChecks sleeping=1 focus=screenRecording#1"};
        QTest::newRow("re-probe: plain kind passes") << Scenario{"permissions completed=screenRecording awaiting=screenRecording", "check:screenRecording=yes", "advance", "check:screenRecording", "permissions v?? node awaiting=- done=screenRecording prompt=-"};
        QTest::newRow("re-probe: plain kind fails") << Scenario{"permissions completed=screenRecording awaiting=screenRecording", "", "advance", "check:screenRecording", "permissions x?? node awaiting=screenRecording done= prompt=-", "needsAction"};
        // Node alone never completes accessibility; the completed set stays as it is.
        QTest::newRow("re-probe: node passes") << Scenario{"permissions completed=accessibility awaiting=accessibility", "check:screenRecording=yes ax:node=yes", "advance advance", "check:screenRecording ax:node", "permissions v?? cliclick awaiting=- done=screenRecording,accessibility prompt=accessibility"};
        QTest::newRow("re-probe: node fails") << Scenario{"permissions completed=accessibility awaiting=accessibility", "check:screenRecording=yes ax:node=no", "advance advance", "check:screenRecording ax:node", "permissions vx? node awaiting=accessibility done=screenRecording,accessibility prompt=-", "needsAction"};
        QTest::newRow("re-probe: cliclick passes") << Scenario{"permissions", "check:screenRecording=yes ax:node=yes ax:cliclick=no,yes", "advance advance confirm:accessibility advance", "check:screenRecording ax:node ax:cliclick*2", "permissions vv? cliclick awaiting=- done=screenRecording,accessibility prompt=accessibility!", "needsAction returnChecks sleeping=1 focus=accessibility#1"};
        QTest::newRow("re-probe: cliclick fails") << Scenario{"permissions", "check:screenRecording=yes ax:node=yes ax:cliclick=no", "advance advance confirm:accessibility advance", "check:screenRecording ax:node ax:cliclick*2", "permissions vx? cliclick awaiting=accessibility done=screenRecording prompt=accessibility!", "needsAction returnChecks sleeping=1 focus=accessibility#1"};
        QTest::newRow("re-probe: the last kind finishes the stage") << Scenario{"permissions awaiting=fullDiskAccess", "check:screenRecording=yes ax:node=yes ax:cliclick=yes check:fullDiskAccess=yes", "advance advance advance advance", "check:screenRecording ax:node ax:cliclick check:fullDiskAccess", "setup vvv cliclick awaiting=- done=" + all + " prompt=-", "focus=setupCode#1", "setup cccppppppp waitingSetup"};
        // ---- Return checks: every half second, at most 120, until verified or the user moves on ----
        QTest::newRow("checks: verified at the first") << Scenario{"permissions", "check:screenRecording=yes", "confirm:screenRecording wait:230", "prepare:screenRecording check:screenRecording", "permissions v?? node awaiting=- done=screenRecording prompt=screenRecording!", "needsAction focus=screenRecording#1"};
        QTest::newRow("checks: at most 120") << Scenario{"permissions", "", "confirm:screenRecording wait:230", "prepare:screenRecording check:screenRecording*120", waiting, "needsAction focus=screenRecording#1"};
        QTest::newRow("checks: verification reset") << Scenario{"permissions", "", "confirm:screenRecording wait:30 reset wait:200", "prepare:screenRecording check:screenRecording*30", "permissions ??? node awaiting=- done= prompt=screenRecording!", "needsAction focus=screenRecording#1"};
        QTest::newRow("checks: granted on activation") << Scenario{"permissions", "check:screenRecording=no*30,yes", "confirm:screenRecording wait:30 activate wait:200", "prepare:screenRecording check:screenRecording*31", "permissions v?? node awaiting=- done=screenRecording prompt=screenRecording!", "needsAction focus=screenRecording#1"};
        QTest::newRow("checks: stage left") << Scenario{"permissions", "", "confirm:screenRecording wait:30 leave wait:200", "prepare:screenRecording check:screenRecording*30", "setup x?? node awaiting=screenRecording done= prompt=screenRecording!", "focus=setupCode#2", "setup cccppppppp waitingSetup"};
        QTest::newRow("checks: a new series replaces the old") << Scenario{"permissions", "", "confirm:screenRecording wait:30 confirm:screenRecording wait:200", "prepare:screenRecording check:screenRecording*30 prepare:screenRecording check:screenRecording*120", waiting, "needsAction focus=screenRecording#2"};
        QTest::newRow("checks: end with the controller") << Scenario{"permissions", "", "confirm:screenRecording gone wait:3", "prepare:screenRecording", "gone", "focus=screenRecording#1"};
        // ---- Probes that hang or throw ----
        QTest::newRow("first probe running") << Scenario{"permissions", "prepare:screenRecording=hang", "hold:confirm:screenRecording", "prepare:screenRecording", "permissions ??? node awaiting=- done= prompt=-", "inFlight verifying focus=screenRecording#1"};
        QTest::newRow("re-probe running") << Scenario{"permissions awaiting=screenRecording", "check:screenRecording=hang", "hold:advance", "check:screenRecording", "permissions ??? node awaiting=screenRecording done= prompt=-", "inFlight checking needsAction"};
        QTest::newRow("probing while another kind is awaited") << Scenario{"permissions awaiting=fullDiskAccess", "prepare:screenRecording=hang", "hold:confirm:screenRecording", "prepare:screenRecording", "permissions ??? node awaiting=fullDiskAccess done= prompt=-", "inFlight verifying focus=screenRecording#1"};
        QTest::newRow("a hanging probe holds up nothing else") << Scenario{"permissions completed=screenRecording,accessibility", "prepare:screenRecording=hang", "hold:confirm:screenRecording confirm:screenRecording advance activate open",
            "prepare:screenRecording", "permissions ??? node awaiting=- done=accessibility prompt=-", "inFlight verifying focus=screenRecording#1 opened=screenRecording"};
        QTest::newRow("a hanging probe that gives up") << Scenario{"permissions completed=screenRecording,accessibility", "prepare:screenRecording=hang", "hold:confirm:screenRecording release:no", "prepare:screenRecording",
            "permissions x?? node awaiting=screenRecording done=accessibility prompt=screenRecording!", waitingFlags};
        QTest::newRow("a late answer for a controller gone") << Scenario{"permissions", "prepare:screenRecording=hang", "hold:confirm:screenRecording gone release:yes", "prepare:screenRecording", "gone", "focus=screenRecording#1"};
        QTest::newRow("activation during a failing probe is owed") << Scenario{"permissions", "prepare:screenRecording=no,hang check:screenRecording=yes", "confirm:screenRecording hold:confirm:screenRecording activate release:no",
            "prepare:screenRecording*2 check:screenRecording", "permissions v?? node awaiting=- done=screenRecording prompt=screenRecording!", "needsAction returnChecks sleeping=2 focus=screenRecording#2"};
        QTest::newRow("activation during a passing probe is dropped") << Scenario{"permissions", "prepare:screenRecording=no,hang check:screenRecording=yes", "confirm:screenRecording hold:confirm:screenRecording activate release:yes",
            "prepare:screenRecording*2", "permissions v?? node awaiting=- done=screenRecording prompt=-", "returnChecks sleeping=1 focus=screenRecording#2"};
        for (const char *failure : {"fails", "coded"}) {
            const QString f = QString::fromLatin1(failure);
            QTest::addRow("a confirm that %s", failure) << Scenario{"permissions", "prepare:screenRecording=" + f, "confirm:screenRecording", "prepare:screenRecording", waiting, waitingFlags};
            QTest::addRow("an accessibility re-probe that %s", failure) << Scenario{"permissions", "check:screenRecording=yes ax:node=" + f, "advance advance", "check:screenRecording ax:node", "permissions vx? node awaiting=- done=screenRecording prompt=-"};
            QTest::addRow("a re-check that %s", failure) << Scenario{"- configured", "check:screenRecording=yes check:accessibility=" + f, "refresh", "check:screenRecording check:accessibility check:fullDiskAccess", "- vxx node awaiting=- done=screenRecording prompt=-"};
        }
        // ---- A configured agent only sees a new accessibility grant after a restart ----
        QTest::newRow("restart: node alone restarts nothing") << Scenario{"permissions configured", restart, "advance confirm:accessibility", "check:screenRecording ax:node", "permissions v?? cliclick awaiting=- done=screenRecording prompt=accessibility", "focus=accessibility#1"};
        QTest::newRow("restart: agent not running") << Scenario{"permissions configured", restart, restartOps, "check:screenRecording ax:node ax:cliclick", granted, "focus=accessibility#2 agent=1", "", {false}};
        QTest::newRow("restart: restarted") << Scenario{"permissions configured", restart, restartOps, "check:screenRecording ax:node ax:cliclick", granted, "focus=accessibility#2 agent=1 daemon=1"};
        QTest::newRow("restart: exit status with a line") << Scenario{"permissions configured", restart, restartOps, "check:screenRecording ax:node ax:cliclick", restartFailed,
            "focus=accessibility#2 agent=1 daemon=1 error=AGENT_RESTART_FAILED fail=AGENT_RESTART_FAILED: launchctl bootstrap failed", failedJourney, {true}, {Step::exit(3, QStringLiteral("  launchctl bootstrap failed \n"))}};
        QTest::newRow("restart: exit status with a secret line") << Scenario{"permissions configured", restart, restartOps, "check:screenRecording ax:node ax:cliclick", restartFailed,
            "focus=accessibility#2 agent=1 daemon=1 error=AGENT_RESTART_FAILED fail=AGENT_RESTART_FAILED", failedJourney, {true}, {Step::exit(3, QStringLiteral("token=[REDACTED]"))}};
        QTest::newRow("restart: coded error") << Scenario{"permissions configured", restart, restartOps, "check:screenRecording ax:node ax:cliclick", restartFailed,
            "focus=accessibility#2 agent=1 daemon=1 error=INSTALL_LAUNCH_FAILED fail=INSTALL_LAUNCH_FAILED: 无法启动", failedJourney, {true},
            {Step::throwing(QuorvantisNativeError(QStringLiteral("INSTALL_LAUNCH_FAILED"), QStringLiteral("无法启动")))}};
        QTest::newRow("restart: other error") << Scenario{"permissions configured", restart, restartOps, "check:screenRecording ax:node ax:cliclick", restartFailed,
            "focus=accessibility#2 agent=1 daemon=1 error=AGENT_RESTART_FAILED fail=AGENT_RESTART_FAILED", failedJourney, {true}, {Step::throwing(std::runtime_error("broken"))}};
        QTest::newRow("restart: a later success takes the failure back") << Scenario{"permissions configured", restart, restartOps + " confirm:accessibility", "check:screenRecording ax:node ax:cliclick*2", granted,
            "focus=accessibility#3 agent=2 daemon=2 fail=AGENT_RESTART_FAILED", "permissions ccrppppppp starting resume configured", {true}, {Step::exit(3), Step::success()}};
        // ---- A finished installation ----
        const QString intact = QStringLiteral("check:screenRecording=yes check:accessibility=yes check:fullDiskAccess=yes");
        QTest::newRow("re-checked once at launch") << Scenario{"- configured", intact, "recheck recheck activate", "check:screenRecording check:accessibility check:fullDiskAccess", "- vvv node awaiting=- done=" + all + " prompt=-"};
        QTest::newRow("an explicit re-check probes again") << Scenario{"- configured", intact, "recheck refresh", "check:screenRecording check:accessibility check:fullDiskAccess check:screenRecording check:accessibility check:fullDiskAccess", "- vvv node awaiting=- done=" + all + " prompt=-"};
        QTest::newRow("after an update the launch re-check runs again") << Scenario{"- configured", intact, "recheck allow recheck", "check:screenRecording check:accessibility check:fullDiskAccess check:screenRecording check:accessibility check:fullDiskAccess", "- vvv node awaiting=- done=" + all + " prompt=-"};
        QTest::newRow("a lost permission: back to onboarding") << Scenario{"- configured", "check:screenRecording=yes check:fullDiskAccess=yes", "recheck activate", "check:screenRecording check:accessibility check:fullDiskAccess",
            "permissions vxv node awaiting=- done=screenRecording,fullDiskAccess prompt=-", "", "permissions ccrppppppp starting resume configured"};
        QTest::newRow("granted again: finished again") << Scenario{"- configured", "check:screenRecording=yes check:fullDiskAccess=yes ax:node=yes ax:cliclick=yes", "recheck confirm:accessibility confirm:accessibility",
            "check:screenRecording check:accessibility check:fullDiskAccess ax:node ax:cliclick", "- vvv cliclick awaiting=- done=" + all + " prompt=-", "focus=accessibility#2 agent=1 daemon=1", "- cccccccccc starting validated onboarded configured"};
        QTest::newRow("overlapping re-checks share one run") << Scenario{"- configured", "check:screenRecording=hang check:accessibility=yes", "hold:refresh hold:refresh release:yes", "check:screenRecording check:accessibility check:fullDiskAccess", "- vvx node awaiting=- done=screenRecording,accessibility prompt=-"};
        QTest::newRow("only a finished installation is re-checked") << Scenario{"permissions configured", intact, "refresh recheck", "", "permissions ??? node awaiting=- done= prompt=-"};
        // A launch past the permission stage shows the grants on record.
        QTest::newRow("restored: finished") << Scenario{"- configured completed=screenRecording,fullDiskAccess", "", "restore", "", "- v?v node awaiting=- done=screenRecording,fullDiskAccess prompt=-"};
        QTest::newRow("restored: past the stage") << Scenario{"setup completed=accessibility", "", "restore", "", "setup ?v? node awaiting=- done=accessibility prompt=-", "", "setup cccppppppp waitingSetup"};
        QTest::newRow("restored: not during the stage") << Scenario{"permissions completed=screenRecording", "", "restore", "", "permissions ??? node awaiting=- done=screenRecording prompt=-"};
        // A revoked permission of a finished installation is followed while the user grants it.
        QTest::newRow("resolve: checked until granted") << Scenario{"- configured", "check:accessibility=no*2,yes", "resolve:accessibility wait:10", "check:accessibility*3", "- ?v? node awaiting=- done=accessibility prompt=-", "opened=accessibility"};
        QTest::newRow("resolve: at most 120 checks") << Scenario{"- configured", "", "resolve:fullDiskAccess wait:200", "check:fullDiskAccess*120", "- ??x node awaiting=- done= prompt=-", "opened=fullDiskAccess"};
        QTest::newRow("resolve: a new request replaces the old") << Scenario{"- configured", "", "resolve:fullDiskAccess wait:30 resolve:screenRecording wait:200", "check:fullDiskAccess*30 check:screenRecording*120", "- x?x node awaiting=- done= prompt=-", "opened=fullDiskAccess,screenRecording"};
        QTest::newRow("resolve: the checks end with an installation under way") << Scenario{"- configured", "", "resolve:fullDiskAccess wait:30 leave wait:200", "check:fullDiskAccess*30", "setup ??x node awaiting=- done= prompt=-", "focus=setupCode#1 opened=fullDiskAccess"};
        QTest::newRow("resolve: during an installation only the pane opens") << Scenario{"permissions", "", "resolve:screenRecording wait:10", "", "permissions ??? node awaiting=- done= prompt=-", "opened=screenRecording"};
        QTest::newRow("reset forgets verification, not the completed set") << Scenario{"permissions completed=screenRecording awaiting=accessibility", "check:screenRecording=yes", "advance reset", "check:screenRecording", "permissions ??? node awaiting=- done=screenRecording prompt=-"};
    }
    void scenarios()
    {
        QFETCH(Scenario, row);
        Flow f;
        f.running->answers = row.agentRunning;
        f.daemon->steps = {row.daemon.begin(), row.daemon.end()};
        f.make(row.launch);
        f.answer(row.answers);
        // Every scripted probe answers at once (a hanging one only inside hold:).
        for (const QString &op : row.ops.split(u' ', Qt::SkipEmptyParts))
            QVERIFY2(finishesAtOnce(f.start(op)), qPrintable(op + QStringLiteral(" is still running")));
        QCOMPARE(runs(f.p->calls), row.calls);
        QCOMPARE(f.state(), row.state);
        QCOMPARE(f.flags(), row.flags);
        if (!row.journey.isEmpty())
            QCOMPARE(describe(f.h.journey()), row.journey);
        // Always: the stage on file is the journey's, and the markers are private.
        QCOMPARE(ProfileMarkers::readInstallStage(f.h.profileDirectory()), f.h.journey().stage());
        for (const QString &marker : {ProfileMarkers::awaitingPermissionFile, ProfileMarkers::completedPermissionsFile})
            QVERIFY(QList<int>({-1, 0600}).contains(posixMode(f.h.profileFile(marker))));
    }

    // The summary, the current kind and the guidance, by how far the onboarding got and what the
    // accessibility probe left behind.
    void derived_data()
    {
        QTest::addColumn<Derived>("row");
        QTest::newRow("screen recording") << Derived{0, {}, "3 项权限需要处理", "screenRecording",
            "尚未检测到截图组件已获得屏幕录制授权。请在系统设置的屏幕录制列表中开启“macos-screenshot”；若列表中没有它，点击列表下方 + 号，按 Shift-Command-G 前往 ~/.quorvantis/bin/ 选择 macos-screenshot。组件更新后授权会失效，此时请删除条目再重新添加。"};
        QTest::newRow("accessibility, not probed yet") << Derived{1, {}, "2 项权限需要处理", "accessibility", deniedGuidance};
        QTest::newRow("accessibility, denied") << Derived{1, {"denied\n"}, "2 项权限需要处理", "accessibility", deniedGuidance};
        QTest::newRow("accessibility, unsupported") << Derived{1, {"unsupported\n"}, "2 项权限需要处理", "accessibility", incompleteGuidance};
        QTest::newRow("accessibility, missing") << Derived{1, {"missing\n"}, "2 项权限需要处理", "accessibility", incompleteGuidance};
        QTest::newRow("accessibility, mismatch") << Derived{1, {" mismatch \n"}, "2 项权限需要处理", "accessibility",
            "Agent 实际调用的 cliclick 不是已授权的那一个，请重新运行环境准备后再试。"};
        QTest::newRow("a stale outcome does not outlive an unreadable one") << Derived{1, {"mismatch\n", "maybe\n"}, "2 项权限需要处理", "accessibility", deniedGuidance};
        QTest::newRow("full disk access") << Derived{2, {}, "1 项权限需要处理", "fullDiskAccess",
            "尚未检测到 Agent 使用的真实 node 已开启完全磁盘访问。请在系统设置中开启对应的 node；若列表中没有它，点击 + 号后按 Shift-Command-G 手动添加该 node 路径。"};
        QTest::newRow("all verified") << Derived{3, {}, "系统权限已配置", "-", "尚未检测到所需的系统权限。"};
    }
    void derived()
    {
        QFETCH(Derived, row);
        Flow f;
        PermissionController &c = f.make(QStringLiteral("permissions"));
        f.answer(QStringLiteral("check:screenRecording=yes ax:cliclick=yes check:fullDiskAccess=yes ax:node=") + (row.probeFiles.isEmpty() ? "yes" : "no"));
        for (int step = 0; step < QList<int>{0, 1, 3, 4}[row.verified]; ++step)
            await(c.advancePermissionOnboarding());
        f.p->probeFiles = row.probeFiles;
        for (qsizetype probes = 0; probes < row.probeFiles.size(); ++probes)
            await(c.advancePermissionOnboarding());
        QCOMPARE(c.onboardingPermissionProgress(), std::make_pair(row.verified, 3));
        QCOMPARE(c.permissionSummary(), row.summary);
        QCOMPARE(rawOr(c.currentPermissionOnboardingKind()), row.current);
        QCOMPARE(c.permissionSettingsGuidance(), row.guidance);
    }

    void settingsURL_data()
    {
        QTest::addColumn<std::optional<Kind>>("kind");
        QTest::addColumn<QString>("anchor");
        QTest::newRow("screen recording") << std::optional(Kind::screenRecording) << "Privacy_ScreenCapture";
        QTest::newRow("accessibility") << std::optional(Kind::accessibility) << "Privacy_Accessibility";
        QTest::newRow("full disk access") << std::optional(Kind::fullDiskAccess) << "Privacy_AllFiles";
        QTest::newRow("no kind") << std::optional<Kind>() << "Privacy_Accessibility";
    }
    void settingsURL()
    {
        QFETCH(std::optional<Kind>, kind);
        QFETCH(QString, anchor);
        QCOMPARE(PermissionController::permissionSettingsURL(kind).toString(),
                 QStringLiteral("x-apple.systempreferences:com.apple.preference.security?") + anchor);
    }
};

QTEST_GUILESS_MAIN(PermissionControllerTests)
#include "PermissionControllerTests.moc"
