// Faults the installation must survive, each ending the way the product says it ends. While a fault
// runs the model's thread keeps turning (a 10 ms timer is never 100 ms late) and the process's peak
// memory stays near what it was. Last, no secret of a whole installation turns up where it does
// not belong, and what the application writes is private.
#include "Sandbox.h"

#include "channel/OwnerSetupClient.h"
#include "net/BoundedHttp.h"
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

namespace {

// A misbehaving service on loopback (sim/tools/fault-server.cjs), in a process of its own so that
// what it holds does not count against this one's memory.
class FaultServer
{
public:
    explicit FaultServer(const QJsonObject &routes)
    {
        m_process.start(QStringLiteral("node"), {QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/tools/fault-server.cjs"),
                                                 QString::fromUtf8(QJsonDocument(routes).toJson(QJsonDocument::Compact))});
        spinUntil([this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 10000);
        port = m_process.readLine().trimmed().toInt();
    }
    ~FaultServer()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // Requests so far whose "METHOD /path" line starts with `what`.
    int requests(const QString &what)
    {
        m_log += QString::fromUtf8(m_process.readAll());
        return int(m_log.split(u'\n').filter(QRegularExpression(u'^' + QRegularExpression::escape(what))).size());
    }
    QString origin(const char *host = "localhost") const { return QStringLiteral("http://%1:%2").arg(host).arg(port); }
    int port = 0;

private:
    QProcess m_process;
    QString m_log;
};

const QByteArray statusDocument = R"({"sampledAt":"2027-01-15T08:00:00Z","lifecycle":"running","ready":true,)"
                                  R"("version":"1.4.0","busy":false,"queueSize":0,"pid":4242})";

QJsonObject answer(int status, const QByteArray &body = {})
{
    return {{QStringLiteral("status"), status}, {QStringLiteral("body"), QString::fromUtf8(body)}};
}

QJsonObject fault(const char *kind)
{
    return {{QStringLiteral("fault"), QString::fromLatin1(kind)}};
}

// The model's thread while a fault runs: how late a 10 ms timer fires at worst, and how far the
// process's peak memory rises above what it held when the watch began.
class Watch
{
public:
    Watch()
    {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5"); // the peak starts again from here
        m_base = kib("VmRSS:");
        m_clock.start();
        QObject::connect(&m_tick, &QTimer::timeout, [this] {
            m_worst = std::max(m_worst, m_clock.elapsed() - m_last - 10);
            m_last = m_clock.elapsed();
        });
        m_tick.start(10);
    }
    bool bounded() const
    {
        qInfo("%s: worst lateness %lld ms, peak memory +%lld MiB", QTest::currentDataTag(), m_worst, growthMiB());
        return m_worst < 100 && growthMiB() < 64;
    }
    qint64 growthMiB() const { return (kib("VmHWM:") - m_base) / 1024; }

private:
    static qint64 kib(const QByteArray &field)
    {
        for (const QByteArray &line : readFile(QStringLiteral("/proc/self/status")).split('\n')) {
            if (line.startsWith(field))
                return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }
    QTimer m_tick;
    QElapsedTimer m_clock;
    qint64 m_last = 0, m_worst = 0, m_base = 0;
};

// Every marker the application keeps and the only values it may hold: a kill at any moment leaves
// each one absent or whole and private, and no temporary file of an atomic write behind.
const QList<std::pair<QString, QString>> markerShapes{
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
        const QByteArray text = readFile(file.filePath());
        const auto shape = std::find_if(markerShapes.cbegin(), markerShapes.cend(),
                                        [&](const auto &known) { return known.first == file.fileName(); });
        if (shape == markerShapes.cend())
            faults << QStringLiteral("left behind: ") + file.fileName();
        else if (text.isEmpty() || !QRegularExpression(QStringLiteral("\\A(?:%1)\\z").arg(shape->second)).match(text).hasMatch())
            faults << QStringLiteral("%1 holds \"%2\"").arg(file.fileName(), QString::fromUtf8(text));
        else if (posixMode(file.filePath()) != 0600)
            faults << QStringLiteral("%1 has mode %2").arg(file.fileName()).arg(posixMode(file.filePath()), 0, 8);
    }
    return faults;
}

// Where the secrets of a whole installation turn up: logs, the argument lists and environments of
// every child, the application's files and its diagnostics archive. The agent's own files, the
// keychain entry and the application's link file keep them by design.
QStringList secretFaults(Sandbox &sandbox, const QString &code, const QString &archive)
{
    const QJsonObject config = QJsonDocument::fromJson(readFile(sandbox.profileFile(QStringLiteral("config.json")))).object();
    QList<std::pair<QString, QString>> secrets{
        {QStringLiteral("enrolment key"), QString::fromUtf8(readFile(sandbox.home() + QStringLiteral("/.sandbox/enrollment-key")).trimmed())},
        {QStringLiteral("service key"), config.value(QStringLiteral("quorvantisServiceApiKey")).toString()},
        {QStringLiteral("status token"), QString::fromUtf8(readFile(sandbox.profileFile(QStringLiteral("tui-token"))).trimmed())},
        {QStringLiteral("binding-link token"), QUrl(QString::fromUtf8(readFile(sandbox.profileFile(QStringLiteral("mac-app-owner-setup-url"))))).fragment()},
    };
    if (!code.isEmpty())
        secrets << std::pair(QStringLiteral("setup code"), code) << std::pair(QStringLiteral("bare setup code"), QString(code).remove(u'-'));
    for (const QJsonValue &authorization : sandbox.state().value(QStringLiteral("state")).toObject().value(QStringLiteral("authorizations")).toObject())
        secrets.append({QStringLiteral("workspace password"), authorization.toObject().value(QStringLiteral("password")).toString()});

    QStringList files{archive}, faults;
    const QDir profile(sandbox.profileDirectory()), logs(profile.filePath(QStringLiteral("logs")));
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
    for (QString directory = logs.path(); directory.startsWith(sandbox.home() + u'/'); directory = QFileInfo(directory).path()) {
        if (posixMode(directory) & S_IWOTH)
            faults << QStringLiteral("%1 is world-writable").arg(directory);
    }
    return faults;
}

// The runtime stage with the real runner, `script` standing in for the session script.
AppModel &atRuntime(ModelFixture &fixture, const QString &script, const QString &log)
{
    const QString path = QDir::cleanPath(fixture.profileFile(QStringLiteral("../session.sh")));
    writeFile(path, "ulimit -c 0\n" + script.toUtf8(), true);
    CLIService::Options options;
    options.installLogPath = log;
    options.sessionScript = [path] { return std::optional(path); };
    fixture.cli = std::make_shared<CLIService>(std::move(options));
    fixture.effects.environmentPrepare = {};
    return fixture.makeAt("runtime");
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
    void files();
    void sessionScript_data();
    void sessionScript();
};

// ---- the application killed at random moments of an installation -----------------------------------

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
    QString error;
    QVERIFY2(sandbox.start(&error), qPrintable(error));
    // The user grants every permission; the owner's binding and the workspace's approval follow.
    for (const QString &permission : {QStringLiteral("screenRecording"), QStringLiteral("accessibility"), QStringLiteral("fullDiskAccess")})
        QVERIFY(sandbox.setPermission(permission, true));
    QVERIFY(sandbox.setSetting(QStringLiteral("bindingAutoCompleteMs"), 200));
    QVERIFY(sandbox.setSetting(QStringLiteral("authorizeAfterMs"), 300));

