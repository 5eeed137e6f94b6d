// Run: QUORVANTIS_REAL_PM=1 [QUORVANTIS_REAL_PM_PACKAGES="pnpm@10 pm2@7"] ctest --test-dir BUILD -R process_real_pm_tests --output-on-failure (needs node, npm and the npm registry).
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ScriptFiles.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

using namespace QuorvantisTest;

namespace {

struct ToolRun
{
    bool succeeded = false;
    QByteArray output;
    QByteArray describe(const QString &what) const { return what.toUtf8() + (succeeded ? ": ok\n" : ": failed\n") + output; }
};

// Runs one program with merged output; a program that outlives its time is killed.
ToolRun runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                const QString &directory, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(directory);
    process.start(program, arguments);
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(qMax(timeoutMs, 1));
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    const bool ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return {ok, process.readAll() + (ok ? QByteArray() : process.errorString().toUtf8())};
}

QByteArray shellQuoted(const QString &word)
{
    return '\'' + word.toUtf8().replace('\'', "'\\''") + '\'';
}

} // namespace

// The daemon install script against the pnpm and pm2 the registry serves today, installed with
// the machine's npm into a private runtime in a temporary home, with the sandbox's agent package
// installed globally by that pnpm, the way the runtime preparation leaves a machine.
class RealProcessManagerTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_node;
    QString m_npm;
    QDeadlineTimer m_deadline;

    QString path(const QString &relative) const { return m_home->filePath(relative); }
    QString bin() const { return path(QStringLiteral(".quorvantis/mac-app-runtime/bin")); }
    int remainingMs(int stepMs) const { return int(qBound<qint64>(1, m_deadline.remainingTime(), qint64(stepMs))); }

    // The runner's options: every XDG directory in the temporary home, and no process-manager,
    // package-manager or sandbox setting of the developer's leaking in.
    CLIService::Options options() const
    {
        QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
        for (const QString &name : base.keys()) {
            for (const char *prefix : {"XDG_", "PM2_", "NPM_", "QUORVANTIS_"}) {
                if (name.toUpper().startsWith(QLatin1String(prefix)))
                    base.remove(name);
            }
        }
        for (const char *xdg : {"CONFIG_HOME=.config", "DATA_HOME=.local/share", "STATE_HOME=.local/state", "CACHE_HOME=.cache"})
            base.insert(QStringLiteral("XDG_") + QString::fromLatin1(xdg).section(u'=', 0, 0), path(QString::fromLatin1(xdg).section(u'=', 1)));
        CLIService::Options options;
        options.installLogPath = path(QStringLiteral("install.log"));
        options.homeDirectory = m_home->path();
        options.baseEnvironment = base;
        options.onboardingOverride = [] { return std::optional<QUrl>(); };
        return options;
    }

    // The children's environment, with the prepared node first.
    QProcessEnvironment toolEnvironment() const
    {
        QProcessEnvironment environment = CLIService(options()).environment();
        environment.insert(QStringLiteral("PATH"), QFileInfo(m_node).absolutePath() + u':' + environment.value(QStringLiteral("PATH")));
        return environment;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariable("QUORVANTIS_REAL_PM") != QLatin1String("1"))
            QSKIP("Installs pnpm and pm2 from the package registry: set QUORVANTIS_REAL_PM=1 to run it.");
        m_node = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("node"))).canonicalFilePath();
        m_npm = QStandardPaths::findExecutable(QStringLiteral("npm"));
        QVERIFY2(!m_node.isEmpty() && !m_npm.isEmpty(), "node and npm are needed on PATH");
    }

    void init()
    {
        // The whole run stays well below CTest's limit for one test (300 s).
        m_deadline = QDeadlineTimer(170000);
        // A short path: the process manager's sockets live under the home and socket paths are limited.
        m_home = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/qv-realpm-XXXXXX"));
        QVERIFY(m_home->isValid());
    }

    // The process manager's daemon outlives every command: stop it (and the agent with it)
    // before its home goes away; whatever a failed kill left goes by its recorded id.
    void cleanup()
    {
        if (QFileInfo::exists(bin() + QStringLiteral("/pm2")))
            runTool(bin() + QStringLiteral("/pm2"), {QStringLiteral("kill")}, toolEnvironment(), m_home->path(), 30000);
        bool ok = false;
        const qint64 daemon = readFile(path(QStringLiteral(".quorvantis/mac-app-runtime/pm2/pm2.pid"))).trimmed().toLongLong(&ok);
        if (ok && daemon > 1 && ::kill(pid_t(daemon), 0) == 0)
            ::kill(pid_t(daemon), SIGKILL);
        m_home.reset();
    }

    void daemonInstallRunsUnderTheRealProcessManager()
    {
        const QString root = path(QStringLiteral(".quorvantis/mac-app-runtime"));
        // The runtime the session script prepares carries pnpm 10: later majors ignore the
        // private runtime's npmrc folders and lay global packages out differently.
        const QStringList packages = qEnvironmentVariable("QUORVANTIS_REAL_PM_PACKAGES", QStringLiteral("pnpm@10 pm2@7"))
                                         .split(u' ', Qt::SkipEmptyParts);
        QProcessEnvironment npmEnvironment = QProcessEnvironment::systemEnvironment();
        npmEnvironment.insert(QStringLiteral("PATH"), QFileInfo(m_node).absolutePath() + u':' + npmEnvironment.value(QStringLiteral("PATH")));
        const QString tools = root + QStringLiteral("/tools");
        const QStringList cache{QStringLiteral("--cache"), path(QStringLiteral("npm-cache")), QStringLiteral("--loglevel=error")};
        QVERIFY(QDir().mkpath(tools) && !packages.isEmpty());
        const ToolRun npmInstall = runTool(m_npm, QStringList{"install", "--prefix", tools, "--no-audit", "--no-fund", "--no-update-notifier"}
                                                      + cache + packages, npmEnvironment, tools, remainingMs(120000));
        QVERIFY2(npmInstall.succeeded, npmInstall.describe(QStringLiteral("npm install")).constData());

        // The prepared runtime: node recorded, shims for pnpm and pm2, the package manager's settings.
        QVERIFY(writeFile(path(QStringLiteral(".quorvantis/mac-app-node-path")), m_node.toUtf8() + '\n'));
        QVERIFY(writeFile(bin() + "/pnpm", "#!/bin/bash\nexec " + shellQuoted(tools + "/node_modules/.bin/pnpm") + " \"$@\"\n", true));
        QVERIFY(writeFile(bin() + "/pm2", "#!/bin/bash\nexec " + shellQuoted(m_node) + ' ' + shellQuoted(tools + "/node_modules/pm2/bin/pm2")
                                              + " \"$@\"\n", true));
        QVERIFY(writeFile(root + "/pnpm-config/npmrc",
                          QStringLiteral("global-dir=%1/pnpm-global\nglobal-bin-dir=%2\nstore-dir=%1/pnpm-store\n").arg(root, bin()).toUtf8()));

        // The agent package as it is published: the sandbox package with the helpers it
        // carries, packed, then installed globally by the runtime pnpm.
        const QString source = QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/");
        const QString staging = path(QStringLiteral("package/quorvantis"));
        QVERIFY(QDir().mkpath(staging + "/dist/lib"));
        QVERIFY(runTool(QStringLiteral("/bin/cp"), {"-R", source + "agent-package/.", staging}, npmEnvironment, m_home->path(), 10000).succeeded);
        for (const QString lib : {"lib/sandbox.cjs", "lib/png.cjs", "tools/macos-screenshot.cjs"})
            QVERIFY(QFile::copy(source + lib, staging + "/dist/" + lib));
        const ToolRun pack = runTool(m_npm, QStringList{"pack", "--pack-destination", path(QStringLiteral("package"))} + cache << staging,
                                     npmEnvironment, m_home->path(), remainingMs(30000));
        const QString tarball = path(QStringLiteral("package/") + QString::fromUtf8(pack.output.trimmed().split('\n').last()));
        QVERIFY2(pack.succeeded && QFileInfo(tarball).isFile(), pack.describe(QStringLiteral("npm pack")).constData());
        const QProcessEnvironment environment = toolEnvironment();
        const ToolRun add = runTool(bin() + "/pnpm", {"add", "-g", tarball}, environment, m_home->path(), remainingMs(60000));
        QVERIFY2(add.succeeded, add.describe(QStringLiteral("pnpm add -g")).constData());

        // The script, as the application runs it.
        CLIService service(options());
        QStringList lines;
        const CLIResult result = await(service.runScript(CLIService::daemonInstallScript(), [&lines](const QString &line) { lines << line; }),
                                       remainingMs(90000));
        QVERIFY2(result.status == 0, qPrintable(lines.join(u'\n')));

        // The real process manager, asked in the script's private home, runs the agent online
        // from the stable launcher with the prepared node.
        QCOMPARE(QFile::permissions(path(QStringLiteral(".quorvantis/pm2-ecosystem.config.cjs"))) & 0x0077, QFileDevice::Permissions());
        const ToolRun jlist = runTool(bin() + "/pm2", {"jlist"}, environment, m_home->path(), remainingMs(30000));
        QJsonObject agent;
        // The manager may print notices around its list: the list is the line that parses as an array.
        for (const QByteArray &line : jlist.output.split('\n')) {
            for (const QJsonValue &entry : QJsonDocument::fromJson(line.trimmed()).array()) {
                if (entry["name"].toString() == u"quorvantis")
                    agent = entry.toObject();
            }
        }
        QVERIFY2(jlist.succeeded && !agent.isEmpty(), jlist.output.constData());
        const QJsonObject pm2Env = agent["pm2_env"].toObject();
        QCOMPARE(pm2Env["status"].toString(), QStringLiteral("online"));
        QCOMPARE(pm2Env["exec_interpreter"].toString(), m_node);
        QCOMPARE(pm2Env["pm_exec_path"].toString(), path(QStringLiteral(".quorvantis/launcher.cjs")));
        const qint64 agentPid = agent["pid"].toInteger();
        QVERIFY2(agentPid > 1 && ::kill(pid_t(agentPid), 0) == 0, jlist.output.constData());

        // The daemon that pm2 started really serves: it writes its port and answers its own command.
        QVERIFY2(spinUntil([&] { return QFileInfo::exists(path(QStringLiteral(".quorvantis/profiles/default/tui-port"))); }, remainingMs(20000)),
                 readFile(root + QStringLiteral("/pm2/logs/quorvantis-error.log")).constData());
        const ToolRun status = runTool(bin() + "/quorvantis", {"status"}, environment, m_home->path(), remainingMs(20000));
        QVERIFY2(status.succeeded, status.describe(QStringLiteral("quorvantis status")).constData());
        QCOMPARE(QJsonDocument::fromJson(status.output)["pid"].toInteger(), agentPid);

        // Login start: the wrapper and the autostart entry that runs it.
        const QString wrapper = path(QStringLiteral(".quorvantis/start.sh"));
        QVERIFY(QFileInfo(wrapper).isExecutable());
        QVERIFY(QString::fromUtf8(readFile(wrapper)).contains(QStringLiteral("export PM2_HOME=") + root + QStringLiteral("/pm2")));
        QVERIFY(QString::fromUtf8(readFile(path(QStringLiteral(".config/autostart/dev.quorvantis.agent.desktop"))))
                    .contains(QStringLiteral("\nExec=/bin/bash \"%1\"\n").arg(wrapper)));
    }
};

QTEST_GUILESS_MAIN(RealProcessManagerTests)
#include "RealProcessManagerTests.moc"
