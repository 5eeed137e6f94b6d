// The runtime and daemon stages on scripted installers, a scripted status endpoint and
// virtual time.
#include "support/ModelFixture.h"
#include "support/AwaitTask.h"

#include <QTest>

using namespace QuorvantisTest;
using namespace std::chrono_literals;
using Phase = AppModel::SetupPhase;
using State = AppModel::ProgressState;

Q_DECLARE_METATYPE(QuorvantisTest::Step)

class StagesTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runtimeSuccessMovesToPermissions();
    void stageFailures_data();
    void stageFailures();
    void agentAnsweringAtTheLastCheckEntersTheChannelStage();
    void agentNeverAnsweringTimesOut();
    void stageRunsOnlyInItsStageAndOnceAtATime_data();
    void stageRunsOnlyInItsStageAndOnceAtATime();
};

void StagesTests::runtimeSuccessMovesToPermissions()
{
    ModelFixture h(ModelFixture::Succeeding);
    auto gate = std::make_shared<Gate>();
    Step step = Step::success();
    step.lines = {QStringLiteral(R"({"type":"progress","phase":"runtime","status":"running","detail":"安装 Quorvantis"})"),
                  QStringLiteral(R"({"type":"packageProgress","completed":4,"total":8})"),
                  QStringLiteral("added 120 packages")};
    step.gate = gate;
    h.environmentPrepare->steps = {step};
    auto &model = h.makeAt({}); // a clean machine starts at the runtime stage
    QCOMPARE(model.installStage, AppModel::InstallStage::runtime);
    model.lastError = AppModel::DisplayError::from(QStringLiteral("OLD"), std::nullopt);
    model.overallState = AppModel::OverallState::error;

    auto run = model.prepareEnvironmentIfNeeded();
    QVERIFY(gate->isWaiting());
    QVERIFY(model.isPreparingEnvironment());
    QCOMPARE(model.overallState(), AppModel::OverallState::starting);
    QCOMPARE(model.packageInstallProgress(), (AppModel::PackageInstallProgress{4, 8}));

    gate->open();
    QuorvantisTest::await(std::move(run));
    QVERIFY(!model.isPreparingEnvironment());
    QCOMPARE(h.state(Phase::preflight), State::complete);
    QCOMPARE(h.state(Phase::permissions), State::running);
    QCOMPARE(model.installStage, AppModel::InstallStage::permissions);
    QCOMPARE(h.readProfileFile(QStringLiteral("mac-app-install-stage")), QByteArray("permissions\n"));
    const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(QFile::permissions(h.profileFile(QStringLiteral("mac-app-install-stage"))) & others, QFileDevice::Permissions());
}

void StagesTests::stageFailures_data()
{
    QTest::addColumn<bool>("daemon"); // the daemon stage, else the runtime stage
    QTest::addColumn<Step>("step");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("message");

    QTest::newRow("runtime: exit with an error line")
        << false << Step::exit(2, QStringLiteral("  Error: corepack failed \n")) << QStringLiteral("RUNTIME_PREPARE_EXIT_2")
        << QStringLiteral("Error: corepack failed");
    QTest::newRow("runtime: coded error")
        << false
        << Step::throwing(QuorvantisNativeError(QStringLiteral("INSTALL_COMPONENT_MISSING"), QStringLiteral("安装组件不完整")))
        << QStringLiteral("INSTALL_COMPONENT_MISSING") << QStringLiteral("安装组件不完整");
    QTest::newRow("runtime: other error") << false << Step::throwing(std::runtime_error("no bash here"))
                                          << QStringLiteral("RUNTIME_PREPARE_FAILED")
                                          << QStringLiteral("运行环境准备未完成，请重试。");
    QTest::newRow("daemon: exit 3 with an error line")
        << true << Step::exit(3, QStringLiteral("launchctl: Bootstrap failed: 5: Input/output error  "))
        << QStringLiteral("DAEMON_INSTALL_EXIT_3") << QStringLiteral("launchctl: Bootstrap failed: 5: Input/output error");
    QTest::newRow("daemon: exit with a long line") << true << Step::exit(4, QString(300, u'e'))
                                                   << QStringLiteral("DAEMON_INSTALL_EXIT_4") << QString(240, u'e');
    QTest::newRow("daemon: another run is busy")
        << true
        << Step::throwing(QuorvantisNativeError(QStringLiteral("OPERATION_ALREADY_RUNNING"), QStringLiteral("已有操作正在进行")))
        << QStringLiteral("OPERATION_ALREADY_RUNNING") << QStringLiteral("已有操作正在进行");
    QTest::newRow("daemon: other error") << true << Step::throwing(std::runtime_error("pipe closed"))
                                         << QStringLiteral("DAEMON_INSTALL_FAILED") << QStringLiteral("Agent 启动未完成，请重试。");
}

