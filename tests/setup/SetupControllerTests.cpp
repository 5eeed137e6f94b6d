// The setup controller on scripted runs and virtual time: submissions, the retry of transient
// service failures, superseded runs, the enrolment resume, the tool's output lines, and the
// runtime and daemon stages around the run.
#include "setup/SetupController.h"
#include "support/AwaitTask.h"
#include "support/ControllerHarness.h"
#include "support/Scripted.h"

#include <QTest>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

// A scenario: what a launch finds, the scripted runs, the operations in turn (see Setup::run)
// and what shows afterwards: "<key>=<value>" pairs of Setup::observed(), ';'-separated.
struct Scenario
{
    QString launch; // the stage ("-": none persisted), then "configured"
    QString ops;    // '|'-separated; "check:<key>=<value>" checks on the way
    QString expect;
    QList<Step> code{Step::success()}, enroll{Step::success()}, prepare{Step::success()}, daemon{Step::success()};
    std::deque<bool> agent{true};
    QByteArray stateFile{};   // setup-state.json at launch
    QByteArray leftBehind{};  // ... as the first enrolment leaves it
};

// One controller over the harness, with every run scripted and its links to the rest of the
// model recorded.
struct Setup
{
    ControllerHarness h;
    std::shared_ptr<ScriptedRun> code = std::make_shared<ScriptedRun>(), enroll = std::make_shared<ScriptedRun>(),
                                 resume = std::make_shared<ScriptedRun>(), prepare = std::make_shared<ScriptedRun>(),
                                 daemon = std::make_shared<ScriptedRun>();
    std::shared_ptr<ScriptedAnswer> agent = std::make_shared<ScriptedAnswer>();
    int keys = 1000; // how many more times the enrolment key is there
    int channel = 0, reset = 0, begun = 0, cleared = 0;
    QStringList shown; // the authorizations runs reported; "stale:" when the run was superseded
    std::unique_ptr<SetupController> c;
    std::vector<QCoro::Task<void>> running;
    std::vector<std::shared_ptr<Gate>> gates; // of the held steps, in the order the row lists them

