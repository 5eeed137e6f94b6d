// The setup run on scripted effects and virtual time: submissions, the retry of transient
// service failures, stale runs, the enrolment resume and the tool's progress lines.
#include "support/ModelFixture.h"
#include "support/AwaitTask.h"

#include <QTest>

using namespace QuorvantisTest;
using namespace std::chrono_literals;
using Phase = AppModel::SetupPhase;
using State = AppModel::ProgressState;

namespace {

const QString codeS = QStringLiteral("QVS2-ABCD-EFGH-JKMN");
const QString codeI = QStringLiteral("QVI1-2345-6789-ABCD");
const QString bootstrapLine = QStringLiteral("Error: setup failed (bootstrap_failed): try again later");

QString retryText(int attempt, int attempts)
{
    return QStringLiteral("安装服务暂时繁忙，正在重试（%1/%2）").arg(attempt).arg(attempts);
}

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class SetupRunTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void transientFailuresAreRetriedWithGrowingDelays();
    void failedRuns_data();
    void failedRuns();
    void codeSubmission();
    void enrollmentWithoutKeyRunsNothing();
    void enrollmentResumesOnceTheToolLeftACode();
    void enrollmentResumesAnOpenSession();
    void staleRunResultIsDropped();
    void staleRunIsNotRetried();
    void outputLinesDriveProgress_data();
    void outputLinesDriveProgress();
    void packageProgressLines();
    void runOutputReachesTheModel();
    void setupStateFile_data();
    void setupStateFile();
    void modeSwitching();
};

void SetupRunTests::transientFailuresAreRetriedWithGrowingDelays()
{
    ModelFixture h(ModelFixture::Succeeding);
    h.setupWithCode->steps = {Step::exit(1, bootstrapLine), Step::exit(1, bootstrapLine), Step::success()};
    h.daemonInstall->steps = {Step::exit(9)};
    auto &model = h.makeAt("setup");
    model.setupCode = codeS;

    auto run = model.submitSetupCode();
    QCOMPARE(h.setupWithCode->calls.size(), 1);
    QVERIFY(model.isSubmittingSetup());
    QCOMPARE(model.setupProgressDetail(), retryText(2, 4));
    QCOMPARE(h.time.requested(), (QList<std::chrono::milliseconds>{2s}));

    // Nothing happens before the delay is over.
    h.time.advance(1999ms);
    QCOMPARE(h.setupWithCode->calls.size(), 1);
    h.time.advance(1ms);
    QCOMPARE(h.setupWithCode->calls.size(), 2);
    QCOMPARE(model.setupProgressDetail(), retryText(3, 4));
    QCOMPARE(h.time.requested(), (QList<std::chrono::milliseconds>{2s, 4s}));
    QVERIFY(!model.lastError());

    h.time.advance(4s);
    QuorvantisTest::await(std::move(run));
    QCOMPARE(h.setupWithCode->calls.size(), 3);
    QCOMPARE(h.time.requested(), (QList<std::chrono::milliseconds>{2s, 4s}));
    QVERIFY(model.configurationReady());
    QVERIFY(!model.setupTaskID);
    // The daemon stage took over (and its scripted installer failed).
    QCOMPARE(model.lastError()->code, QStringLiteral("DAEMON_INSTALL_EXIT_9"));
}

