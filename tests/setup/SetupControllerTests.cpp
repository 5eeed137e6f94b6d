// The setup controller on scripted runs and virtual time: submissions, the retry of transient
// service failures, superseded runs, the enrolment resume, and the runtime and daemon stages
// around the run; and the reader of the setup tool's output lines.
#include "setup/SetupController.h"
#include "setup/SetupOutput.h"
#include "support/ControllerHarness.h"

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

// A scenario: what a launch finds, the scripted runs, the steps (see Setup::words and
// support/Steps.h) and what shows afterwards: "<key>=<value>" entries of Setup::observed().
struct Scenario
{
    QString launch; // the stage ("-": none persisted), then "configured"
    QString ops;    // steps; "check:<key>=<value>" checks on the way
    QString expect;
    QList<Step> code{Step::success()}, enroll{Step::success()}, prepare{Step::success()}, daemon{Step::success()};
    std::deque<bool> agent{true};
    QByteArray stateFile{};  // setup-state.json at launch
    QByteArray leftBehind{}; // ... as the first enrolment leaves it
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
    Scenario row;

    void make(const Scenario &scenario)
    {
        row = scenario;
        code->steps = {row.code.begin(), row.code.end()};
        enroll->steps = {row.enroll.begin(), row.enroll.end()};
        prepare->steps = {row.prepare.begin(), row.prepare.end()};
        daemon->steps = {row.daemon.begin(), row.daemon.end()};
        agent->answers = row.agent;
        const QString stateFile = QStringLiteral("setup-state.json");
        if (!row.stateFile.isEmpty())
            h.writeProfileFile(stateFile, row.stateFile);
        if (!row.leftBehind.isEmpty())
            enroll->steps.front().onStart = [this, stateFile, left = row.leftBehind] {
                h.writeProfileFile(stateFile, left);
            };
        h.launchAt(fromRawValue<InstallStage>(row.launch.section(u' ', 0, 0)), row.launch.endsWith(u"configured"));
        const auto key = [this] { return keys-- > 0 ? std::optional(validEnrollmentKey()) : std::nullopt; };
        SetupController::Effects effects{.environmentPrepare = runEffect(prepare),
                                         .enrollmentKeyProvider = key,
                                         .setupWithCode = codeEffect(code),
                                         .setupEnroll = enrollEffect(enroll),
                                         .setupResume = resumeEffect(resume)};
        h.daemonEffects = {.daemonInstall = runEffect(daemon), .agentStarted = answerEffect(agent)};
        const auto authorizations = [this](std::function<bool()> isCurrent) -> AuthorizationHandler {
            return [this, isCurrent](const JITWorkspaceAuthorization &record) {
                shown << (isCurrent() ? QString() : QStringLiteral("stale:")) + record.email;
            };
        };
        SetupController::Links links{.enterChannelStage = [this] { return ++channel, nothing(); },
                                     .resetPermissionVerification = [this] { ++reset; },
                                     .beginAuthorizationRun = [this] { ++begun; },
                                     .clearAuthorization = [this] { ++cleared; },
                                     .authorizationHandler = authorizations};
        c = std::make_unique<SetupController>(h.context(), std::move(effects), std::move(links),
                                              std::vector<std::chrono::milliseconds>{2s, 4s, 8s});
    }
    Words words()
    {
        return {{"code", [&](const QString &code) { c->setSetupCodeInput(code); }},
                {"name", [&](const QString &name) { c->setSetupAgentName(name); }},
                {"workspace", [&](const QString &w) { c->setEnrollmentWorkspace(*fromRawValue<EnrollmentWorkspace>(w)); }},
                {"enroll", [&](const QString &) { c->beginEnrollmentSetup(); }},
                {"keys", [&](const QString &n) { keys = n.toInt(); }}, {"failed", [&](const QString &) { showEarlierFailure(); }},
                {"abandon", [&](const QString &) { c->abandonSubmission(); }}, // what a failure elsewhere does
                {"submit", [&](const QString &) { running.push_back(c->submitActiveSetup()); }},
                {"retry", [&](const QString &) { retry(); }},
                {"runtime", [&](const QString &) { running.push_back(c->prepareEnvironmentIfNeeded()); }},
                {"daemon", [&](const QString &) { running.push_back(c->finishDaemonInstallationIfNeeded()); }},
                {"open", [&](const QString &) { openNextGate(); }}, {"drain", [&](const QString &) { drain(); }},
                {"wait", [&](const QString &ms) { h.time.advance(std::chrono::milliseconds(ms.toInt())); }},
                {"check", [&](const QString &expectation) { check(expectation); }}};
    }
    // An earlier failure shows.
    void showEarlierFailure()
    {
        h.attention().showError(DisplayError::from(QStringLiteral("OLD"), std::nullopt));
        h.journey().setOverallState(OverallState::error);
    }
    // The error panel's "重试" at the setup stage, as the model's resume does it.
    void retry()
    {
        const auto &error = h.attention().lastError();
        const std::optional<QString> failed = error ? std::optional(error->code) : std::nullopt;
        h.attention().clearError();
        running.push_back(c->waitForSetupOrRetry(failed));
    }
    void drain()
    {
        for (int i = 0; i < 200 && h.time.advanceToNext(); ++i) {
        }
    }
    // Opens the first held step (in the order the row lists them) that is waiting.
    void openNextGate()
    {
        for (const auto &list : {row.code, row.prepare, row.daemon}) {
            for (const Step &step : list) {
                if (step.gate && step.gate->isWaiting())
                    return step.gate->open();
            }
        }
    }
    QMap<QString, QString> observed() const
    {
        const InstallJourney &j = h.journey();
        const auto counter = j.packageInstallProgress();
        const auto count = [](qsizetype n) { return QString::number(n); };
        const auto joined = [](const QList<QStringList> &calls) {
            QStringList each;
            for (const auto &call : calls)
                each << call.join(u' ');
            return each.join(u',');
        };
        QStringList waits;
        for (const auto wait : h.time.requested())
            waits << count(wait.count());
        return {{"journey", describe(j)}, {"progress", progressLetters(j.setupProgress())},
                {"detail", j.setupProgressDetail().value_or("-")},
                {"package", counter ? QStringLiteral("%1/%2").arg(counter->completed).arg(counter->total) : "-"},
                {"error", h.attention().lastError() ? h.attention().lastError()->code : "-"},
                {"notice", h.attention().notice().value_or("-")},
                {"fail", h.failureReports()}, {"focus", count(h.attention().focusRevision())},
                {"submitting", count(c->isSubmittingSetup())}, {"task", count(c->setupTaskID().has_value())},
                {"preparing", count(c->isPreparingEnvironment())},
                {"showsPackage", count(c->showsPackageInstallProgress())},
                {"daemonFlight", count(c->daemonInstallInFlight())}, {"field", c->setupCode()},
                {"mode", c->setupEntryMode() == SetupEntryMode::paste ? "paste" : "enroll"},
                {"codeRuns", joined(code->calls)}, {"calls", count(code->calls.size())},
                {"enrolments", joined(enroll->calls)}, {"resumes", count(resume->calls.size())},
                {"prepares", count(prepare->calls.size())}, {"daemons", count(daemon->calls.size())},
                {"agent", count(agent->calls)}, {"waits", runs(waits)}, {"elapsed", count(h.time.elapsed().count())},
                {"sleeping", count(h.time.pendingSleepers())}, {"channel", count(channel)}, {"reset", count(reset)},
                {"begun", count(begun)}, {"cleared", count(cleared)}, {"shown", shown.join(u',')}};
    }
    void check(const QString &expectation)
    {
        const QString key = expectation.section(u'=', 0, 0);
        const auto all = observed();
        QVERIFY2(all.contains(key), qPrintable(key));
        QCOMPARE(key + u'=' + all.value(key), expectation);
    }
};

