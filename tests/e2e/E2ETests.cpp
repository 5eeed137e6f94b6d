// End-to-end tests of the whole installation: the real model with its default wiring (bash, the
// session script, the runtime stand-ins, pm2, the status endpoint, the onboarding service, the
// keychain and the files of a sandbox home), driven the way the views drive it.
#include "app/AppModel.h"
#include "channel/OwnerSetupLinkStore.h"
#include "platform/Bundle.h"
#include "process/CLIService.h"
#include "process/InstallLog.h"
#include "support/AwaitTask.h"

#include <QCoro/QCoroTimer>
#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using namespace std::chrono_literals;
using QuorvantisTest::await;
using QuorvantisTest::spinUntil;
using Stage = AppModel::InstallStage;

namespace {

// The real Qt timer, counted so that a test can let every sleeping loop of a quit model end.
QCoro::Task<void> countedSleep(std::chrono::milliseconds duration, std::shared_ptr<int> pending)
{
    ++*pending;
    co_await QCoro::sleepFor(duration);
    --*pending;
}

// The binding link the keychain holds for the profile (empty when none).
QUrl capturedLink(const AppModel &model)
{
    return await(OwnerSetupLinkStore::forProfileDirectory(model.profileDirectory()).load()).value_or(OwnerSetupLink{}).url;
}

// Runs a sandbox program to its end; its standard output, or nothing when it failed.
std::optional<QByteArray> runSim(const QString &program, const QStringList &arguments, QString *error = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/") + program, arguments);
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return process.readAllStandardOutput();
    if (error)
        *error = program + QStringLiteral(" failed: ") + process.errorString() + QString::fromUtf8(process.readAllStandardError());
    process.kill();
    process.waitForFinished(5000);
    return std::nullopt;
}

// The scan of Sandbox::whereFound, in a shell whose own HOME is elsewhere: the matching log and
// record files, then "running PID" (or, without a value, "PID ARGUMENTS") for each process in the home.
const char *const scan = R"sh(h="$SCAN_HOME"; v="$SCAN_VALUE"
[ -z "$v" ] || grep -rlaF -- "$v" "$h/.quorvantis/logs" "$h/.quorvantis/profiles/default/logs" "$h/.sandbox/records.jsonl" 2>/dev/null
for p in /proc/[0-9]*; do
  [ "${p#/proc/}" != "$PPID" ] || continue
  { tr '\0' '\n' < "$p/environ" | grep -qxF "HOME=$h" || tr '\0' ' ' < "$p/cmdline" | grep -qF "$h"; } 2>/dev/null || continue
  if [ -z "$v" ]; then echo "${p#/proc/} $(tr '\0' ' ' < "$p/cmdline" 2>/dev/null)"
  elif cat "$p/cmdline" "$p/environ" 2>/dev/null | grep -qaF -- "$v"; then echo "running ${p#/proc/}"; fi
done)sh";

const QStringList openedSchemes{QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("x-apple.systempreferences")};

} // namespace


// One simulated agent environment: a fresh sandbox home with the simulator's services on
// loopback (sim/launch --services-only: fast, privacy panes and web links only recorded, nothing
// completing by itself), the bundle that points the application at them, and this process's
// environment switched to the one the launcher gives the application. stop() (and the
// destructor) stops the services and the agent and restores the environment.
class Sandbox
{
public:
    Sandbox() { m_root.setAutoRemove(qEnvironmentVariableIsEmpty("QUORVANTIS_E2E_KEEP")); }
    ~Sandbox() { stop(); }

    QString profileFile(const QString &name) const { return m_home + QStringLiteral("/.quorvantis/profiles/default/") + name; }

