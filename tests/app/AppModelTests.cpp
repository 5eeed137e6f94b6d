// The model as the views see it, through whole flows: what a launch resumes, `fail` as a whole,
// the window becoming active, the error panel's retry, and willChange() ahead of every published
// change. (The whole installation and its relaunch run end to end in tests/e2e.)
#include "app/AppModel.h"
#include "cli/StatusReport.h"
#include "platform/Bundle.h"
#include "support/ControllerHarness.h"
#include "support/ModelFixture.h"

#include <QFile>

using namespace QuorvantisTest;

namespace {

const QString codeS = QStringLiteral("QVS2-ABCD-EFGH-JKMN");

// A model whose permission checks and onboarding requests are recorded in `log`.
struct Recorded : ModelFixture
{
    QStringList log;
    explicit Recorded(Defaults defaults = Failing, bool granted = false) : ModelFixture(defaults)
    {
        effects.permissionCheck = [this, granted](PermissionKind kind) {
            log << "check:" + rawValue(kind);
            return value(granted);
        };
        effects.ownerSetupRequest = [this](std::optional<QUrl>, bool) {
            log << "owner";
            return value(OwnerSetupSession{});
        };
        // A binding link captured before, so that none is looked for in the keychain.
        const OwnerSetupLink link{QUrl("https://onboarding.example/setup#t"), std::nullopt};
        ownerSetupLinkLoad = [link] { return value(std::optional(link)); };
    }
    // Every effect run so far, in a fixed order of kinds.
    QString effectsRun() const
    {
        QStringList counted;
        const std::pair<const char *, qsizetype> counts[] = {{"prepare", environmentPrepare->calls.size()},
                                                             {"daemon", daemonInstall->calls.size()},
                                                             {"agent", agentStarted->calls}};
        for (const auto &[name, count] : counts) {
            if (count > 0)
                counted << QStringLiteral("%1*%2").arg(QString::fromLatin1(name)).arg(count);
        }
        return (counted + QStringList{runs(log)}).join(u' ').trimmed();
    }
};

// A relaunch: the profile it finds (the stage, config.json and the awaited permission), and
// either the launch's own resume (`activations` 0) or the window becoming active that many
// times; then the effects run and the installation.
struct Relaunch
{
    QByteArray marker;
    bool configured = false;
    QByteArray awaiting{};
    int activations = 0;
    QString effects{}, installation{};
};

} // namespace

Q_DECLARE_METATYPE(Relaunch)

class AppModelTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resume_data()
    {
        columns<Relaunch>({"row"});
        const QString checks = QStringLiteral("check:screenRecording check:accessibility check:fullDiskAccess");
        const QString permissions = QStringLiteral("permissions ccrppppppp starting resume");
        const QString channel = QStringLiteral("channel cccccccrpp starting resume validated configured");
        const QString setup = QStringLiteral("setup cccppppppp waitingSetup"), configured = " configured";
        QTest::newRow("launch: setup waits for the code") << Relaunch{"setup", false, "", 0, "", setup};
        // Killed while the setup ran, the application left the tool running, and it configured the
        // agent: the relaunch goes on with the daemon.
        QTest::newRow("launch: a setup finished after a kill")
            << Relaunch{"setup", true, "", 0, "daemon*1 agent*1", "daemon ccccccrppp starting resume configured"};
        QTest::newRow("launch: the daemon needs the configuration")
            << Relaunch{"daemon", false, "", 0, "", "daemon ccccccrppp starting resume"};
        QTest::newRow("launch: a finished installation re-checks its permissions")
            << Relaunch{"", true, "", 0, checks, permissions + configured};
        QTest::newRow("active: an awaited permission each time")
            << Relaunch{"permissions", false, "screenRecording", 2, "check:screenRecording*2", permissions};
        QTest::newRow("active: the binding each time") << Relaunch{"channel", true, "", 2, "owner*2", channel};
        QTest::newRow("active: nothing else") << Relaunch{"setup", false, "", 2, "", setup};
    }
    void resume()
    {
        QFETCH(Relaunch, row);
        Recorded f;
        if (!row.awaiting.isEmpty())
            f.writeProfileFile("mac-app-permission-awaiting", row.awaiting + '\n');
        if (!row.marker.isEmpty())
            f.writeProfileFile("mac-app-install-stage", row.marker + '\n');
        if (row.configured)
            f.writeProfileFile("config.json", "{}");
        AppModel &model = f.make(row.activations == 0);
        for (int i = 0; i < row.activations; ++i)
            QVERIFY(finishesAtOnce(model.sceneDidBecomeActive()));
        QCOMPARE(f.effectsRun(), row.effects);
        QCOMPARE(f.installation(), row.installation);
        if (row.marker == "setup" && !row.configured) {
            QCOMPARE(model.attention().focusTarget(), AppModel::FocusTarget::setupCode());
            QCOMPARE(model.attention().focusRevision(), qint64(row.activations == 0));
        }
    }

    // fail() as a whole: the submission ends, the authorization card goes, the error shows and
    // every running phase fails; a code that can no longer be redeemed is forgotten with the
    // tool's half-finished session, and its field focused.
    void fail_data()
    {
        columns<QString, bool>({"code", "forgotten"});
        QTest::newRow("an unusable code") << "SETUP_CODE_UNAVAILABLE" << true;
        QTest::newRow("any other failure") << "DAEMON_INSTALL_FAILED" << false;
    }
    void fail()
    {
        QFETCH(QString, code);
        QFETCH(bool, forgotten);
        ModelFixture f(ModelFixture::Succeeding);
        auto gate = std::make_shared<Gate>();
        Step held = Step::exit(1).heldAt(gate);
        held.authorization = authorization();
        f.setupWithCode->steps = {held};
        f.writeProfileFile("setup-state.json", R"({"sessionId":"s","resumeToken":"t"})");
        AppModel &model = f.makeAt("setup");
        model.setSetupCodeInput(codeS);
        auto run = model.submitSetupCode();
        QVERIFY(model.setup().isSubmittingSetup());
        QVERIFY(model.authorization().setupAuthorization());
        const qint64 revision = model.attention().focusRevision();

        model.fail(code);
        QCOMPARE(model.attention().lastError()->code, code);
        QCOMPARE(f.installation(), "setup cccfpppppp error");
        QVERIFY(!model.setup().isSubmittingSetup());
        QVERIFY(!model.authorization().setupAuthorization());
        QCOMPARE(QFile::exists(f.profileFile("setup-state.json")), !forgotten);
        QCOMPARE(model.attention().focusRevision(), revision + (forgotten ? 1 : 0));
        QCOMPARE(model.attention().focusTarget(), AppModel::FocusTarget::setupCode());
        gate->open();
        QVERIFY(finishesAtOnce(std::move(run)));
    }

    // The error panel's retry resumes the installation where it stopped.
    void retryResumes()
    {
        Recorded f(ModelFixture::Succeeding);
        f.daemonInstall->steps = {Step::exit(3), Step::success()};
        AppModel &model = f.makeAt("daemon", true);
        QVERIFY(finishesAtOnce(AppModelAccess{model}.setup().finishDaemonInstallationIfNeeded()));
        QCOMPARE(f.installation(), "daemon ccccccfppp error resume configured");
        QVERIFY(finishesAtOnce(model.perform(AppModel::RecoveryAction::make(AppModel::RecoveryAction::Kind::retryInstall))));
        QCOMPARE(f.effectsRun(), "daemon*2 agent*1 owner*2");
        QCOMPARE(f.installation(), "channel cccccccrpp online validated configured");
        QCOMPARE(model.attention().lastError(), std::nullopt);
    }

    // A restart runs alone: pressing re-check meanwhile is refused with the line that says why (no
    // probe runs, no row changes), and a second restart is the same restart.
    void restartThenRecheck()
    {
        using Kind = AppModel::RecoveryAction::Kind;
        Recorded f(ModelFixture::Succeeding, true);
        const auto restart = std::make_shared<Gate>();
        f.daemonInstall->steps = {Step::success().heldAt(restart)};
        f.writeProfileFile(QStringLiteral("mac-app-permissions-completed"), "screenRecording\naccessibility\nfullDiskAccess\n");
        AppModel &model = f.makeAt("", true);
        const auto rows = model.permissions().permissions();
        QCoro::Task<void> restarting = model.perform(AppModel::RecoveryAction::make(Kind::restartAgent));
        QCOMPARE(model.operations().operation().value_or(RunningOperation{}).kind, AgentOperation::restartAgent);
        QCOMPARE(model.operations().operation()->since, f.time.now());
        QVERIFY(finishesAtOnce(model.perform(AppModel::RecoveryAction::make(Kind::recheckPermissions))));
        QVERIFY(finishesAtOnce(model.perform(AppModel::RecoveryAction::make(Kind::restartAgent))));
        QCOMPARE(model.attention().notice(), model.operations().refusal());
        QCOMPARE(model.operations().refusal(), "正在重启 Agent，完成后才能进行其他操作。");
        QCOMPARE(model.permissions().permissions(), rows);
        QCOMPARE(f.effectsRun(), "daemon*1");
        restart->open();
        await(std::move(restarting));
        QCOMPARE(model.operations().operation(), std::nullopt);
        QCOMPARE(model.attention().notice(), "已重启 Agent");
        QVERIFY(finishesAtOnce(model.perform(AppModel::RecoveryAction::make(Kind::recheckPermissions))));
        QCOMPARE(f.effectsRun(), "daemon*1 check:screenRecording check:accessibility check:fullDiskAccess");
    }

    // The status report counts the entries of the activity list the dashboard shows (the long-run
    // benchmark reads it from a running instance).
    void statusReportCountsActivities()
    {
        ModelFixture f;
        AppModel &model = f.make();
        QCOMPARE(StatusReport::fromModel(model).toJson()["activityCount"].toInt(), 0);
        for (const char *summary : {"a", "b", "c"})
            AppModelAccess{model}.attention().appendActivity(QString::fromLatin1(summary));
        QCOMPARE(StatusReport::fromModel(model).toJson()["activityCount"].toInt(), 3);
    }

    // Every write of published state is announced before it is made, an equal value too.
    void willChangeComesFirst()
    {
        ModelFixture f;
        AppModel &model = f.make();
        const auto snapshot = [&model, &f] {
            return QStringList{model.setup().setupAgentName(), model.attention().lastError() ? model.attention().lastError()->code : QString(),
                               QString::number(int(model.journey().overallState())), QString::number(model.attention().activities().size()),
                               QString::number(model.attention().focusRevision()), f.installation()}
                .join(u'|');
        };
        QStringList seen;
        connect(&model, &AppModel::willChange, this, [&] { seen << snapshot(); });
        const std::function<void()> operations[] = {
            [&] { model.setSetupAgentName("same"); },
            [&] { model.setSetupAgentName("same"); },
            [&] { AppModelAccess{model}.attention().appendActivity("x"); },
            [&] { AppModelAccess{model}.attention().requestFocus(AppModel::FocusTarget::recovery()); },
            [&] { model.dismissPermissionPrompt(); },
            [&] { QVERIFY(finishesAtOnce(AppModelAccess{model}.setup().prepareEnvironmentIfNeeded())); },
            [&] { model.fail("X"); }};
        for (const auto &operation : operations) {
            const QString before = snapshot();
            seen.clear();
            operation();
            QVERIFY(!seen.isEmpty());
            QCOMPARE(seen.first(), before);
        }
    }

    // What the bundle's Info.json gives the model: the version shown ("--" for one that is not
    // text), and the error of the first stage without a session script: a package built without
    // one names what it lacks (reinstalling it cannot help); one that shipped the script and lost
    // it asks to reinstall.
    void bundleInfo_data()
    {
        columns<QByteArray, QString, QString>({"info", "version", "message"});
        QTest::newRow("never packaged")
            << QByteArray(R"({"CFBundleShortVersionString": "1.2.3", "QuorvantisPackagedComponents": "enrollmentKey"})")
            << "1.2.3"
            << "这个安装包构建时没有包含会话脚本 quorvantis-cli-session.sh，安装无法开始；"
               "重新安装同一个安装包也无济于事。请向提供安装包的管理员索取包含该脚本的安装包。";
        QTest::newRow("packaged, then gone; a version that is not text")
            << QByteArray(R"({"CFBundleShortVersionString": 3, "QuorvantisPackagedComponents": "sessionScript,enrollmentKey"})")
            << "--" << "安装组件不完整，请重新安装 Quorvantis";
    }
    void bundleInfo()
    {
        QFETCH(QByteArray, info);
        QTemporaryDir resources;
        QVERIFY(writeFile(resources.filePath("Info.json"), info));
        Bundle::setResourceDirectory(resources.path());
        auto restore = qScopeGuard([] { Bundle::setResourceDirectory(QString()); });
        ModelFixture f(ModelFixture::Succeeding);
        f.effects.environmentPrepare = nullptr; // the runner's own, with the bundle above
        AppModel &model = f.makeAt("runtime", false);
        QTEST(model.appVersion(), "version");
        QVERIFY(finishesAtOnce(AppModelAccess{model}.setup().prepareEnvironmentIfNeeded()));
        QVERIFY(model.attention().lastError());
        QCOMPARE(model.attention().lastError()->code, "INSTALL_COMPONENT_MISSING");
        QTEST(model.attention().lastError()->message, "message");
    }
};

QTEST_GUILESS_MAIN(AppModelTests)
#include "AppModelTests.moc"
#include "support/ModelAccess.h"
