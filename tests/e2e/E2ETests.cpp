// End-to-end tests of the whole installation: the real model with its default wiring (bash, the
// session script, the runtime stand-ins, pm2, the status endpoint, the onboarding service, the
// registry, the keychain and the files of a sandbox home), driven the way the views drive it.
#include "Sandbox.h"

#include "app/AppModel.h"
#include "channel/OwnerSetupLinkStore.h"
#include "platform/Bundle.h"
#include "process/InstallLog.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"

#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;
using QuorvantisTest::await;
using QuorvantisTest::spinUntil;
using Stage = AppModel::InstallStage;

namespace {

// A code of the sandbox's alphabet; the simulated service names its agent after it.
const QString firstCode = QStringLiteral("QVS2-7K3M-9PQR-T2VW");
const QString secondCode = QStringLiteral("QVS2-4HJK-MNPQ-RSTV");
const QString thirdCode = QStringLiteral("QVS2-A1B2-C3D4-E5F6");

QString agentNameFor(const QString &code)
{
    return (QStringLiteral("agent-") + code.mid(5, 4) + code.mid(10, 4)).toLower();
}

QString stageText(const std::optional<Stage> &stage)
{
    return stage ? rawValue(*stage) : QStringLiteral("(finished)");
}

// Where the model stands, for failure messages.
QString describe(const AppModel &model)
{
    QString text = QStringLiteral("stage=%1 overall=%2 configured=%3 validated=%4 submitting=%5")
                       .arg(stageText(model.installStage()))
                       .arg(int(model.overallState()))
                       .arg(model.configurationReady())
                       .arg(model.installationValidated())
                       .arg(model.isSubmittingSetup());
    if (const auto error = model.lastError())
        text += QStringLiteral(" error=%1 \"%2\"").arg(error->code, error->message);
    if (const auto detail = model.setupProgressDetail())
        text += QStringLiteral(" detail=\"%1\"").arg(*detail);
    if (const auto kind = model.currentPermissionOnboardingKind())
        text += QStringLiteral(" permission=%1").arg(rawValue(*kind));
    if (const auto owner = model.ownerSetupError())
        text += QStringLiteral(" ownerSetupError=\"%1\"").arg(*owner);
    text += QStringLiteral(" snapshot{bridge=%1 ready=%2 version=%3}")
                .arg(model.statusSnapshot().bridgeConnected)
                .arg(model.statusSnapshot().handshakeComplete)
                .arg(model.statusSnapshot().agentVersion.value_or(QStringLiteral("-")));
    return text;
}

QString markerText(const Sandbox &sandbox, const QString &name)
{
    return sandbox.readText(sandbox.profileFile(name));
}

// Collects the values a published property passes through, sampled after each change.
class Observer : public QObject
{
public:
    explicit Observer(AppModel *model) : m_model(model)
    {
        connect(model, &AppModel::willChange, this, [this] {
            QMetaObject::invokeMethod(this, [this] { sample(); }, Qt::QueuedConnection);
        });
    }
    QStringList details;
    QList<AppModel::PackageInstallProgress> packageProgress;

private:
    void sample()
    {
        if (!m_model)
            return;
        if (const auto detail = m_model->setupProgressDetail(); detail && !details.contains(*detail))
            details.append(*detail);
        if (const auto progress = m_model->packageInstallProgress(); progress && !packageProgress.contains(*progress))
            packageProgress.append(*progress);
    }
    QPointer<AppModel> m_model;
};

} // namespace

#define STEP(call)                                                                                                    \
    do {                                                                                                              \
        call;                                                                                                         \
        if (QTest::currentTestFailed())                                                                               \
            return;                                                                                                   \
    } while (false)

#define WAIT_FOR(condition, ms)                                                                                       \
    QVERIFY2(spinUntil([&] { return bool(condition); }, ms),                                                          \
             qPrintable(QStringLiteral("waited for " #condition ": ") + describe(*m_model) + u'\n'                   \
                        + m_sandbox->diagnostics()))

class E2ETests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void freshInstallation();
    void enrollmentWithWorkspace();
    void transientAndUnavailableCodes();
    void relaunchAfterEveryStage();
    void agentUpdate();
    void stoppedAgentAndRestart();
    void revokedPermission();

private:
    DesktopOpener m_opener;
    std::unique_ptr<Sandbox> m_sandbox;
    std::unique_ptr<AppModel> m_model;
    std::shared_ptr<int> m_pendingSleeps = std::make_shared<int>(0);
    QStringList m_codes;

    // The application's launch and quit on the sandbox home.
    void launch();
    void quit();

    // Stages, the way the setup screen drives them.
    void prepareRuntime();
    void passPermission(PermissionKind kind);
    void passAllPermissions();
    void submitCode(const QString &code);
    void requestBindingLink();
    void bindChannel();
    void installCompletely(const QString &code);
    void expectInstalled();
    void scanForSecrets();
};

// ---- fixture ------------------------------------------------------------------------------------

namespace {

// The real Qt timer, counted so that a test can let every sleeping loop of a quit model end.
QCoro::Task<void> countedSleep(std::chrono::milliseconds duration, std::shared_ptr<int> pending)
{
    ++*pending;
    co_await QCoro::sleepFor(duration);
    --*pending;
}

} // namespace