    bool start(QString *error)
    {
        // Whatever the launcher got running before a failure is stopped with the sandbox.
        m_started = true;
        const auto output = runSim(QStringLiteral("launch"), {"--home", m_home, "--fresh", "--services-only", "--fast", "--no-demo", "--settings-action",
                                                              "record", "--browser", "record", "--stamp", QStringLiteral(QUORVANTIS_STAMP_TOOL)}, error);
        const QJsonObject summary = QJsonDocument::fromJson(output.value_or(QByteArray())).object();
        m_home = summary["home"].toString();
        m_bundle = summary["bundle"].toString();
        const auto set = [this](const QString &name, const std::optional<QByteArray> &value) {
            const QByteArray key = name.toUtf8();
            if (!m_savedEnvironment.contains(key))
                m_savedEnvironment.insert(key, qEnvironmentVariableIsSet(key) ? std::optional(qgetenv(key)) : std::nullopt);
            value ? qputenv(key, *value) : qunsetenv(key);
        };
        const QJsonObject environment = summary["appEnvironment"].toObject();
        for (auto it = environment.begin(); it != environment.end(); ++it)
            set(it.key(), it.value().toString().toUtf8());
        for (const QJsonValue &name : summary["appUnsetEnvironment"].toArray())
            set(name.toString(), std::nullopt);
        // Nothing completes behind the test's back: the test authorizes and binds itself.
        return !m_bundle.isEmpty() && simctl({"set", "authorizeAfterMs", "null"}) && simctl({"set", "bindingAutoCompleteMs", "null"});
    }

    void stop()
    {
        if (std::exchange(m_started, false))
            runSim(QStringLiteral("launch"), {QStringLiteral("--home"), m_home, QStringLiteral("--stop")});
        for (auto it = m_savedEnvironment.begin(); it != m_savedEnvironment.end(); ++it)
            it.value() ? qputenv(it.key(), *it.value()) : qunsetenv(it.key());
        m_savedEnvironment.clear();
    }

    QString readText(const QString &path) const
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // sim/simctl on this sandbox (grant, fail, set, authorize, click-binding, ...); false when it failed.
    bool simctl(const QStringList &arguments) const { return runSim(QStringLiteral("simctl"), QStringList{"--home", m_home} + arguments).has_value(); }
    // The simulator's state (agents, authorizations, failures, settings).
    const QJsonObject state() const { return QJsonDocument::fromJson(readText(m_home + QStringLiteral("/.sandbox/state.json")).toUtf8()).object(); }

    // URLs handed to the sandbox's URL handler by "application" or "agent" (empty: both).
    QStringList openedURLs(const QString &openedBy = {}) const
    {
        QStringList urls;
        for (const QString &line : readText(m_home + QStringLiteral("/.sandbox/records.jsonl")).split(u'\n')) {
            const QJsonObject entry = QJsonDocument::fromJson(line.toUtf8()).object();
            if (entry["tool"].toString() == u"url-handler" && (openedBy.isEmpty() || entry["openedBy"].toString() == openedBy))
                urls << entry["url"].toString();
        }
        return urls;
    }

    // Where a value turns up: the logs under the home, how each stand-in was started (arguments
    // and environment), and the arguments and environment of every other process running now in
    // this home. With no value: those processes.
    QStringList whereFound(const QString &value) const
    {
        QProcess shell;
        QProcessEnvironment environment;
        for (const QString &entry : QStringList{"PATH=/usr/bin:/bin", "SCAN_HOME=" + m_home, "SCAN_VALUE=" + value})
            environment.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        shell.setProcessEnvironment(environment);
        shell.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), QString::fromUtf8(scan)});
        shell.waitForFinished(60000);
        return QString::fromUtf8(shell.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    }

    // The tail of the install log and of the services' log, for failure messages.
    QString diagnostics() const
    {
        return QStringLiteral("--- install log ---\n%1\n--- services log ---\n%2")
            .arg(readText(profileFile(QStringLiteral("logs/mac-app-install.log"))).right(3000), readText(m_home + QStringLiteral("/.sandbox/services.log")).right(3000));
    }

    QTemporaryDir m_root;
    QString m_home = m_root.filePath(QStringLiteral("home"));
    QString m_bundle;
    bool m_started = false;
    QHash<QByteArray, std::optional<QByteArray>> m_savedEnvironment;
};

#define STEP(call) do { call; if (QTest::currentTestFailed()) return; } while (false)

#define WAIT_FOR(condition, ms) QVERIFY2(spinUntil([&] { return bool(condition); }, ms), qPrintable(QStringLiteral("waited for " #condition "\n") + m_sandbox->diagnostics()))

class E2ETests : public QObject
{
    Q_OBJECT

    std::unique_ptr<Sandbox> m_sandbox;
    std::unique_ptr<AppModel> m_model;
    std::shared_ptr<int> m_pendingSleeps = std::make_shared<int>(0);
    QStringList m_codes;