void SetupRunTests::failedRuns_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("message");

    const QString taken = QStringLiteral("该 Agent 名称已被占用，请更换名称后重试。");
    const QString busy = QStringLiteral("安装服务暂时未能完成配置，请稍后重试。");
    auto exit = [](qint32 status, const char *line) {
        return QList<Step>{Step::exit(status, line ? std::optional(QString::fromUtf8(line)) : std::nullopt)};
    };
    QTest::newRow("four transient failures, no fifth attempt")
        << exit(17, "  BOOTSTRAP_FAILED: service busy \n") << 4 << "SETUP_BOOTSTRAP_FAILED" << busy;
    // A coded error whose message names the transient failure is retried; any other error of
    // the effect is "SETUP_FAILED" at once.
    QTest::newRow("coded transient error, then another error")
        << QList<Step>{Step::throwing(QuorvantisNativeError(QStringLiteral("SETUP_REMOTE"), QStringLiteral("bootstrap_failed"))),
                       Step::throwing(std::runtime_error("disk on fire"))}
        << 2 << "SETUP_FAILED" << "操作失败：SETUP_FAILED";
    QTest::newRow("taken name") << exit(1, "Error: Agent \"alpha-bot\" already exists") << 1
                                << "SETUP_AGENT_NAME_TAKEN" << taken;
    QTest::newRow("taken name wins over bootstrap") << exit(1, "agent already exists (bootstrap_failed)") << 1
                                                    << "SETUP_AGENT_NAME_TAKEN" << taken;
    QTest::newRow("plain exit") << exit(2, "Error: something odd") << 1 << "SETUP_EXIT_2" << "Error: something odd";
    QTest::newRow("negative status keeps its sign") << exit(-3, nullptr) << 1 << "SETUP_EXIT_-3"
                                                    << "操作失败：SETUP_EXIT_-3";
    QTest::newRow("internal line is not shown") << exit(5, "QVAPP_STAGE=redeem bootstrap_failed") << 1
                                                << "SETUP_EXIT_5" << "操作失败：SETUP_EXIT_5";
}

void SetupRunTests::failedRuns()
{
    QFETCH(QList<Step>, steps);
    QFETCH(int, attempts);
    QFETCH(QString, code);
    QFETCH(QString, message);

    ModelFixture h(ModelFixture::Succeeding);
    h.setupWithCode->steps = {steps.begin(), steps.end()};
    auto &model = h.makeAt("setup");
    model.setupCode = codeS;

    auto run = model.submitSetupCode();
    if (attempts > 1)
        QCOMPARE(model.setupProgressDetail(), retryText(2, 4));
    QCOMPARE(h.drainTime(10), attempts - 1);
    QuorvantisTest::await(std::move(run));

    QCOMPARE(h.setupWithCode->calls.size(), attempts);
    const QList<std::chrono::milliseconds> delays{2s, 4s, 8s};
    QCOMPARE(h.time.requested(), delays.mid(0, attempts - 1));
    QCOMPARE(h.time.pendingSleepers(), 0);
    QCOMPARE(model.lastError()->code, code);
    QCOMPARE(model.lastError()->message, message);
    QCOMPARE(h.state(Phase::redeem), State::failed);
    QVERIFY(!model.isSubmittingSetup());
    QVERIFY(!model.configurationReady());
}

void SetupRunTests::codeSubmission()
{
    ModelFixture h(ModelFixture::Succeeding);
    h.daemonInstall->steps = {Step::exit(9)}; // stop after the setup run
    auto &model = h.makeAt("setup");

    // A malformed code runs nothing and leaves the progress alone; the code field gets focus.
    model.setupCode = QStringLiteral("QVS2-ABCD");
    const auto progress = model.setupProgress();
    const qint64 revision = model.focusRevision();
    QuorvantisTest::await(model.submitSetupCode());
    QCOMPARE(h.setupWithCode->calls.size(), 0);
    QCOMPARE(model.lastError()->code, QStringLiteral("SETUP_CODE_FORMAT"));
    QCOMPARE(model.focusRevision(), revision + 1);
    QCOMPARE(model.focusTarget(), AppModel::FocusTarget::setupCode());
    QCOMPARE(model.setupProgress(), progress);
    QVERIFY(!model.setupTaskID);

    // A valid one is passed in canonical form, with the name normalized.
    model.setSetupCodeInput(QStringLiteral("qvi1 2345 6789 abcd"));
    model.setupAgentName = QStringLiteral("  My-Agent-01 \n");
    QuorvantisTest::await(model.submitSetupCode());
    QCOMPARE(h.setupWithCode->calls, (QList<QStringList>{{codeI, QStringLiteral("my-agent-01")}}));
    QCOMPARE(model.setupCode(), QString());
}