void E2ETests::init()
{
    m_codes.clear();
    m_sandbox = std::make_unique<Sandbox>();
    QString error;
    QVERIFY2(m_sandbox->start(&error), qPrintable(error));
    Bundle::setResourceDirectory(m_sandbox->bundle());
    QCOMPARE(QDir::homePath(), m_sandbox->home());
    // The install log's place is fixed by the first run of a process, so each test function
    // needs a process of its own (CTest runs them so).
    QVERIFY2(InstallLog::installLog().startsWith(m_sandbox->home() + u'/'),
             "run one test function per process, e.g. through ctest -L e2e");
}

void E2ETests::cleanup()
{
    quit();
    // Let the loops of quit models see that their model is gone.
    spinUntil([this] { return *m_pendingSleeps == 0; }, 10000);
    QTest::qWait(100);
    if (m_sandbox) {
        // Nothing the installation started outlives the agent: no probe job, no installer.
        m_sandbox->stop();
        QVERIFY2(spinUntil([this] { return m_sandbox->runningProcesses().isEmpty(); }, 15000),
                 qPrintable(QStringLiteral("still running: ") + m_sandbox->runningProcesses().join(u'\n')));
    }
    m_sandbox.reset();
    Bundle::setResourceDirectory(QString());
}

void E2ETests::launch()
{
    QVERIFY(!m_model);
    const std::shared_ptr<int> pending = m_pendingSleeps;
    m_model = std::make_unique<AppModel>(AppModel::Options{
        .bootstrapRetryDelays = {200ms, 400ms, 800ms},
        .autoResume = true,
        .sleeper = [pending](std::chrono::milliseconds duration) { return countedSleep(duration, pending); },
    });
    QCOMPARE(m_model->profileDirectory(), m_sandbox->profileDirectory());
}

void E2ETests::quit()
{
    if (!m_model)
        return;
    // A real quit ends the child with the application; here the run that is still going is
    // allowed to finish before the next launch, so that two runs never overlap.
    const std::weak_ptr<CLIService> runner = m_model->cli();
    m_model.reset();
    // Requests of the model that were under way resume on the next turns of the event loop (their
    // replies went with the model) and end there; they must get those turns.
    QTest::qWait(100);
    spinUntil([&] { return runner.expired() || !runner.lock()->isRunning(); }, 60000);
}

// ---- stages -------------------------------------------------------------------------------------

void E2ETests::prepareRuntime()
{
    WAIT_FOR(m_model->installStage() == Stage::permissions && !m_model->isPreparingEnvironment(), 120000);
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-install-stage")), QStringLiteral("permissions\n"));
    QVERIFY(!m_model->lastError());
}

void E2ETests::passPermission(PermissionKind kind)
{
    QCOMPARE(m_model->currentPermissionOnboardingKind(), std::optional(kind));
    await(m_model->continuePermissionOnboarding());
    QCOMPARE(m_model->permissionPromptKind(), std::optional(kind));
    await(m_model->confirmPermissionOnboarding());
    if (kind == PermissionKind::accessibility && m_model->accessibilityStep() == AccessibilityStep::cliclick
        && m_model->permissionPromptKind() == PermissionKind::accessibility) {
        // The real node passed; the prompt stays open for cliclick.
        await(m_model->confirmPermissionOnboarding());
    }
    WAIT_FOR(m_model->permissions()[int(kind)].verified && !m_model->permissionOperationInFlight(), 30000);
}

void E2ETests::passAllPermissions()
{
    for (const QString &name : {QStringLiteral("screenRecording"), QStringLiteral("accessibility"), QStringLiteral("fullDiskAccess")})
        QVERIFY(m_sandbox->setPermission(name, true));
    for (const PermissionKind kind : allCases<PermissionKind>())
        STEP(passPermission(kind));
    WAIT_FOR(m_model->installStage() == Stage::setup, 10000);
}

void E2ETests::submitCode(const QString &code)
{
    m_codes.append(code);
    m_model->setSetupCodeInput(code.toLower().replace(u'-', u' '));
    QCOMPARE(m_model->setupCode(), code);
    QVERIFY(m_model->canSubmitSetup());
    Quorvantis::startDetached(m_model->submitSetupCode(), "setup code submission");
}

void E2ETests::requestBindingLink()
{
    WAIT_FOR(m_model->installStage() == Stage::channel && m_model->ownerSetupPending() && !m_model->ownerSetupRequestInFlight(),
             60000);
    if (!m_model->ownerSetupURL()) {
        // The binding sheet's "重新生成": the service issues a link.
        m_model->setChannelBindingSheetPresented(true);
        await(m_model->refreshOwnerSetup(true));
    }
    WAIT_FOR(m_model->ownerSetupURL() && !m_model->isLoadingOwnerSetup(), 10000);
}

void E2ETests::bindChannel()
{
    STEP(requestBindingLink());
    const QUrl link = *m_model->ownerSetupURL();
    const Sandbox::Reply pressed = m_sandbox->pressBindButton(link);
    QVERIFY2(pressed.status == 200, pressed.body.constData());
    // The half-second refresh sees the owner's attempt pending.
    WAIT_FOR(m_model->ownerSetupSawPendingBinding(), 10000);
    QCOMPARE(m_sandbox->control(QStringLiteral("binding/complete"), {}).status, 200);
}