    const QString archive = sandbox.home() + QStringLiteral("/diagnostics.tar");
    QString transcript;
    for (int launch = 0, status = -1; status != 0; ++launch) {
        QVERIFY2(launch < 12 && status == -1, qPrintable(transcript + sandbox.diagnostics()));
        QProcess driver;
        driver.setProcessChannelMode(QProcess::MergedChannels);
        // Whatever the user's umask, what the application writes must stay private.
        driver.setChildProcessModifier([] { ::umask(0); });
        driver.start(QStringLiteral(QUORVANTIS_FAULT_DRIVER), {sandbox.bundle(), enrol ? QStringLiteral("enrol") : QStringLiteral("code"), archive});
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
        const QStringList faults = markerFaults(sandbox.profileDirectory());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n') + u'\n' + transcript));
    }
    qInfo("%s", qPrintable(transcript));
    const QStringList leaks = secretFaults(sandbox, code, archive);
    QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(u'\n')));
}

// Killed while the setup ran, the application leaves the tool running; it finishes and configures
// the agent while the stage still says setup. The relaunch goes on with the daemon (here at once
// done, and on to the channel).
void FaultTests::setupFinishedAfterAKill()
{
    ModelFixture fixture(ModelFixture::Succeeding);
    AppModel &model = fixture.makeAt("setup", true);
    Quorvantis::startDetached(model.resumeInstalledConfiguration(), "launch resume");
    QCOMPARE(fixture.installation(), QStringLiteral("channel cccccccrpp online validated configured"));
    QVERIFY(!model.lastError());
}