void SetupRunTests::enrollmentWithoutKeyRunsNothing()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto &model = h.makeAt("setup");
    // The key disappears after the form was opened (e.g. an unreadable stamp).
    model.setupEntryMode = AppModel::SetupEntryMode::enroll;
    model.setupAgentName = QStringLiteral("new-agent-7");
    model.effects.enrollmentKeyProvider = [] { return std::optional<QString>(); };

    QuorvantisTest::await(model.submitEnrollmentSetup());
    QCOMPARE(h.setupEnroll->calls.size(), 0);
    QCOMPARE(model.lastError()->code, QStringLiteral("SETUP_CODE_FORMAT"));

    // With a provider that answers for the check but not for the run.
    auto answers = std::make_shared<int>(0);
    model.effects.enrollmentKeyProvider = [answers]() -> std::optional<QString> {
        return ++*answers == 1 ? std::optional<QString>(validEnrollmentKey()) : std::nullopt;
    };
    QuorvantisTest::await(model.submitEnrollmentSetup());
    QCOMPARE(h.setupEnroll->calls.size(), 0);
    QCOMPARE(model.lastError()->code, QStringLiteral("SETUP_ENROLLMENT_UNAVAILABLE"));
    QVERIFY(!model.isSubmittingSetup());
    QVERIFY(!model.setupTaskID);
}

void SetupRunTests::enrollmentResumesOnceTheToolLeftACode()
{
    ModelFixture h(ModelFixture::Succeeding);
    Step first = Step::exit(1, bootstrapLine);
    const QString statePath = h.profileFile(QStringLiteral("setup-state.json"));
    first.onStart = [statePath] {
        QFile file(statePath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"setupCode": "qvs2 abcd efgh jkmn", "sessionId": ""})");
    };
    h.setupEnroll->steps = {first};
    h.setupResume->steps = {Step::success()};
    h.daemonInstall->steps = {Step::exit(9)};
    auto &model = h.makeAt("setup");
    model.beginEnrollmentSetup();
    model.setupAgentName = QStringLiteral("new-agent-7");

    auto run = model.submitEnrollmentSetup();
    QCOMPARE(h.setupEnroll->calls.size(), 1);
    QVERIFY(model.hasClaimableSetupCode());
    QVERIFY(!model.hasResumableSetupSession());
    h.time.advance(2s);
    QuorvantisTest::await(std::move(run));

    QCOMPARE(h.setupEnroll->calls.size(), 1);
    QCOMPARE(h.setupResume->calls.size(), 1);
    QVERIFY(model.configurationReady());
}

void SetupRunTests::enrollmentResumesAnOpenSession()
{
    ModelFixture h(ModelFixture::Succeeding);
    h.writeProfileFile(QStringLiteral("setup-state.json"), R"({"sessionId": "s-1", "resumeToken": "t-1"})");
    h.daemonInstall->steps = {Step::exit(9)};
    auto &model = h.makeAt("setup");
    model.beginEnrollmentSetup();
    model.setupAgentName = QStringLiteral("new-agent-7");

    QuorvantisTest::await(model.submitEnrollmentSetup());
    QCOMPARE(h.setupEnroll->calls.size(), 0);
    QCOMPARE(h.setupResume->calls.size(), 1);
}

void SetupRunTests::staleRunResultIsDropped()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto firstGate = std::make_shared<Gate>();
    auto secondGate = std::make_shared<Gate>();
    Step first = Step::success();
    first.gate = firstGate;
    first.lateAuthorization = authorization(QStringLiteral("stale@example.org"));
    Step second = Step::exit(2, QStringLiteral("Error: second run failed"));
    second.gate = secondGate;
    h.setupWithCode->steps = {first, second};
    auto &model = h.makeAt("setup");

    model.setupCode = codeS;
    auto firstRun = model.submitSetupCode();
    QVERIFY(firstGate->isWaiting());
    const auto firstID = model.setupTaskID;
    QVERIFY(firstID);

    // Something else reports a failure, which lets the user submit again.
    model.fail(QStringLiteral("SOMETHING_ELSE"));
    model.setupCode = codeS;
    auto secondRun = model.submitSetupCode();
    QVERIFY(secondGate->isWaiting());
    QVERIFY(model.setupTaskID && model.setupTaskID != firstID);

    // The superseded run ends in success: nothing of it reaches the model.
    firstGate->open();
    QuorvantisTest::await(std::move(firstRun));
    QVERIFY(!model.configurationReady());
    QVERIFY(model.isSubmittingSetup());
    QVERIFY(!model.lastError());
    QVERIFY(!model.setupAuthorization()); // its authorization record was not shown either

    secondGate->open();
    QuorvantisTest::await(std::move(secondRun));
    QCOMPARE(model.lastError()->code, QStringLiteral("SETUP_EXIT_2"));
    QVERIFY(!model.configurationReady());
}