    QString marker(const QString &name = QStringLiteral("mac-app-install-stage")) const { return m_sandbox->readText(m_sandbox->profileFile(name)); }

    // The application's launch on the sandbox home, after quitting the one before. A real quit
    // ends the child with the application; here the run still going finishes first, so that two
    // runs never overlap, and requests under way get the event-loop turns they end in.
    void quit()
    {
        const std::weak_ptr<CLIService> runner = m_model ? m_model->cli() : nullptr;
        m_model.reset();
        QTest::qWait(100);
        spinUntil([&] { return runner.expired() || !runner.lock()->isRunning(); }, 60000);
    }
    void relaunch()
    {
        quit();
        const std::shared_ptr<int> pending = m_pendingSleeps;
        m_model = std::make_unique<AppModel>(AppModel::Options{.bootstrapRetryDelays = {200ms, 400ms, 800ms}, .autoResume = true,
            .sleeper = [pending](std::chrono::milliseconds duration) { return countedSleep(duration, pending); }});
    }

    // Granted in the simulated system first; accessibility passes the real node, then cliclick.
    void passPermissions(QList<PermissionKind> kinds = {PermissionKind::screenRecording, PermissionKind::accessibility, PermissionKind::fullDiskAccess})
    {
        for (const PermissionKind kind : kinds) {
            QVERIFY(m_sandbox->simctl({"grant", rawValue(kind)}) && m_model->currentPermissionOnboardingKind() == kind);
            await(m_model->confirmPermissionOnboarding(kind));
            if (m_model->permissionPromptKind() == PermissionKind::accessibility)
                await(m_model->confirmPermissionOnboarding());
            WAIT_FOR(m_model->permissions()[int(kind)].verified && !m_model->permissionOperationInFlight(), 30000);
        }
        WAIT_FOR(m_model->installStage() == Stage::setup, 10000);
    }

    void submitCode(const QString &code)
    {
        m_codes << code;
        m_model->setSetupCodeInput(code.toLower().replace(u'-', u' '));
        QVERIFY(m_model->canSubmitSetup());
        Quorvantis::startDetached(m_model->submitSetupCode(), "setup code submission");
    }

    // The binding sheet's "重新生成" while the agent's own page is the one open; the link is
    // captured in the keychain so that a restart shows the same one.
    void requestBindingLink()
    {
        WAIT_FOR(m_model->installStage() == Stage::channel && m_model->ownerSetupOpenedByAgent() && !m_model->ownerSetupRequestInFlight(), 60000);
        m_model->setChannelBindingSheetPresented(true);
        await(m_model->refreshOwnerSetup(true));
        WAIT_FOR(m_model->ownerSetupURL() && capturedLink(*m_model) == *m_model->ownerSetupURL(), 10000);
    }

    // The owner presses the bind button; the half-second refresh sees the attempt pending; the
    // channel confirms.
    void bindChannel()
    {
        QVERIFY(m_sandbox->simctl({"click-binding"}));
        WAIT_FOR(m_model->ownerSetupSawPendingBinding(), 10000);
        QVERIFY(m_sandbox->simctl({"complete-binding"}));
    }