void E2ETests::installCompletely(const QString &code)
{
    STEP(launch());
    STEP(prepareRuntime());
    STEP(passAllPermissions());
    STEP(submitCode(code));
    STEP(bindChannel());
    WAIT_FOR(!m_model->installStage() && m_model->overallState() == AppModel::OverallState::online, 30000);
    STEP(expectInstalled());
}

void E2ETests::expectInstalled()
{
    QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("mac-app-install-stage"))));
    QVERIFY(!m_model->installStage());
    QVERIFY(m_model->configurationReady());
    QVERIFY(m_model->installationValidated());
    QVERIFY(m_model->onboardingCompleted());
    QVERIFY(!m_model->pendingSetupResume());
    QCOMPARE(m_model->rootPage(), AppModel::RootPage::dashboard);
    QCOMPARE(m_model->overallState(), AppModel::OverallState::online);
    QVERIFY(m_model->statusSnapshot().bridgeConnected);
    QVERIFY(m_model->statusSnapshot().handshakeComplete);
    QVERIFY(!m_model->lastError());
    for (const auto &item : m_model->setupProgress())
        QCOMPARE(item.state, AppModel::ProgressState::complete);
    // Monitoring goes on: the next poll brings a new sample.
    const quint64 samples = m_model->statusSampleSequence();
    WAIT_FOR(m_model->statusSampleSequence() > samples, 10000);
}

// Each secret of the installation, from where the agent and the sandbox keep it, must appear in
// no log, no argument list and no child environment.
void E2ETests::scanForSecrets()
{
    QList<std::pair<QString, QString>> secrets;
    for (const QString &code : m_codes) {
        secrets.append({QStringLiteral("setup code"), code});
        secrets.append({QStringLiteral("setup code (bare)"), QString(code).remove(u'-')});
    }
    const QJsonObject state = m_sandbox->state().value(QStringLiteral("state")).toObject();
    const QJsonObject agents = state.value(QStringLiteral("agents")).toObject();
    for (const QJsonValue &agent : agents) {
        const QString code = agent.toObject().value(QStringLiteral("setupCode")).toString();
        if (!m_codes.contains(code)) {
            secrets.append({QStringLiteral("issued setup code"), code});
            secrets.append({QStringLiteral("issued setup code (bare)"), QString(code).remove(u'-')});
        }
    }
    for (const QJsonValue &authorization : state.value(QStringLiteral("authorizations")).toObject())
        secrets.append({QStringLiteral("workspace password"), authorization.toObject().value(QStringLiteral("password")).toString()});
    secrets.append({QStringLiteral("enrolment key"),
                    m_sandbox->readText(m_sandbox->home() + QStringLiteral("/.sandbox/enrollment-key")).trimmed()});
    const QJsonObject config = QJsonDocument::fromJson(m_sandbox->readText(m_sandbox->profileFile(QStringLiteral("config.json"))).toUtf8()).object();
    secrets.append({QStringLiteral("service key"), config.value(QStringLiteral("quorvantisServiceApiKey")).toString()});
    secrets.append({QStringLiteral("status token"), m_sandbox->readText(m_sandbox->profileFile(QStringLiteral("tui-token"))).trimmed()});

    // Every flow here configures the agent: its key and its status token are there to look for.
    QVERIFY(secrets[secrets.size() - 2].second.size() >= 8);
    QVERIFY(secrets[secrets.size() - 1].second.size() >= 8);

    // The scan reads what it claims to: the home itself is in every recorded environment and
    // the install log has lines.
    const QStringList homeFound = m_sandbox->whereFound(m_sandbox->home());
    QVERIFY(homeFound.join(u'\n').contains(QStringLiteral("environment of quorvantis-cli-session")));
    QVERIFY(homeFound.join(u'\n').contains(QStringLiteral("environment of running")));
    QVERIFY(!m_sandbox->readText(InstallLog::installLog()).isEmpty());
    QVERIFY(m_sandbox->whereFound(QStringLiteral("Process exited with status 0")).join(u' ').contains(InstallLog::installLog()));

    // The environment every child of the runner gets (bash itself is not a recorded stand-in).
    const QProcessEnvironment childEnvironment = m_model ? m_model->cli()->environment() : QProcessEnvironment();

    QStringList findings;
    for (const auto &[label, value] : secrets) {
        if (value.size() < 8)
            continue; // absent in this flow (no enrolment, not configured yet)
        for (const QString &place : m_sandbox->whereFound(value))
            findings.append(label + QStringLiteral(" in ") + place);
        for (const QString &variable : childEnvironment.toStringList()) {
            if (variable.contains(value))
                findings.append(label + QStringLiteral(" in the runner's child environment: ") + variable.section(u'=', 0, 0));
        }
    }
    QVERIFY2(findings.isEmpty(), qPrintable(findings.join(u'\n')));
}

// ---- 1. a fresh installation, stage by stage ----------------------------------------------------