    void make(const Scenario &row)
    {
        const auto steps = [](const QList<Step> &list) {
            return list.isEmpty() ? std::deque<Step>{Step::success()} : std::deque<Step>(list.begin(), list.end());
        };
        for (const auto &list : {row.code, row.prepare, row.daemon}) {
            for (const Step &step : list) {
                if (step.gate)
                    gates.push_back(step.gate);
            }
        }
        code->steps = steps(row.code);
        enroll->steps = steps(row.enroll);
        prepare->steps = steps(row.prepare);
        daemon->steps = steps(row.daemon);
        agent->answers = row.agent;
        const QString stateFile = QStringLiteral("setup-state.json");
        if (!row.stateFile.isEmpty())
            h.writeProfileFile(stateFile, row.stateFile);
        if (!row.leftBehind.isEmpty())
            enroll->steps.front().onStart = [this, stateFile, left = row.leftBehind] { h.writeProfileFile(stateFile, left); };
        h.launchAt(fromRawValue<InstallStage>(row.launch.section(u' ', 0, 0)), row.launch.endsWith(u"configured"));
        SetupController::Effects effects{runEffect(prepare), runEffect(daemon), answerEffect(agent),
                                         [this] { return keys-- > 0 ? std::optional(validEnrollmentKey()) : std::nullopt; },
                                         codeEffect(code), enrollEffect(enroll), resumeEffect(resume)};
        SetupController::Links links{[this] { ++channel; return nothing(); }, [this] { ++reset; }, [this] { ++begun; }, [this] { ++cleared; },
                                     [this](std::function<bool()> isCurrent) -> AuthorizationHandler {
                                         return [this, isCurrent](const JITWorkspaceAuthorization &record) {
                                             shown << (isCurrent() ? QString() : QStringLiteral("stale:")) + record.email;
                                         };
                                     }};
        c = std::make_unique<SetupController>(h.context(), std::move(effects), std::move(links), std::vector<std::chrono::milliseconds>{2s, 4s, 8s});
    }
    void run(const QString &op)
    {
        const QString name = op.section(u':', 0, 0), argument = op.section(u':', 1);
        const QHash<QString, std::function<void()>> operations{
            {"code", [&] { c->setSetupCodeInput(argument); }}, {"name", [&] { c->setSetupAgentName(argument); }},
            {"workspace", [&] { c->setEnrollmentWorkspace(*fromRawValue<EnrollmentWorkspace>(argument)); }},
            {"enroll", [&] { c->beginEnrollmentSetup(); }}, {"paste", [&] { c->useInstallCodeSetup(); }}, {"keys", [&] { keys = argument.toInt(); }},
            {"abandon", [&] { c->abandonSubmission(); }}, // what a failure elsewhere does
            {"failed", [&] { // an earlier failure is shown
                 h.attention().showError(DisplayError::from(QStringLiteral("OLD"), std::nullopt));
                 h.journey().setOverallState(OverallState::error);
             }},
            {"submit", [&] { running.push_back(c->submitActiveSetup()); }}, {"runtime", [&] { running.push_back(c->prepareEnvironmentIfNeeded()); }},
            {"daemon", [&] { running.push_back(c->finishDaemonInstallationIfNeeded()); }}, {"open", [&] { openNextGate(); }},
            {"wait", [&] { h.time.advance(std::chrono::milliseconds(argument.toInt())); }}, {"drain", [&] { drain(); }},
            {"line", [&] { c->consumeSetupOutput(argument); }}, {"check", [&] { check(argument); }}};
        if (!operations.contains(name))
            qFatal("unknown operation %s", qPrintable(op));
        operations[name]();
    }
    void drain()
    {
        for (int i = 0; i < 200 && h.time.advanceToNext(); ++i) {
        }
    }
    void openNextGate()
    {
        for (const auto &gate : gates) {
            if (gate->isWaiting())
                return gate->open();
        }
    }
    QMap<QString, QString> observed() const
    {
        const InstallJourney &j = h.journey();
        const auto counter = j.packageInstallProgress();
        const auto flag = [](bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); };
        QStringList codeRuns, enrolments, waits;
        for (const auto &call : code->calls)
            codeRuns << call.join(u' ');
        for (const auto &call : enroll->calls)
            enrolments << call.join(u' ');
        for (const auto wait : h.time.requested())
            waits << QString::number(wait.count());
        return {{"journey", describe(j)}, {"progress", progressLetters(j.setupProgress())}, {"detail", j.setupProgressDetail().value_or("-")},
                {"package", counter ? QStringLiteral("%1/%2").arg(counter->completed).arg(counter->total) : QStringLiteral("-")},
                {"error", h.attention().lastError() ? h.attention().lastError()->code : QStringLiteral("-")}, {"fail", h.failureReports()},
                {"focus", QString::number(h.attention().focusRevision())}, {"submitting", flag(c->isSubmittingSetup())}, {"task", flag(c->setupTaskID().has_value())},
                {"preparing", flag(c->isPreparingEnvironment())}, {"showsPackage", flag(c->showsPackageInstallProgress())},
                {"daemonFlight", flag(c->daemonInstallInFlight())}, {"field", c->setupCode()}, {"name", c->setupAgentName()},
                {"mode", c->setupEntryMode() == SetupEntryMode::paste ? "paste" : "enroll"}, {"workspace", rawValue(c->enrollmentWorkspace())},
                {"codeRuns", codeRuns.join(u',')}, {"calls", QString::number(code->calls.size())}, {"enrolments", enrolments.join(u',')},
                {"resumes", QString::number(resume->calls.size())}, {"prepares", QString::number(prepare->calls.size())},
                {"daemons", QString::number(daemon->calls.size())}, {"agent", QString::number(agent->calls)},
                {"resumable", flag(c->hasResumableSetupSession())}, {"claimable", flag(c->hasClaimableSetupCode())},
                {"waits", runs(waits)}, {"elapsed", QString::number(h.time.elapsed().count())}, {"sleeping", QString::number(h.time.pendingSleepers())},
                {"channel", QString::number(channel)}, {"reset", QString::number(reset)}, {"begun", QString::number(begun)},
                {"cleared", QString::number(cleared)}, {"shown", shown.join(u',')}};
    }
    void check(const QString &expectation)
    {
        const QString key = expectation.section(u'=', 0, 0);
        const auto all = observed();
        QVERIFY2(all.contains(key), qPrintable(key));
        QCOMPARE(key + u'=' + all.value(key), expectation);
    }
};