    // Finished and online; monitoring goes on (the next poll brings a new sample).
    void expectInstalled()
    {
        WAIT_FOR(!m_model->installStage() && m_model->overallState() == AppModel::OverallState::online && m_model->statusSnapshot().handshakeComplete, 30000);
        QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("mac-app-install-stage"))) && m_model->rootPage() == AppModel::RootPage::dashboard);
        QVERIFY(m_model->configurationReady() && m_model->onboardingCompleted() && !m_model->pendingSetupResume() && !m_model->lastError());
        QVERIFY(std::all_of(m_model->setupProgress().cbegin(), m_model->setupProgress().cend(), [](const auto &item) { return item.state == AppModel::ProgressState::complete; }));
        const quint64 samples = m_model->statusSampleSequence();
        WAIT_FOR(m_model->statusSampleSequence() > samples, 10000);
    }

    // Each secret of the installation, from where the agent and the sandbox keep it, must
    // appear in no log, no argument list and no child environment.
    void scanForSecrets()
    {
        const QJsonObject state = m_sandbox->state();
        QStringList secrets{m_sandbox->readText(m_sandbox->profileFile(QStringLiteral("tui-token"))).trimmed(),
                            QJsonDocument::fromJson(marker(QStringLiteral("config.json")).toUtf8())["quorvantisServiceApiKey"].toString(),
                            m_sandbox->readText(m_sandbox->m_home + QStringLiteral("/.sandbox/enrollment-key")).trimmed()};
        // Every flow here configures the agent: its status token and its key are there to look for.
        QVERIFY(secrets[0].size() >= 8 && secrets[1].size() >= 8);
        for (const QJsonValue &agent : state["agents"].toObject())
            m_codes << agent["setupCode"].toString();
        for (const QString &code : m_codes)
            secrets << code << QString(code).remove(u'-');
        for (const QJsonValue &authorization : state["authorizations"].toObject())
            secrets << authorization["password"].toString();
        // The scan reads what it claims to: the home is in the stand-ins' recorded environments
        // and in the running ones', and the install log has its exit lines.
        const QStringList home = m_sandbox->whereFound(m_sandbox->m_home);
        QVERIFY(home.contains(m_sandbox->m_home + QStringLiteral("/.sandbox/records.jsonl")) && !home.filter(QStringLiteral("running ")).isEmpty());
        QVERIFY(m_sandbox->whereFound(QStringLiteral("Process exited with status 0")).contains(InstallLog::installLog()));
        QStringList findings;
        for (const QString &secret : secrets) {
            if (secret.size() >= 8) // shorter: absent in this flow
                findings << m_sandbox->whereFound(secret) + m_model->cli()->environment().toStringList().filter(secret).replaceInStrings(secret, "…");
        }
        QVERIFY2(findings.isEmpty(), qPrintable(findings.join(u'\n')));
    }

public Q_SLOTS:
    // The desktop's URL opener. The headless platform plugin of the tests cannot open URLs, so
    // this handler of the schemes the application opens does what the desktop platform does on
    // Linux: it hands the URL to the first xdg-open on PATH, in the sandbox's environment its own.
    void open(const QUrl &url) { QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)}); }