void E2ETests::freshInstallation()
{
    QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("config.json"))));
    STEP(launch());
    Observer observer(m_model.get());
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-install-stage")), QStringLiteral("runtime\n"));
    QCOMPARE(m_model->rootPage(), AppModel::RootPage::setup);

    // Runtime: the session script prepares node, pnpm, pm2, cliclick, the screenshot program
    // and the probe module, reporting progress and package counts.
    STEP(prepareRuntime());
    for (const QString &tool : {QStringLiteral("pnpm"), QStringLiteral("pm2"), QStringLiteral("cliclick")})
        QVERIFY2(QFileInfo(m_sandbox->home() + QStringLiteral("/.quorvantis/mac-app-runtime/bin/") + tool).isExecutable(), qPrintable(tool));
    QVERIFY(!observer.packageProgress.isEmpty());
    QCOMPARE(observer.packageProgress.last().total, 36);
    QCOMPARE(m_model->setupProgress()[int(AppModel::SetupPhase::runtime)].state, AppModel::ProgressState::complete);
    QCOMPARE(m_model->setupProgress()[int(AppModel::SetupPhase::permissions)].state, AppModel::ProgressState::running);

    // Screen recording, not yet granted: the probe fails, the application waits for the user's
    // return from the settings pane and re-probes by itself once the grant is there.
    await(m_model->continuePermissionOnboarding());
    QCOMPARE(m_model->permissionPromptKind(), std::optional(PermissionKind::screenRecording));
    await(m_model->confirmPermissionOnboarding());
    QCOMPARE(m_model->permissionAwaitingReturn(), std::optional(PermissionKind::screenRecording));
    QVERIFY(m_model->permissionSettingsPrompt());
    QVERIFY(!m_model->permissions()[0].verified);
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-permission-awaiting")), QStringLiteral("screenRecording\n"));
    m_model->openCurrentPermissionSettings();
    WAIT_FOR(m_sandbox->openedURLs().join(u' ').contains(QStringLiteral("Privacy_ScreenCapture")), 10000);
    QVERIFY(m_sandbox->setPermission(QStringLiteral("screenRecording"), true));
    WAIT_FOR(m_model->permissions()[0].verified, 20000);
    QVERIFY(!m_model->permissionAwaitingReturn());
    QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("mac-app-permission-awaiting"))));

    // Accessibility: the real node first, then cliclick.
    QVERIFY(m_sandbox->setPermission(QStringLiteral("accessibility"), true));
    await(m_model->continuePermissionOnboarding());
    await(m_model->confirmPermissionOnboarding());
    QCOMPARE(m_model->accessibilityStep(), AccessibilityStep::cliclick);
    QCOMPARE(m_model->permissionPromptKind(), std::optional(PermissionKind::accessibility));
    QVERIFY(!m_model->permissions()[1].verified);
    await(m_model->confirmPermissionOnboarding());
    QVERIFY(m_model->permissions()[1].verified);
    QCOMPARE(m_model->accessibilityProbeOutcome(), std::optional(AccessibilityProbeOutcome::granted));

    // Full disk access.
    QVERIFY(m_sandbox->setPermission(QStringLiteral("fullDiskAccess"), true));
    STEP(passPermission(PermissionKind::fullDiskAccess));
    WAIT_FOR(m_model->installStage() == Stage::setup, 5000);
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-install-stage")), QStringLiteral("setup\n"));
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-permissions-completed")),
             QStringLiteral("screenRecording\naccessibility\nfullDiskAccess\n"));
    QCOMPARE(m_model->overallState(), AppModel::OverallState::waitingSetup);
    QCOMPARE(m_model->permissionSummary(), QStringLiteral("系统权限已配置"));

    // Setup code → daemon → channel.
    STEP(submitCode(firstCode));
    QVERIFY(m_model->setupCode().isEmpty());
    WAIT_FOR(m_model->installStage() == Stage::channel && !m_model->ownerSetupRequestInFlight(), 90000);
    const QString agentName = agentNameFor(firstCode);
    QVERIFY(QFile::exists(m_sandbox->profileFile(QStringLiteral("config.json"))));
    QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("setup-state.json"))));
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-install-stage")), QStringLiteral("channel\n"));
    QVERIFY(QFile::exists(m_sandbox->home() + QStringLiteral("/.config/autostart/dev.quorvantis.agent.desktop")));
    QVERIFY(m_model->installationValidated());
    QVERIFY(!m_model->onboardingCompleted());
    QCOMPARE(m_model->overallState(), AppModel::OverallState::online);
    QCOMPARE(m_model->currentTask(), QStringLiteral("Waiting for channel binding"));
    QVERIFY(m_sandbox->agent(agentName).value(QStringLiteral("configured")).toBool());
    // Binding is required. The agent, at its first start, asked the service for a binding link
    // of its own and opened it in the browser (the sandbox's handler), before its status answered:
    // the service has a live session whose link the application does not hold.
    QVERIFY(m_model->ownerSetupPending());
    QVERIFY2(!m_model->ownerSetupError(), qPrintable(describe(*m_model)));
    QCOMPARE(m_model->channelBindingSummary(), QStringLiteral("等待完成绑定"));
    const QString agentsToken =
        m_sandbox->agent(agentName).value(QStringLiteral("link")).toObject().value(QStringLiteral("token")).toString();
    QVERIFY(!agentsToken.isEmpty());
    WAIT_FOR(!m_sandbox->openedURLs(QStringLiteral("agent")).isEmpty(), 10000);
    QCOMPARE(m_sandbox->openedURLs(QStringLiteral("agent")).size(), 1);
    const QUrl agentsOwnLink(m_sandbox->openedURLs(QStringLiteral("agent")).constFirst());
    QCOMPARE(agentsOwnLink.path(), QStringLiteral("/agents/%1/setup").arg(agentName));
    QCOMPARE(agentsOwnLink.fragment(), agentsToken);
    QVERIFY(!m_sandbox->openedURLs(QStringLiteral("application")).contains(agentsOwnLink.toString(QUrl::FullyEncoded)));
    WAIT_FOR(m_model->ownerSetupOpenedByAgent(), 10000);
    QVERIFY(!m_model->ownerSetupURL());
    QVERIFY(!m_model->canOpenOwnerSetup());

    // The binding sheet: shown, it refreshes and still tells that the page is open elsewhere; its
    // "重新生成" asks the service for a link of the application's own, replacing the agent's.
    m_model->setChannelBindingSheetPresented(true);
    await(m_model->noteChannelBindingSessionAppeared(550ms));
    QVERIFY2(m_model->ownerSetupOpenedByAgent(), qPrintable(describe(*m_model)));
    QVERIFY(!m_model->canOpenOwnerSetup());
    STEP(requestBindingLink());
    const QJsonObject agent = m_sandbox->agent(agentName);
    const QUrl link = *m_model->ownerSetupURL();
    QVERIFY(link != agentsOwnLink);
    QVERIFY(!m_model->ownerSetupOpenedByAgent());
    QCOMPARE(m_sandbox->pressBindButton(agentsOwnLink).status, 401);
    QCOMPARE(link.path(), QStringLiteral("/agents/%1/setup").arg(agentName));
    QCOMPARE(link.port(), m_sandbox->onboardingURL().port());
    QCOMPARE(link.fragment(), agent.value(QStringLiteral("link")).toObject().value(QStringLiteral("token")).toString());
    QVERIFY(m_model->canOpenOwnerSetup());
    QCOMPARE(m_model->ownerSetupOpenButtonTitle(), QStringLiteral("打开浏览器"));
    // The link is captured in the keychain so that a restart shows the same one.
    WAIT_FOR(await(OwnerSetupLinkStore::forProfileDirectory(m_model->profileDirectory()).load()).value_or(OwnerSetupLink{}).url
                 == link,
             10000);

    // The owner opens the page and presses the bind button; the channel confirms.
    await(m_model->openOwnerSetup());
    WAIT_FOR(!m_model->isOpeningOwnerSetup(), 10000);
    QVERIFY(m_model->ownerSetupDidOpen());
    QCOMPARE(m_model->ownerSetupOpenButtonTitle(), QStringLiteral("重新打开浏览器"));
    WAIT_FOR(m_sandbox->openedURLs().contains(link.toString(QUrl::FullyEncoded)), 10000);
    STEP(bindChannel());

    // Handshake → the installation is finished and the agent online.
    WAIT_FOR(!m_model->installStage() && m_model->overallState() == AppModel::OverallState::online, 30000);
    STEP(expectInstalled());
    QVERIFY(m_model->channelBindingCompleted());
    QVERIFY(m_model->channelOwnershipVerified());
    QVERIFY(!m_model->isChannelBindingSheetPresented());
    QCOMPARE(m_model->statusSnapshot().agentVersion, std::optional(QStringLiteral("1.4.0")));
    QVERIFY(m_model->statusSnapshot().processID.value_or(0) > 0);
    QVERIFY(m_sandbox->agent(agentName).value(QStringLiteral("onboardingComplete")).toBool());
    WAIT_FOR(!await(OwnerSetupLinkStore::forProfileDirectory(m_model->profileDirectory()).load()), 10000);

    STEP(scanForSecrets());
}

