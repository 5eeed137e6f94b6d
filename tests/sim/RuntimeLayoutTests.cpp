// The application's scripts against the private runtime's pnpm in each of its global layouts,
// through the one runner: where the agent package is found, the daemon installed from it, an
// update, and which registry the runtime installs from. By default against the sandbox's pnpm;
// with QUORVANTIS_REAL_PNPM_TEST=1, also against pnpm 10 and 11 as npm installs them.
#include "platform/Bundle.h"
#include "process/AgentScripts.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/Sandbox.h"
#include "support/ScriptFiles.h"
#include "updates/AgentUpdateProbe.h"
#include "updates/RegistryLocator.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QVersionNumber>

using namespace QuorvantisTest;

namespace {

const QString runtime = QStringLiteral("$HOME/.quorvantis/mac-app-runtime");

// Prints where the runtime's pnpm keeps the agent package, by the scripts' own lookup, with the
// prepared node first on PATH as in the scripts.
QString lookupScript()
{
    return AgentScripts::packageLookup()
         + QStringLiteral("IFS= read -r node <\"$HOME/.quorvantis/mac-app-node-path\"\n"
                          "export PATH=\"$(dirname \"$node\"):$PATH\"\n"
                          "agent_package_dir \"%1/bin/pnpm\" \"$node\"\n")
               .arg(runtime);
}

struct Run
{
    int status = -1;
    QStringList lines;
};

Run run(CLIService &cli, const QString &script)
{
    Run result;
    QStringList *lines = &result.lines;
    result.status = await(cli.runScript(script, [lines](const QString &line) { *lines << line; }), 240000).status;
    return result;
}

// The one runner, for a home of its own with its own install log.
std::shared_ptr<CLIService> runnerFor(const QString &home, const QString &log)
{
    CLIService::Options options;
    options.installLogPath = log;
    options.homeDirectory = home;
    return std::make_shared<CLIService>(std::move(options));
}

QJsonObject packageAt(const QString &directory)
{
    return QJsonDocument::fromJson(readFile(directory + QStringLiteral("/package.json"))).object();
}

// A program run to its end with the machine's own environment; its standard output, or none.
std::optional<QByteArray> machine(const QProcessEnvironment &environment, const QString &program,
                                  const QStringList &arguments)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return process.readAllStandardOutput();
    qWarning().noquote() << program << arguments.join(u' ') << "failed:" << process.readAllStandardError().right(2000);
    process.kill();
    process.waitForFinished(5000);
    return std::nullopt;
}

} // namespace

class RuntimeLayoutTests : public QObject
{
    Q_OBJECT

    QProcessEnvironment m_machine; // before a sandbox switches this process's environment
    QTemporaryDir m_logs;

private Q_SLOTS:
    void initTestCase()
    {
        m_machine = QProcessEnvironment::systemEnvironment();
        QVERIFY(m_logs.isValid());
    }

