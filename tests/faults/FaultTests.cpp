// Faults the installation must survive, each ending the way the product says it ends. While a fault
// runs the model's thread keeps turning (a 10 ms timer is never 100 ms late) and the process's peak
// memory stays bounded, whatever the fault sends. Last, no secret of a whole installation turns up
// where it does not belong, and what the application writes is private.
#include "channel/OwnerSetupClient.h"
#include "platform/Bundle.h"
#include "process/CLIService.h"
#include "support/ModelFixture.h"
#include "support/ScriptFiles.h"
#include "support/StatusFixture.h"

#include <QtTest>

#include <random>
#include <sys/stat.h>

using namespace std::chrono_literals;
using namespace QuorvantisTest;
using Stage = AppModel::InstallStage;

namespace {

// Runs a program of sim/ to its end; its standard output, nothing when it failed.
std::optional<QByteArray> runSim(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/") + program, arguments);
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return process.readAllStandardOutput();
    process.kill();
    process.waitForFinished(5000);
    return std::nullopt;
}

// A fresh sandbox home with the simulator's services on loopback (fast, privacy panes and web
// links only recorded) and this process's environment switched to the application's; the
// destructor stops the services and the agent and restores the environment.
struct Sandbox
{
    Sandbox()
    {
        const QJsonObject summary = QJsonDocument::fromJson(runSim(QStringLiteral("launch"),
            {"--home", home, "--fresh", "--services-only", "--fast", "--no-demo", "--settings-action", "record", "--browser",
             "record", "--stamp", QStringLiteral(QUORVANTIS_STAMP_TOOL)}).value_or(QByteArray())).object();
        home = summary[QStringLiteral("home")].toString(home);
        bundle = summary[QStringLiteral("bundle")].toString();
        QJsonObject environment = summary[QStringLiteral("appEnvironment")].toObject();
        for (const QJsonValue &name : summary[QStringLiteral("appUnsetEnvironment")].toArray())
            environment.insert(name.toString(), QJsonValue::Null);
        for (auto it = environment.begin(); it != environment.end(); ++it) {
            const QByteArray name = it.key().toUtf8();
            saved.insert(name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
            it.value().isNull() ? qunsetenv(name) : qputenv(name, it.value().toString().toUtf8());
        }
    }
    ~Sandbox()
    {
        runSim(QStringLiteral("launch"), {QStringLiteral("--home"), home, QStringLiteral("--stop")});
        for (auto it = saved.cbegin(); it != saved.cend(); ++it)
            it.value() ? qputenv(it.key(), *it.value()) : qunsetenv(it.key());
    }
    bool simctl(const QStringList &arguments) const { return runSim(QStringLiteral("simctl"), QStringList{"--home", home} + arguments).has_value(); }
    QString profileFile(const QString &name) const { return home + QStringLiteral("/.quorvantis/profiles/default/") + name; }
    QJsonObject state() const { return QJsonDocument::fromJson(readFile(home + QStringLiteral("/.sandbox/state.json"))).object(); }
    // Where a value turns up: the logs under the home, the record of how each stand-in was started
    // (arguments and environment), and the arguments and environment of each process in the home.
    QStringList whereFound(const QString &value) const
    {
        QStringList files{home + QStringLiteral("/.sandbox/records.jsonl")}, places;
        for (const QString &logs : {home + QStringLiteral("/.quorvantis/logs"), profileFile(QStringLiteral("logs"))}) {
            for (QDirIterator it(logs, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
                files << it.next();
        }
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
            files << QStringLiteral("/proc/%1/cmdline").arg(pid) << QStringLiteral("/proc/%1/environ").arg(pid);
        for (const QString &file : std::as_const(files)) {
            const QByteArray text = readFile(file);
            if (text.contains(value.toUtf8()) && (!file.startsWith(u"/proc/") || readFile(QFileInfo(file).path() + QStringLiteral("/environ")).contains(home.toUtf8())))
                places << file;
        }
        return places;
    }
    QString diagnostics() const
    {
        return QString::fromUtf8(readFile(profileFile(QStringLiteral("logs/mac-app-install.log"))).right(3000) + "\n---\n"
                                 + readFile(home + QStringLiteral("/.sandbox/services.log")).right(3000));
    }
    QTemporaryDir root;
    QString home = root.filePath(QStringLiteral("home")), bundle;
    QHash<QByteArray, std::optional<QByteArray>> saved;
};

// A misbehaving service on loopback (sim/tools/fault-server.cjs), in a process of its own so that
// what it holds does not count against this one's memory.
struct FaultServer
{
    explicit FaultServer(const QJsonObject &routes)
    {
        process.start(QStringLiteral("node"), {QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/tools/fault-server.cjs"),
                                               QString::fromUtf8(QJsonDocument(routes).toJson(QJsonDocument::Compact))});
        spinUntil([this] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 10000);
        port = process.readLine().trimmed().toInt();
    }
    ~FaultServer()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    // Requests so far whose line "METHOD /path" starts with `what`.
    int requests(const QString &what)
    {
        log += QString::fromUtf8(process.readAll());
        return int(log.count(QRegularExpression(QStringLiteral("(?m)^") + QRegularExpression::escape(what))));
    }
    QString origin(const char *host = "localhost") const { return QStringLiteral("http://%1:%2").arg(host).arg(port); }
    QProcess process;
    QString log;
    int port = 0;
};

QJsonObject answer(int status, const QByteArray &body = {})
{
    return {{QStringLiteral("status"), status}, {QStringLiteral("body"), QString::fromUtf8(body)}};
}

QJsonObject fault(const char *kind)
{
    return {{QStringLiteral("fault"), QString::fromLatin1(kind)}};
}

// The model's thread while a fault runs: how late a 10 ms timer fires at worst, and how far the
// process's peak memory rises above what it held when the watch began. The bound is far from the
// gigabyte a runaway peer sends, yet above what Qt's network thread may take in on loopback
// before an answer reaches its cap (tens of MiB, once 115).
struct Watch
{
    Watch()
    {
        writeFile(QStringLiteral("/proc/self/clear_refs"), "5"); // the peak starts again from here
        base = kib("VmRSS:");
        clock.start();
        QObject::connect(&tick, &QTimer::timeout, [this] { worst = std::max(worst, clock.restart() - 10); });
        tick.start(10);
    }
    bool bounded() const
    {
        const qint64 growth = (kib("VmHWM:") - base) / 1024;
        qInfo("%s: worst lateness %lld ms, peak memory +%lld MiB", QTest::currentDataTag(), worst, growth);
        return worst < 100 && growth < 200;
    }
    static qint64 kib(const QByteArray &field)
    {
        const QByteArray status = readFile(QStringLiteral("/proc/self/status"));
        return status.mid(status.indexOf(field) + field.size()).trimmed().split(' ').value(0).toLongLong();
    }
    QTimer tick;
    QElapsedTimer clock;
    qint64 worst = 0, base = 0;
};

// Every marker the application keeps and the only values it may hold: a kill at any moment leaves
// each one absent or whole and private, and no temporary file of an atomic write behind.
const QHash<QString, QString> markerShapes{
    {QStringLiteral("mac-app-install-stage"), QStringLiteral("(runtime|permissions|setup|daemon|channel|handshake)\n")},
    {QStringLiteral("mac-app-permissions-completed"), QStringLiteral("(screenRecording\n)?(accessibility\n)?(fullDiskAccess\n)?")},
    {QStringLiteral("mac-app-permission-awaiting"), QStringLiteral("(screenRecording|accessibility|fullDiskAccess)\n")},
    {QStringLiteral("mac-app-accessibility-probe"), QStringLiteral("(granted|denied|mismatch|missing|unsupported)\n")},
    {QStringLiteral("mac-app-notifications"), QStringLiteral("off\n")},
    {QStringLiteral("mac-app-owner-setup-url"), QStringLiteral("http://localhost:\\d+/agents/[a-z0-9-]+/setup#[^\\s#]+\n")},
};

QStringList markerFaults(const QString &profile)
{
    QStringList faults;
    for (const QFileInfo &file : QDir(profile).entryInfoList({QStringLiteral("*mac-app-*")}, QDir::AllEntries | QDir::Hidden)) {
        const QString text = QString::fromUtf8(readFile(file.filePath()));
        const QRegularExpression shape(QStringLiteral("\\A(?:%1)\\z").arg(markerShapes.value(file.fileName(), QStringLiteral("(?!)"))));
        if (text.isEmpty() || !shape.match(text).hasMatch() || posixMode(file.filePath()) != 0600)
            faults << QStringLiteral("%1 (mode %2): \"%3\"").arg(file.fileName()).arg(posixMode(file.filePath()), 0, 8).arg(text);
    }
    return faults;
}

// Where the secrets of a whole installation turn up: logs, the argument lists and environments of
// every child, the application's own files and its diagnostics archive. The agent's files, the
// keychain entry and the application's link file keep them by design.
QStringList secretFaults(const Sandbox &sandbox, const QString &code, const QString &archive)
{
    const auto profileText = [&](const char *name) { return QString::fromUtf8(readFile(sandbox.profileFile(QLatin1String(name)))).trimmed(); };
    QList<std::pair<QString, QString>> secrets{
        {QStringLiteral("enrolment key"), QString::fromUtf8(readFile(sandbox.home + QStringLiteral("/.sandbox/enrollment-key")).trimmed())},
        {QStringLiteral("service key"),
         QJsonDocument::fromJson(profileText("config.json").toUtf8())[QStringLiteral("quorvantisServiceApiKey")].toString()},
        {QStringLiteral("status token"), profileText("tui-token")},
        {QStringLiteral("binding-link token"), QUrl(profileText("mac-app-owner-setup-url")).fragment()},
    };
    if (!code.isEmpty())
        secrets << std::pair(QStringLiteral("setup code"), code) << std::pair(QStringLiteral("bare setup code"), QString(code).remove(u'-'));
    for (const QJsonValue &account : sandbox.state()[QStringLiteral("authorizations")].toObject())
        secrets.append({QStringLiteral("workspace password"), account[QStringLiteral("password")].toString()});

    const QDir profile(sandbox.profileFile({})), logs(profile.filePath(QStringLiteral("logs")));
    QStringList files{archive}, faults;
    // The scan reads what it claims to: the home is in the records and the running agent's
    // environment, and the install log has its runs.
    const QString scanned = (sandbox.whereFound(sandbox.home) + sandbox.whereFound(QStringLiteral("Process exited with status 0"))).join(u' ');
    if (!scanned.contains(u"records.jsonl") || !scanned.contains(u"/environ") || !scanned.contains(u"mac-app-install.log"))
        faults << QStringLiteral("the scan missed what it looks at: ") + scanned;
    for (const QString &name : profile.entryList({QStringLiteral("mac-app-*")}, QDir::Files))
        files << profile.filePath(name);
    for (const QString &name : logs.entryList({QStringLiteral("mac-app-*")}, QDir::Files))
        files << logs.filePath(name);
    for (const auto &[what, value] : secrets) {
        if (value.size() < 8)
            faults << QStringLiteral("no %1 to look for").arg(what);
        for (const QString &place : sandbox.whereFound(value))
            faults << what + QStringLiteral(" in ") + place;
        for (const QString &file : files) {
            if (!file.endsWith(u"mac-app-owner-setup-url") && readFile(file).contains(value.toUtf8()))
                faults << what + QStringLiteral(" in ") + file;
        }
    }
    for (const QString &file : files) {
        if (posixMode(file) != 0600)
            faults << QStringLiteral("%1 has mode %2").arg(file).arg(posixMode(file), 0, 8);
    }
    for (QString directory = logs.path(); directory.startsWith(sandbox.home + u'/'); directory = QFileInfo(directory).path()) {
        if (posixMode(directory) & S_IWOTH)
            faults << directory + QStringLiteral(" is world-writable");
    }
    return faults;
}

} // namespace

class FaultTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void killedAndRelaunched_data();
    void killedAndRelaunched();
    void setupFinishedAfterAKill();
    void statusEndpoint_data();
    void statusEndpoint();
    void onboardingService_data();
    void onboardingService();
    void registry_data();
    void registry();
    void files_data();
    void files() { runtimeStage(); }
    void sessionScript_data();
    void sessionScript() { runtimeStage(); }

private:
    void runtimeStage();
};

// ---- the application killed at random moments of an installation -------------------------------

void FaultTests::killedAndRelaunched_data()
{
    QTest::addColumn<int>("seed");
    const int runs = qEnvironmentVariableIntValue("QUORVANTIS_FAULT_RUNS");
    for (int seed = 1; seed <= (runs > 0 ? runs : 3); ++seed)
        QTest::addRow("seed %d", seed) << seed;
}

void FaultTests::killedAndRelaunched()
{
    QFETCH(int, seed);
    std::mt19937 random(seed);
    const bool enrol = seed % 2 == 0; // an enrolment with a workspace, else a setup code
    const QString code = enrol ? QString() : QStringLiteral("QVS2-7K3M-9PQR-T2VW");
    Sandbox sandbox;
    QVERIFY2(!sandbox.bundle.isEmpty(), "sim/launch did not start the sandbox");
    // The user grants every permission; the owner's binding and the workspace's approval follow.
    QVERIFY(sandbox.simctl({"grant", "all"}) && sandbox.simctl({"set", "bindingAutoCompleteMs", "200"})
            && sandbox.simctl({"set", "authorizeAfterMs", "300"}));

    const QString archive = sandbox.home + QStringLiteral("/diagnostics.tar");
    QString transcript;
    for (int launch = 0, status = -1; status != 0; ++launch) {
        QVERIFY2(launch < 12 && status == -1, qPrintable(transcript + sandbox.diagnostics()));
        QProcess driver;
        driver.setProcessChannelMode(QProcess::MergedChannels);
        driver.setChildProcessModifier([] { ::umask(0); }); // whatever the umask, its files stay private
        driver.start(QStringLiteral(QUORVANTIS_FAULT_DRIVER),
                     {sandbox.bundle, enrol ? QStringLiteral("enrol") : QStringLiteral("code"), archive});
        driver.write(code.toUtf8() + '\n');
        driver.closeWriteChannel();
        const int lifetime = launch < 4 ? std::uniform_int_distribution(200, 8000)(random) : 180000;
        const bool killed = !spinUntil([&] { return driver.state() == QProcess::NotRunning; }, lifetime);
        if (killed) {
            driver.kill();
            driver.waitForFinished(5000);
        } else {
            status = driver.exitStatus() == QProcess::NormalExit ? driver.exitCode() : 128 + driver.exitCode();
        }
        transcript += QString::fromUtf8(driver.readAll()) + (killed ? QStringLiteral("SIGKILL after %1 ms\n").arg(lifetime) : QString());
        const QStringList faults = markerFaults(sandbox.profileFile({}));
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n') + u'\n' + transcript));
    }
    qInfo("%s", qPrintable(transcript));
    const QStringList leaks = secretFaults(sandbox, code, archive);
    QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(u'\n')));
}