// ---- 2. enrolment with a workspace ----------------------------------------------------------------

void E2ETests::enrollmentWithWorkspace()
{
    STEP(launch());
    STEP(prepareRuntime());
    STEP(passAllPermissions());

    QVERIFY2(m_model->canRequestEnrollmentSetup(), "the bundle's stamp yields no enrolment key");
    m_model->beginEnrollmentSetup();
    QCOMPARE(m_model->setupEntryMode(), AppModel::SetupEntryMode::enroll);
    const QString agentName = QStringLiteral("e2e-workspace-agent");
    m_model->setSetupAgentName(agentName);
    m_model->setEnrollmentWorkspace(AppModel::EnrollmentWorkspace::google);
    QVERIFY(m_model->canSubmitSetup());
    // This agent leaves the binding page to the application: no session is live at the channel
    // stage, and the sheet's "重新生成" issues the first link.
    QVERIFY(m_sandbox->setSetting(QStringLiteral("agentOpensBinding"), false));
    Quorvantis::startDetached(m_model->submitActiveSetup(), "enrolment");

    // The setup prints the new workspace account; the record reaches the model while the setup
    // keeps running and waits for the authorization.
    WAIT_FOR(m_model->setupAuthorization(), 60000);
    const JITWorkspaceAuthorization record = *m_model->setupAuthorization();
    QVERIFY(m_model->isSubmittingSetup());
    const QJsonObject authorizations =
        m_sandbox->state().value(QStringLiteral("state")).toObject().value(QStringLiteral("authorizations")).toObject();
    QCOMPARE(authorizations.size(), 1);
    const QJsonObject issued = authorizations.begin()->toObject();
    QCOMPARE(record.provider, QStringLiteral("google"));
    QCOMPARE(record.email, issued.value(QStringLiteral("email")).toString());
    QCOMPARE(record.password, issued.value(QStringLiteral("password")).toString());
    QCOMPARE(record.authURL, QUrl(issued.value(QStringLiteral("authUrl")).toString()));
    QCOMPARE(record.authURL.host(), QStringLiteral("accounts.google.com"));

    // The user opens the page; the browser (the sandbox's handler) receives it.
    await(m_model->openSetupAuthorization());
    QVERIFY(!m_model->isOpeningSetupAuthorization());
    QVERIFY(!m_model->setupAuthorizationOpenFailed());
    WAIT_FOR(m_sandbox->openedURLs().contains(record.authURL.toString(QUrl::FullyEncoded))
                 || m_sandbox->openedURLs().contains(record.authURL.toString()),
             10000);
    QVERIFY(m_model->isSubmittingSetup());
    QCOMPARE(m_model->setupAuthorization(), std::optional(record));

    // The owner approves; the setup goes on by itself.
    QCOMPARE(m_sandbox->control(QStringLiteral("authorize"), {}).status, 200);
    WAIT_FOR(m_model->installStage() == Stage::channel, 90000);
    QVERIFY(!m_model->setupAuthorization());
    const QJsonObject config =
        QJsonDocument::fromJson(m_sandbox->readText(m_sandbox->profileFile(QStringLiteral("config.json"))).toUtf8()).object();
    QCOMPARE(config.value(QStringLiteral("agentName")).toString(), agentName);
    QCOMPARE(config.value(QStringLiteral("workspace")).toString(), QStringLiteral("google"));
    WAIT_FOR(!m_model->ownerSetupRequestInFlight(), 10000);
    QVERIFY(m_model->ownerSetupPending());
    QVERIFY(!m_model->ownerSetupOpenedByAgent());
    QVERIFY(!m_model->ownerSetupURL());
    QVERIFY(m_sandbox->agent(agentName).value(QStringLiteral("link")).isNull());
    QVERIFY(m_sandbox->openedURLs(QStringLiteral("agent")).isEmpty());

    STEP(bindChannel());
    WAIT_FOR(!m_model->installStage() && m_model->overallState() == AppModel::OverallState::online, 30000);
    STEP(expectInstalled());
    STEP(scanForSecrets());
}