    void sandboxPnpm_data()
    {
        QTest::addColumn<int>("layout");
        QTest::newRow("pnpm 10") << 10;
        QTest::newRow("pnpm 11") << 11;
    }
    void sandboxPnpm()
    {
        QFETCH(int, layout);
        Sandbox sandbox{QString()};
        QVERIFY2(sandbox.launchError().isEmpty(), qPrintable(sandbox.launchError()));
        QVERIFY(sandbox.simctl({"set", "pnpmLayout", QString::number(layout)}));
        Bundle::setResourceDirectory(sandbox.bundle());
        const auto cli = runnerFor(sandbox.home(), m_logs.filePath(QStringLiteral("install-%1.log").arg(layout)));
        QCOMPARE(await(cli->prepareEnvironment({}), 120000).status, 0);

        // The global root holds the package itself only in the older layout.
        const Run root = run(*cli, QStringLiteral("\"%1/bin/pnpm\" root -g").arg(runtime));
        QCOMPARE(root.status, 0);
        QCOMPARE(QFileInfo::exists(root.lines.value(0) + QStringLiteral("/quorvantis/package.json")), layout == 10);
        const Run found = run(*cli, lookupScript());
        QCOMPARE(found.status, 0);
        QCOMPARE(packageAt(found.lines.value(0))["version"].toString(), QStringLiteral("1.4.0"));

        // The daemon is installed from the package found; an update moves it to the published beta.
        const Run daemon = run(*cli, CLIService::daemonInstallScript());
        QVERIFY2(daemon.status == 0, qPrintable(daemon.lines.join(u'\n')));
        QVERIFY(sandbox.simctl({"publish-beta", "1.5.0-beta.1"}));
        const Run update = run(*cli, CLIService::agentUpdateScript());
        QVERIFY2(update.status == 0, qPrintable(update.lines.join(u'\n')));
        QVERIFY2(update.lines.contains(QStringLiteral("Agent version checked: 1.4.0 -> 1.5.0-beta.1")),
                 qPrintable(update.lines.join(u'\n')));

        // The registry the runtime installs from is the mirror its npmrc names; without that line
        // pnpm names none (the sandbox has no default registry), and no update is offered.
        const QString registryURL =
            QJsonDocument::fromJson(readFile(sandbox.home() + QStringLiteral("/.sandbox/services.json")))
                .object()["registryURL"]
                .toString();
        const auto answer = await(RegistryLocator::askRuntimePackageManager(cli));
        QCOMPARE(RegistryLocator::fromAnswer(answer.value_or(QString())), std::optional(registryURL + u'/'));
        QVERIFY(!AgentUpdateProbe::endpoint(registryURL + u'/').isEmpty());
        const QString npmrc = sandbox.home() + QStringLiteral("/.quorvantis/mac-app-runtime/pnpm-config/npmrc");
        QByteArray settings = readFile(npmrc);
        QVERIFY(settings.startsWith("registry=") || settings.contains("\nregistry="));
        settings.replace(QByteArray("registry="), QByteArray("# registry="));
        QVERIFY(writeFile(npmrc, settings));
        const auto unset = await(RegistryLocator::askRuntimePackageManager(cli));
        QCOMPARE(unset, std::optional(QStringLiteral("undefined\n")));
        QCOMPARE(RegistryLocator::fromAnswer(*unset), std::nullopt);
    }