private Q_SLOTS:
    void initTestCase()
    {
        for (const QString &scheme : openedSchemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }

    void init()
    {
        m_codes.clear();
        m_sandbox = std::make_unique<Sandbox>();
        QString error;
        QVERIFY2(m_sandbox->start(&error), qPrintable(error));
        Bundle::setResourceDirectory(m_sandbox->m_bundle);
        // The install log's place is fixed by the first run of a process, so each test function
        // needs a process of its own (CTest runs them so).
        QVERIFY2(InstallLog::installLog().startsWith(m_sandbox->m_home + u'/'), "run one test function per process (ctest -L e2e)");
    }

    void cleanup()
    {
        quit();
        // Let the loops of quit models see that their model is gone; nothing the installation
        // started outlives the agent: no probe job, no installer.
        spinUntil([this] { return *m_pendingSleeps == 0; }, 10000);
        QTest::qWait(100);
        m_sandbox->stop();
        QVERIFY2(spinUntil([this] { return m_sandbox->whereFound({}).isEmpty(); }, 15000), qPrintable(m_sandbox->whereFound({}).join(u'\n')));
        m_sandbox.reset();
        Bundle::setResourceDirectory(QString());
    }

    // Every stage in order, with a self-service enrolment into a workspace whose owner
    // authorizes the new account, and an agent that opens a binding page of its own.
    void freshInstallation()
    {
        STEP(relaunch());
        int packages = 0;
        QObject scope;
        connect(m_model.get(), &AppModel::willChange, &scope, [&] { packages = m_model->packageInstallProgress().value_or(AppModel::PackageInstallProgress{}).total; });
        QCOMPARE(marker(), QStringLiteral("runtime\n"));
        WAIT_FOR(m_model->installStage() == Stage::permissions && !m_model->isPreparingEnvironment() && marker() == u"permissions\n", 120000);
        QVERIFY(packages == 36 && QFileInfo(m_sandbox->m_home + QStringLiteral("/.quorvantis/mac-app-runtime/bin/cliclick")).isExecutable());

        // Screen recording, not yet granted: the probe fails, the application waits for the
        // user's return from the settings pane and re-probes by itself once the grant is there.
        await(m_model->continuePermissionOnboarding());
        await(m_model->confirmPermissionOnboarding());
        QCOMPARE(marker(QStringLiteral("mac-app-permission-awaiting")), QStringLiteral("screenRecording\n"));
        m_model->openCurrentPermissionSettings();
        WAIT_FOR(m_sandbox->openedURLs().join(u' ').contains(QStringLiteral("Privacy_ScreenCapture")), 10000);
        QVERIFY(m_sandbox->simctl({"grant", "screen-recording"}));
        WAIT_FOR(m_model->permissions()[0].verified && !QFile::exists(m_sandbox->profileFile(QStringLiteral("mac-app-permission-awaiting"))), 20000);
        STEP(passPermissions({PermissionKind::accessibility, PermissionKind::fullDiskAccess}));
        QCOMPARE(m_model->accessibilityProbeOutcome(), std::optional(AccessibilityProbeOutcome::granted));
        QCOMPARE(marker(QStringLiteral("mac-app-permissions-completed")), QStringLiteral("screenRecording\naccessibility\nfullDiskAccess\n"));

        // Enrolment: the setup prints the new workspace account, whose record reaches the model
        // (and nothing else) while the setup waits for the owner's authorization.
        m_model->beginEnrollmentSetup();
        m_model->setSetupAgentName(QStringLiteral("e2e-workspace-agent"));
        m_model->setEnrollmentWorkspace(AppModel::EnrollmentWorkspace::google);
        Quorvantis::startDetached(m_model->submitActiveSetup(), "enrolment");
        WAIT_FOR(m_model->setupAuthorization(), 60000);
        const QJsonObject issued = m_sandbox->state()["authorizations"].toObject().begin()->toObject();
        QCOMPARE(*m_model->setupAuthorization(), (JITWorkspaceAuthorization{"google", issued["email"].toString(), issued["password"].toString(), QUrl(issued["authUrl"].toString())}));
        await(m_model->openSetupAuthorization());
        WAIT_FOR(m_sandbox->openedURLs().contains(m_model->setupAuthorization()->authURL.toString(QUrl::FullyEncoded)), 10000);
        QVERIFY(m_sandbox->simctl({"authorize"}));

        // Daemon, then the channel: the agent opened a binding page of its own at its first
        // start; the sheet's "重新生成" replaces it with a link the application holds and opens.
        STEP(requestBindingLink());
        QVERIFY(!m_model->setupAuthorization() && QFile::exists(m_sandbox->m_home + QStringLiteral("/.config/autostart/dev.quorvantis.agent.desktop")));
        QCOMPARE(QJsonDocument::fromJson(marker(QStringLiteral("config.json")).toUtf8())["workspace"].toString(), QStringLiteral("google"));
        QCOMPARE(m_sandbox->openedURLs(QStringLiteral("agent")).size(), 1);
        QCOMPARE(m_model->ownerSetupURL()->path(), QStringLiteral("/agents/e2e-workspace-agent/setup"));
        await(m_model->openOwnerSetup());
        WAIT_FOR(m_sandbox->openedURLs(QStringLiteral("application")).contains(m_model->ownerSetupURL()->toString(QUrl::FullyEncoded)), 10000);
        STEP(bindChannel());

        // Handshake: the installation is finished, the agent online, the link forgotten.
        STEP(expectInstalled());
        QVERIFY(m_model->channelOwnershipVerified() && !m_model->isChannelBindingSheetPresented());
        WAIT_FOR(capturedLink(*m_model).isEmpty(), 10000);
        STEP(scanForSecrets());
    }

    // Quit and relaunch after every stage, with a failed code and a retried one on the way.
    void relaunchAfterEveryStage()
    {
        // runtime: quit while it is prepared; the relaunch prepares it again over what was left.
        STEP(relaunch());
        WAIT_FOR(m_model->isPreparingEnvironment() && m_model->cli()->isRunning(), 10000);
        STEP(relaunch());
        WAIT_FOR(m_model->installStage() == Stage::permissions && !m_model->isPreparingEnvironment() && marker() == u"permissions\n", 120000);

        // permissions: quit while the application waits for the user's return for screen
        // recording; granted meanwhile, the relaunch re-probes it by itself; the completed one
        // is remembered at the next relaunch.
        STEP(relaunch());
        await(m_model->continuePermissionOnboarding());
        await(m_model->confirmPermissionOnboarding());
        quit();
        QVERIFY(m_sandbox->simctl({"grant", "screen-recording"}));
        STEP(relaunch());
        QCOMPARE(m_model->permissionAwaitingReturn(), std::optional(PermissionKind::screenRecording));
        WAIT_FOR(m_model->permissions()[0].verified, 20000);
        STEP(relaunch());
        QVERIFY(m_model->installStage() == Stage::permissions && m_model->cachedCompletedPermissions().contains(PermissionKind::screenRecording));
        STEP(passPermissions());

        // setup, after a relaunch: a code the service no longer accepts is an error that asks
        // for a new code and forgets the tool's session; the next one fails twice transiently
        // and is retried; quit as the daemon stage begins.
        STEP(relaunch());
        WAIT_FOR(m_model->overallState() == AppModel::OverallState::waitingSetup, 5000);
        QVERIFY(m_sandbox->simctl({"fail", "code-unavailable", "1"}));
        STEP(submitCode(QStringLiteral("QVS2-7K3M-9PQR-T2VW")));
        WAIT_FOR(!m_model->isSubmittingSetup() && m_model->lastError(), 60000);
        QVERIFY(m_model->lastError()->code == u"SETUP_CODE_UNAVAILABLE" && m_model->overallState() == AppModel::OverallState::error);
        QVERIFY(!QFile::exists(m_sandbox->profileFile(QStringLiteral("setup-state.json"))) && !QFile::exists(m_sandbox->profileFile(QStringLiteral("config.json"))));
        const qint64 focus = m_model->focusRevision();
        await(m_model->perform(m_model->lastError()->recovery));
        QVERIFY(m_model->focusTarget() == AppModel::FocusTarget::setupCode() && m_model->focusRevision() == focus + 1 && marker() == u"setup\n");
        QVERIFY(m_sandbox->simctl({"fail", "bootstrap-failed", "2"}));
        QStringList details;
        QObject scope;
        connect(m_model.get(), &AppModel::willChange, &scope, [&] { details << m_model->setupProgressDetail().value_or(QString()); });
        STEP(submitCode(QStringLiteral("QVS2-4HJK-MNPQ-RSTV")));
        WAIT_FOR(m_model->installStage() == Stage::daemon || m_model->lastError(), 60000);
        details.removeDuplicates();
        QVERIFY2(!m_model->lastError() && details.filter(QStringLiteral("正在重试")) == (QStringList{"安装服务暂时繁忙，正在重试（2/4）", "安装服务暂时繁忙，正在重试（3/4）"}), qPrintable(details.join(u'|')));
        QCOMPARE(marker(), QStringLiteral("daemon\n"));

        // daemon: the agent is installed and started; at the channel stage a link is issued
        // and captured → quit.
        STEP(relaunch());
        QVERIFY(m_model->configurationReady() && m_model->installStage() == Stage::daemon);
        STEP(requestBindingLink());
        const QUrl link = *m_model->ownerSetupURL();

        // channel: the captured link comes back, not a new one; the owner binds while the
        // status endpoint answers badly, so the installation stops at the handshake → quit.
        STEP(relaunch());
        QVERIFY(m_model->installationValidated() && m_model->installStage() == Stage::channel);
        WAIT_FOR(m_model->ownerSetupURL() == link && !m_model->isLoadingOwnerSetup(), 10000);
        QCOMPARE(m_sandbox->state()["agents"]["agent-4hjkmnpq"]["link"]["token"].toString(), link.fragment());
        QVERIFY(m_sandbox->simctl({"set", "statusHttpCode", "503"}));
        STEP(bindChannel());
        WAIT_FOR(m_model->installStage() == Stage::handshake && marker() == u"handshake\n", 20000);

        // handshake: the first ready status finishes the installation → quit; finished: the
        // dashboard at once, and the agent online again.
        QVERIFY(m_sandbox->simctl({"set", "statusHttpCode", "200"}));
        STEP(relaunch());
        QVERIFY(m_model->onboardingCompleted() && m_model->installStage() == Stage::handshake);
        STEP(expectInstalled());
        STEP(relaunch());
        QCOMPARE(m_model->rootPage(), AppModel::RootPage::dashboard);
        STEP(expectInstalled());
        STEP(scanForSecrets());
    }
};

QTEST_MAIN(E2ETests)
#include "E2ETests.moc"
