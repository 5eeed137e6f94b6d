// Run: QUORVANTIS_REAL_PM=1 [QUORVANTIS_REAL_PM_PACKAGES="pnpm@10 pm2@7"] ctest --test-dir BUILD -R process_real_pm_tests --output-on-failure (needs node, npm and the npm registry).
#include "process/CLIService.h"
#include "support/AwaitTask.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <exception>
#include <memory>
#include <optional>

namespace {

// The whole run stays well below CTest's limit for one test (300 s).
constexpr int wholeRunMs = 170000;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content, QFileDevice::Permissions permissions = {})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !permissions || QFile::setPermissions(path, permissions);
}

constexpr QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                                | QFileDevice::ReadOther | QFileDevice::ExeOther;

// Single-quotes a word for a generated bash line.
QByteArray shellQuoted(const QString &word)
{
    QByteArray quoted = word.toUtf8();
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

struct ToolRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray output;

    bool succeeded() const { return finished && exitCode == 0; }
    QByteArray describe(const QString &what) const
    {
        const QByteArray outcome = finished ? "exit " + QByteArray::number(exitCode) : QByteArrayLiteral("did not finish in time");
        return what.toUtf8() + ": " + outcome + "\n" + output;
    }
};

// Runs one program with merged output; a program that outlives its time is killed.
ToolRun runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                const QString &workingDirectory, int timeoutMs)
{
    ToolRun run;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    if (!process.waitForStarted(qMin(timeoutMs, 10000))) {
        run.output = process.errorString().toUtf8();
        return run;
    }
    process.closeWriteChannel();
    run.finished = process.waitForFinished(qMax(timeoutMs, 1));
    if (!run.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    run.output = process.readAll();
    if (run.finished)
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

// The process manager may print notices around its JSON list: the list is the last line that
// parses as an array.
std::optional<QJsonArray> processList(const QByteArray &output)
{
    const QList<QByteArray> lines = output.split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QByteArray trimmed = line->trimmed();
        if (!trimmed.startsWith('['))
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(trimmed);
        if (document.isArray())
            return document.array();
    }
    return std::nullopt;
}

} // namespace

// The daemon install script against the process manager and package manager that the registry
// serves today: installed with the machine's npm into a private runtime in a temporary home,
// with the sandbox's agent package installed globally by that pnpm, the way the runtime
// preparation leaves a machine.
class RealProcessManagerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void daemonInstallRunsUnderTheRealProcessManager();

private:
    QString path(const QString &relative) const { return m_home->filePath(relative); }
    QString runtimeRoot() const { return path(QStringLiteral(".quorvantis/mac-app-runtime")); }
    QString runtimeBin() const { return runtimeRoot() + QStringLiteral("/bin"); }
    int remainingMs(int stepMs) const { return int(qMin<qint64>(stepMs, qMax<qint64>(m_deadline.remainingTime(), 1))); }
    // The environment the application gives its children, with the prepared node first.
    QProcessEnvironment toolEnvironment() const;
    CLIService::Options serviceOptions() const;

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_node;
    QString m_npm;
    QDeadlineTimer m_deadline;
};

void RealProcessManagerTests::initTestCase()
{
    if (qEnvironmentVariable("QUORVANTIS_REAL_PM") != QLatin1String("1"))
        QSKIP("Installs pnpm and pm2 from the package registry: set QUORVANTIS_REAL_PM=1 to run it.");
    m_node = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("node"))).canonicalFilePath();
    m_npm = QStandardPaths::findExecutable(QStringLiteral("npm"));
    QVERIFY2(!m_node.isEmpty() && !m_npm.isEmpty(), "node and npm are needed on PATH");
}

void RealProcessManagerTests::init()
{
    m_deadline = QDeadlineTimer(wholeRunMs);
    // A short path: the process manager's sockets live under the home and socket paths are limited.
    m_home = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/qv-realpm-XXXXXX"));
    QVERIFY(m_home->isValid());
}