// ---- 3. transient failures and an unavailable code ----------------------------------------------

void E2ETests::transientAndUnavailableCodes()
{
    STEP(launch());
    STEP(prepareRuntime());
    STEP(passAllPermissions());

    // A code the service no longer accepts: the error offers a new code, the code field is
    // focused, and the stage stays at setup.
    QVERIFY(m_sandbox->scriptFailure(QStringLiteral("codeUnavailable"), 1));
    const qint64 focusBefore = m_model->focusRevision();
    STEP(submitCode(firstCode));
    WAIT_FOR(!m_model->isSubmittingSetup() && m_model->lastError(), 60000);
    QCOMPARE(m_model->lastError()->code, QStringLiteral("SETUP_CODE_UNAVAILABLE"));
    QCOMPARE(m_model->lastError()->message, QStringLiteral("安装码已失效或不可用，请获取新的安装码后重试。"));
    QCOMPARE(m_model->lastError()->recovery, AppModel::RecoveryAction::make(AppModel::RecoveryAction::Kind::enterInstallCode));
    QCOMPARE(m_model->overallState(), AppModel::OverallState::error);
    QCOMPARE(m_model->installStage(), std::optional(Stage::setup));
    QCOMPARE(m_model->focusTarget(), AppModel::FocusTarget::setupCode());
    QVERIFY(m_model->focusRevision() > focusBefore);
    QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("setup-state.json"))));
    QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("config.json"))));
    const qint64 focusAfterFailure = m_model->focusRevision();
    await(m_model->perform(m_model->lastError()->recovery));
    QCOMPARE(m_model->focusTarget(), AppModel::FocusTarget::setupCode());
    QCOMPARE(m_model->focusRevision(), focusAfterFailure + 1);

    // "bootstrap_failed" twice: the run is retried after the short delays and then succeeds.
    QVERIFY(m_sandbox->scriptFailure(QStringLiteral("bootstrapFailed"), 2));
    Observer observer(m_model.get());
    STEP(submitCode(secondCode));
    QVERIFY(!m_model->lastError());
    WAIT_FOR(m_model->installStage() == Stage::channel || m_model->lastError(), 90000);
    QVERIFY2(!m_model->lastError(), qPrintable(describe(*m_model)));
    QVERIFY2(observer.details.contains(QStringLiteral("安装服务暂时繁忙，正在重试（2/4）")), qPrintable(observer.details.join(u'|')));
    QVERIFY2(observer.details.contains(QStringLiteral("安装服务暂时繁忙，正在重试（3/4）")), qPrintable(observer.details.join(u'|')));
    QVERIFY(!observer.details.contains(QStringLiteral("安装服务暂时繁忙，正在重试（4/4）")));
    const QJsonObject failures = m_sandbox->state().value(QStringLiteral("state")).toObject().value(QStringLiteral("failures")).toObject();
    QCOMPARE(failures.value(QStringLiteral("bootstrapFailed")).toInt(), 0);
    QVERIFY(m_sandbox->agent(agentNameFor(secondCode)).value(QStringLiteral("configured")).toBool());
    QVERIFY(QFile::exists(m_sandbox->profileFile(QStringLiteral("config.json"))));

    STEP(scanForSecrets());
}