// ---- the agent's status endpoint ------------------------------------------------------------------

void FaultTests::statusEndpoint_data()
{
    QTest::addColumn<QJsonObject>("routes");
    QTest::addColumn<int>("failures"); // three polls in a row: the third failure shows the error state
    QTest::newRow("hangs") << QJsonObject{{"*", fault("hang")}} << 3;
    QTest::newRow("trickles") << QJsonObject{{"*", fault("trickle")}} << 3;
    QTest::newRow("answers garbage") << QJsonObject{{"*", fault("garbage")}} << 3;
    QTest::newRow("answers an endless body") << QJsonObject{{"*", fault("huge")}} << 3;
    QTest::newRow("answers a document") << QJsonObject{{"*", answer(200, statusDocument)}} << 0;
}

void FaultTests::statusEndpoint()
{
    QFETCH(QJsonObject, routes);
    QFETCH(int, failures);
    FaultServer server(routes);
    QVERIFY(server.port > 0);
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

// ---- the onboarding service, asked for a new binding link -------------------------------------------

void FaultTests::onboardingService_data()
{
    QTest::addColumn<QJsonObject>("routes");
    QTest::addColumn<QString>("outcome"); // the error's code or transport failure, or "link"
    QTest::addColumn<int>("linkRequests"); // at most; Qt sends a request again, up to three times, when
                                            // its connection closes before any answer
    const QJsonObject bindingDue = answer(200, R"({"onboardingComplete":false,"hasLiveSession":false})");
    QTest::newRow("409") << QJsonObject{{"GET", bindingDue}, {"POST", answer(409)}} << "OWNER_SETUP_STATE_CHANGED" << 1;
    QTest::newRow("500") << QJsonObject{{"GET", bindingDue}, {"POST", answer(500)}} << "OWNER_SETUP_UNAVAILABLE" << 1;
    QTest::newRow("a document without a link") << QJsonObject{{"GET", bindingDue}, {"POST", answer(200, R"({"setupUrl":7})")}}
                                               << "OWNER_SETUP_RESPONSE_INVALID" << 1;
    QTest::newRow("garbage") << QJsonObject{{"GET", bindingDue}, {"POST", fault("garbage")}} << "network" << 4;
    // An oversized answer still tells its status: a link answer that cannot be used. (Not an endless
    // one: see docs/robustness.md on answers to a POST.)
    const QJsonObject huge{{"fault", "huge"}, {"bytes", 16 << 20}};
    QTest::newRow("a huge body") << QJsonObject{{"GET", bindingDue}, {"POST", huge}} << "OWNER_SETUP_RESPONSE_INVALID" << 1;
    QTest::newRow("a dropped connection") << QJsonObject{{"GET", bindingDue}, {"POST", fault("drop")}} << "network" << 4;
    QTest::newRow("a stall") << QJsonObject{{"GET", bindingDue}, {"POST", fault("hang")}} << "timed out" << 1;
    QTest::newRow("status 500") << QJsonObject{{"*", answer(500)}} << "OWNER_SETUP_UNAVAILABLE" << 0;
    QTest::newRow("status dropped") << QJsonObject{{"*", fault("drop")}} << "network" << 0;
    QTest::newRow("a link") << QJsonObject{{"GET", bindingDue}, {"POST", answer(200, R"({"setupUrl":"$ORIGIN/agents/faults-agent/setup#t0ken"})")}}
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
    profile.writeProfileFile(QStringLiteral("config.json"),
                             QStringLiteral(R"({"agentName":"faults-agent","onboardingServiceUrl":"%1","quorvantisServiceApiKey":"faults-service-key"})")
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

// ---- the registry, asked for the agent's beta -----------------------------------------------------

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
    QVERIFY(server.port > 0);
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

// ---- files that cannot be written -------------------------------------------------------------------

void FaultTests::files_data()
{
    QTest::addColumn<bool>("profileBlocked"); // a file stands where the profile directory goes
    QTest::addColumn<QString>("logTarget");   // where the install log's path leads ("": a new file)
    QTest::newRow("everything writable") << false << QString();
    QTest::newRow("profile path cannot be created") << true << QString();
    QTest::newRow("logs on a full disk") << false << QStringLiteral("/dev/full");
    QTest::newRow("logs directory takes no new file") << false << QStringLiteral("/proc/self/mac-app-install.log");
}

void FaultTests::files()
{
    QFETCH(bool, profileBlocked);
    QFETCH(QString, logTarget);
    ModelFixture fixture;
    const QString log = QDir::cleanPath(fixture.profileFile(QStringLiteral("../mac-app-install.log")));
    if (!logTarget.isEmpty())
        QVERIFY(QFile::link(logTarget, log));
    AppModel &model = atRuntime(fixture, QStringLiteral("echo runtime ready"), log);
    if (profileBlocked) {
        QVERIFY(QDir(fixture.profileDirectory()).removeRecursively());
        QVERIFY(writeFile(fixture.profileDirectory(), "not a directory"));
    }
    Watch watch;
    await(model.prepareEnvironmentIfNeeded());
    // No file error reaches the user: the stage moves on in memory, the run goes on unlogged.
    QCOMPARE(model.lastError() ? model.lastError()->code : QString(), QString());
    QCOMPARE(model.installStage(), std::optional(AppModel::InstallStage::permissions));
    QCOMPARE(fixture.readProfileFile(QStringLiteral("mac-app-install-stage")), profileBlocked ? QByteArray() : "permissions\n");
    QVERIFY(!logTarget.isEmpty() || readFile(log).contains("runtime ready")); // the targets are not read back
    QVERIFY(watch.bounded());
}

// ---- the session script dies or floods its output -------------------------------------------------

void FaultTests::sessionScript_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("error"); // the code shown; none: the stage moves on
    QTest::newRow("killed by SIGSEGV") << "kill -SEGV $$" << "RUNTIME_PREPARE_EXIT_11";
    QTest::newRow("killed by SIGKILL mid-output") << "echo half; kill -KILL $$" << "RUNTIME_PREPARE_EXIT_9";
    QTest::newRow("killed by SIGTERM") << "kill -TERM $$" << "RUNTIME_PREPARE_EXIT_15";
    QTest::newRow("1 GiB on one line, then exit 3") << "head -c 1073741824 /dev/zero | tr '\\0' x; exit 3" << "RUNTIME_PREPARE_EXIT_3";
    QTest::newRow("finishes") << "echo done" << QString();
}

void FaultTests::sessionScript()
{
    QFETCH(QString, script);
    QFETCH(QString, error);
    ModelFixture fixture;
    AppModel &model = atRuntime(fixture, script, QDir::cleanPath(fixture.profileFile(QStringLiteral("../install.log"))));
    Watch watch;
    await(model.prepareEnvironmentIfNeeded(), 120000);
    QCOMPARE(model.lastError() ? model.lastError()->code : QString(), error);
    QCOMPARE(model.installStage(), std::optional(error.isEmpty() ? AppModel::InstallStage::permissions : AppModel::InstallStage::runtime));
    QVERIFY(watch.bounded());
}

QTEST_MAIN(FaultTests)
#include "FaultTests.moc"