QProcessEnvironment RealProcessManagerTests::toolEnvironment() const
{
    CLIService service(serviceOptions());
    QProcessEnvironment environment = service.environment();
    environment.insert(QStringLiteral("PATH"), QFileInfo(m_node).absolutePath() + QLatin1Char(':')
                                                    + environment.value(QStringLiteral("PATH")));
    return environment;
}

CLIService::Options RealProcessManagerTests::serviceOptions() const
{
    // The developer's own tool configuration stays out: every XDG directory is in the temporary
    // home, and no process-manager or sandbox setting leaks in.
    QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
    for (const QString &name : base.keys()) {
        const QString upper = name.toUpper();
        if (upper.startsWith(QLatin1String("XDG_")) || upper.startsWith(QLatin1String("PM2_"))
            || upper.startsWith(QLatin1String("NPM_")) || upper.startsWith(QLatin1String("QUORVANTIS_")))
            base.remove(name);
    }
    base.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral(".config")));
    base.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral(".local/share")));
    base.insert(QStringLiteral("XDG_STATE_HOME"), path(QStringLiteral(".local/state")));
    base.insert(QStringLiteral("XDG_CACHE_HOME"), path(QStringLiteral(".cache")));

    CLIService::Options options;
    options.installLogPath = path(QStringLiteral("install.log"));
    options.homeDirectory = m_home->path();
    options.baseEnvironment = base;
    options.onboardingOverride = [] { return std::optional<QUrl>(); };
    return options;
}

void RealProcessManagerTests::cleanup()
{
    if (!m_home)
        return;
    // The process manager's daemon outlives every command: stop it (and the agent with it) before
    // its home goes away.
    const QString pm2Home = runtimeRoot() + QStringLiteral("/pm2");
    if (QFileInfo::exists(runtimeBin() + QStringLiteral("/pm2")) && QFileInfo::exists(pm2Home)) {
        const ToolRun kill = runTool(runtimeBin() + QStringLiteral("/pm2"), {QStringLiteral("kill")}, toolEnvironment(),
                                     m_home->path(), 30000);
        if (!kill.succeeded())
            qWarning("%s", kill.describe(QStringLiteral("pm2 kill")).constData());
    }
    // Whatever a failed kill left behind goes by its recorded id.
    bool ok = false;
    const qint64 daemon = readFile(pm2Home + QStringLiteral("/pm2.pid")).trimmed().toLongLong(&ok);
    if (ok && daemon > 1 && ::kill(pid_t(daemon), 0) == 0) {
        qWarning("pm2 daemon %lld still running after pm2 kill; ending it", daemon);
        ::kill(pid_t(daemon), SIGKILL);
    }
    m_home.reset();
}