void SetupRunTests::staleRunIsNotRetried()
{
    ModelFixture h(ModelFixture::Succeeding);
    h.setupWithCode->steps = {Step::exit(1, bootstrapLine)};
    auto &model = h.makeAt("setup");
    model.setupCode = codeS;

    auto run = model.submitSetupCode();
    QCOMPARE(h.time.pendingSleepers(), 1);
    model.setupTaskID = QUuid::createUuid(); // a newer run took over during the wait
    h.time.advance(2s);
    QuorvantisTest::await(std::move(run));
    QCOMPARE(h.setupWithCode->calls.size(), 1);
    QVERIFY(!model.lastError());
}

void SetupRunTests::outputLinesDriveProgress_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QList<int>>("states"); // ProgressState per phase, in phase order
    QTest::addColumn<QString>("detail");

    const QList<int> untouched{0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    QTest::newRow("plain text") << "{not json" << untouched << QString();
    QTest::newRow("other type") << R"({"type":"log","phase":"verify","status":"complete"})" << untouched << QString();
    QTest::newRow("non-string phase") << R"({"type":"progress","phase":3,"status":"running"})" << untouched << QString();
    QTest::newRow("unknown phase") << R"({"type":"progress","phase":"later","status":"running","detail":"x"})" << untouched
                                   << QString();
    QTest::newRow("verify complete") << R"({"type":"progress","phase":"verify","status":"complete"})"
                                     << QList<int>{0, 0, 0, 0, 0, 2, 0, 0, 0, 0} << QString();
    QTest::newRow("configure running with detail")
        << QStringLiteral(R"(  {"type":"progress","phase":"configure","status":"running","detail":"写入配置"}  )")
        << QList<int>{2, 2, 2, 2, 1, 0, 0, 0, 0, 0} << QStringLiteral("写入配置");
    QTest::newRow("non-string detail is no detail") << R"({"type":"progress","phase":"redeem","status":"running","detail":7})"
                                                    << QList<int>{2, 2, 2, 1, 0, 0, 0, 0, 0, 0} << QString();
}

void SetupRunTests::outputLinesDriveProgress()
{
    QFETCH(QString, line);
    QFETCH(QList<int>, states);
    QFETCH(QString, detail);

    ModelFixture h(ModelFixture::Succeeding);
    auto &model = h.makeAt("setup", false);
    // Start from a clean list so that only the line can change it.
    QList<AppModel::SetupProgressItem> items;
    for (const Phase phase : allCases<Phase>())
        items.append({phase, State::pending});
    model.setupProgress = items;
    model.setupProgressDetail = std::nullopt;

    model.consumeSetupOutput(line);
    QList<int> actual;
    for (const auto &item : model.setupProgress())
        actual.append(int(item.state));
    QCOMPARE(actual, states);
    QCOMPARE(model.setupProgressDetail().value_or(QString()), detail);
}

void SetupRunTests::packageProgressLines()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto &model = h.makeAt("runtime");
    const auto consume = [&model](const char *line) { model.consumeSetupOutput(QString::fromUtf8(line)); };

    consume(R"({"type":"packageProgress","completed":3})");
    QVERIFY(!model.packageInstallProgress()); // no total yet
    consume(R"({"type":"packageProgress","completed":5,"total":10})");
    // A float, a number out of range or a string is no count; the total is remembered.
    consume(R"({"type":"packageProgress","completed":7.5,"total":10})");
    consume(R"({"type":"packageProgress","completed":99999999999,"total":10})");
    consume(R"({"type":"packageProgress","completed":"9","total":10})");
    QCOMPARE(model.packageInstallProgress(), (AppModel::PackageInstallProgress{5, 10}));
    consume(R"({"type":"packageProgress","completed":8})");
    QCOMPARE(model.packageInstallProgress(), (AppModel::PackageInstallProgress{8, 10}));
    consume(R"({"type":"packageProgress","completed":12,"total":10})");
    QCOMPARE(model.packageInstallProgress(), (AppModel::PackageInstallProgress{10, 10}));
}

