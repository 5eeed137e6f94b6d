#include "app/AppModel.h"
#include "support/AwaitTask.h"
#include "support/ModelFixture.h"

#include <QCoro/QCoroTimer>
#include <QTest>

using Kind = AppModel::RecoveryAction::Kind;

namespace {

QCoro::Task<std::optional<QString>> offer(std::optional<QString> version, int *asked)
{
    ++*asked;
    co_return version;
}

QCoro::Task<CLIResult> scripted(CLIResult result, int *runs)
{
    ++*runs;
    co_return result;
}

QCoro::Task<CLIResult> throwing(QString code, int *runs)
{
    ++*runs;
    if (code.isEmpty())
        throw std::runtime_error("pipe closed");
    throw QuorvantisNativeError(code, QStringLiteral("已有操作正在进行"));
    co_return CLIResult{};
}

// Finishes only when the test says so, so overlapping presses can be observed.
struct Gate
{
    bool open = false;
};

QCoro::Task<CLIResult> gated(Gate *gate, int *runs)
{
    ++*runs;
    while (!gate->open)
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
    co_return CLIResult{0, std::nullopt};
}

// One step of a table: what the registry offers ("" nothing), the running version the check
// reports ("<none>": none), then how often the registry was asked and what is offered.
struct Check
{
    QString registry;
    QString running;
    int asked = 0;
    QString offered;
    bool dismiss = false; // dismiss the offer instead of checking
};

} // namespace

Q_DECLARE_METATYPE(QList<Check>)

class AgentUpdateFlowTests : public QObject
{
    Q_OBJECT