// Killed while the setup ran, the application leaves the tool running; it finishes and configures
// the agent while the stage still says setup. The relaunch goes on with the daemon (done at once
// here, and on to the channel).
void FaultTests::setupFinishedAfterAKill()
{
    ModelFixture fixture(ModelFixture::Succeeding);
    AppModel &model = fixture.makeAt("setup", true);
    Quorvantis::startDetached(model.resumeInstalledConfiguration(), "launch resume");
    QCOMPARE(fixture.installation(), QStringLiteral("channel cccccccrpp online validated configured"));
    QVERIFY(!model.lastError());
}

// ---- the agent's status endpoint -----------------------------------------------------------------

void FaultTests::statusEndpoint_data()
{
    QTest::addColumn<QJsonObject>("routes");
    QTest::addColumn<int>("failures"); // of three polls in a row: the third shows the error state
    QTest::newRow("hangs") << QJsonObject{{"*", fault("hang")}} << 3;
    QTest::newRow("trickles") << QJsonObject{{"*", fault("trickle")}} << 3;
    QTest::newRow("answers garbage") << QJsonObject{{"*", fault("garbage")}} << 3;
    QTest::newRow("answers an endless body") << QJsonObject{{"*", fault("huge")}} << 3;
    QTest::newRow("answers") << QJsonObject{{"*", answer(200, R"({"sampledAt":"2027-01-15T08:00:00Z","lifecycle":"running",)"
                                                             R"("ready":true,"version":"1.4.0","busy":false,"queueSize":0,"pid":42})")}}
                             << 0;
}

