#include "support/StatusFixture.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using namespace QuorvantisTest;
using Stage = AppModel::InstallStage;
using Overall = AppModel::OverallState;

Q_DECLARE_METATYPE(QuorvantisTest::Sample)
Q_DECLARE_METATYPE(QuorvantisTest::ScriptedResponse)
Q_DECLARE_METATYPE(AppModel::OverallState)
Q_DECLARE_METATYPE(std::optional<AppModel::InstallStage>)

namespace {

Sample busySample(bool busy, qint64 queue = 0)
{
    Sample s;
    s.busy = busy;
    s.queueSize = queue;
    return s;
}

QStringList capturedMessages;
void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedMessages.append(message);
}

} // namespace

class StatusMonitorTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void taskLabel_data()
    {
        QTest::addColumn<Sample>("sample");
        QTest::addColumn<QString>("label");
        Sample s;
        QTest::newRow("idle") << s << "Idle";
        s.queueSize = 1;
        QTest::newRow("one waiting") << s << "Receiving messages";
        s.busy = true;
        QTest::newRow("busy beats queue") << s << "Working";
        s.compacting = true;
        QTest::newRow("compacting beats busy") << s << "Thinking";
        s.codingStatus = QStringLiteral("in_progress");
        QTest::newRow("coding beats compacting") << s << "Coding";
    }
    void taskLabel()
    {
        QFETCH(Sample, sample);
        const auto presentation = AppModel::runtimePresentation(sample.decoded(), std::nullopt);
        QTEST(presentation.taskLabel, "label");
        QVERIFY(!presentation.activitySummary); // no previous sample: never an activity
    }

    void activity_data()
    {
        QTest::addColumn<Sample>("previous");
        QTest::addColumn<Sample>("next");
        QTest::addColumn<QString>("activity"); // empty: none

        QTest::newRow("queue 0 to 1") << busySample(false, 0) << busySample(false, 1) << "Received a new message";
        QTest::newRow("queue 4 to 2") << busySample(false, 4) << busySample(false, 2) << "";
        QTest::newRow("queue rule first") << busySample(false, 0) << busySample(true, 2)
                                          << QStringLiteral("Received new messages — 2 waiting");
        QTest::newRow("started working") << busySample(false) << busySample(true) << "Started working";
        QTest::newRow("still working") << busySample(true) << busySample(true) << "";
        QTest::newRow("task complete") << busySample(true) << busySample(false) << "Task complete";
        QTest::newRow("complete, messages waiting") << busySample(true, 2) << busySample(false, 2)
                                                    << QStringLiteral("Task complete — waiting for the next message");

        Sample coding = busySample(true);
        coding.codingStatus = QStringLiteral("in_progress");
        QTest::newRow("started coding") << busySample(true) << coding << "Started coding";
        Sample codingCompacting = coding;
        codingCompacting.compacting = true;
        QTest::newRow("organizing while coding") << coding << codingCompacting << "Organizing context";

        Sample compacting = busySample(true);
        compacting.compacting = true;
        QTest::newRow("organizing") << busySample(true) << compacting << "Organizing context";
    }
    void activity()
    {
        QFETCH(Sample, previous);
        QFETCH(Sample, next);
        const auto presentation = AppModel::runtimePresentation(next.decoded(), previous.decoded());
        QTEST(presentation.activitySummary.value_or(QString()), "activity");
    }

    void headlineAndCurrentTask_data()
    {
        QTest::addColumn<std::optional<Stage>>("stage");
        QTest::addColumn<bool>("validated");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<bool>("submitting");
        QTest::addColumn<QString>("snapshotTask"); // empty: none
        QTest::addColumn<Overall>("overall");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("task");

        const std::optional<Stage> none;
        const QString channel = QStringLiteral("Waiting for channel binding");
        const QString connected = QStringLiteral("Agent 已连接");
        const QString noStatus = QStringLiteral("等待 Agent 状态");
        QTest::newRow("channel") << std::optional(Stage::channel) << true << true << true << "Coding" << Overall::online
                                 << channel << "Agent is running in the background" << channel;
        QTest::newRow("task beats submitting") << none << true << true << true << "Coding" << Overall::online << "Coding"
                                               << connected << "Coding";
        const QString finishing = QStringLiteral("Quorvantis 正在完成设置");
        QTest::newRow("submitting") << none << true << true << true << "" << Overall::online << finishing << connected
                                    << finishing;
        QTest::newRow("connected, idle") << none << true << true << false << "" << Overall::online << "Idle" << connected
                                         << "Idle";
        QTest::newRow("not validated") << std::optional(Stage::handshake) << false << true << false << "" << Overall::online
                                       << "在线" << "Agent 已安装并启动。" << "Idle";
        QTest::newRow("not installed") << none << false << false << false << "" << Overall::notInstalled << "等待安装"
                                       << "Quorvantis 尚未安装。" << noStatus;
        QTest::newRow("waiting setup") << std::optional(Stage::setup) << false << false << false << "" << Overall::waitingSetup
                                       << "等待 setup" << "输入 JIT Code 或 Setup Code 完成设备注册。" << "Waiting for setup";
        QTest::newRow("error") << none << true << false << false << "" << Overall::error << "需要处理"
                               << "Quorvantis 尚未就绪，请查看详情。" << noStatus;
    }
    void headlineAndCurrentTask()
    {
        QFETCH(std::optional<Stage>, stage);
        QFETCH(bool, validated);
        QFETCH(bool, connected);
        QFETCH(bool, submitting);
        QFETCH(QString, snapshotTask);
        QFETCH(Overall, overall);
        StatusFixture f;
        AppModel &model = f.makeServed();
        model.installStage = stage;
        model.installationValidated = validated;
        model.isSubmittingSetup = submitting;
        auto snapshot = AppModel::StatusSnapshot::empty();
        snapshot.bridgeConnected = connected;
        if (!snapshotTask.isEmpty())
            snapshot.currentTask = snapshotTask;
        model.statusSnapshot = snapshot;
        model.overallState = overall;
        QTEST(model.headlineStatusTitle(), "title");
        QTEST(model.headlineStatusDetail(), "detail");
        QTEST(model.currentTask(), "task");
    }

    void processAndHeartbeat_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<bool>("working");
        QTest::addColumn<qint64>("heartbeatAgeMs"); // -1: no heartbeat
        QTest::addColumn<QString>("process");
        QTest::addColumn<QString>("heartbeat");
        QTest::newRow("never") << false << false << qint64(-1) << "未连接" << "尚未收到";
        QTest::newRow("1.9 s") << true << false << qint64(1900) << "在线" << "刚刚";
        QTest::newRow("2.0 s") << true << true << qint64(2000) << "正在工作" << "2 秒前";
        QTest::newRow("future") << false << true << qint64(-30000) << "未连接" << "刚刚";
    }
    void processAndHeartbeat()
    {
        QFETCH(bool, connected);
        QFETCH(bool, working);
        QFETCH(qint64, heartbeatAgeMs);
        StatusFixture f;
        AppModel &model = f.makeServed();
        const QDateTime now = QDateTime::fromSecsSinceEpoch(1'900'000'000, Qt::UTC);
        auto snapshot = AppModel::StatusSnapshot::empty();
        snapshot.bridgeConnected = connected;
        snapshot.isWorking = working;
        if (heartbeatAgeMs != -1)
            snapshot.bridgeHeartbeatAt = now.addMSecs(-heartbeatAgeMs);
        model.statusSnapshot = snapshot;
        QTEST(model.agentProcessDescription(), "process");
        QTEST(model.heartbeatDescription(now), "heartbeat");
    }

    void goodSamplesFillSnapshotAndActivity()
    {
        StatusFixture f;
        f.desktop->offeredVersion = QStringLiteral("1.5.0");
        AppModel &model = f.makeServed();
        Sample first;
        first.ready = false;
        first.queueSize = 2;
        first.pid = 777;
        f.statusAnswer = ScriptedResponse::json(200, first.json());
        f.poll();

        const auto requests = f.server.requestsFor(QStringLiteral("/tui/status"));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().header("Authorization").value_or(QByteArray()), "Bearer " + statusToken);
        const auto &s = model.statusSnapshot();
        QCOMPARE(s.currentTask, std::optional<QString>(QStringLiteral("Receiving messages")));
        QVERIFY(s.bridgeConnected);
        QCOMPARE(s.bridgeHeartbeatAt, std::optional(first.decoded().sampledAt));
        QCOMPARE(s.processID, std::optional<qint64>(777));
        QCOMPARE(model.overallState(), Overall::starting);
        QVERIFY(model.activities().isEmpty()); // nothing to compare the first sample with
        QCOMPARE(model.previousRuntimeStatus, std::optional(first.decoded()));
        QCOMPARE(f.desktop->updateChecks, 1); // the update check ran with the reported version
        QCOMPARE(model.availableAgentVersion(), std::optional<QString>(QStringLiteral("1.5.0")));

        Sample second = busySample(true, 2);
        f.time.advance(5s);
        f.statusAnswer = ScriptedResponse::json(200, second.json());
        f.poll();
        QCOMPARE(model.statusSnapshot().statusSequence, quint64(2));
        QCOMPARE(model.overallState(), Overall::online);
        QCOMPARE(model.activities().size(), 1);
        QCOMPARE(model.activities().first().summary, QStringLiteral("Started working"));
        QCOMPARE(model.activities().first().occurredAt, f.time.now());
        QCOMPARE(f.desktop->updateChecks, 1); // same version: the registry is not asked again
    }

    void threeFailuresThenRecovery()
    {
        StatusFixture f;
        AppModel &model = f.makeServed();
        f.statusAnswer = ScriptedResponse::json(200, busySample(true, 1).json());
        f.poll();
        const auto good = model.statusSnapshot();
        QCOMPARE(model.overallState(), Overall::online);

        f.statusAnswer = ScriptedResponse::text(500, "boom");
        for (int i = 1; i <= 2; ++i) {
            f.poll();
            QCOMPARE(model.consecutiveStatusFailures, i);
            QCOMPARE(model.statusSnapshot(), good);
            QCOMPARE(model.overallState(), Overall::online);
            QVERIFY(model.previousRuntimeStatus);
        }
        f.poll();
        QCOMPARE(model.consecutiveStatusFailures, 3);
        QCOMPARE(model.overallState(), Overall::error);
        const auto &down = model.statusSnapshot();
        QVERIFY(!down.bridgeConnected);
        QVERIFY(!down.currentTask);
        QCOMPARE(down.processID, good.processID); // the rest is kept
        QVERIFY(!model.previousRuntimeStatus);
        QVERIFY(!model.lastError()); // a lost agent is shown by the state, not as an error message

        f.poll(); // a fourth failure changes nothing more
        QCOMPARE(model.consecutiveStatusFailures, 4);
        QCOMPARE(model.overallState(), Overall::error);

        // Back: busy went from true to false, but the gap erased the comparison.
        f.statusAnswer = ScriptedResponse::json(200, busySample(false, 0).json());
        f.poll();
        QCOMPARE(model.consecutiveStatusFailures, 0);
        QCOMPARE(model.overallState(), Overall::online);
        QCOMPARE(model.statusSnapshot().statusSequence, good.statusSequence + 1);
        QVERIFY(model.activities().isEmpty());
    }

    void skippedPolls_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::addColumn<bool>("submitting");
        QTest::addColumn<std::optional<Stage>>("stage");
        QTest::newRow("not configured") << false << false << std::optional<Stage>();
        QTest::newRow("submitting setup") << true << true << std::optional<Stage>();
        QTest::newRow("permissions stage") << true << false << std::optional(Stage::permissions);
    }
    void skippedPolls()
    {
        QFETCH(bool, configured);
        QFETCH(bool, submitting);
        QFETCH(std::optional<Stage>, stage);
        StatusFixture f;
        AppModel &model = f.makeServed(configured);
        model.installStage = stage;
        model.isSubmittingSetup = submitting;
        model.consecutiveStatusFailures = 2;
        const auto state = model.overallState();
        f.poll();
        QCOMPARE(f.statusRequests(), 0);
        QCOMPARE(model.consecutiveStatusFailures, 2); // neither success nor failure
        QCOMPARE(model.statusSnapshot(), AppModel::StatusSnapshot::empty());
        QCOMPARE(model.overallState(), state);
    }

    void firstReadySampleFinishesHandshake()
    {
        StatusFixture f;
        AppModel &model = f.makeServed(true, QStringLiteral("handshake"));
        QCOMPARE(model.installStage, std::optional(Stage::handshake));
        QVERIFY(model.pendingSetupResume());

        Sample notReady;
        notReady.ready = false;
        f.statusAnswer = ScriptedResponse::json(200, notReady.json());
        f.poll();
        QCOMPARE(model.installStage, std::optional(Stage::handshake));
        QCOMPARE(model.overallState(), Overall::starting);

        f.statusAnswer = ScriptedResponse::json(200, Sample{}.json());
        f.poll();
        QVERIFY(!model.installStage);
        QVERIFY(!QFile::exists(f.profileFile(QStringLiteral("mac-app-install-stage"))));
        QVERIFY(model.installationValidated());
        QCOMPARE(f.state(AppModel::SetupPhase::online), AppModel::ProgressState::complete);
        QCOMPARE(model.rootPage(), AppModel::RootPage::dashboard);
    }

    void loopPollsEveryTwoSeconds()
    {
        StatusFixture f;
        AppModel &model = f.makeServed();
        model.startStatusMonitoring();
        model.startStatusMonitoring(); // only the first call starts a loop
        QVERIFY(model.statusTask);
        QVERIFY(f.loopReached(1));
        QCOMPARE(f.time.requested(), QList<std::chrono::milliseconds>{2000ms});
        QCOMPARE(f.onboarding->calls.size(), 0); // not in the channel stage

        f.time.advance(1999ms);
        QTest::qWait(50);
        QCOMPARE(f.statusRequests(), 1);
        f.time.advance(1ms);
        QVERIFY(f.loopReached(2));
        f.time.advance(2s);
        QVERIFY(f.loopReached(3));
        QCOMPARE(f.statusRequests(), 3);
        QCOMPARE(f.time.pendingSleepers(), 1);
    }

    void loopRunsFasterInChannelStage()
    {
        StatusFixture f;
        AppModel &model = f.makeServed();
        model.startStatusMonitoring();
        QVERIFY(f.loopReached(1));
        QCOMPARE(f.time.requested().last(), 2000ms);

        model.installStage = Stage::channel;
        f.time.advance(2s);
        QVERIFY(f.loopReached(2));
        QCOMPARE(f.onboarding->calls.size(), 1); // the binding state is refreshed before the poll
        QCOMPARE(f.time.requested().last(), 500ms);

        // The binding completes: the handshake stage polls at the normal pace again.
        f.onboarding->answer(session(false));
        f.time.advance(500ms);
        QVERIFY(QuorvantisTest::spinUntil([&] { return !model.installStage && f.time.pendingSleepers() == 1; }));
        QCOMPARE(f.time.requested().last(), 2000ms);
    }

    void loopEndsWithTheModel()
    {
        StatusFixture f;
        f.makeServed().startStatusMonitoring();
        QVERIFY(f.loopReached(1));
        f.reset();
        f.time.advance(10s);
        QTest::qWait(50);
        QCOMPARE(f.statusRequests(), 1);
        QCOMPARE(f.time.pendingSleepers(), 0);
    }

    void badStatusAnswersCountAsFailures_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        // One answer per way the model can see a failure: the client's own table covers the
        // transport variants (trickles, oversized and cut-off bodies).
        QTest::newRow("hangs") << ScriptedResponse::neverAnswer();
        QTest::newRow("garbage") << ScriptedResponse::json(200, "\x01not json at all{{");
        QTest::newRow("unauthorized") << ScriptedResponse::text(401, "no");
        QTest::newRow("redirect") << ScriptedResponse::redirect(302, QUrl(QStringLiteral("http://127.0.0.1:1/tui/status")));
    }
    void badStatusAnswersCountAsFailures()
    {
        QFETCH(ScriptedResponse, answer);
        StatusFixture f;
        AppModel &model = f.makeServed();
        f.poll();
        const auto before = model.statusSnapshot();

        f.statusAnswer = answer;
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(5);
        QElapsedTimer clock;
        clock.start();
        f.poll();
        ticker.stop();
        QCOMPARE(model.consecutiveStatusFailures, 1);
        QCOMPARE(model.statusSnapshot(), before);
        QCOMPARE(model.overallState(), Overall::online);
        QVERIFY2(clock.elapsed() < 5000, "a bad answer must not hold the poll past the client's deadline");
        if (clock.elapsed() > 100)
            QVERIFY2(ticks > 0, "the event loop must keep running while the poll waits");
        f.server.closeAllConnections();
    }

    void statusTokenNeverLogged()
    {
        capturedMessages.clear();
        const auto previous = qInstallMessageHandler(captureMessage);
        {
            StatusFixture f;
            AppModel &model = f.makeServed();
            for (const auto &answer : {ScriptedResponse::text(401, "Bearer " + statusToken),
                                       ScriptedResponse::json(200, "{\"token\":\"" + statusToken + "\"}"),
                                       ScriptedResponse::json(200, Sample{}.json())}) {
                f.statusAnswer = answer;
                f.poll();
            }
            model.startStatusMonitoring();
            QVERIFY(f.loopReached(4));
        }
        qInstallMessageHandler(previous);
        for (const QString &message : std::as_const(capturedMessages))
            QVERIFY2(!message.contains(QString::fromUtf8(statusToken)), qPrintable(message));
    }
};

QTEST_GUILESS_MAIN(StatusMonitorTests)
#include "StatusMonitorTests.moc"