Step held(Step base)
{
    return base.heldAt(std::make_shared<Gate>());
}

const Step busy = Step::exit(1, "Error: setup failed (bootstrap_failed): try again later");

} // namespace

Q_DECLARE_METATYPE(Scenario)

class SetupControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scenarios_data()
    {
        columns<Scenario>({"row"});
        const QString codeS = QStringLiteral("code:QVS2-ABCD-EFGH-JKMN");
        const QString daemonStage = QStringLiteral("; journey=daemon ccccccrppp starting resume configured");
        // ---- Refused input shows an error, but starts nothing; only a refused code takes the focus ----
        const auto refused = [](const char *name, const QString &launch, const QString &ops, const char *error,
                                int focus) {
            const QString expect = QStringLiteral("fail=-; submitting=0; task=0; calls=0; enrolments=; error=%1; focus=%2");
            QTest::newRow(name) << Scenario{launch, ops + "; submit", expect.arg(error).arg(focus)};
        };
        refused("malformed code", "setup", "code:QVS2-ABCD", "SETUP_CODE_FORMAT", 1);
        refused("not at the setup stage", "permissions", codeS, "SETUP_CODE_FORMAT", 1);
        refused("already configured", "setup configured", codeS, "SETUP_CODE_FORMAT", 1);
        refused("enrolment, bad name", "setup", "enroll; name:ab", "SETUP_CODE_FORMAT", 0);
        refused("enrolment, key gone", "setup", "keys:2; enroll; name:new-agent-7", "SETUP_ENROLLMENT_UNAVAILABLE", 0);
        // ---- A code run: the code leaves the field; success hands over to the daemon stage ----
        const QString configure = R"({"type":"progress","phase":"configure","status":"running","detail":"写入配置"})";
        const Step configuring = held({.lines = {configure}, .authorization = authorization()});
        QTest::newRow("QVS2 runs without a name")
            << Scenario{"setup",
                        "failed; code:qvs2 abcd efgh jkmn; name:some-name; submit"
                        "; check:codeRuns=QVS2-ABCD-EFGH-JKMN <none>; check:field=; check:submitting=1; check:task=1"
                        "; check:begun=1; check:error=-; check:journey=setup ccccrppppp error; check:detail=写入配置"
                        "; check:shown=bot@example.org; open",
                        "submitting=0; task=0; cleared=1; daemons=1; agent=1; channel=1" + daemonStage, {configuring}};
        // ---- Transient service failures: retried after 2, 4 and 8 s, the attempt in the detail ----
        QTest::newRow("two transient failures, then success")
            << Scenario{"setup", codeS + "; submit; check:calls=1; wait:1999; check:calls=1; wait:1; check:calls=2; wait:4000",
                        "calls=3; waits=2000 4000; sleeping=0; task=0; fail=-" + daemonStage,
                        {busy, busy, Step::success()}};
        QTest::newRow("four transient failures, no fifth")
            << Scenario{"setup",
                        codeS + "; submit; wait:2000; wait:4000; check:detail=安装服务暂时繁忙，正在重试（4/4）; wait:8000",
                        "calls=4; waits=2000 4000 8000; sleeping=0; task=0; journey=setup cccfpppppp error"
                        "; fail=SETUP_EXIT_17: BOOTSTRAP_FAILED: busy",
                        {Step::exit(17, "BOOTSTRAP_FAILED: busy")}};
        QTest::newRow("internal line is not shown nor retried")
            << Scenario{"setup", codeS + "; submit", "calls=1; waits=; fail=SETUP_EXIT_5",
                        {Step::exit(5, "QVAPP_STAGE=redeem bootstrap_failed")}};
        // ---- Only the current run changes the model: a superseded one neither finishes, retries
        // nor shows its authorization ----
        Step stale = held(Step::success());
        stale.lateAuthorization = authorization("stale@example.org");
        QTest::newRow("superseded runs")
            << Scenario{"setup",
                        codeS + "; submit; abandon; " + codeS + "; submit; check:sleeping=1; abandon; " + codeS
                            + "; submit; open; check:shown=stale:stale@example.org; check:submitting=1"
                              "; check:journey=setup cccrpppppp waitingSetup; wait:2000; check:calls=3; check:fail=-; open",
                        "fail=SETUP_EXIT_2; daemons=0", {stale, busy, held(Step::exit(2))}};
        // ---- Enrolment: a retry must not register the agent twice (every first attempt fails
        // transiently); what the tool left decides ----
        const QString code = R"({"setupCode": "qvs2 abcd efgh jkmn"})";
        const QString enrolment = "google new-agent-7 " + validEnrollmentKey();
        const auto enrolled = [&](const char *name, const QString &state, const QString &expect, const QString &left) {
            Scenario row{"setup", "enroll; workspace:google; name:  New-Agent-7 ; submit; drain", expect + daemonStage};
            row.enroll = {busy, Step::success()};
            row.stateFile = state.toUtf8();
            row.leftBehind = left.toUtf8();
            QTest::newRow(name) << row;
        };
        const QString noToken = R"({"sessionId":"a","resumeToken":""})"; // a session without a token is no session
        enrolled("nothing left: enrols again", noToken, "enrolments=" + enrolment + "," + enrolment + "; resumes=0", {});
        enrolled("a session resumes at once", R"({"sessionId":"a","resumeToken":"b"})", "enrolments=; resumes=1", {});
        enrolled("a code is claimed only after a failed attempt", code, "resumes=1; waits=2000", {});
        enrolled("a code left by the failed attempt", {}, "enrolments=" + enrolment + "; resumes=1", code);
        // ---- "重试" after a failed run: a clean list; the same input goes again only when it can ----
        const QString failedEnrolment = "enroll; workspace:google; name:new-agent-7; submit; drain; check:detail=-"
                                        "; check:journey=setup cccfpppppp error; retry; drain";
        Scenario refusedName{"setup", failedEnrolment,
                             "enrolments=" + enrolment + "; notice=请先更换 Agent 名称，再重新提交。; error=-"
                             "; journey=setup cccppppppp waitingSetup; detail=-"};
        refusedName.enroll = {Step::exit(1, "Error: agent_name_reserved")};
        QTest::newRow("retry: a refused name must change first") << refusedName;
        Scenario issued{"setup", failedEnrolment, "enrolments=" + enrolment + "; resumes=1; notice=-" + daemonStage};
        issued.enroll = {Step::exit(5, "Error: no")};
        issued.leftBehind = code.toUtf8();
        QTest::newRow("retry: the code the failed run was issued is claimed") << issued;
        Scenario again{"setup", failedEnrolment, "enrolments=" + enrolment + "," + enrolment + "; resumes=0" + daemonStage};
        again.enroll = {Step::exit(5, "Error: no"), Step::success()};
        QTest::newRow("retry: an enrolment goes again") << again;
        QTest::newRow("retry: a code that left the field is asked for")
            << Scenario{"setup", codeS + "; submit; retry; drain",
                        "calls=1; notice=请重新输入安装码后提交。; journey=setup cccppppppp waitingSetup; focus=1",
                        {Step::exit(5, "Error: no")}};
        // ---- Switching between a code and an enrolment ----
        QTest::newRow("enrolment needs a key") << Scenario{"setup", "keys:0; enroll", "mode=paste"};
        // ---- The runtime stage ----
        const QString status = R"({"type":"progress","phase":"runtime","status":"running","detail":"安装 Quorvantis"})";
        const Step preparing = held({.lines = {status, R"({"type":"packageProgress","completed":4,"total":8})"}});
        QTest::newRow("runtime: success moves to permissions")
            << Scenario{"-",
                        "failed; runtime; check:preparing=1; check:showsPackage=1"
                        "; check:journey=runtime rppppppppp starting resume; check:package=4/8; open",
                        "preparing=0; showsPackage=0; reset=1; journey=permissions ccrppppppp starting resume", {}, {},
                        {preparing}};
        // A failure of either stage: the report, the stage failed and its flag cleared; a retry runs it again.
        const auto failure = [](const char *name, bool daemon, const Step &failed, const QString &report) {
            const QString stage = daemon ? QStringLiteral("daemon") : QStringLiteral("runtime");
            const QString failedJourney = daemon ? QStringLiteral("daemon ccccccfppp error resume configured")
                                                 : QStringLiteral("runtime fppppppppp error resume");
            Scenario row{stage + (daemon ? " configured" : ""),
                         stage + "; check:fail=" + report + "; check:journey=" + failedJourney
                             + "; check:preparing=0; check:daemonFlight=0; check:agent=0; check:reset=0; " + stage,
                         daemon ? "daemons=2; channel=1" : "prepares=2; journey=permissions ccrppppppp starting resume"};
            (daemon ? row.daemon : row.prepare) = {failed, Step::success()};
            QTest::newRow(name) << row;
        };
        failure("runtime: exit with an error line", false, Step::exit(2, "Error: corepack failed"),
                "RUNTIME_PREPARE_EXIT_2: Error: corepack failed");
        failure("daemon: exit with an error line", true, Step::exit(3, "launchctl: Bootstrap failed: 5"),
                "DAEMON_INSTALL_EXIT_3: launchctl: Bootstrap failed: 5");
        // ---- Each stage runs only in its stage, and once at a time ----
        QTest::newRow("runtime, elsewhere") << Scenario{"permissions", "runtime", "prepares=0"};
        QTest::newRow("daemon, elsewhere") << Scenario{"setup configured", "daemon", "daemons=0"};
        QTest::newRow("runtime, once at a time")
            << Scenario{"runtime", "runtime; runtime; check:prepares=1; open", "fail=RUNTIME_PREPARE_EXIT_5", {}, {},
                        {held(Step::exit(5))}};
        QTest::newRow("daemon, once at a time")
            << Scenario{"daemon configured", "daemon; daemon; check:daemons=1; open", "fail=DAEMON_INSTALL_EXIT_5", {}, {},
                        {}, {held(Step::exit(5))}};
        // ---- The daemon's agent is asked up to 30 times, half a second apart; its installer's lines
        // only go to the log ----
        const QString wait = QStringLiteral("daemon; check:daemonFlight=1; check:detail=等待 Agent 启动; drain");
        const QList<Step> installer{{.lines = {R"({"type":"progress","phase":"channel","status":"running"})"}}};
        std::deque<bool> late(29, false);
        late.push_back(true);
        QTest::newRow("the agent answers at the last check")
            << Scenario{"daemon configured", wait,
                        "agent=30; waits=500*29; elapsed=14500; daemonFlight=0; channel=1; fail=-; progress=ccccccrppp", {}, {}, {}, installer,
                        late};
        QTest::newRow("the agent never answers")
            << Scenario{"daemon configured", wait,
                        "agent=30; waits=500*30; elapsed=15000; daemonFlight=0; channel=0; journey=daemon ccccccfppp error "
                        "resume configured; fail=AGENT_START_TIMEOUT: Agent 已安装，但未能在 15 秒内启动。",
                        {}, {}, {}, installer, {false}};
    }
    void scenarios()
    {
        QFETCH(Scenario, row);
        Setup s;
        s.make(row);
        playSteps(row.ops, s.words());
        if (QTest::currentTestFailed())
            return;
        // Every scripted run answers at once: what is still running waits for something that never comes.
        for (auto &task : std::exchange(s.running, {}))
            QVERIFY2(finishesAtOnce(std::move(task)), "an operation is still running");
        for (const QString &expectation : entries(row.expect))
            s.check(expectation);
    }

    // What a line of the tool's output says: "<phase> <state> <detail>" (the state's letter as in
    // the progress list), "package <completed>/<total>", or nothing; "-": none.
    void outputLines_data()
    {
        columns<QString, QString>({"line", "event"});
        QTest::newRow("unknown phase") << R"({"type":"progress","phase":"later","status":"running"})" << "-";
        QTest::newRow("complete") << R"({"type":"progress","phase":"verify","status":"complete"})" << "verify c -";
        QTest::newRow("running, spaces around")
            << R"(  {"type":"progress","phase":"configure","status":"running","detail":"写入配置"}  )"
            << "configure r 写入配置";
        QTest::newRow("other status, detail not a string")
            << R"({"type":"progress","phase":"redeem","status":"retrying","detail":7})" << "redeem f -";
        QTest::newRow("no total") << R"({"type":"packageProgress","completed":3})" << "package 3/-";
        QTest::newRow("a float is no count") << R"({"type":"packageProgress","completed":7.5,"total":10.0})"
                                             << "package -/-";
        QTest::newRow("out of range") << R"({"type":"packageProgress","completed":2147483648,"total":2147483647})"
                                      << "package -/2147483647";
    }
    void outputLines()
    {
        QFETCH(QString, line);
        const auto number = [](std::optional<int> n) { return n ? QString::number(*n) : QStringLiteral("-"); };
        const std::optional<SetupOutput::Event> event = SetupOutput::parse(line);
        QString shown = QStringLiteral("-");
        if (const auto *progress = event ? std::get_if<SetupOutput::Progress>(&*event) : nullptr)
            shown = rawValue(progress->phase) + u' ' + QStringLiteral("prcf").at(int(progress->state)) + u' '
                    + progress->detail.value_or("-");
        if (const auto *package = event ? std::get_if<SetupOutput::PackageProgress>(&*event) : nullptr)
            shown = "package " + number(package->completed) + u'/' + number(package->total);
        QTEST(shown, "event");
    }
};

QTEST_GUILESS_MAIN(SetupControllerTests)
#include "SetupControllerTests.moc"