    // pnpm 10 and 11 as npm installs them (from the registry npm is configured with), each
    // installing the agent package from a local tarball into a runtime of the application's shape.
    void realPnpm_data()
    {
        QTest::addColumn<int>("major");
        QTest::newRow("pnpm 10") << 10;
        QTest::newRow("pnpm 11") << 11;
    }
    void realPnpm()
    {
        QFETCH(int, major);
        if (qEnvironmentVariable("QUORVANTIS_REAL_PNPM_TEST") != u"1")
            QSKIP("set QUORVANTIS_REAL_PNPM_TEST=1 to install pnpm 10 and 11 with npm (needs the network)");
        const QString npm = QStandardPaths::findExecutable(QStringLiteral("npm"));
        QString node = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("node"))).canonicalFilePath();
        if (npm.isEmpty() || node.isEmpty())
            QSKIP("npm and node are needed");
        QTemporaryDir work(QStringLiteral("/tmp/qv-pnpm-XXXXXX"));
        QVERIFY(work.isValid());
        const QString tools = work.filePath(QStringLiteral("tools"));
        if (!machine(m_machine, npm, {"install", "--no-save", "--no-audit", "--no-fund", "--prefix", tools,
                                      QStringLiteral("pnpm@%1").arg(major)}))
            QSKIP("npm could not install pnpm (no network?)");
        // pnpm 11 runs on node 22.13 or newer.
        const auto version = machine(m_machine, node, {"--version"});
        QVERIFY(version);
        if (major >= 11 && QVersionNumber::fromString(QString::fromUtf8(*version).trimmed().mid(1)) < QVersionNumber(22, 13)) {
            const QString newer = work.filePath(QStringLiteral("node"));
            if (!machine(m_machine, npm, {"install", "--no-save", "--no-audit", "--no-fund", "--prefix", newer, "node@22"}))
                QSKIP("npm could not install node 22 for pnpm 11 (no network?)");
            node = QFileInfo(newer + QStringLiteral("/node_modules/.bin/node")).canonicalFilePath();
            QVERIFY(QFileInfo(node).isExecutable());
        }
        const auto packed = machine(m_machine, npm, {"pack", "--pack-destination", work.path(),
                                                     QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/agent-package")});
        QVERIFY(packed);
        const QString tarball = work.filePath(QString::fromUtf8(*packed).trimmed().split(u'\n').last());

        // The runtime as the session script leaves it: node's path, pnpm in the runtime's bin, the npmrc.
        const QString home = work.filePath(QStringLiteral("home"));
        const QString root = home + QStringLiteral("/.quorvantis/mac-app-runtime");
        QVERIFY(writeFile(home + QStringLiteral("/.quorvantis/mac-app-node-path"), node.toUtf8() + '\n'));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/bin")));
        QVERIFY(QFile::link(tools + QStringLiteral("/node_modules/.bin/pnpm"), root + QStringLiteral("/bin/pnpm")));
        QVERIFY(writeFile(root + QStringLiteral("/pnpm-config/npmrc"),
                          QStringLiteral("global-dir=%1/pnpm-global\nglobal-bin-dir=%1/bin\nstore-dir=%1/pnpm-store\n")
                              .arg(root)
                              .toUtf8()));
        const auto runner = runnerFor(home, m_logs.filePath(QStringLiteral("real-%1.log").arg(major)));
        CLIService &cli = *runner;
        const Run install =
            run(cli, QStringLiteral("IFS= read -r node <\"$HOME/.quorvantis/mac-app-node-path\"\n"
                                    "export PATH=\"$(dirname \"$node\"):$PNPM_HOME:$PATH:$PNPM_HOME/bin\"\n"
                                    "\"$PNPM_HOME/pnpm\" add -g '%1'\n")
                         .arg(tarball));
        QVERIFY2(install.status == 0, qPrintable(install.lines.join(u'\n')));

        const Run found = run(cli, lookupScript());
        QCOMPARE(found.status, 0);
        QCOMPARE(packageAt(found.lines.value(0))["name"].toString(), QStringLiteral("quorvantis"));
        // The layout did change: only pnpm 10's global root holds the package.
        const Run globalRoot = run(cli, QStringLiteral("export PATH=\"$PATH:$PNPM_HOME/bin\"\n"
                                                       "IFS= read -r node <\"$HOME/.quorvantis/mac-app-node-path\"\n"
                                                       "PATH=\"$(dirname \"$node\"):$PATH\" \"$PNPM_HOME/pnpm\" root -g\n"));
        QCOMPARE(globalRoot.status, 0);
        QCOMPARE(QFileInfo::exists(globalRoot.lines.value(0) + QStringLiteral("/quorvantis/package.json")), major < 11);

        // The registry question is answered from the npmrc, where a mirror is set.
        const QString npmrc = root + QStringLiteral("/pnpm-config/npmrc");
        QVERIFY(writeFile(npmrc, readFile(npmrc) + "registry=http://127.0.0.1:9/mirror/\n"));
        const auto answer = await(RegistryLocator::askRuntimePackageManager(runner), 120000);
        QCOMPARE(RegistryLocator::fromAnswer(answer.value_or(QString())), std::optional(QStringLiteral("http://127.0.0.1:9/mirror/")));
    }
};

QTEST_GUILESS_MAIN(RuntimeLayoutTests)
#include "RuntimeLayoutTests.moc"