void SetupRunTests::runOutputReachesTheModel()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto gate = std::make_shared<Gate>();
    Step step = Step::success();
    step.lines = {QStringLiteral("Redeeming setup code"),
                  QStringLiteral(R"({"type":"progress","phase":"configure","status":"running","detail":"写入配置"})")};
    step.authorization = authorization();
    step.gate = gate;
    h.setupWithCode->steps = {step};
    h.daemonInstall->steps = {Step::exit(9)};
    auto &model = h.makeAt("setup");
    model.setupCode = codeS;
    model.setupAuthorizationOpenFailed = true;

    auto run = model.submitSetupCode();
    QCOMPARE(h.state(Phase::redeem), State::complete);
    QCOMPARE(h.state(Phase::configure), State::running);
    QCOMPARE(model.setupProgressDetail(), QStringLiteral("写入配置"));
    QCOMPARE(model.setupAuthorization(), authorization());
    QVERIFY(!model.setupAuthorizationOpenFailed());

    // Completion takes the card away.
    gate->open();
    QuorvantisTest::await(std::move(run));
    QVERIFY(!model.setupAuthorization());
}

void SetupRunTests::setupStateFile_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::addColumn<bool>("resumable");
    QTest::addColumn<bool>("claimable");

    QTest::newRow("no file") << QByteArray() << false << false;
    QTest::newRow("session") << QByteArray(R"({"sessionId":"a","resumeToken":"b"})") << true << false;
    QTest::newRow("empty token") << QByteArray(R"({"sessionId":"a","resumeToken":""})") << false << false;
    QTest::newRow("code in lower case with spaces") << QByteArray(R"({"setupCode":"qvs2 abcd efgh jkmn"})") << false << true;
    QTest::newRow("code with a forbidden letter") << QByteArray(R"({"setupCode":"QVS2-ABCD-EFGH-JKMO"})") << false << false;
    QTest::newRow("code not a string") << QByteArray(R"({"setupCode":["QVS2-ABCD-EFGH-JKMN"]})") << false << false;
    QTest::newRow("both") << QByteArray(R"({"sessionId":"a","resumeToken":"b","setupCode":"QVS2ABCDEFGHJKMN"})") << true << true;
    QTest::newRow("malformed") << QByteArray(R"({"sessionId":"a","resumeToken":"b")") << false << false;
    QTest::newRow("invalid UTF-8") << QByteArray("{\"sessionId\":\"\xff\",\"resumeToken\":\"b\"}") << false << false;
}

void SetupRunTests::setupStateFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, resumable);
    QFETCH(bool, claimable);

    ModelFixture h(ModelFixture::Succeeding);
    if (!content.isEmpty())
        h.writeProfileFile(QStringLiteral("setup-state.json"), content);
    auto &model = h.makeAt("setup");
    QCOMPARE(model.hasResumableSetupSession(), resumable);
    QCOMPARE(model.hasClaimableSetupCode(), claimable);
}

void SetupRunTests::modeSwitching()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto &model = h.makeAt("setup");
    model.setupCode = codeS;
    model.setupAgentName = QStringLiteral("kept-name");
    model.lastError = AppModel::DisplayError::from(QStringLiteral("X"), std::nullopt);

    model.beginEnrollmentSetup();
    QCOMPARE(model.setupEntryMode(), AppModel::SetupEntryMode::enroll);
    QCOMPARE(model.setupCode(), QString());
    QVERIFY(!model.lastError());
    model.enrollmentWorkspace = AppModel::EnrollmentWorkspace::google;
    model.setupAuthorization = authorization();
    model.lastError = AppModel::DisplayError::from(QStringLiteral("X"), std::nullopt);
    const qint64 revision = model.focusRevision();

    model.useInstallCodeSetup();
    QCOMPARE(model.setupEntryMode(), AppModel::SetupEntryMode::paste);
    QCOMPARE(model.enrollmentWorkspace(), AppModel::EnrollmentWorkspace::none);
    QVERIFY(!model.lastError());
    QVERIFY(!model.setupAuthorization());
    QCOMPARE(model.focusRevision(), revision + 1);
    QCOMPARE(model.setupAgentName(), QStringLiteral("kept-name"));

    // Enrolment needs a key.
    ModelFixture noKey(ModelFixture::Succeeding);
    noKey.enrollmentKey = std::nullopt;
    auto &other = noKey.makeAt("setup");
    other.beginEnrollmentSetup();
    QCOMPARE(other.setupEntryMode(), AppModel::SetupEntryMode::paste);
}

QTEST_GUILESS_MAIN(SetupRunTests)
#include "SetupRunTests.moc"
