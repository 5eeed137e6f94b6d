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
using Phase = SetupPhase;

namespace {

const QString codeS = QStringLiteral("QVS2-ABCD-EFGH-JKMN");
const Step busy = Step::exit(1, QStringLiteral("Error: setup failed (bootstrap_failed): try again later"));

QCoro::Task<void> done()
{
    co_return;
}

struct Refusal
{
    QString stage{}, code{}, name{};
    bool configured = false, enroll = false;
    int keyAnswers = 1000;
    QString error{};
    bool focus = false;
};

struct Retry
{
    QList<Step> steps;
    int attempts = 1;
    QString failure; // the report, "CODE: message"; empty: the run succeeded
    QString shown;   // the code the error panel shows
};

struct Line
{
    QString line, progress, detail, package; // progress from "cccppppppp"; "-": none
};

struct StageFailure
{
    bool daemon = false; // the daemon stage, else the runtime stage
    Step step;
    QString failure;
};

// One controller over the harness, with every run scripted and its links to the rest of the
// model recorded.
struct Setup
{
    ControllerHarness h;
    std::shared_ptr<ScriptedRun> withCode = std::make_shared<ScriptedRun>(), enroll = std::make_shared<ScriptedRun>(),
                                 resume = std::make_shared<ScriptedRun>(), prepare = std::make_shared<ScriptedRun>(),
                                 daemon = std::make_shared<ScriptedRun>();
    std::shared_ptr<ScriptedAnswer> started = std::make_shared<ScriptedAnswer>();
    int keyAnswers = 1000; // how many more times the enrolment key is there
    int channelEntered = 0, permissionsReset = 0, runsBegun = 0, authorizationsCleared = 0;
    QStringList shown; // the authorizations runs reported; "stale:" when the run was superseded
    std::unique_ptr<SetupController> c;

    SetupController &make(std::optional<InstallStage> stage, bool configured = false)
    {
        c.reset();
        h.launchAt(stage, configured);
        SetupController::Effects effects{runEffect(prepare), runEffect(daemon), answerEffect(started),
                                         [this] { return keyAnswers-- > 0 ? std::optional(validEnrollmentKey()) : std::nullopt; },
                                         codeEffect(withCode), enrollEffect(enroll), resumeEffect(resume)};
        SetupController::Links links{[this] { ++channelEntered; return done(); }, [this] { ++permissionsReset; },
                                     [this] { ++runsBegun; }, [this] { ++authorizationsCleared; },
                                     [this](std::function<bool()> isCurrent) -> AuthorizationHandler {
                                         return [this, isCurrent](const JITWorkspaceAuthorization &record) {
                                             shown << (isCurrent() ? QString() : QStringLiteral("stale:")) + record.email;
                                         };
                                     }};
        c = std::make_unique<SetupController>(h.context(), std::move(effects), std::move(links),
                                              std::vector<std::chrono::milliseconds>{2s, 4s, 8s});
        return *c;
    }
    // The reports of `fail`, "CODE: message" each.
    QString failures() const
    {
        QStringList reports;
        for (const auto &report : h.failures)
            reports << report.code + (report.message ? QStringLiteral(": ") + *report.message : QString());
        return reports.join(u'|');
    }
    void drain()
    {
        for (int i = 0; i < 200 && h.time.advanceToNext(); ++i) {
        }
    }
};

} // namespace

Q_DECLARE_METATYPE(Refusal)
Q_DECLARE_METATYPE(Retry)
Q_DECLARE_METATYPE(Line)
Q_DECLARE_METATYPE(StageFailure)

class SetupControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Refused input shows an error but is no failure of the installation; only a refused code
    // takes the focus back to its field.
    void refusedSubmissions_data()
    {
        QTest::addColumn<Refusal>("row");
        QTest::newRow("malformed code") << Refusal{.stage = "setup", .code = "QVS2-ABCD", .error = "SETUP_CODE_FORMAT", .focus = true};
        QTest::newRow("QVI1 with a bad name") << Refusal{.stage = "setup", .code = "QVI1-2345-6789-ABCD", .name = "ab", .error = "SETUP_CODE_FORMAT", .focus = true};
        QTest::newRow("not at the setup stage") << Refusal{.stage = "permissions", .code = codeS, .error = "SETUP_CODE_FORMAT", .focus = true};
        QTest::newRow("already configured") << Refusal{.stage = "setup", .code = codeS, .configured = true, .error = "SETUP_CODE_FORMAT", .focus = true};
        QTest::newRow("enrolment, bad name") << Refusal{.stage = "setup", .name = "ab", .enroll = true, .error = "SETUP_CODE_FORMAT"};
        QTest::newRow("enrolment, key gone") << Refusal{.stage = "setup", .name = "new-agent-7", .enroll = true, .keyAnswers = 1, .error = "SETUP_CODE_FORMAT"};
        QTest::newRow("enrolment, key gone for the run") << Refusal{.stage = "setup", .name = "new-agent-7", .enroll = true, .keyAnswers = 2, .error = "SETUP_ENROLLMENT_UNAVAILABLE"};
    }
    void refusedSubmissions()
    {
        QFETCH(Refusal, row);
        Setup s;
        SetupController &c = s.make(fromRawValue<InstallStage>(row.stage), row.configured);
        s.keyAnswers = row.keyAnswers;
        if (row.enroll)
            c.beginEnrollmentSetup();
        c.setSetupCodeInput(row.code);
        c.setSetupAgentName(row.name);
        const QString journey = describe(s.h.journey());
        const qint64 revision = s.h.attention().focusRevision();

        await(c.submitActiveSetup());
        QCOMPARE(s.withCode->calls.size() + s.enroll->calls.size() + s.resume->calls.size(), 0);
        QCOMPARE(s.h.attention().lastError()->code, row.error);
        QCOMPARE(describe(s.h.journey()), journey);
        QCOMPARE(s.failures(), QString());
        QCOMPARE(s.h.attention().focusRevision(), revision + (row.focus ? 1 : 0));
        QVERIFY(!c.setupTaskID() && !c.isSubmittingSetup());
    }

    void codeRun_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("QVS2 runs without a name") << "qvs2 abcd efgh jkmn" << "some-name" << QStringList{codeS, "<none>"};
        QTest::newRow("QVI1 with the name normalized") << "qvi1 2345 6789 abcd" << "  My-Agent-01 \n" << QStringList{"QVI1-2345-6789-ABCD", "my-agent-01"};
    }
    void codeRun()
    {
        QFETCH(QString, input);
        QFETCH(QString, name);
        QFETCH(QStringList, arguments);
        Setup s;
        auto gate = std::make_shared<Gate>();
        Step step = Step::success().heldAt(gate);
        step.lines = {QStringLiteral("Redeeming setup code"),
                      QStringLiteral(R"({"type":"progress","phase":"configure","status":"running","detail":"写入配置"})")};
        step.authorization = authorization();
        s.withCode->steps = {step};
        SetupController &c = s.make(InstallStage::setup);
        s.h.attention().showError(DisplayError::from(QStringLiteral("OLD"), std::nullopt));
        c.setSetupCodeInput(input);
        c.setSetupAgentName(name);

        auto run = c.submitSetupCode();
        QCOMPARE(s.withCode->calls, QList<QStringList>{arguments});
        QCOMPARE(c.setupCode(), QString()); // the code leaves the field once submitted
        QVERIFY(c.isSubmittingSetup() && c.setupTaskID());
        QCOMPARE(s.runsBegun, 1);
        QCOMPARE(s.h.attention().lastError(), std::nullopt);
        QCOMPARE(describe(s.h.journey()), QStringLiteral("setup ccccrppppp waitingSetup"));
        QCOMPARE(s.h.journey().setupProgressDetail(), QStringLiteral("写入配置"));
        QCOMPARE(s.shown, QStringList{authorization().email});

        // Success hands over to the daemon stage, which starts the agent.
        gate->open();
        await(std::move(run));
        QVERIFY(!c.isSubmittingSetup() && !c.setupTaskID());
        QCOMPARE(s.authorizationsCleared, 1);
        QCOMPARE(describe(s.h.journey()), QStringLiteral("daemon ccccccrppp starting resume configured"));
        QCOMPARE(std::make_pair(s.daemon->calls.size(), s.channelEntered), std::make_pair(qsizetype(1), 1));
    }

    void retries_data()
    {
        QTest::addColumn<Retry>("row");
        const auto exit = [](qint32 status, const char *line) {
            return QList<Step>{Step::exit(status, line ? std::optional(QString::fromUtf8(line)) : std::nullopt)};
        };
        QTest::newRow("two transient failures, then success") << Retry{{busy, busy, Step::success()}, 3, "", ""};
        QTest::newRow("four transient failures, no fifth attempt") << Retry{exit(17, "  BOOTSTRAP_FAILED: busy \n"), 4, "SETUP_EXIT_17: BOOTSTRAP_FAILED: busy", "SETUP_BOOTSTRAP_FAILED"};
        QTest::newRow("coded transient error, then another error")
            << Retry{{Step::throwing(QuorvantisNativeError(QStringLiteral("SETUP_REMOTE"), QStringLiteral("bootstrap_failed"))),
                      Step::throwing(std::runtime_error("disk on fire"))}, 2, "SETUP_FAILED", "SETUP_FAILED"};
        QTest::newRow("transient, then a plain failure") << Retry{{busy, Step::exit(2, QStringLiteral("Error: odd"))}, 2, "SETUP_EXIT_2: Error: odd", "SETUP_EXIT_2"};
        QTest::newRow("taken name") << Retry{exit(1, "Error: Agent \"alpha-bot\" already exists"), 1, "SETUP_EXIT_1: Error: Agent \"alpha-bot\" already exists", "SETUP_AGENT_NAME_TAKEN"};
        QTest::newRow("taken name wins over bootstrap") << Retry{exit(1, "agent already exists (bootstrap_failed)"), 1, "SETUP_EXIT_1: agent already exists (bootstrap_failed)", "SETUP_AGENT_NAME_TAKEN"};
        QTest::newRow("negative status keeps its sign") << Retry{exit(-3, nullptr), 1, "SETUP_EXIT_-3", "SETUP_EXIT_-3"};
        QTest::newRow("internal line is not shown nor retried") << Retry{exit(5, "QVAPP_STAGE=redeem bootstrap_failed"), 1, "SETUP_EXIT_5", "SETUP_EXIT_5"};
    }
    void retries()
    {
        QFETCH(Retry, row);
        const QList<std::chrono::milliseconds> delays{2s, 4s, 8s};
        Setup s;
        s.withCode->steps = {row.steps.begin(), row.steps.end()};
        SetupController &c = s.make(InstallStage::setup);
        c.setSetupCodeInput(codeS);

        auto run = c.submitSetupCode();
        for (int attempt = 1; attempt < row.attempts; ++attempt) {
            QCOMPARE(s.withCode->calls.size(), attempt);
            QCOMPARE(s.h.journey().setupProgressDetail(), QStringLiteral("安装服务暂时繁忙，正在重试（%1/4）").arg(attempt + 1));
            QCOMPARE(s.h.state(Phase::redeem), ProgressState::running);
            s.h.time.advance(delays[attempt - 1] - 1ms); // nothing before the delay is over
            QCOMPARE(s.withCode->calls.size(), attempt);
            s.h.time.advance(1ms);
        }
        await(std::move(run));
        QCOMPARE(s.withCode->calls.size(), row.attempts);
        QCOMPARE(s.h.time.requested(), delays.mid(0, row.attempts - 1));
        QCOMPARE(s.h.time.pendingSleepers(), 0);
        QVERIFY(!c.setupTaskID());
        QCOMPARE(s.failures(), row.failure);
        if (!row.failure.isEmpty()) {
            QCOMPARE(s.h.attention().lastError()->code, row.shown);
            QCOMPARE(describe(s.h.journey()), QStringLiteral("setup cccfpppppp error"));
        }
    }

    // Only the current run may change the model: a superseded one neither finishes, retries nor
    // shows its authorization.
    void supersededRuns()
    {
        Setup s;
        auto first = std::make_shared<Gate>(), third = std::make_shared<Gate>();
        Step success = Step::success().heldAt(first);
        success.lateAuthorization = authorization(QStringLiteral("stale@example.org"));
        s.withCode->steps = {success, busy, Step::exit(2).heldAt(third)};
        SetupController &c = s.make(InstallStage::setup);
        const auto submit = [&c] {
            c.abandonSubmission(); // what a failure elsewhere does
            c.setSetupCodeInput(codeS);
            return c.submitSetupCode();
        };
        auto runA = submit();
        auto runB = submit(); // fails transiently and waits to retry
        QCOMPARE(s.h.time.pendingSleepers(), 1);
        auto runC = submit();

        first->open();
        await(std::move(runA));
        QCOMPARE(s.shown, QStringList{QStringLiteral("stale:stale@example.org")});
        QCOMPARE(s.h.journey().stage(), InstallStage::setup);
        QVERIFY(c.isSubmittingSetup());
        s.h.time.advance(2s);
        await(std::move(runB));
        QCOMPARE(s.withCode->calls.size(), 3);
        QCOMPARE(s.failures(), QString());
        third->open();
        await(std::move(runC));
        QCOMPARE(s.failures(), QStringLiteral("SETUP_EXIT_2"));
    }

    // A retry must not register the agent twice: the tool's state file decides between a new
    // enrolment and resuming the last one. Every first attempt fails transiently.
    void enrolment_data()
    {
        QTest::addColumn<QByteArray>("state");    // setup-state.json before the run; empty: none
        QTest::addColumn<QByteArray>("leftBehind"); // what the failed first attempt leaves
        QTest::addColumn<QString>("runs");        // "enrolments resumes resumable claimable"
        const QByteArray code = R"({"setupCode": "qvs2 abcd efgh jkmn", "sessionId": ""})";
        QTest::newRow("nothing: enrols again") << QByteArray() << QByteArray() << "2 0 0 0";
        QTest::newRow("a session resumes at once") << QByteArray(R"({"sessionId":"a","resumeToken":"b"})") << QByteArray() << "0 1 1 0";
        QTest::newRow("a session without a token") << QByteArray(R"({"sessionId":"a","resumeToken":""})") << QByteArray() << "2 0 0 0";
        QTest::newRow("a code is claimed only after a failed attempt") << code << QByteArray() << "1 1 0 1";
        QTest::newRow("a code left by the failed attempt") << QByteArray() << code << "1 1 0 1";
        QTest::newRow("a code with a forbidden letter") << QByteArray(R"({"setupCode":"QVS2-ABCD-EFGH-JKMO"})") << QByteArray() << "2 0 0 0";
        QTest::newRow("a code that is no string") << QByteArray(R"({"setupCode":["QVS2-ABCD-EFGH-JKMN"]})") << QByteArray() << "2 0 0 0";
        QTest::newRow("both") << QByteArray(R"({"sessionId":"a","resumeToken":"b","setupCode":"QVS2ABCDEFGHJKMN"})") << QByteArray() << "0 1 1 1";
        QTest::newRow("malformed") << QByteArray(R"({"sessionId":"a","resumeToken":"b")") << QByteArray() << "2 0 0 0";
        QTest::newRow("invalid UTF-8") << QByteArray("{\"sessionId\":\"\xff\",\"resumeToken\":\"b\"}") << QByteArray() << "2 0 0 0";
    }
    void enrolment()
    {
        QFETCH(QByteArray, state);
        QFETCH(QByteArray, leftBehind);
        QFETCH(QString, runs);
        Setup s;
        const QString stateFile = QStringLiteral("setup-state.json");
        if (!state.isEmpty())
            s.h.writeProfileFile(stateFile, state);
        Step failed = busy;
        if (!leftBehind.isEmpty())
            failed.onStart = [&s, stateFile, leftBehind] { s.h.writeProfileFile(stateFile, leftBehind); };
        s.enroll->steps = {failed, Step::success()};
        SetupController &c = s.make(InstallStage::setup);
        c.beginEnrollmentSetup();
        c.setEnrollmentWorkspace(EnrollmentWorkspace::google);
        c.setSetupAgentName(QStringLiteral("  New-Agent-7 "));

        auto run = c.submitActiveSetup();
        s.drain();
        await(std::move(run));
        QCOMPARE(QStringLiteral("%1 %2 %3 %4").arg(s.enroll->calls.size()).arg(s.resume->calls.size())
                     .arg(int(c.hasResumableSetupSession())).arg(int(c.hasClaimableSetupCode())), runs);
        if (!s.enroll->calls.isEmpty())
            QCOMPARE(s.enroll->calls.first(), (QStringList{"google", "new-agent-7", validEnrollmentKey()}));
        QCOMPARE(s.h.journey().stage(), InstallStage::daemon);
    }

    void entryModes()
    {
        Setup s;
        SetupController &c = s.make(InstallStage::setup);
        c.setSetupCodeInput(codeS);
        c.setSetupAgentName(QStringLiteral("kept-name"));
        s.h.attention().showError(DisplayError::from(QStringLiteral("X"), std::nullopt));
        c.beginEnrollmentSetup();
        QCOMPARE(std::make_tuple(c.setupEntryMode(), c.setupCode(), s.authorizationsCleared), std::make_tuple(SetupEntryMode::enroll, QString(), 1));
        QCOMPARE(s.h.attention().lastError(), std::nullopt);

        c.setEnrollmentWorkspace(EnrollmentWorkspace::google);
        s.h.attention().showError(DisplayError::from(QStringLiteral("X"), std::nullopt));
        const qint64 revision = s.h.attention().focusRevision();
        c.useInstallCodeSetup();
        QCOMPARE(std::make_tuple(c.setupEntryMode(), c.enrollmentWorkspace(), s.authorizationsCleared), std::make_tuple(SetupEntryMode::paste, EnrollmentWorkspace::none, 2));
        QCOMPARE(s.h.attention().lastError(), std::nullopt);
        QCOMPARE(s.h.attention().focusRevision(), revision + 1);
        QCOMPARE(c.setupAgentName(), QStringLiteral("kept-name"));

        s.keyAnswers = 0; // enrolment needs a key
        c.beginEnrollmentSetup();
        QCOMPARE(c.setupEntryMode(), SetupEntryMode::paste);
    }

    void outputLines_data()
    {
        QTest::addColumn<Line>("row");
        const QString same = QStringLiteral("cccppppppp");
        QTest::newRow("plain text") << Line{"Redeeming setup code", same, "-", "-"};
        QTest::newRow("not JSON") << Line{"{not json", same, "-", "-"};
        QTest::newRow("other type") << Line{R"({"type":"log","phase":"verify","status":"complete"})", same, "-", "-"};
        QTest::newRow("non-string phase") << Line{R"({"type":"progress","phase":3,"status":"running"})", same, "-", "-"};
        QTest::newRow("unknown phase") << Line{R"({"type":"progress","phase":"later","status":"running","detail":"x"})", same, "-", "-"};
        QTest::newRow("phase is case-sensitive") << Line{R"({"type":"progress","phase":"Verify","status":"complete"})", same, "-", "-"};
        QTest::newRow("no status") << Line{R"({"type":"progress","phase":"verify"})", same, "-", "-"};
        QTest::newRow("verify complete") << Line{R"({"type":"progress","phase":"verify","status":"complete"})", "cccppcpppp", "-", "-"};
        QTest::newRow("running with detail, spaces around") << Line{R"(  {"type":"progress","phase":"configure","status":"running","detail":"写入配置"}  )", "ccccrppppp", "写入配置", "-"};
        QTest::newRow("non-string detail is none") << Line{R"({"type":"progress","phase":"redeem","status":"running","detail":7})", "cccrpppppp", "-", "-"};
        QTest::newRow("other status runs the phase alone") << Line{R"({"type":"progress","phase":"verify","status":"retrying","detail":"x"})", "cccpprpppp", "-", "-"};
        QTest::newRow("package count") << Line{R"({"type":"packageProgress","completed":4,"total":8})", same, "-", "4/8"};
        QTest::newRow("package count without a total") << Line{R"({"type":"packageProgress","completed":3})", same, "-", "-"};
        QTest::newRow("a float is no count") << Line{R"({"type":"packageProgress","completed":7.5,"total":10})", same, "-", "0/10"};
        QTest::newRow("out of range is no count") << Line{R"({"type":"packageProgress","completed":99999999999,"total":10})", same, "-", "0/10"};
        QTest::newRow("a string is no count") << Line{R"({"type":"packageProgress","completed":"9","total":10})", same, "-", "0/10"};
        QTest::newRow("a float total is none") << Line{R"({"type":"packageProgress","completed":1,"total":10.0})", same, "-", "-"};
    }
    void outputLines()
    {
        QFETCH(Line, row);
        Setup s;
        s.make(InstallStage::setup).consumeSetupOutput(row.line);
        const InstallJourney &journey = s.h.journey();
        const auto counter = journey.packageInstallProgress();
        QCOMPARE(progressLetters(journey.setupProgress()), row.progress);
        QCOMPARE(journey.setupProgressDetail().value_or(QStringLiteral("-")), row.detail);
        QCOMPARE(counter ? QStringLiteral("%1/%2").arg(counter->completed).arg(counter->total) : QStringLiteral("-"), row.package);
    }

    void runtimeStage()
    {
        Setup s;
        auto gate = std::make_shared<Gate>();
        Step step = Step::success().heldAt(gate);
        step.lines = {QStringLiteral(R"({"type":"progress","phase":"runtime","status":"running","detail":"安装 Quorvantis"})"),
                      QStringLiteral(R"({"type":"packageProgress","completed":4,"total":8})")};
        s.prepare->steps = {step};
        SetupController &c = s.make(std::nullopt); // a clean machine starts at the runtime stage
        s.h.journey().setOverallState(OverallState::error);

        auto run = c.prepareEnvironmentIfNeeded();
        QVERIFY(c.isPreparingEnvironment() && c.showsPackageInstallProgress());
        QCOMPARE(describe(s.h.journey()), QStringLiteral("runtime rppppppppp starting resume"));
        QCOMPARE(s.h.journey().packageInstallProgress(), (PackageInstallProgress{4, 8}));
        gate->open();
        await(std::move(run));
        QVERIFY(!c.isPreparingEnvironment() && !c.showsPackageInstallProgress());
        QCOMPARE(s.permissionsReset, 1);
        QCOMPARE(describe(s.h.journey()), QStringLiteral("permissions ccrppppppp starting resume"));
    }

    void stageFailures_data()
    {
        QTest::addColumn<StageFailure>("row");
        const auto coded = [](const char *code, const char *message) {
            return Step::throwing(QuorvantisNativeError(QString::fromLatin1(code), QString::fromUtf8(message)));
        };
        QTest::newRow("runtime: exit with an error line") << StageFailure{false, Step::exit(2, QStringLiteral("  Error: corepack failed \n")), "RUNTIME_PREPARE_EXIT_2: Error: corepack failed"};
        QTest::newRow("runtime: coded error") << StageFailure{false, coded("INSTALL_COMPONENT_MISSING", "安装组件不完整"), "INSTALL_COMPONENT_MISSING: 安装组件不完整"};
        QTest::newRow("runtime: other error") << StageFailure{false, Step::throwing(std::runtime_error("no bash here")), "RUNTIME_PREPARE_FAILED"};
        QTest::newRow("daemon: exit with an error line") << StageFailure{true, Step::exit(3, QStringLiteral("launchctl: Bootstrap failed: 5  ")), "DAEMON_INSTALL_EXIT_3: launchctl: Bootstrap failed: 5"};
        QTest::newRow("daemon: exit with a long line") << StageFailure{true, Step::exit(4, QString(300, u'e')), "DAEMON_INSTALL_EXIT_4: " + QString(240, u'e')};
        QTest::newRow("daemon: another run is busy") << StageFailure{true, coded("OPERATION_ALREADY_RUNNING", "已有操作正在进行"), "OPERATION_ALREADY_RUNNING: 已有操作正在进行"};
        QTest::newRow("daemon: other error") << StageFailure{true, Step::throwing(std::runtime_error("pipe closed")), "DAEMON_INSTALL_FAILED"};
    }
    void stageFailures()
    {
        QFETCH(StageFailure, row);
        Setup s;
        auto run = row.daemon ? s.daemon : s.prepare;
        run->steps = {row.step, Step::success()};
        SetupController &c = s.make(row.daemon ? InstallStage::daemon : InstallStage::runtime, row.daemon);
        const auto runStage = [&c, &row] { return row.daemon ? c.finishDaemonInstallationIfNeeded() : c.prepareEnvironmentIfNeeded(); };

        await(runStage());
        QCOMPARE(s.failures(), row.failure);
        QCOMPARE(describe(s.h.journey()), row.daemon ? QStringLiteral("daemon ccccccfppp error resume configured") : QStringLiteral("runtime fppppppppp error resume"));
        QVERIFY(!c.daemonInstallInFlight() && !c.isPreparingEnvironment());
        QCOMPARE(s.started->calls + s.permissionsReset, 0);

        // The stage stays, and runs again on the next resume.
        await(runStage());
        QCOMPARE(run->calls.size(), 2);
        QCOMPARE(s.h.journey().stage(), row.daemon ? InstallStage::daemon : InstallStage::permissions);
        QCOMPARE(s.channelEntered, row.daemon ? 1 : 0);
    }

    // Each stage runs only in its stage and once at a time.
    void stageGuards_data()
    {
        QTest::addColumn<bool>("daemon");
        QTest::newRow("runtime") << false;
        QTest::newRow("daemon") << true;
    }
    void stageGuards()
    {
        QFETCH(bool, daemon);
        Setup s;
        auto run = daemon ? s.daemon : s.prepare;
        auto gate = std::make_shared<Gate>();
        run->steps = {Step::exit(5).heldAt(gate)};
        const auto runStage = [&s, daemon] { return daemon ? s.c->finishDaemonInstallationIfNeeded() : s.c->prepareEnvironmentIfNeeded(); };
        s.make(daemon ? InstallStage::setup : InstallStage::permissions);
        const QString journey = describe(s.h.journey());
        await(runStage());
        QCOMPARE(describe(s.h.journey()), journey);

        s.make(daemon ? InstallStage::daemon : InstallStage::runtime, daemon);
        auto first = runStage();
        await(runStage());
        QCOMPARE(run->calls.size(), 1);
        gate->open();
        await(std::move(first));
        QCOMPARE(s.h.failures.size(), 1);
    }

    // The daemon's agent is asked up to 30 times, half a second apart.
    void agentStartWait_data()
    {
        QTest::addColumn<int>("misses"); // checks the agent does not answer; -1: never answers
        QTest::addColumn<int>("waitedMs");
        QTest::newRow("answers at once") << 0 << 0;
        QTest::newRow("answers at the last check") << 29 << 14500;
        QTest::newRow("never answers") << -1 << 15000;
    }
    void agentStartWait()
    {
        QFETCH(int, misses);
        QFETCH(int, waitedMs);
        Setup s;
        s.started->answers = std::deque<bool>(misses < 0 ? 1 : misses, false);
        if (misses >= 0)
            s.started->answers.push_back(true);
        // The installer's lines go only to the install log.
        s.daemon->steps.front().lines = {QStringLiteral(R"({"type":"progress","phase":"channel","status":"running"})")};
        SetupController &c = s.make(InstallStage::daemon, true);

        auto run = c.finishDaemonInstallationIfNeeded();
        QCOMPARE(s.h.state(Phase::channel), ProgressState::pending);
        QCOMPARE(c.daemonInstallInFlight(), misses != 0);
        if (misses != 0)
            QCOMPARE(s.h.journey().setupProgressDetail(), QStringLiteral("等待 Agent 启动"));
        s.drain();
        await(std::move(run));
        QCOMPARE(s.started->calls, misses < 0 ? 30 : misses + 1);
        QCOMPARE(s.h.time.elapsed(), std::chrono::milliseconds(waitedMs));
        QCOMPARE(s.h.time.requested(), QList<std::chrono::milliseconds>(waitedMs / 500, 500ms));
        QVERIFY(!c.daemonInstallInFlight());
        QCOMPARE(s.channelEntered, misses < 0 ? 0 : 1);
        QCOMPARE(s.failures(), misses < 0 ? QStringLiteral("AGENT_START_TIMEOUT: Agent 已安装，但未能在 15 秒内启动。") : QString());
        if (misses < 0)
            QCOMPARE(describe(s.h.journey()), QStringLiteral("daemon ccccccfppp error resume configured"));
    }
};

QTEST_GUILESS_MAIN(SetupControllerTests)
#include "SetupControllerTests.moc"
