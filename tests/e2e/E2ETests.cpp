// End-to-end tests of the whole installation: the real model with its default wiring (bash, the
// session script, the runtime stand-ins, pm2, the status endpoint, the onboarding service, the
// keychain and the files of a sandbox home), driven the way the views drive it.
#include "channel/OwnerSetupLinkStore.h"
#include "core/Configuration.h"
#include "platform/Bundle.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/Sandbox.h"
#include "support/ScriptFiles.h"

#include <QtTest>

using namespace QuorvantisTest;
using Stage = AppModel::InstallStage;
using Kind = PermissionKind;

#define STEP(call)                                                                                                     \
    do {                                                                                                               \
        call;                                                                                                          \
        if (QTest::currentTestFailed())                                                                                \
            return;                                                                                                    \
    } while (false)

#define WAIT_FOR(condition, ms)                                                                                        \
    QVERIFY2(spinUntil([&] { return bool(condition); }, ms),                                                           \
             qPrintable(QStringLiteral("waited for " #condition "\n") + m_sandbox->diagnostics()))

class E2ETests : public QObject
{
    Q_OBJECT

    std::unique_ptr<Sandbox> m_sandbox;
    Application m_application;
    AppModel *m_model = nullptr;
    QStringList m_codes;

    QByteArray marker(const QString &name = QStringLiteral("mac-app-install-stage")) const
    {
        return readFile(m_sandbox->profileFile(name));
    }

    // The binding link the keychain holds for the profile (empty when none).
    QUrl capturedLink() const
    {
        const auto store = OwnerSetupLinkStore::forProfileDirectory(m_model->profileDirectory());
        return await(store.load()).value_or(OwnerSetupLink{}).url;
    }

    // The application's launch on the sandbox home, after quitting the one before; whatever the
    // quit interrupted, every marker is whole and private.
    void relaunch()
    {
        m_model = &m_application.relaunch();
        const QStringList faults = m_sandbox->markerFaults();
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
    }

    void submitCode(const QString &code)
    {
        m_codes << code;
        m_model->setSetupCodeInput(code.toLower().replace(u'-', u' '));
        QVERIFY(m_model->setup().canSubmitSetup());
        Quorvantis::startDetached(m_model->submitSetupCode(), "setup code submission");
    }

    // Finished and online, the stage marker gone; monitoring goes on (the next poll brings a new
    // sample). What the finished model shows is the model tests'.
    void expectInstalled()
    {
        WAIT_FOR(!m_model->journey().installStage() && m_model->journey().overallState() == AppModel::OverallState::online
                     && m_model->status().statusSnapshot().handshakeComplete,
                 30000);
        QCOMPARE(marker(), QByteArray());
        const quint64 samples = m_model->status().statusSampleSequence();
        WAIT_FOR(m_model->status().statusSampleSequence() > samples, 10000);
    }

    // No secret of the installation in a log, an argument list, a child's environment or a
    // file of the application's.
    void scanForSecrets()
    {
        const QStringList runner = AppModelAccess{*m_model}.cli()->environment().toStringList();
        const QStringList faults = m_sandbox->secretFaults(m_codes, {}, runner);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
    }

private Q_SLOTS:
    void init()
    {
        m_codes.clear();
        m_sandbox = std::make_unique<Sandbox>(QStringLiteral(QUORVANTIS_STAMP_TOOL));
        QVERIFY2(m_sandbox->launchError().isEmpty(), qPrintable(m_sandbox->launchError()));
        Bundle::setResourceDirectory(m_sandbox->bundle());
        // The install log's place is fixed by the first run of a process, so each test function
        // needs a process of its own (CTest runs them so).
    }

    // Nothing the installation started outlives the agent: no probe job, no installer.
    void cleanup()
    {
        m_application.quit(true);
        m_sandbox->stop();
        QVERIFY2(spinUntil([this] { return m_sandbox->processes().isEmpty(); }, 15000),
                 qPrintable(m_sandbox->processes().join(u'\n')));
        m_sandbox.reset();
    }

    // Every stage in order, as a user goes through them, with a self-service enrolment into a
    // workspace; the sandbox grants, authorizes the new account and binds the channel by itself (at
    // once: it runs fast).
    void freshInstallation()
    {
        QVERIFY(m_sandbox->simctl({"grant", "all"}));
        STEP(relaunch());
        const int status = await(installUntilOnline(m_model, {}), 200000);
        QVERIFY2(status == 0, qPrintable(QString::number(status) + m_sandbox->diagnostics()));
        STEP(expectInstalled());
        STEP(scanForSecrets());
    }

    // With no registry setting the update check asks the registry that the runtime's pnpm installs
    // from: the sandbox's, set in the runtime's npmrc as a mirror is. A beta published before the
    // installation is offered once the agent runs, installed, and reported by the restarted agent.
    void updateFromTheRuntimeRegistry()
    {
        QVERIFY(!readFile(m_sandbox->bundle() + QStringLiteral("/Info.json")).contains("Registry"));
        QCOMPARE(Configuration::registryBaseURL(), QString());
        QVERIFY(m_sandbox->simctl({"publish-beta", "1.5.0-beta.1"}));
        QVERIFY(m_sandbox->simctl({"grant", "all"}));
        STEP(relaunch());
        m_codes << QStringLiteral("QVS2-8WXY-Z234-5678");
        const int status = await(installUntilOnline(m_model, m_codes.last()), 200000);
        QVERIFY2(status == 0, qPrintable(QString::number(status) + m_sandbox->diagnostics()));
        STEP(expectInstalled());
        QCOMPARE(m_model->status().statusSnapshot().agentVersion, std::optional(QStringLiteral("1.4.0")));
        WAIT_FOR(m_model->updates().availableAgentVersion() == QStringLiteral("1.5.0-beta.1"), 30000);

        await(m_model->updateAgent(), 120000);
        QVERIFY2(!m_model->attention().lastError(), qPrintable(m_sandbox->diagnostics()));
        WAIT_FOR(m_model->status().statusSnapshot().agentVersion == QStringLiteral("1.5.0-beta.1"), 30000);
        STEP(scanForSecrets());
    }

    // Quit and relaunch after every stage, with a failed code and a retried one on the way.
    void relaunchAfterEveryStage()
    {
        // Nothing completes behind the test's back: the test binds itself.
        QVERIFY(m_sandbox->simctl({"set", "bindingAutoCompleteMs", "null"}));
        // runtime: quit while it is prepared; the relaunch prepares it again over what was left.
        STEP(relaunch());
        WAIT_FOR(m_model->setup().isPreparingEnvironment() && AppModelAccess{*m_model}.cli()->isRunning(), 10000);
        STEP(relaunch());
        WAIT_FOR(m_model->journey().installStage() == Stage::permissions && marker() == "permissions\n", 120000);

        // permissions: quit while the application waits for the user's return for screen
        // recording (its probe refused); granted meanwhile, the relaunch re-probes it by itself; the
        // completed one is remembered at the next relaunch.
        STEP(relaunch());
        await(m_model->continuePermissionOnboarding());
        await(m_model->confirmPermissionOnboarding());
        m_application.quit();
        QVERIFY(m_sandbox->simctl({"grant", "screen-recording"}));
        STEP(relaunch());
        QCOMPARE(m_model->permissions().permissionAwaitingReturn(), std::optional(Kind::screenRecording));
        WAIT_FOR(m_model->permissions().permissions()[0].verified, 20000);
        STEP(relaunch());
        QVERIFY(m_model->permissions().cachedCompletedPermissions().contains(Kind::screenRecording));
        // Granted in the simulated system first; accessibility passes the real node, then cliclick.
        for (const Kind kind : {Kind::screenRecording, Kind::accessibility, Kind::fullDiskAccess}) {
            QVERIFY(m_sandbox->simctl({"grant", rawValue(kind)}));
            await(m_model->confirmPermissionOnboarding(kind));
            if (m_model->permissions().permissionPromptKind() == Kind::accessibility)
                await(m_model->confirmPermissionOnboarding());
            WAIT_FOR(m_model->permissions().permissions()[int(kind)].verified && !m_model->permissions().permissionOperationInFlight(), 30000);
        }
        WAIT_FOR(m_model->journey().installStage() == Stage::setup, 10000);

        // setup, after a relaunch: a code the service no longer accepts is an error; the next one
        // fails twice transiently and is retried; quit as the daemon stage begins.
        STEP(relaunch());
        WAIT_FOR(m_model->journey().overallState() == AppModel::OverallState::waitingSetup, 5000);
        QVERIFY(m_sandbox->simctl({"fail", "code-unavailable", "1"}));
        STEP(submitCode(QStringLiteral("QVS2-7K3M-9PQR-T2VW")));
        WAIT_FOR(!m_model->setup().isSubmittingSetup() && m_model->attention().lastError(), 60000);
        QCOMPARE(m_model->attention().lastError()->code, QStringLiteral("SETUP_CODE_UNAVAILABLE"));
        await(m_model->perform(m_model->attention().lastError()->recovery));
        QVERIFY(m_sandbox->simctl({"fail", "bootstrap-failed", "2"}));
        STEP(submitCode(QStringLiteral("QVS2-4HJK-MNPQ-RSTV")));
        WAIT_FOR(m_model->journey().installStage() == Stage::daemon || m_model->attention().lastError(), 60000);
        QVERIFY(!m_model->attention().lastError()); // two failures retried
        QCOMPARE(marker(), QByteArray("daemon\n"));

        // daemon: the agent is installed and started; at the channel stage a link is issued
        // and captured → quit.
        STEP(relaunch());
        QVERIFY(m_model->journey().configurationReady() && m_model->journey().installStage() == Stage::daemon);
        // The binding sheet's "重新生成" while the agent's own page is the one open; the link is
        // captured in the keychain so that a restart shows the same one.
        WAIT_FOR(m_model->journey().installStage() == Stage::channel && m_model->channel().ownerSetupOpenedByAgent()
                     && !m_model->channel().ownerSetupRequestInFlight(),
                 60000);
        m_model->setChannelBindingSheetPresented(true);
        await(m_model->refreshOwnerSetup(true));
        WAIT_FOR(m_model->channel().ownerSetupURL() && capturedLink() == *m_model->channel().ownerSetupURL(), 10000);
        const QUrl link = *m_model->channel().ownerSetupURL();

        // channel: the captured link comes back, not a new one; the owner binds while the
        // status endpoint answers badly, so the installation stops at the handshake → quit.
        STEP(relaunch());
        QCOMPARE(m_model->journey().installStage(), std::optional(Stage::channel));
        WAIT_FOR(m_model->channel().ownerSetupURL() == link && !m_model->channel().isLoadingOwnerSetup(), 10000);
        QCOMPARE(m_sandbox->state()["agents"]["agent-4hjkmnpq"]["link"]["token"].toString(), link.fragment());
        QVERIFY(m_sandbox->simctl({"set", "statusHttpCode", "503"}));
        // The owner presses the bind button; the half-second refresh sees the attempt pending.
        QVERIFY(m_sandbox->simctl({"click-binding"}));
        WAIT_FOR(m_model->channel().ownerSetupSawPendingBinding(), 10000);
        QVERIFY(m_sandbox->simctl({"complete-binding"}));
        WAIT_FOR(m_model->journey().installStage() == Stage::handshake && marker() == "handshake\n", 20000);

        // handshake: the first ready status finishes the installation → quit; finished: the
        // agent online again.
        QVERIFY(m_sandbox->simctl({"set", "statusHttpCode", "200"}));
        STEP(relaunch());
        QVERIFY(m_model->journey().onboardingCompleted() && m_model->journey().installStage() == Stage::handshake);
        STEP(expectInstalled());
        STEP(relaunch());
        STEP(expectInstalled());
        STEP(scanForSecrets());
    }
};

QTEST_MAIN(E2ETests)
#include "E2ETests.moc"
#include "support/ModelAccess.h"