void FaultTests::statusEndpoint()
{
    QFETCH(QJsonObject, routes);
    QFETCH(int, failures);
    FaultServer server(routes);
    ModelFixture fixture;
    fixture.statusTimeout = 400ms;
    AppModel &model = fixture.makeAt({}, true);
    fixture.writeProfileFile(QStringLiteral("tui-port"), QByteArray::number(server.port));
    fixture.writeProfileFile(QStringLiteral("tui-token"), "faults-status-token");
    Watch watch;
    for (int poll = 0; poll < 3; ++poll)
        await(model.refreshAgentStatus());
    QVERIFY(server.requests(QStringLiteral("GET /tui/status")) >= 3); // Qt sends again after garbage
    QCOMPARE(model.consecutiveStatusFailures(), failures);
    QCOMPARE(model.overallState(), failures ? AppModel::OverallState::error : AppModel::OverallState::online);
    QVERIFY(watch.bounded());
}

// ---- the onboarding service, asked for a new binding link ----------------------------------------

void FaultTests::onboardingService_data()
{
    QTest::addColumn<QJsonObject>("routes");
    QTest::addColumn<QString>("outcome"); // the error's code or transport failure, or "link"
    // At most: Qt sends a request again, up to three times, when its connection closes unanswered.
    QTest::addColumn<int>("linkRequests");
    const QJsonObject due = answer(200, R"({"onboardingComplete":false,"hasLiveSession":false})");
    QTest::newRow("409") << QJsonObject{{"GET", due}, {"POST", answer(409)}} << "OWNER_SETUP_STATE_CHANGED" << 1;
    QTest::newRow("500") << QJsonObject{{"GET", due}, {"POST", answer(500)}} << "OWNER_SETUP_UNAVAILABLE" << 1;
    QTest::newRow("no link") << QJsonObject{{"GET", due}, {"POST", answer(200, R"({"setupUrl":7})")}} << "OWNER_SETUP_RESPONSE_INVALID" << 1;
    QTest::newRow("garbage") << QJsonObject{{"GET", due}, {"POST", fault("garbage")}} << "network" << 4;
    // Oversized, the answer still tells its status.
    QTest::newRow("an endless body") << QJsonObject{{"GET", due}, {"POST", fault("huge")}} << "OWNER_SETUP_RESPONSE_INVALID" << 1;
    QTest::newRow("dropped") << QJsonObject{{"GET", due}, {"POST", fault("drop")}} << "network" << 4;
    QTest::newRow("stalled") << QJsonObject{{"GET", due}, {"POST", fault("hang")}} << "timed out" << 1;
    QTest::newRow("status 500") << QJsonObject{{"*", answer(500)}} << "OWNER_SETUP_UNAVAILABLE" << 0;
    QTest::newRow("status dropped") << QJsonObject{{"*", fault("drop")}} << "network" << 0;
    QTest::newRow("a link") << QJsonObject{{"GET", due}, {"POST", answer(200, R"({"setupUrl":"$ORIGIN/agents/faults-agent/setup#t0ken"})")}}
                            << "link" << 1;
}

void FaultTests::onboardingService()
{
    QFETCH(QJsonObject, routes);
    QFETCH(QString, outcome);
    QFETCH(int, linkRequests);
    FaultServer server(routes);
    QVERIFY(server.port > 0);
    TemporaryProfile profile;
    profile.writeProfileFile(QStringLiteral("config.json"), QStringLiteral(R"({"agentName":"faults-agent","onboardingServiceUrl":"%1",)"
                                                                          R"("quorvantisServiceApiKey":"faults-service-key"})")
                                                                .arg(server.origin()).toUtf8());
    OwnerSetupClient client(profile.profileDirectory(), std::nullopt, {1500ms, 3000ms});
    QString ended;
    Watch watch;
    try {
        ended = await(client.request(std::nullopt, true)).url ? QStringLiteral("link") : QStringLiteral("no link");
    } catch (...) {
        ended = failureWord(std::current_exception());
    }
    QCOMPARE(ended, outcome);
    const int sent = server.requests(QStringLiteral("POST"));
    QVERIFY2(linkRequests ? sent >= 1 && sent <= linkRequests : sent == 0, qPrintable(QString::number(sent)));
    QVERIFY(watch.bounded());
}

// ---- the registry, asked for the agent's beta ------------------------------------------------------

void FaultTests::registry_data()
{
    QTest::addColumn<QJsonObject>("routes");
    QTest::addColumn<QString>("offered");
    const QJsonObject beta = answer(200, R"({"version":"9.0.0-beta.1"})");
    QTest::newRow("redirects") << QJsonObject{{"GET /quorvantis/beta", QJsonObject{{"fault", "redirect"}, {"location", "/elsewhere"}}},
                                              {"GET /elsewhere", beta}} << QString();
    QTest::newRow("stalls") << QJsonObject{{"*", fault("hang")}} << QString();
    QTest::newRow("answers an endless body") << QJsonObject{{"*", fault("huge")}} << QString();
    QTest::newRow("answers") << QJsonObject{{"*", beta}} << QStringLiteral("9.0.0-beta.1");
}

void FaultTests::registry()
{
    QFETCH(QJsonObject, routes);
    QFETCH(QString, offered);
    FaultServer server(routes);
    QTemporaryDir bundle;
    writeFile(bundle.filePath(QStringLiteral("Info.json")),
              QStringLiteral(R"({"QuorvantisRegistryURL":"%1"})").arg(server.origin("127.0.0.1")).toUtf8());
    Bundle::setResourceDirectory(bundle.path());
    ModelFixture fixture;
    fixture.effects.agentUpdateVersion = {};
    AppModel &model = fixture.makeAt({}, true);
    Watch watch;
    await(model.checkAgentUpdate(QStringLiteral("1.4.0")));
    Bundle::setResourceDirectory({});
    QCOMPARE(model.availableAgentVersion().value_or(QString()), offered);
    QVERIFY(!model.lastError());
    QCOMPARE(server.requests(QStringLiteral("GET /quorvantis/beta")), 1);
    QCOMPARE(server.requests(QStringLiteral("GET /elsewhere")), 0);
    QVERIFY(watch.bounded());
}

// ---- the runtime stage's own run: files that cannot be written, a session script that dies or floods

namespace {

void runtimeColumns()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("profileBlocked"); // a file stands where the profile directory goes
    QTest::addColumn<QString>("logTarget");   // where the install log's path leads ("": a new file)
    QTest::addColumn<QString>("error");       // the code shown; none: the stage moves on
}

} // namespace

void FaultTests::files_data()
{
    runtimeColumns();
    const QString ready = QStringLiteral("echo runtime ready");
    QTest::newRow("everything writable") << ready << false << QString() << QString();
    QTest::newRow("profile path cannot be created") << ready << true << QString() << QString();
    QTest::newRow("logs on a full disk") << ready << false << QStringLiteral("/dev/full") << QString();
    QTest::newRow("logs directory takes no new file") << ready << false << QStringLiteral("/proc/self/install.log") << QString();
}

void FaultTests::sessionScript_data()
{
    runtimeColumns();
    QTest::newRow("killed by SIGSEGV") << "kill -SEGV $$" << false << QString() << "RUNTIME_PREPARE_EXIT_11";
    QTest::newRow("killed by SIGKILL mid-output") << "echo half; kill -KILL $$" << false << QString() << "RUNTIME_PREPARE_EXIT_9";
    QTest::newRow("killed by SIGTERM") << "kill -TERM $$" << false << QString() << "RUNTIME_PREPARE_EXIT_15";
    QTest::newRow("1 GiB on one line, then exit 3") << "head -c 1073741824 /dev/zero | tr '\\0' x; exit 3" << false << QString()
                                                     << "RUNTIME_PREPARE_EXIT_3";
}

// The runtime stage with the real runner, the row's script standing in for the session script.
void FaultTests::runtimeStage()
{
    QFETCH(QString, script);
    QFETCH(bool, profileBlocked);
    QFETCH(QString, logTarget);
    QFETCH(QString, error);
    ModelFixture fixture;
    const QString session = QDir::cleanPath(fixture.profileFile(QStringLiteral("../session.sh")));
    CLIService::Options options;
    options.installLogPath = QDir::cleanPath(fixture.profileFile(QStringLiteral("../install.log")));
    options.sessionScript = [session] { return std::optional(session); };
    QVERIFY(writeFile(session, "ulimit -c 0\n" + script.toUtf8(), true));
    QVERIFY(logTarget.isEmpty() || QFile::link(logTarget, options.installLogPath));
    fixture.cli = std::make_shared<CLIService>(options);
    fixture.effects.environmentPrepare = {};
    AppModel &model = fixture.makeAt("runtime");
    if (profileBlocked)
        QVERIFY(QDir(fixture.profileDirectory()).removeRecursively() && writeFile(fixture.profileDirectory(), "not a directory"));
    Watch watch;
    await(model.prepareEnvironmentIfNeeded(), 120000);
    // No file error reaches the user: the stage moves on in memory, the run goes on unlogged.
    QCOMPARE(model.lastError() ? model.lastError()->code : QString(), error);
    QCOMPARE(model.installStage(), std::optional(error.isEmpty() ? Stage::permissions : Stage::runtime));
    QCOMPARE(fixture.readProfileFile(QStringLiteral("mac-app-install-stage")),
             profileBlocked ? "" : error.isEmpty() ? "permissions\n" : "runtime\n");
    QVERIFY(!logTarget.isEmpty() || readFile(options.installLogPath).contains("Process exited")); // a target is not read
    QVERIFY(watch.bounded());
}

// The peak memory a watch measures is the product's, not the freed memory AddressSanitizer keeps in
// quarantine (256 MiB by default) to catch late uses. ASAN_OPTIONS can still set it.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=0";
}

QTEST_MAIN(FaultTests)
#include "FaultTests.moc"