// A step that prints `lines` and reports `authorization`, held until opened when `gate`.
Step step(Step base, QStringList lines, bool gate = false, std::optional<JITWorkspaceAuthorization> authorization = std::nullopt)
{
    base.lines = std::move(lines);
    base.authorization = std::move(authorization);
    if (gate)
        base.gate = std::make_shared<Gate>();
    return base;
}

Step held(Step base)
{
    return base.heldAt(std::make_shared<Gate>());
}

const Step busy = Step::exit(1, QStringLiteral("Error: setup failed (bootstrap_failed): try again later"));

} // namespace

Q_DECLARE_METATYPE(Scenario)

class SetupControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scenarios_data()
    {
        QTest::addColumn<Scenario>("row");
        const QString codeS = QStringLiteral("code:QVS2-ABCD-EFGH-JKMN|");
        const QString refused = QStringLiteral("fail=-;submitting=0;task=0;calls=0;enrolments=;resumes=0;");
        const auto retry = [](int attempt) { return QStringLiteral("|check:detail=安装服务暂时繁忙，正在重试（%1/4）").arg(attempt); };
        const auto exit = [](qint32 status, const char *line) { return Step::exit(status, QString::fromUtf8(line)); };
        // ---- Refused input shows an error, but is no failure; only a refused code takes the focus back ----
        QTest::newRow("malformed code") << Scenario{"setup", "code:QVS2-ABCD|submit", refused + "error=SETUP_CODE_FORMAT;focus=1;journey=setup cccppppppp waitingSetup"};
        QTest::newRow("QVI1 with a bad name") << Scenario{"setup", "code:QVI1-2345-6789-ABCD|name:ab|submit", refused + "error=SETUP_CODE_FORMAT;focus=1"};
        QTest::newRow("not at the setup stage") << Scenario{"permissions", codeS + "submit", refused + "error=SETUP_CODE_FORMAT;focus=1;journey=permissions ccrppppppp starting resume"};
        QTest::newRow("already configured") << Scenario{"setup configured", codeS + "submit", refused + "error=SETUP_CODE_FORMAT;focus=1;journey=setup cccppppppp starting resume configured"};
        QTest::newRow("enrolment, bad name") << Scenario{"setup", "enroll|name:ab|submit", refused + "error=SETUP_CODE_FORMAT;focus=0"};
        QTest::newRow("enrolment, key gone") << Scenario{"setup", "keys:1|enroll|name:new-agent-7|submit", refused + "error=SETUP_CODE_FORMAT;focus=0"};
        QTest::newRow("enrolment, key gone for the run") << Scenario{"setup", "keys:2|enroll|name:new-agent-7|submit", refused + "error=SETUP_ENROLLMENT_UNAVAILABLE;focus=0"};
        // ---- A code run: the code leaves the field; success hands over to the daemon stage ----
        QTest::newRow("QVS2 runs without a name") << Scenario{"setup",
            "failed|code:qvs2 abcd efgh jkmn|name:some-name|submit|check:codeRuns=QVS2-ABCD-EFGH-JKMN <none>|check:field=|check:submitting=1|check:task=1|check:begun=1|check:error=-|"
            "check:journey=setup ccccrppppp error|check:detail=写入配置|check:shown=bot@example.org|open",
            "submitting=0;task=0;cleared=1;journey=daemon ccccccrppp starting resume configured;daemons=1;agent=1;channel=1",
            {step(Step::success(), {"Redeeming setup code", R"({"type":"progress","phase":"configure","status":"running","detail":"写入配置"})"}, true, authorization())}};
        QTest::newRow("QVI1 with the name normalized") << Scenario{"setup", "code:qvi1 2345 6789 abcd|name:  My-Agent-01 \n|submit", "codeRuns=QVI1-2345-6789-ABCD my-agent-01;journey=daemon ccccccrppp starting resume configured"};
        // ---- Transient service failures: retried after 2, 4 and 8 s, the attempt in the detail ----
        QTest::newRow("two transient failures, then success") << Scenario{"setup", codeS + "submit|check:calls=1" + retry(2) + "|check:progress=cccrpppppp|wait:1999|check:calls=1|wait:1|check:calls=2" + retry(3) + "|wait:4000",
            "calls=3;waits=2000 4000;sleeping=0;task=0;fail=-;journey=daemon ccccccrppp starting resume configured", {busy, busy, Step::success()}};
        QTest::newRow("four transient failures, no fifth") << Scenario{"setup", codeS + "submit|wait:2000|wait:4000" + retry(4) + "|wait:8000",
            "calls=4;waits=2000 4000 8000;sleeping=0;task=0;fail=SETUP_EXIT_17: BOOTSTRAP_FAILED: busy;error=SETUP_BOOTSTRAP_FAILED;journey=setup cccfpppppp error", {exit(17, "  BOOTSTRAP_FAILED: busy \n")}};
        QTest::newRow("coded transient error, then another error") << Scenario{"setup", codeS + "submit|wait:2000", "calls=2;fail=SETUP_FAILED;error=SETUP_FAILED;task=0",
            {Step::throwing(QuorvantisNativeError(QStringLiteral("SETUP_REMOTE"), QStringLiteral("bootstrap_failed"))), Step::throwing(std::runtime_error("disk on fire"))}};
        QTest::newRow("transient, then a plain failure") << Scenario{"setup", codeS + "submit|wait:2000", "calls=2;waits=2000;fail=SETUP_EXIT_2: Error: odd;error=SETUP_EXIT_2", {busy, exit(2, "Error: odd")}};
        QTest::newRow("a taken name is not retried") << Scenario{"setup", codeS + "submit", "calls=1;waits=;fail=SETUP_EXIT_1: agent already exists (bootstrap_failed);error=SETUP_AGENT_NAME_TAKEN", {exit(1, "agent already exists (bootstrap_failed)")}};
        QTest::newRow("negative status keeps its sign") << Scenario{"setup", codeS + "submit", "calls=1;fail=SETUP_EXIT_-3;journey=setup cccfpppppp error", {Step::exit(-3)}};
        QTest::newRow("internal line is not shown nor retried") << Scenario{"setup", codeS + "submit", "calls=1;waits=;fail=SETUP_EXIT_5", {exit(5, "QVAPP_STAGE=redeem bootstrap_failed")}};
        // ---- Only the current run changes the model: a superseded one neither finishes, retries nor shows its authorization ----
        Step stale = held(Step::success());
        stale.lateAuthorization = authorization(QStringLiteral("stale@example.org"));
        QTest::newRow("superseded runs") << Scenario{"setup", codeS + "submit|abandon|" + codeS + "submit|check:sleeping=1|abandon|" + codeS + "submit|open|check:shown=stale:stale@example.org|"
            "check:submitting=1|check:journey=setup cccrpppppp waitingSetup|wait:2000|check:calls=3|check:fail=-|open", "fail=SETUP_EXIT_2;daemons=0", {stale, busy, held(Step::exit(2))}};
        // ---- Enrolment: a retry must not register the agent twice (every first attempt fails transiently) ----
        const QByteArray code = R"({"setupCode": "qvs2 abcd efgh jkmn", "sessionId": ""})";
        const QString enrol = QStringLiteral("enroll|workspace:google|name:  New-Agent-7 |submit|drain");
        const auto enrolment = [&](const char *name, const QByteArray &state, const QString &expect, const QByteArray &left = {}) {
            QTest::newRow(name) << Scenario{"setup", enrol, expect + ";journey=daemon ccccccrppp starting resume configured", {}, {busy, Step::success()}, {}, {}, {true}, state, left};
        };
        enrolment("nothing left: enrols again", {}, "enrolments=google new-agent-7 " + validEnrollmentKey() + ",google new-agent-7 " + validEnrollmentKey() + ";resumes=0;resumable=0;claimable=0");
        enrolment("a session resumes at once", R"({"sessionId":"a","resumeToken":"b"})", "enrolments=;resumes=1;resumable=1;claimable=0");
        enrolment("a session without a token", R"({"sessionId":"a","resumeToken":""})", "resumes=0;resumable=0");
        enrolment("a code is claimed only after a failed attempt", code, "resumes=1;resumable=0;claimable=1;waits=2000");
        enrolment("a code left by the failed attempt", {}, "resumes=1;resumable=0;claimable=1", code);
        enrolment("a code with a forbidden letter", R"({"setupCode":"QVS2-ABCD-EFGH-JKMO"})", "resumes=0;claimable=0");
        enrolment("a code that is no string", R"({"setupCode":["QVS2-ABCD-EFGH-JKMN"]})", "resumes=0;claimable=0");
        enrolment("both", R"({"sessionId":"a","resumeToken":"b","setupCode":"QVS2ABCDEFGHJKMN"})", "resumes=1;resumable=1;claimable=1");
        enrolment("malformed", R"({"sessionId":"a","resumeToken":"b")", "resumes=0;resumable=0");
        enrolment("invalid UTF-8", "{\"sessionId\":\"\xff\",\"resumeToken\":\"b\"}", "resumes=0;resumable=0");
        // ---- Switching between a code and an enrolment ----
        QTest::newRow("entry modes") << Scenario{"setup", codeS + "name:kept-name|failed|enroll|check:mode=enroll|check:field=|check:error=-|check:cleared=1|workspace:google|failed|paste",
            "mode=paste;workspace=none;error=-;cleared=2;focus=1;name=kept-name"};
        QTest::newRow("enrolment needs a key") << Scenario{"setup", "keys:0|enroll", "mode=paste"};
        // ---- The runtime stage ----
        QTest::newRow("runtime: success moves to permissions") << Scenario{"-", "failed|runtime|check:preparing=1|check:showsPackage=1|check:journey=runtime rppppppppp starting resume|check:package=4/8|open",
            "preparing=0;showsPackage=0;reset=1;journey=permissions ccrppppppp starting resume", {}, {},
            {step(Step::success(), {R"({"type":"progress","phase":"runtime","status":"running","detail":"安装 Quorvantis"})", R"({"type":"packageProgress","completed":4,"total":8})"}, true)}};
        const auto failure = [](const char *name, bool daemon, const Step &failed, const QString &report) {
            const QString stage = daemon ? QStringLiteral("daemon") : QStringLiteral("runtime");
            const QString failedJourney = daemon ? QStringLiteral("daemon ccccccfppp error resume configured") : QStringLiteral("runtime fppppppppp error resume");
            QTest::newRow(name) << Scenario{stage + (daemon ? " configured" : ""), stage + "|check:fail=" + report + "|check:journey=" + failedJourney + "|check:preparing=0|check:daemonFlight=0|check:agent=0|check:reset=0|" + stage,
                daemon ? "daemons=2;channel=1" : "prepares=2;journey=permissions ccrppppppp starting resume", {}, {}, daemon ? QList<Step>{} : QList<Step>{failed, Step::success()},
                daemon ? QList<Step>{failed, Step::success()} : QList<Step>{Step::success()}};
        };
        const auto coded = [](const char *code, const char *message) { return Step::throwing(QuorvantisNativeError(QString::fromLatin1(code), QString::fromUtf8(message))); };
        failure("runtime: exit with an error line", false, exit(2, "  Error: corepack failed \n"), "RUNTIME_PREPARE_EXIT_2: Error: corepack failed");
        failure("runtime: coded error", false, coded("INSTALL_COMPONENT_MISSING", "安装组件不完整"), "INSTALL_COMPONENT_MISSING: 安装组件不完整");
        failure("runtime: other error", false, Step::throwing(std::runtime_error("no bash here")), "RUNTIME_PREPARE_FAILED");
        failure("daemon: exit with an error line", true, exit(3, "launchctl: Bootstrap failed: 5  "), "DAEMON_INSTALL_EXIT_3: launchctl: Bootstrap failed: 5");
        failure("daemon: exit with a long line", true, Step::exit(4, QString(300, u'e')), "DAEMON_INSTALL_EXIT_4: " + QString(240, u'e'));
        failure("daemon: another run is busy", true, coded("OPERATION_ALREADY_RUNNING", "已有操作正在进行"), "OPERATION_ALREADY_RUNNING: 已有操作正在进行");
        failure("daemon: other error", true, Step::throwing(std::runtime_error("pipe closed")), "DAEMON_INSTALL_FAILED");
        // ---- Each stage runs only in its stage, and once at a time ----
        QTest::newRow("runtime, elsewhere") << Scenario{"permissions", "runtime", "prepares=0;journey=permissions ccrppppppp starting resume"};
        QTest::newRow("daemon, elsewhere") << Scenario{"setup configured", "daemon", "daemons=0;journey=setup cccppppppp starting resume configured"};
        QTest::newRow("runtime, once at a time") << Scenario{"runtime", "runtime|runtime|check:prepares=1|open", "fail=RUNTIME_PREPARE_EXIT_5", {}, {}, {held(Step::exit(5))}};
        QTest::newRow("daemon, once at a time") << Scenario{"daemon configured", "daemon|daemon|check:daemons=1|open", "fail=DAEMON_INSTALL_EXIT_5", {}, {}, {}, {held(Step::exit(5))}};
        // ---- The daemon's agent is asked up to 30 times, half a second apart; its installer's lines only go to the log ----
        const QString wait = QStringLiteral("daemon|check:progress=ccccccrppp|check:daemonFlight=1|check:detail=等待 Agent 启动|drain");
        const QList<Step> installer{step(Step::success(), {R"({"type":"progress","phase":"channel","status":"running"})"})};
        QTest::newRow("the agent answers at once") << Scenario{"daemon configured", "daemon", "agent=1;waits=;daemonFlight=0;channel=1;progress=ccccccrppp", {}, {}, {}, installer};
        std::deque<bool> late(29, false);
        late.push_back(true);
        QTest::newRow("the agent answers at the last check") << Scenario{"daemon configured", wait, "agent=30;waits=500*29;elapsed=14500;daemonFlight=0;channel=1;fail=-", {}, {}, {}, installer, late};
        QTest::newRow("the agent never answers") << Scenario{"daemon configured", wait, "agent=30;waits=500*30;elapsed=15000;daemonFlight=0;channel=0;"
            "fail=AGENT_START_TIMEOUT: Agent 已安装，但未能在 15 秒内启动。;journey=daemon ccccccfppp error resume configured", {}, {}, {}, installer, {false}};
        // ---- The tool's output lines (from the setup stage's "cccppppppp") ----
        const auto line = [](const char *name, const char *text, const char *expect) { QTest::newRow(name) << Scenario{"setup", QStringLiteral("line:") + QString::fromUtf8(text), QString::fromUtf8(expect)}; };
        line("plain text", "Redeeming setup code", "progress=cccppppppp;detail=-;package=-");
        line("not JSON", "{not json", "progress=cccppppppp;detail=-");
        line("other type", R"({"type":"log","phase":"verify","status":"complete"})", "progress=cccppppppp");
        line("non-string phase", R"({"type":"progress","phase":3,"status":"running"})", "progress=cccppppppp");
        line("unknown phase", R"({"type":"progress","phase":"later","status":"running","detail":"x"})", "progress=cccppppppp;detail=-");
        line("phase is case-sensitive", R"({"type":"progress","phase":"Verify","status":"complete"})", "progress=cccppppppp");
        line("no status", R"({"type":"progress","phase":"verify"})", "progress=cccppppppp");
        line("verify complete", R"({"type":"progress","phase":"verify","status":"complete"})", "progress=cccppcpppp;detail=-");
        line("running with detail, spaces around", R"(  {"type":"progress","phase":"configure","status":"running","detail":"写入配置"}  )", "progress=ccccrppppp;detail=写入配置");
        line("non-string detail is none", R"({"type":"progress","phase":"redeem","status":"running","detail":7})", "progress=cccrpppppp;detail=-");
        line("other status runs the phase alone", R"({"type":"progress","phase":"verify","status":"retrying","detail":"x"})", "progress=cccpprpppp;detail=-");
        line("package count", R"({"type":"packageProgress","completed":4,"total":8})", "package=4/8;progress=cccppppppp");
        line("package count without a total", R"({"type":"packageProgress","completed":3})", "package=-");
        line("a float is no count", R"({"type":"packageProgress","completed":7.5,"total":10})", "package=0/10");
        line("out of range is no count", R"({"type":"packageProgress","completed":99999999999,"total":10})", "package=0/10");
        line("a string is no count", R"({"type":"packageProgress","completed":"9","total":10})", "package=0/10");
        line("a float total is none", R"({"type":"packageProgress","completed":1,"total":10.0})", "package=-");
    }
    void scenarios()
    {
        QFETCH(Scenario, row);
        Setup s;
        s.make(row);
        for (const QString &op : row.ops.split(u'|', Qt::SkipEmptyParts)) {
            s.run(op);
            if (QTest::currentTestFailed())
                return;
        }
        // Every scripted run answers at once: what is still running waits for something that never comes.
        for (auto &task : std::exchange(s.running, {}))
            QVERIFY2(finishesAtOnce(std::move(task)), "an operation is still running");
        for (const QString &expectation : row.expect.split(u';', Qt::SkipEmptyParts))
            s.check(expectation);
    }
};

QTEST_GUILESS_MAIN(SetupControllerTests)
#include "SetupControllerTests.moc"