    // A configured, finished installation.
    static void configure(ModelFixture &fixture) { fixture.writeProfileFile(QStringLiteral("config.json"), "{}"); }

private Q_SLOTS:
    void offerFollowsTheRegistry_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::addColumn<QList<Check>>("checks");
        const QString none = QStringLiteral("<none>");
        QTest::newRow("asked once per running version")
            << true
            << QList<Check>{{"1.4.0", "1.3.0", 1, "1.4.0"},
                            {"1.4.0", "1.3.0", 1, "1.4.0"},
                            // The agent moved on to the offered version: nothing newer.
                            {"1.4.0", "1.4.0", 2, ""},
                            // An unusable running version never asks.
                            {"1.4.0", "", 2, ""},
                            {"1.4.0", none, 2, ""}};
        QTest::newRow("older or failed answer clears the offer")
            << true << QList<Check>{{"2.0.0", "1.0.0", 1, "2.0.0"}, {"", "1.0.1", 2, ""}, {"1.0.0", "1.0.2", 3, ""}};
        QTest::newRow("unconfigured never asks") << false << QList<Check>{{"9.0.0", "1.0.0", 0, ""}};
        QTest::newRow("dismissal hides only that version")
            << true
            << QList<Check>{{"1.4.0", "1.3.0", 1, "1.4.0"},
                            {"1.4.0", "", 1, "1.4.0", true},
                            {"1.5.0", "1.3.1", 2, "1.5.0"}};
    }
    void offerFollowsTheRegistry()
    {
        QFETCH(bool, configured);
        QFETCH(QList<Check>, checks);
        ModelFixture fixture;
        if (configured)
            configure(fixture);
        int asked = 0;
        std::optional<QString> registry;
        fixture.effects.agentUpdateVersion = [&] { return offer(registry, &asked); };
        AppModel &model = fixture.make();
        for (const Check &check : checks) {
            registry = check.registry.isEmpty() ? std::nullopt : std::optional(check.registry);
            if (check.dismiss)
                model.dismissAgentUpdate();
            else if (check.running == u"<none>")
                QuorvantisTest::await(model.checkAgentUpdate(std::nullopt));
            else
                QuorvantisTest::await(model.checkAgentUpdate(check.running));
            QCOMPARE(asked, check.asked);
            QCOMPARE(model.availableAgentVersion().value_or(QString()), check.offered);
            const bool banner = !check.offered.isEmpty() && !check.dismiss;
            QCOMPARE(model.showsAgentUpdateBanner(), banner);
            QCOMPARE(model.agentUpdateBannerText(),
                     check.offered.isEmpty() ? QString() : QStringLiteral("Agent %1 可更新").arg(check.offered));
        }
    }

    void successfulUpdateKeepsTargetDismissed()
    {
        ModelFixture fixture;
        configure(fixture);
        int asked = 0, scripts = 0, daemons = 0;
        fixture.effects.agentUpdateVersion = [&] { return offer(QStringLiteral("1.4.0"), &asked); };
        fixture.effects.runScript = [&](QString, AppModel::OutputHandler) { return scripted({0, std::nullopt}, &scripts); };
        fixture.effects.daemonInstall = [&](AppModel::OutputHandler) { return scripted({0, std::nullopt}, &daemons); };
        AppModel &model = fixture.make();
        model.didRecheckExistingPermissions = true;
        QuorvantisTest::await(model.checkAgentUpdate(QStringLiteral("1.3.0")));

        QuorvantisTest::await(model.updateAgent());
        QCOMPARE(scripts, 1);
        QCOMPARE(daemons, 1);
        QVERIFY(!model.isUpdatingAgent());
        QCOMPARE(model.dismissedAgentVersion, QStringLiteral("1.4.0"));
        QVERIFY(!model.agentVersionChecked || model.agentVersionChecked == QStringLiteral("1.3.0"));
        QVERIFY(!model.lastError());

        // The agent still reports the old version and the registry still offers the target.
        model.agentVersionChecked = std::nullopt;
        QuorvantisTest::await(model.checkAgentUpdate(QStringLiteral("1.3.0")));
        QCOMPARE(model.availableAgentVersion(), QStringLiteral("1.4.0"));
        QVERIFY(!model.showsAgentUpdateBanner());
    }

    void secondPressStartsNothing()
    {
        ModelFixture fixture;
        configure(fixture);
        Gate gate;
        int scripts = 0;
        fixture.effects.runScript = [&](QString, AppModel::OutputHandler) { return gated(&gate, &scripts); };
        AppModel &model = fixture.make();
        auto first = model.updateAgent();
        QVERIFY(model.isUpdatingAgent());
        QuorvantisTest::await(model.updateAgent());
        QCOMPARE(scripts, 1);
        gate.open = true;
        QuorvantisTest::await(std::move(first));
        QVERIFY(!model.isUpdatingAgent());
    }

    void updateFailures_data()
    {
        QTest::addColumn<int>("failingStep"); // 0: update script, 1: daemon reinstall
        QTest::addColumn<QString>("thrownCode"); // "-": exit status 4; "": other error
        QTest::addColumn<QString>("expectedCode");
        QTest::addColumn<QString>("expectedMessage");
        QTest::newRow("script exit") << 0 << "-" << "AGENT_UPDATE_FAILED" << "npm ERR! boom";
        QTest::newRow("script busy") << 0 << "OPERATION_ALREADY_RUNNING" << "OPERATION_ALREADY_RUNNING"
                                     << "已有操作正在进行";
        QTest::newRow("script other error") << 0 << "" << "AGENT_UPDATE_FAILED" << "操作失败：AGENT_UPDATE_FAILED";
        QTest::newRow("daemon exit") << 1 << "-" << "AGENT_UPDATE_FAILED" << "npm ERR! boom";
        QTest::newRow("daemon coded") << 1 << "INSTALL_LAUNCH_FAILED" << "INSTALL_LAUNCH_FAILED" << "已有操作正在进行";
        QTest::newRow("daemon other error") << 1 << "" << "AGENT_UPDATE_FAILED" << "操作失败：AGENT_UPDATE_FAILED";
    }
    void updateFailures()
    {
        QFETCH(int, failingStep);
        QFETCH(QString, thrownCode);
        QFETCH(QString, expectedCode);
        QFETCH(QString, expectedMessage);
        ModelFixture fixture;
        configure(fixture);
        int runs = 0, asked = 0;
        fixture.effects.agentUpdateVersion = [&] { return offer(QStringLiteral("1.4.0"), &asked); };
        const CLIResult failed{4, QStringLiteral("npm ERR! boom")};
        auto failing = [&, thrownCode, failed](AppModel::OutputHandler) {
            return thrownCode == u"-" ? scripted(failed, &runs) : throwing(thrownCode, &runs);
        };
        auto passing = [&](AppModel::OutputHandler) { return scripted({0, std::nullopt}, &runs); };
        fixture.effects.runScript = [&, failingStep](QString, AppModel::OutputHandler handler) {
            return failingStep == 0 ? failing(handler) : passing(handler);
        };
        fixture.effects.daemonInstall = [&, failingStep](AppModel::OutputHandler handler) {
            return failingStep == 1 ? failing(handler) : passing(handler);
        };
        AppModel &model = fixture.make();
        QuorvantisTest::await(model.checkAgentUpdate(QStringLiteral("1.3.0")));
        QuorvantisTest::await(model.updateAgent());
        QCOMPARE(runs, failingStep + 1);
        QVERIFY(!model.isUpdatingAgent());
        QCOMPARE(model.lastError()->code, expectedCode);
        QCOMPARE(model.lastError()->message, expectedMessage);
        // The offer stays so the user can try again.
        QCOMPARE(model.availableAgentVersion(), QStringLiteral("1.4.0"));
        QCOMPARE(model.agentVersionChecked, QStringLiteral("1.3.0"));
        QVERIFY(model.showsAgentUpdateBanner());
    }

    void recoveryActions()
    {
        ModelFixture fixture;
        QList<QUrl> opened;
        QList<std::optional<PermissionKind>> settings;
        fixture.effects.openURL = [&](QUrl url) {
            opened.append(url);
            return true;
        };
        fixture.effects.openSystemSettings = [&](std::optional<PermissionKind> kind) { settings.append(kind); };
        AppModel &model = fixture.make();

        QuorvantisTest::await(model.perform(AppModel::RecoveryAction::openSystemSettings(PermissionKind::fullDiskAccess)));
        QCOMPARE(model.permissionPromptKind(), PermissionKind::fullDiskAccess);
        QVERIFY(settings.isEmpty());
        QuorvantisTest::await(model.perform(AppModel::RecoveryAction::openSystemSettings(std::nullopt)));
        QCOMPARE(settings, (QList<std::optional<PermissionKind>>{std::nullopt}));

        const qint64 revision = model.focusRevision();
        QuorvantisTest::await(model.perform(AppModel::RecoveryAction::make(Kind::enterInstallCode)));
        QCOMPARE(model.focusRevision(), revision + 1);
        QCOMPARE(model.focusTarget(), AppModel::FocusTarget::setupCode());

        QuorvantisTest::await(model.perform(AppModel::RecoveryAction::make(Kind::openLogs)));
        QuorvantisTest::await(model.perform(AppModel::RecoveryAction::make(Kind::checkForUpdates)));
        QCOMPARE(opened.size(), 2);
        QVERIFY(opened[0].isLocalFile());
        QVERIFY(opened[0].toLocalFile().endsWith(QStringLiteral("/logs")));
        QVERIFY(opened[1].scheme().startsWith(u"http"));

        const auto before = model.focusRevision();
        QuorvantisTest::await(model.perform(AppModel::RecoveryAction::make(Kind::none)));
        QCOMPARE(model.focusRevision(), before);
    }

    void retryWithoutStageOrConfigurationFocusesCode()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.installStage = std::nullopt;
        const qint64 revision = model.focusRevision();
        QuorvantisTest::await(model.perform(AppModel::RecoveryAction::make(Kind::retryInstall)));
        QCOMPARE(model.focusRevision(), revision + 1);
    }

    void restartAgent_data()
    {
        QTest::addColumn<QString>("thrownCode"); // "-": exit status; "": other error; "ok": success
        QTest::addColumn<QString>("expectedCode");
        QTest::newRow("success") << "ok" << "";
        QTest::newRow("exit status") << "-" << "AGENT_RESTART_FAILED";
        QTest::newRow("coded") << "OPERATION_ALREADY_RUNNING" << "OPERATION_ALREADY_RUNNING";
        QTest::newRow("other") << "" << "AGENT_RESTART_FAILED";
    }
    void restartAgent()
    {
        QFETCH(QString, thrownCode);
        QFETCH(QString, expectedCode);
        ModelFixture fixture;
        int runs = 0;
        fixture.effects.daemonInstall = [&, thrownCode](AppModel::OutputHandler) {
            if (thrownCode == u"ok")
                return scripted({0, std::nullopt}, &runs);
            if (thrownCode == u"-")
                return scripted({2, QStringLiteral("QVAPP_INTERNAL detail")}, &runs);
            return throwing(thrownCode, &runs);
        };
        AppModel &model = fixture.make();
        model.lastError = AppModel::DisplayError::from(QStringLiteral("OLD"), std::nullopt);
        QuorvantisTest::await(model.perform(AppModel::RecoveryAction::make(Kind::restartAgent)));
        QCOMPARE(runs, 1);
        if (expectedCode.isEmpty()) {
            QVERIFY(!model.lastError());
        } else {
            QCOMPARE(model.lastError()->code, expectedCode);
            if (thrownCode == u"-") // the internal line is filtered: the default text shows
                QCOMPARE(model.lastError()->message, QStringLiteral("操作失败：AGENT_RESTART_FAILED"));
        }
    }
};

QTEST_GUILESS_MAIN(AgentUpdateFlowTests)
#include "AgentUpdateFlowTests.moc"
