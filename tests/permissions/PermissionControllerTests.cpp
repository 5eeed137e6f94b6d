// The permission onboarding on scripted probes and virtual time: one permission at a time, each
// decided only by a probe; the checks after the user was sent to System Settings; the restart
// that a new accessibility grant needs; and the re-check of a finished installation.
//
// The rows name the kinds by their initials: s (screen recording), a (accessibility) and f (full
// disk access).
#include "model/ProfileMarkers.h"
#include "permissions/PermissionController.h"
#include "support/ControllerHarness.h"

using namespace QuorvantisTest;
using namespace std::chrono_literals;
using Kind = PermissionKind;

namespace {

std::optional<Kind> kindOf(const QString &initial)
{
    const int index = QStringLiteral("saf").indexOf(initial);
    return initial.size() == 1 && index >= 0 ? std::optional(Kind(index)) : std::nullopt;
}

QString initial(std::optional<Kind> kind)
{
    return kind ? QString(QStringLiteral("saf").at(int(*kind))) : QStringLiteral("-");
}

QString initials(const QSet<Kind> &kinds)
{
    QStringList out;
    for (const Kind kind : allCases<Kind>()) {
        if (kinds.contains(kind))
            out << initial(kind);
    }
    return out.join(u',');
}

// What a scripted probe does: answer, throw, or wait at the gate.
enum Answer { no, yes, fails, hang };

struct Probes
{
    QHash<QString, QList<Answer>> script; // per call, the answers in turn; the last repeats; none: no
    QStringList calls;                    // "check:<kind>", "prepare:<kind>", "ax:<step>"
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    bool heldAnswer = false;
    QByteArrayList probeFiles; // what the accessibility probes leave, one per probe
};

QCoro::Task<bool> probe(std::shared_ptr<Probes> p, QString call)
{
    p->calls << call;
    QList<Answer> &queue = p->script[call];
    const Answer answer = queue.isEmpty() ? no : queue.size() > 1 ? queue.takeFirst() : queue.first();
    if (answer == fails)
        throw std::runtime_error("probe crashed");
    if (answer == hang) {
        const auto gate = p->gate;
        co_await gate->wait();
        co_return p->heldAnswer;
    }
    co_return answer == yes;
}

// A scenario: the profile a launch finds, the probes' answers, the operations in turn, and what
// the controller shows afterwards.
struct Scenario
{
    QString launch;    // the stage ("-": finished), then any of configured, completed=<kinds>, awaiting=<kind>
    QString answers;   // entries <call>=<answer>[*<times>],... (yes no fails hang; the last repeats)
    QString ops;       // steps (see Flow::words)
    QString calls;     // the probes run (a repeated one as <call>*<times>)
    QString shown;     // Flow::shown()
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
                kinds << *kindOf(kind);
            if (word.startsWith(u"completed="))
                ProfileMarkers::writeCompletedPermissions(h.profileDirectory(), kinds);
            if (word.startsWith(u"awaiting="))
                ProfileMarkers::writeAwaitingPermission(h.profileDirectory(), *kinds.cbegin());
        }
        h.launchAt(fromRawValue<InstallStage>(words.first()), words.contains(QStringLiteral("configured")));
        PermissionController::Effects effects{
            .permissionCheck = [p = p](Kind kind) { return probe(p, "check:" + initial(kind)); },
            .permissionPrepare = [p = p](Kind kind) { return probe(p, "prepare:" + initial(kind)); },
            // The flow never raises the system's dialog itself: a call asked to would show as "ax:<step>:prompt".
            .accessibilityPrepare =
                [this](AccessibilityStep step, bool prompt) {
                    if (!p->probeFiles.isEmpty())
                        h.writeProfileFile(ProfileMarkers::accessibilityProbeFile, p->probeFiles.takeFirst());
                    return probe(p, "ax:" + rawValue(step) + (prompt ? QStringLiteral(":prompt") : QString()));
                },
            .openSystemSettings =
                [this](std::optional<Kind> kind) {
                    opened << initial(kind);
                    return value(true);
                }};
        h.daemonEffects = {.daemonInstall = runEffect(daemon), .agentStarted = answerEffect(running)};
        c = std::make_unique<PermissionController>(h.context(), std::move(effects));
        return *c;
    }
    void answer(const QString &answers)
    {
        static const QStringList names{"no", "yes", "fails", "hang"};
        for (const QString &entry : entries(answers)) {
            QList<Answer> &queue = p->script[entry.section(u'=', 0, 0)];
            for (const QString &token : entry.section(u'=', 1).split(u',')) {
                const Answer answer = Answer(names.indexOf(token.section(u'*', 0, 0)));
                queue.append(QList<Answer>(std::max(1, token.section(u'*', 1).toInt()), answer));
            }
        }
    }
    // The steps of a row (support/Steps.h). Every scripted probe answers at once, so an operation
    // must end when it returns; "<op>~" leaves it waiting at a hanging probe, "release:<yes|no>"
    // answers that probe.
    Words words()
    {
        const std::pair<QString, std::function<QCoro::Task<void>(std::optional<Kind>)>> awaited[] = {
            {"confirm", [this](std::optional<Kind> kind) { return c->confirmPermissionOnboarding(kind); }},
            {"continue", [this](auto) { return c->continuePermissionOnboarding(); }},
            {"advance", [this](auto) { return c->advancePermissionOnboarding(); }},
            {"activate", [this](auto) { return c->noteActivation(); }},
            {"refresh", [this](auto) { return c->refreshExistingPermissions(); }},
            {"recheck", [this](auto) { return c->recheckExistingPermissionsOnLaunchIfNeeded(); }}};
        Words words{
            {"release", [this](const QString &answer) { release(answer == u"yes"); }},
            {"present", [this](const QString &kind) { c->presentPermissionPrompt(*kindOf(kind)); }},
            {"open", [this](const QString &) { c->openCurrentPermissionSettings(); }},
            {"reset", [this](const QString &) { c->resetPermissionVerification(); }},
            {"allow", [this](const QString &) { c->allowExistingPermissionRecheck(); }},
            // The installation moves on (from the stage) or back (a finished one) without the controller.
            {"leave", [this](const QString &) {
                 if (!h.journey().report(JourneyEvent::permissionsVerified))
                     h.journey().report(JourneyEvent::permissionMissing);
             }},
            {"gone", [this](const QString &) { c.reset(); }},
            {"restore", [this](const QString &) { c->restoreAtLaunch(); }},
            {"resolve", [this](const QString &kind) { c->resolvePermission(*kindOf(kind)); }},
            {"wait", [this](const QString &polls) { h.time.advance(500ms * polls.toInt()); }}};
        for (const auto &[name, operation] : awaited) {
            words.insert(name, [name, operation](const QString &kind) {
                QVERIFY2(finishesAtOnce(operation(kindOf(kind))), qPrintable(name + " is still running"));
            });
            words.insert(name + u'~', [this, operation](const QString &kind) { held.push_back(operation(kindOf(kind))); });
        }
        return words;
    }
    void release(bool answer)
    {
        p->heldAnswer = answer;
        std::exchange(p->gate, std::make_shared<Gate>())->open();
        for (auto &task : std::exchange(held, {}))
            QVERIFY2(finishesAtOnce(std::move(task)), "a held operation is still running");
    }
    // What shows, leaving out what a fresh onboarding shows: the stage ("gone" with the controller),
    // each permission (v verified, x not granted, ? unknown), the accessibility step past node, the
    // awaited kind on file, the completed kinds and the prompt ("!": the System Settings prompt);
    // then the flags that are set (what the onboarding shows only while it is shown), waits, focus
    // requests, opened panes, the agent asked and restarted, the error and the failures.
    QString shown() const
    {
        QStringList words{c ? rawOr(h.journey().installStage()) : QStringLiteral("gone")};
        if (c) {
            QString items;
            for (const auto &item : c->permissions())
                items += item.verified ? u'v' : QStringLiteral("?xg").at(int(item.nativeState));
            const QString awaiting = initial(ProfileMarkers::readAwaitingPermission(h.profileDirectory()));
            const QString done = initials(ProfileMarkers::readCompletedPermissions(h.profileDirectory()));
            const QString prompt = initial(c->permissionPromptKind()) + (c->permissionSettingsPrompt() ? "!" : "");
            words << items;
            if (c->accessibilityStep() != AccessibilityStep::node)
                words << rawValue(c->accessibilityStep());
            if (awaiting != u"-")
                words << "awaiting=" + awaiting;
            if (!done.isEmpty())
                words << "done=" + done;
            if (prompt != u"-")
                words << "prompt=" + prompt;
        }
        const bool onboarding = c && h.journey().isAt(InstallStage::permissions);
        const Attention &a = h.attention();
        const auto focus = a.focusTarget().permission ? initial(*a.focusTarget().permission) : "setupCode";
        const std::pair<bool, QString> flags[] = {
            {c && c->permissionOperationInFlight(), "inFlight"}, {c && c->isCheckingPermission(), "checking"},
            {onboarding && c->permissionNeedsUserAction(), "needsAction"},
            {c && c->permissionReturnTaskRunning(), "returnChecks"},
            {h.time.pendingSleepers() > 0, QStringLiteral("sleeping=%1").arg(h.time.pendingSleepers())},
            {a.focusRevision() > 0, QStringLiteral("focus=%1#%2").arg(focus).arg(a.focusRevision())},
            {!opened.isEmpty(), "opened=" + opened.join(u',')},
            {running->calls > 0, QStringLiteral("agent=%1").arg(running->calls)},
            {!daemon->calls.isEmpty(), QStringLiteral("daemon=%1").arg(daemon->calls.size())},
            {a.lastError().has_value(), "error=" + a.lastError().value_or(DisplayError{}).code},
            {a.notice().has_value(), "notice"},
            {!h.failures.isEmpty(), "fail=" + h.failureReports()}};
        for (const auto &[on, text] : flags) {
            if (on)
                words << text;
        }
        return words.join(u' ');
    }
};

} // namespace