// ---- 4. quit and relaunch after every stage ---------------------------------------------------

void E2ETests::relaunchAfterEveryStage()
{
    // runtime, quit while the runtime is being prepared: the stage stays, the relaunch prepares
    // the runtime again over what the first run left
    STEP(launch());
    WAIT_FOR(m_model->isPreparingEnvironment() && m_model->cli()->isRunning(), 10000);
    quit();
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-install-stage")), QStringLiteral("runtime\n"));
    STEP(launch());
    QCOMPARE(m_model->installStage(), std::optional(Stage::runtime));
    STEP(prepareRuntime());
    quit();

    // permissions: screen recording is asked for and not there yet → quit while the application
    // waits for the user's return; granted meanwhile, the relaunch re-probes it by itself.
    STEP(launch());
    QCOMPARE(m_model->installStage(), std::optional(Stage::permissions));
    QCOMPARE(m_model->setupProgress()[int(AppModel::SetupPhase::permissions)].state, AppModel::ProgressState::running);
    await(m_model->continuePermissionOnboarding());
    await(m_model->confirmPermissionOnboarding());
    QCOMPARE(m_model->permissionAwaitingReturn(), std::optional(PermissionKind::screenRecording));
    quit();
    QVERIFY(m_sandbox->setPermission(QStringLiteral("screenRecording"), true));
    STEP(launch());
    QCOMPARE(m_model->permissionAwaitingReturn(), std::optional(PermissionKind::screenRecording));
    WAIT_FOR(m_model->permissions()[0].verified, 20000);
    QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("mac-app-permission-awaiting"))));
    quit();

    // permissions: the completed one is remembered; the rest → setup → quit
    STEP(launch());
    QCOMPARE(m_model->installStage(), std::optional(Stage::permissions));
    QVERIFY(m_model->cachedCompletedPermissions().contains(PermissionKind::screenRecording));
    STEP(passAllPermissions());
    quit();

    // setup → the code is redeemed; quit as soon as the daemon stage begins
    STEP(launch());
    QCOMPARE(m_model->installStage(), std::optional(Stage::setup));
    WAIT_FOR(m_model->overallState() == AppModel::OverallState::waitingSetup, 5000);
    STEP(submitCode(firstCode));
    WAIT_FOR(m_model->installStage() == Stage::daemon, 60000);
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-install-stage")), QStringLiteral("daemon\n"));
    quit();

    // daemon → resumes the installation of the agent and reaches the channel stage, where a
    // binding link is issued → quit
    STEP(launch());
    QCOMPARE(m_model->installStage(), std::optional(Stage::daemon));
    QVERIFY(m_model->configurationReady());
    // Whichever start of the agent got to it, the agent's own binding page is open.
    WAIT_FOR(m_model->installStage() == Stage::channel && m_model->ownerSetupOpenedByAgent(), 60000);
    STEP(requestBindingLink());
    const QUrl link = *m_model->ownerSetupURL();
    // Captured before the quit: the relaunch must show the same link, not invalidate it.
    WAIT_FOR(await(OwnerSetupLinkStore::forProfileDirectory(m_model->profileDirectory()).load()).value_or(OwnerSetupLink{}).url
                 == link,
             10000);
    quit();

    // channel → the captured link comes back; the owner binds; the agent's status endpoint
    // answers badly, so the installation stops at the handshake → quit
    STEP(launch());
    QCOMPARE(m_model->installStage(), std::optional(Stage::channel));
    QVERIFY(m_model->installationValidated());
    WAIT_FOR(m_model->ownerSetupURL() && !m_model->isLoadingOwnerSetup(), 10000);
    QCOMPARE(*m_model->ownerSetupURL(), link);
    const QString agentName = agentNameFor(firstCode);
    QCOMPARE(m_sandbox->agent(agentName).value(QStringLiteral("link")).toObject().value(QStringLiteral("token")).toString(),
             link.fragment());
    QVERIFY(m_sandbox->setSetting(QStringLiteral("statusHttpCode"), 503));
    STEP(bindChannel());
    WAIT_FOR(m_model->installStage() == Stage::handshake, 20000);
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-install-stage")), QStringLiteral("handshake\n"));
    QVERIFY(m_model->channelBindingCompleted());
    quit();

    // handshake → the first ready status finishes the installation
    QVERIFY(m_sandbox->setSetting(QStringLiteral("statusHttpCode"), 200));
    STEP(launch());
    QCOMPARE(m_model->installStage(), std::optional(Stage::handshake));
    QVERIFY(m_model->onboardingCompleted());
    WAIT_FOR(!m_model->installStage() && m_model->overallState() == AppModel::OverallState::online, 30000);
    STEP(expectInstalled());
    quit();

    // finished → the dashboard at once, and the agent online again
    STEP(launch());
    QVERIFY(!m_model->installStage());
    QCOMPARE(m_model->rootPage(), AppModel::RootPage::dashboard);
    WAIT_FOR(m_model->overallState() == AppModel::OverallState::online && m_model->statusSnapshot().bridgeConnected, 20000);
    STEP(expectInstalled());

    STEP(scanForSecrets());
}

// ---- 5. an agent update --------------------------------------------------------------------------