void StagesTests::stageFailures()
{
    QFETCH(bool, daemon);
    QFETCH(Step, step);
    QFETCH(QString, code);
    QFETCH(QString, message);

    ModelFixture h(ModelFixture::Succeeding);
    auto run = daemon ? h.daemonInstall : h.environmentPrepare;
    run->steps = {step};
    auto &model = daemon ? h.makeAt("daemon", true) : h.makeAt("runtime");
    const auto runStage = [daemon, &model] {
        return daemon ? model.finishDaemonInstallationIfNeeded() : model.prepareEnvironmentIfNeeded();
    };

    QuorvantisTest::await(runStage());
    QCOMPARE(model.lastError()->code, code);
    QCOMPARE(model.lastError()->message, message);
    QCOMPARE(model.overallState(), AppModel::OverallState::error);
    QCOMPARE(h.state(daemon ? Phase::starting : Phase::runtime), State::failed);
    QVERIFY(!(daemon ? model.daemonInstallInFlight : model.isPreparingEnvironment()));
    QCOMPARE(h.agentStarted->calls, 0);
    // The stage stays, so a retry or the next launch runs it again.
    QCOMPARE(model.installStage, daemon ? AppModel::InstallStage::daemon : AppModel::InstallStage::runtime);
    QCOMPARE(h.readProfileFile(QStringLiteral("mac-app-install-stage")), daemon ? QByteArray("daemon\n") : QByteArray("runtime\n"));
    if (daemon) {
        QCOMPARE(model.lastError()->recovery.kind,
                 code.startsWith(u"DAEMON_") ? AppModel::RecoveryAction::Kind::retryInstall
                                             : AppModel::RecoveryAction::Kind::openLogs);
        return;
    }
    run->steps = {Step::success()};
    QuorvantisTest::await(runStage());
    QCOMPARE(run->calls.size(), 2);
    QCOMPARE(model.installStage, AppModel::InstallStage::permissions);
}

void StagesTests::agentAnsweringAtTheLastCheckEntersTheChannelStage()
{
    ModelFixture h(ModelFixture::Succeeding);
    h.agentStarted->answers = std::deque<bool>(29, false);
    h.agentStarted->answers.push_back(true);
    auto &model = h.makeAt("daemon", true);

    auto run = model.finishDaemonInstallationIfNeeded();
    QCOMPARE(h.daemonInstall->calls.size(), 1);
    QCOMPARE(model.setupProgressDetail(), QStringLiteral("等待 Agent 启动"));

    for (int i = 0; i < 29; ++i) {
        QCOMPARE(h.agentStarted->calls, i + 1);
        QCOMPARE(h.time.pendingSleepers(), 1);
        h.time.advance(500ms);
    }
    QuorvantisTest::await(std::move(run));

    QCOMPARE(h.agentStarted->calls, 30);
    // (The channel stage's own polling may wait after the 29 waits between the checks.)
    QCOMPARE(h.time.requested().mid(0, 29), QList<std::chrono::milliseconds>(29, 500ms));
    QCOMPARE(h.time.elapsed(), std::chrono::milliseconds(14500ms));
    QVERIFY(!model.daemonInstallInFlight);
    QVERIFY(!model.lastError());
    QCOMPARE(model.installStage, AppModel::InstallStage::channel);
    QCOMPARE(h.state(Phase::channel), State::running);
}