Q_DECLARE_METATYPE(Scenario)

class PermissionControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scenarios_data()
    {
        columns<Scenario>({"row"});
        const auto row = [](const char *name, const Scenario &scenario) { QTest::newRow(name) << scenario; };
        const QString waiting = QStringLiteral("permissions x?? awaiting=s prompt=s!");
        const QString waitingFlags = QStringLiteral(" needsAction returnChecks sleeping=1 focus=s#1");
        // ---- One kind at a time ----
        row("another kind than the current one",
            {"permissions", "", "present:a; confirm; confirm:f; open", "", "permissions ??? prompt=a opened=s"});
        row("the whole onboarding",
            {"permissions", "prepare:s=yes; prepare:f=yes; ax:node=yes; ax:cliclick=yes",
             "continue; confirm; continue; confirm; confirm; confirm:f", "prepare:s ax:node ax:cliclick prepare:f",
             "setup vvv cliclick done=s,a,f focus=setupCode#5", "setup cccppppppp waitingSetup"});
        row("nothing outside the stage",
            {"setup awaiting=s", "", "confirm:s; advance; activate; open", "", "setup ??? awaiting=s"});
        // ---- Refused: the user is sent to System Settings and the kind re-probed ----
        row("a refused confirm waits for the user",
            {"permissions", "", "continue; confirm", "prepare:s", waiting + waitingFlags});
        row("continue then re-probes",
            {"permissions", "check:s=yes", "confirm:s; continue", "prepare:s check:s",
             "permissions v?? done=s returnChecks sleeping=1 focus=s#1"});
        row("re-probe: plain kind fails",
            {"permissions completed=s awaiting=s", "", "advance", "check:s", "permissions x?? awaiting=s needsAction"});
        // Node alone never completes accessibility; the completed set stays as it is.
        row("re-probe: node passes",
            {"permissions completed=a awaiting=a", "check:s=yes; ax:node=yes", "advance; advance", "check:s ax:node",
             "permissions v?? cliclick done=s,a prompt=a"});
        row("re-probe: cliclick fails",
            {"permissions", "check:s=yes; ax:node=yes; ax:cliclick=no", "advance; advance; confirm:a; advance",
             "check:s ax:node ax:cliclick*2",
             "permissions vx? cliclick awaiting=a done=s prompt=a! needsAction returnChecks sleeping=1 focus=a#1"});
        row("re-probe: the last kind finishes the stage",
            {"permissions awaiting=f", "check:s=yes; ax:node=yes; ax:cliclick=yes; check:f=yes",
             "advance; advance; advance; advance", "check:s ax:node ax:cliclick check:f",
             "setup vvv cliclick done=s,a,f focus=setupCode#1", "setup cccppppppp waitingSetup"});
        // ---- Return checks: every half second, at most 120, until verified or the user moves on ----
        row("checks: at most 120",
            {"permissions", "", "confirm:s; wait:230", "prepare:s check:s*120", waiting + " needsAction focus=s#1"});
        row("checks: verification reset", {"permissions", "", "confirm:s; wait:30; reset; wait:200",
                                           "prepare:s check:s*30", "permissions ??? prompt=s! needsAction focus=s#1"});
        row("checks: granted on activation",
            {"permissions", "check:s=no*30,yes", "confirm:s; wait:30; activate; wait:200", "prepare:s check:s*31",
             "permissions v?? done=s focus=s#1"});
        row("checks: stage left",
            {"permissions", "", "confirm:s; wait:30; leave; wait:200", "prepare:s check:s*30",
             "setup x?? awaiting=s prompt=s! focus=setupCode#2", "setup cccppppppp waitingSetup"});
        row("checks: a new series replaces the old",
            {"permissions", "", "confirm:s; wait:30; confirm:s; wait:200", "prepare:s check:s*30 prepare:s check:s*120",
             waiting + " needsAction focus=s#2"});
        row("checks: end with the controller",
            {"permissions", "", "confirm:s; gone; wait:3", "prepare:s", "gone focus=s#1"});
        // ---- Probes that hang or fail ----
        row("re-probe running", {"permissions awaiting=s", "check:s=hang", "advance~", "check:s",
                                 "permissions ??? awaiting=s inFlight checking needsAction"});
        row("a hanging probe holds up nothing else",
            {"permissions completed=s,a", "prepare:s=hang", "confirm:s~; confirm:s; advance; activate; open",
             "prepare:s", "permissions ??? done=a inFlight focus=s#1 opened=s"});
        row("a late answer for a controller gone",
            {"permissions", "prepare:s=hang", "confirm:s~; gone; release:yes", "prepare:s", "gone focus=s#1"});
        row("activation during a failing probe is owed",
            {"permissions", "prepare:s=no,hang; check:s=yes", "confirm:s; confirm:s~; activate; release:no",
             "prepare:s*2 check:s", "permissions v?? done=s returnChecks sleeping=2 focus=s#2"});
        row("activation during a passing probe is dropped",
            {"permissions", "prepare:s=no,hang; check:s=yes", "confirm:s; confirm:s~; activate; release:yes",
             "prepare:s*2", "permissions v?? done=s returnChecks sleeping=1 focus=s#2"});
        // A probe that could not run decides nothing: the state stays and the user is told.
        row("a confirm whose probe did not run",
            {"permissions completed=s", "prepare:s=fails", "confirm:s", "prepare:s",
             "permissions ??? done=s prompt=s focus=s#1 notice"});
        row("a re-probe that did not run", {"permissions awaiting=s", "check:s=fails", "advance", "check:s",
                                            "permissions ??? awaiting=s needsAction notice"});
        // ---- A configured agent only sees a new accessibility grant after a restart ----
        const QString restart = QStringLiteral("check:s=yes; ax:node=yes; ax:cliclick=yes");
        const QString restartOps = QStringLiteral("advance; confirm:a; confirm:a");
        const QString restartCalls = QStringLiteral("check:s ax:node ax:cliclick");
        const QString granted = QStringLiteral("permissions vv? cliclick done=s,a");
        row("restart: agent not running",
            {"permissions configured", restart, restartOps, restartCalls, granted + " focus=a#2 agent=1", "", {false}});
        row("restart: restarted",
            {"permissions configured", restart, restartOps, restartCalls, granted + " focus=a#2 agent=1 daemon=1"});
        row("restart: a later success takes the failure back",
            {"permissions configured",
             restart,
             restartOps + "; confirm:a",
             "check:s ax:node ax:cliclick*2",
             granted + " focus=a#3 agent=2 daemon=2 fail=AGENT_RESTART_FAILED",
             "permissions ccrppppppp starting resume configured",
             {true},
             {Step::exit(3), Step::success()}});
        // ---- A finished installation ----
        const QString intact = QStringLiteral("check:s=yes; check:a=yes; check:f=yes");
        const QString checks = QStringLiteral("check:s check:a check:f");
        const QString finished = QStringLiteral("- vvv done=s,a,f");
        row("re-checked once at launch", {"- configured", intact, "recheck; recheck; activate", checks, finished});
        row("an explicit re-check probes again",
            {"- configured", intact, "recheck; refresh", checks + " " + checks, finished});
        row("after an update the launch re-check runs again",
            {"- configured", intact, "recheck; allow; recheck", checks + " " + checks, finished});
        row("granted again: finished again",
            {"- configured", "check:s=yes; check:f=yes; ax:node=yes; ax:cliclick=yes", "recheck; confirm:a; confirm:a",
             checks + " ax:node ax:cliclick", "- vvv cliclick done=s,a,f focus=a#2 agent=1 daemon=1",
             "- cccccccccc starting validated onboarded configured"});
        row("a re-check probe that did not run keeps the grant",
            {"- configured completed=s,a,f", "check:s=fails; check:a=no; check:f=yes", "restore; refresh", checks,
             "- vxv done=s,f notice"});
        row("only a finished installation is re-checked",
            {"permissions configured", intact, "refresh; recheck", "", "permissions ???"});
        // A launch past the permission stage shows the grants on record.
        row("restored: finished", {"- configured completed=s,f", "", "restore", "", "- v?v done=s,f"});
        row("restored: not during the stage", {"permissions completed=s", "", "restore", "", "permissions ??? done=s"});
        // A revoked permission of a finished installation is followed while the user grants it.
        row("resolve: checked until granted",
            {"- configured", "check:a=no*2,yes", "resolve:a; wait:10", "check:a*3", "- ?v? done=a opened=a"});
        row("resolve: at most 120 checks", {"- configured", "", "resolve:f; wait:200", "check:f*120", "- ??x opened=f"});
        row("resolve: the checks end with an installation under way",
            {"- configured", "", "resolve:f; wait:30; leave; wait:200", "check:f*30", "permissions ??x opened=f"});
        row("resolve: during an installation only the pane opens",
            {"permissions", "", "resolve:s; wait:10", "", "permissions ??? opened=s"});
        row("reset forgets verification, not the completed set",
            {"permissions completed=s awaiting=a", "check:s=yes", "advance; reset", "check:s",
             "permissions ??? done=s"});
    }
    void scenarios()
    {
        QFETCH(Scenario, row);
        Flow f;
        f.running->answers = row.agentRunning;
        f.daemon->steps = {row.daemon.begin(), row.daemon.end()};
        f.make(row.launch);
        f.answer(row.answers);
        playSteps(row.ops, f.words());
        QCOMPARE(runs(f.p->calls), row.calls);
        QCOMPARE(f.shown(), row.shown);
        if (!row.journey.isEmpty())
            QCOMPARE(describe(f.h.journey()), row.journey);
    }

    // The progress, the summary and the current kind by how many kinds are verified; the guidance
    // of the current kind.
    void derived_data()
    {
        // probeFiles — what the failing accessibility probes leave
        // guidance — a part of it; null: not compared
        columns<int, QString, QString, QByteArrayList, QString>(
            {"verified", "summary", "current", "probeFiles", "guidance"});
        QTest::newRow("none verified") << 0 << "3 项权限需要处理" << "s" << QByteArrayList()
                                       << "尚未检测到截图组件已获得屏幕录制授权";
        QTest::newRow("accessibility denied") << 1 << "2 项权限需要处理" << "a" << QByteArrayList{"denied\n"} << "尚未检测到辅助功能授权";
        QTest::newRow("unsupported") << 1 << "2 项权限需要处理" << "a" << QByteArrayList{"unsupported\n"} << "组件不完整";
        QTest::newRow("mismatch") << 1 << "2 项权限需要处理" << "a" << QByteArrayList{" mismatch \n"} << "不是已授权的那一个";
        QTest::newRow("a stale outcome does not outlive an unreadable one")
            << 1 << "2 项权限需要处理" << "a" << QByteArrayList{"mismatch\n", "maybe\n"} << "尚未检测到辅助功能授权";
        QTest::newRow("all verified") << 3 << "系统权限已配置" << "-" << QByteArrayList() << QString();
    }
    void derived()
    {
        QFETCH(int, verified);
        QFETCH(QByteArrayList, probeFiles);
        QFETCH(QString, guidance);
        Flow f;
        PermissionController &c = f.make(QStringLiteral("permissions"));
        f.answer("check:s=yes; ax:cliclick=yes; check:f=yes; ax:node=" + QString(probeFiles.isEmpty() ? "yes" : "no"));
        for (int step = 0; step < QList<int>{0, 1, 3, 4}[verified]; ++step)
            await(c.advancePermissionOnboarding());
        f.p->probeFiles = probeFiles;
        for (qsizetype probes = 0; probes < probeFiles.size(); ++probes)
            await(c.advancePermissionOnboarding());
        QCOMPARE(c.onboardingPermissionProgress(), std::make_pair(verified, 3));
        QTEST(c.permissionSummary(), "summary");
        QTEST(initial(c.currentPermissionOnboardingKind()), "current");
        if (!guidance.isNull())
            QVERIFY2(c.permissionSettingsGuidance().contains(guidance), qPrintable(c.permissionSettingsGuidance()));
    }
};

QTEST_GUILESS_MAIN(PermissionControllerTests)
#include "PermissionControllerTests.moc"