void E2ETests::agentUpdate()
{
    STEP(installCompletely(firstCode));
    QCOMPARE(m_model->statusSnapshot().agentVersion, std::optional(QStringLiteral("1.4.0")));
    QVERIFY(!m_model->availableAgentVersion());

    // A new beta: the registry is asked once per running version, so the next launch offers it.
    const QString beta = QStringLiteral("1.5.0-beta.1");
    QCOMPARE(m_sandbox->control(QStringLiteral("registry/publish"),
                                {{QStringLiteral("version"), beta}, {QStringLiteral("tag"), QStringLiteral("beta")}})
                 .status,
             200);
    quit();
    STEP(launch());
    WAIT_FOR(m_model->availableAgentVersion() == beta, 20000);
    QVERIFY(m_model->showsAgentUpdateBanner());
    QCOMPARE(m_model->agentUpdateBannerText(), QStringLiteral("Agent 1.5.0-beta.1 可更新"));

    // The launch's re-check of the permissions runs its probes first; the one runner refuses a
    // second run meanwhile, so the update is pressed once they are through.
    WAIT_FOR(std::all_of(m_model->permissions().cbegin(), m_model->permissions().cend(),
                         [](const AppModel::PermissionItem &item) { return item.verified; })
                 && !m_model->cli()->isRunning(),
             30000);
    await(m_model->updateAgent(), 120000);
    QVERIFY2(!m_model->lastError(), qPrintable(describe(*m_model)));
    QVERIFY(!m_model->isUpdatingAgent());
    QVERIFY(!m_model->showsAgentUpdateBanner());
    WAIT_FOR(m_model->statusSnapshot().agentVersion == beta && m_model->overallState() == AppModel::OverallState::online,
             30000);
    QVERIFY(!m_model->availableAgentVersion());
    // The package the agent runs is the new one.
    QVERIFY(QFileInfo(m_sandbox->home() + QStringLiteral("/.quorvantis/mac-app-runtime/pnpm-global/5/node_modules/quorvantis"))
                .canonicalFilePath()
                .contains(QStringLiteral("quorvantis@") + beta));

    STEP(scanForSecrets());
}

// ---- 6. the agent stops; the restart recovery brings it back --------------------------------------

void E2ETests::stoppedAgentAndRestart()
{
    STEP(installCompletely(firstCode));
    const qint64 pid = m_model->statusSnapshot().processID.value_or(0);

    const Sandbox::Reply stopped = m_sandbox->control(QStringLiteral("agent/stop"), {});
    QCOMPARE(stopped.status, 200);
    // Three failed polls in a row, two seconds apart.
    WAIT_FOR(m_model->overallState() == AppModel::OverallState::error, 20000);
    QCOMPARE(m_model->consecutiveStatusFailures(), 3);
    QVERIFY(!m_model->statusSnapshot().bridgeConnected);
    QVERIFY(!m_model->statusSnapshot().handshakeComplete);
    QCOMPARE(m_model->agentProcessDescription(), QStringLiteral("未连接"));
    QCOMPARE(m_model->headlineStatusTitle(), QStringLiteral("需要处理"));

    await(m_model->perform(AppModel::RecoveryAction::make(AppModel::RecoveryAction::Kind::restartAgent)), 90000);
    QVERIFY2(!m_model->lastError(), qPrintable(describe(*m_model)));
    WAIT_FOR(m_model->overallState() == AppModel::OverallState::online && m_model->statusSnapshot().bridgeConnected, 20000);
    QCOMPARE(m_model->consecutiveStatusFailures(), 0);
    QVERIFY(m_model->statusSnapshot().processID.value_or(0) > 0);
    QVERIFY(m_model->statusSnapshot().processID != pid);

    STEP(scanForSecrets());
}

// ---- 7. a permission revoked after installation ------------------------------------------------

void E2ETests::revokedPermission()
{
    STEP(installCompletely(firstCode));
    QVERIFY(m_sandbox->setPermission(QStringLiteral("fullDiskAccess"), false));
    quit();

    // The next launch re-probes the permissions and returns to the permission stage.
    STEP(launch());
    WAIT_FOR(m_model->installStage() == Stage::permissions, 30000);
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-install-stage")), QStringLiteral("permissions\n"));
    QCOMPARE(markerText(*m_sandbox, QStringLiteral("mac-app-permissions-completed")),
             QStringLiteral("screenRecording\naccessibility\n"));
    QVERIFY(!m_model->installationValidated());
    QVERIFY(!m_model->onboardingCompleted());
    QCOMPARE(m_model->rootPage(), AppModel::RootPage::setup);
    QCOMPARE(m_model->currentPermissionOnboardingKind(), std::optional(PermissionKind::fullDiskAccess));
    QCOMPARE(m_model->permissionSummary(), QStringLiteral("1 项权限需要处理"));

    // Granted again: the installation is finished again, without a new setup code.
    QVERIFY(m_sandbox->setPermission(QStringLiteral("fullDiskAccess"), true));
    STEP(passPermission(PermissionKind::fullDiskAccess));
    WAIT_FOR(!m_model->installStage(), 10000);
    QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("mac-app-install-stage"))));
    QVERIFY(m_model->installationValidated());
    WAIT_FOR(m_model->overallState() == AppModel::OverallState::online && m_model->statusSnapshot().bridgeConnected, 20000);

    STEP(scanForSecrets());
}

QTEST_MAIN(E2ETests)
#include "E2ETests.moc"