void RealProcessManagerTests::daemonInstallRunsUnderTheRealProcessManager()
{
    const QString root = runtimeRoot();
    const QString bin = runtimeBin();

    // The prepared runtime: node recorded, pnpm and pm2 from the registry behind runtime bin
    // shims, and the package manager's settings file as the script would write it.
    QVERIFY(writeFile(path(QStringLiteral(".quorvantis/mac-app-node-path")), m_node.toUtf8() + '\n'));
    QVERIFY(QDir().mkpath(bin));
    // The runtime the session script prepares carries pnpm 10: later majors ignore the private
    // runtime's npmrc folders and lay global packages out differently.
    QStringList packages = qEnvironmentVariable("QUORVANTIS_REAL_PM_PACKAGES", QStringLiteral("pnpm@10 pm2@7"))
                               .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QVERIFY2(!packages.isEmpty(), "QUORVANTIS_REAL_PM_PACKAGES names no package");
    QProcessEnvironment npmEnvironment = QProcessEnvironment::systemEnvironment();
    npmEnvironment.insert(QStringLiteral("PATH"), QFileInfo(m_node).absolutePath() + QLatin1Char(':')
                                                       + npmEnvironment.value(QStringLiteral("PATH")));
    const QString tools = root + QStringLiteral("/tools");
    QVERIFY(QDir().mkpath(tools));
    const ToolRun npmInstall = runTool(m_npm,
                                       QStringList{QStringLiteral("install"), QStringLiteral("--prefix"), tools,
                                                   QStringLiteral("--cache"), path(QStringLiteral("npm-cache")),
                                                   QStringLiteral("--no-audit"), QStringLiteral("--no-fund"),
                                                   QStringLiteral("--no-update-notifier"), QStringLiteral("--loglevel=error")}
                                           + packages,
                                       npmEnvironment, tools, remainingMs(120000));
    QVERIFY2(npmInstall.succeeded(), npmInstall.describe(QStringLiteral("npm install")).constData());
    const ToolRun versions = runTool(m_npm, {QStringLiteral("ls"), QStringLiteral("--prefix"), tools, QStringLiteral("--depth=0")},
                                     npmEnvironment, tools, remainingMs(30000));
    qInfo("runtime tools: %s", versions.output.trimmed().constData());

    QVERIFY(writeFile(bin + QStringLiteral("/pnpm"),
                      "#!/bin/bash\nexec " + shellQuoted(tools + QStringLiteral("/node_modules/.bin/pnpm")) + " \"$@\"\n", executable));
    QVERIFY(writeFile(bin + QStringLiteral("/pm2"),
                      "#!/bin/bash\nexec " + shellQuoted(m_node) + ' ' + shellQuoted(tools + QStringLiteral("/node_modules/pm2/bin/pm2"))
                          + " \"$@\"\n",
                      executable));
    QVERIFY(writeFile(root + QStringLiteral("/pnpm-config/npmrc"),
                      QStringLiteral("global-dir=%1/pnpm-global\nglobal-bin-dir=%2\nstore-dir=%1/pnpm-store\n").arg(root, bin).toUtf8()));

    // The agent package as it is published: the sandbox package with the helpers it carries,
    // packed, then installed globally by the runtime pnpm.
    const QString source = QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/");
    const QString staging = path(QStringLiteral("package/quorvantis"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("package"))));
    const ToolRun copy = runTool(QStringLiteral("/bin/cp"), {QStringLiteral("-R"), source + QStringLiteral("agent-package"), staging},
                                 npmEnvironment, m_home->path(), remainingMs(10000));
    QVERIFY2(copy.succeeded(), copy.describe(QStringLiteral("cp")).constData());
    QVERIFY(QDir().mkpath(staging + QStringLiteral("/dist/lib")));
    for (const QString &lib : {QStringLiteral("sandbox.cjs"), QStringLiteral("png.cjs")})
        QVERIFY(QFile::copy(source + QStringLiteral("lib/") + lib, staging + QStringLiteral("/dist/lib/") + lib));
    QVERIFY(QFile::copy(source + QStringLiteral("tools/macos-screenshot.cjs"), staging + QStringLiteral("/dist/tools/macos-screenshot.cjs")));
    const ToolRun pack = runTool(m_npm,
                                 {QStringLiteral("pack"), QStringLiteral("--pack-destination"), path(QStringLiteral("package")),
                                  QStringLiteral("--cache"), path(QStringLiteral("npm-cache")), QStringLiteral("--loglevel=error"), staging},
                                 npmEnvironment, m_home->path(), remainingMs(30000));
    QVERIFY2(pack.succeeded(), pack.describe(QStringLiteral("npm pack")).constData());
    const QString tarball = path(QStringLiteral("package/") + QString::fromUtf8(pack.output.trimmed().split('\n').last()));
    QVERIFY2(QFileInfo(tarball).isFile(), pack.output.constData());

    const QProcessEnvironment environment = toolEnvironment();
    const ToolRun add = runTool(bin + QStringLiteral("/pnpm"), {QStringLiteral("add"), QStringLiteral("-g"), tarball}, environment,
                                m_home->path(), remainingMs(60000));
    QVERIFY2(add.succeeded(), add.describe(QStringLiteral("pnpm add -g (runtime preparation)")).constData());

    // The script, as the application runs it.
    CLIService service(serviceOptions());
    QStringList lines;
    CLIResult result;
    try {
        const QStringList arguments{QStringLiteral("-c"), CLIService::daemonInstallScript()};
        result = QuorvantisTest::await(service.execute(arguments, std::nullopt, [&lines](const QString &line) { lines << line; }),
                                       remainingMs(90000));
    } catch (const std::exception &error) {
        QFAIL(qPrintable(QStringLiteral("daemon install script: %1\n%2").arg(QString::fromUtf8(error.what()), lines.join(QLatin1Char('\n')))));
    }
    QVERIFY2(result.status == 0, qPrintable(QStringLiteral("daemon install script: exit %1\n%2")
                                                .arg(result.status)
                                                .arg(lines.join(QLatin1Char('\n')))));

    // The real process manager, asked in the script's private home, runs the agent online from the
    // stable launcher with the prepared node.
    const QString ecosystem = path(QStringLiteral(".quorvantis/pm2-ecosystem.config.cjs"));
    QVERIFY(QFileInfo(ecosystem).isFile());
    QCOMPARE(QFile::permissions(ecosystem) & 0x0077, QFileDevice::Permissions());
    const ToolRun jlist = runTool(bin + QStringLiteral("/pm2"), {QStringLiteral("jlist")}, environment, m_home->path(), remainingMs(30000));
    QVERIFY2(jlist.succeeded(), jlist.describe(QStringLiteral("pm2 jlist")).constData());
    const std::optional<QJsonArray> list = processList(jlist.output);
    QVERIFY2(list, jlist.output.constData());
    QJsonObject agent;
    for (const QJsonValue &entry : *list) {
        if (entry.toObject().value(QStringLiteral("name")).toString() == QLatin1String("quorvantis"))
            agent = entry.toObject();
    }
    QVERIFY2(!agent.isEmpty(), jlist.output.constData());
    const QJsonObject pm2Env = agent.value(QStringLiteral("pm2_env")).toObject();
    QCOMPARE(pm2Env.value(QStringLiteral("status")).toString(), QStringLiteral("online"));
    QCOMPARE(pm2Env.value(QStringLiteral("exec_interpreter")).toString(), m_node);
    QCOMPARE(pm2Env.value(QStringLiteral("pm_exec_path")).toString(), path(QStringLiteral(".quorvantis/launcher.cjs")));
    const qint64 agentPid = agent.value(QStringLiteral("pid")).toInteger();
    QVERIFY2(agentPid > 1 && ::kill(pid_t(agentPid), 0) == 0, jlist.output.constData());

    // The daemon that pm2 started really serves: it writes its port and answers its own command.
    const QString profile = path(QStringLiteral(".quorvantis/profiles/default"));
    QVERIFY2(QuorvantisTest::spinUntil([&] { return QFileInfo::exists(profile + QStringLiteral("/tui-port")); }, remainingMs(20000)),
             readFile(path(QStringLiteral(".quorvantis/mac-app-runtime/pm2/logs/quorvantis-error.log"))).constData());
    const ToolRun status = runTool(bin + QStringLiteral("/quorvantis"), {QStringLiteral("status")}, environment, m_home->path(),
                                   remainingMs(20000));
    QVERIFY2(status.succeeded(), status.describe(QStringLiteral("quorvantis status")).constData());
    QCOMPARE(QJsonDocument::fromJson(status.output).object().value(QStringLiteral("pid")).toInteger(), agentPid);

    // Login start: the wrapper and the autostart entry that runs it.
    const QString wrapper = path(QStringLiteral(".quorvantis/start.sh"));
    QVERIFY(QFileInfo(wrapper).isExecutable());
    QVERIFY(QString::fromUtf8(readFile(wrapper)).contains(QStringLiteral("export PM2_HOME=") + root + QStringLiteral("/pm2")));
    const QString entry = QString::fromUtf8(readFile(path(QStringLiteral(".config/autostart/dev.quorvantis.agent.desktop"))));
    QVERIFY2(entry.contains(QStringLiteral("\nExec=/bin/bash \"%1\"\n").arg(wrapper)), qPrintable(entry));
}

QTEST_GUILESS_MAIN(RealProcessManagerTests)
#include "RealProcessManagerTests.moc"