void StagesTests::agentNeverAnsweringTimesOut()
{
    ModelFixture h(ModelFixture::Succeeding);
    h.agentStarted->answers = {false};
    auto &model = h.makeAt("daemon", true);

    auto run = model.finishDaemonInstallationIfNeeded();
    // Until the last check nothing is reported.
    h.time.advance(14500ms);
    QCOMPARE(h.agentStarted->calls, 30);
    QVERIFY(!model.lastError());
    QVERIFY(model.daemonInstallInFlight);
    h.time.advance(500ms);
    QuorvantisTest::await(std::move(run));

    QCOMPARE(h.agentStarted->calls, 30);
    QCOMPARE(h.time.elapsed(), std::chrono::milliseconds(15s));
    QCOMPARE(model.lastError()->code, QStringLiteral("AGENT_START_TIMEOUT"));
    QCOMPARE(h.state(Phase::starting), State::failed);
    QVERIFY(!model.daemonInstallInFlight);
    QCOMPARE(model.installStage, AppModel::InstallStage::daemon);

    // The recovery can run the stage again.
    h.agentStarted->answers = {true};
    h.agentStarted->calls = 0;
    h.daemonInstall->steps = {Step::exit(6)};
    QuorvantisTest::await(model.finishDaemonInstallationIfNeeded());
    QCOMPARE(h.daemonInstall->calls.size(), 2);
}

void StagesTests::stageRunsOnlyInItsStageAndOnceAtATime_data()
{
    QTest::addColumn<bool>("daemon"); // the daemon stage, else the runtime stage
    QTest::newRow("runtime") << false;
    QTest::newRow("daemon") << true;
}

void StagesTests::stageRunsOnlyInItsStageAndOnceAtATime()
{
    QFETCH(bool, daemon);
    const auto runStage = [daemon](AppModel &model) {
        return daemon ? model.finishDaemonInstallationIfNeeded() : model.prepareEnvironmentIfNeeded();
    };
    const auto running = [daemon](AppModel &model) {
        return daemon ? model.daemonInstallInFlight : model.isPreparingEnvironment();
    };
    {
        // In another stage nothing runs and nothing changes.
        ModelFixture h(ModelFixture::Succeeding);
        auto &model = h.makeAt(daemon ? "setup" : "permissions");
        const auto progress = model.setupProgress();
        const auto state = model.overallState();
        QuorvantisTest::await(runStage(model));
        QCOMPARE((daemon ? h.daemonInstall : h.environmentPrepare)->calls.size(), 0);
        QCOMPARE(model.setupProgress(), progress);
        QCOMPARE(model.overallState(), state);
        QVERIFY(!running(model));
    }
    // In its stage, a second call while the first runs starts nothing.
    ModelFixture h(ModelFixture::Succeeding);
    auto run = daemon ? h.daemonInstall : h.environmentPrepare;
    auto gate = std::make_shared<Gate>();
    Step step = Step::exit(5);
    step.gate = gate;
    run->steps = {step};
    auto &model = h.makeAt(daemon ? "daemon" : "runtime", daemon);

    auto first = runStage(model);
    QuorvantisTest::await(runStage(model));
    QCOMPARE(run->calls.size(), 1);
    QVERIFY(running(model));
    gate->open();
    QuorvantisTest::await(std::move(first));
    QVERIFY(!running(model));
    QCOMPARE(model.lastError()->code, daemon ? QStringLiteral("DAEMON_INSTALL_EXIT_5") : QStringLiteral("RUNTIME_PREPARE_EXIT_5"));
}

QTEST_GUILESS_MAIN(StagesTests)
#include "StagesTests.moc"
