// The application's scripts against the private runtime's pnpm (the sandbox's stand-in) in the
// global layout of pnpm 11, through the one runner: where the agent package is found, the daemon
// installed from it, and an update. The end-to-end tests run the same on the sandbox's default
// layout (pnpm 10's), and which registry the runtime names.
#include "platform/Bundle.h"
#include "process/AgentScripts.h"
#include "process/CLIService.h"
#include "support/Sandbox.h"
#include "support/Test.h"

#include <QJsonDocument>
#include <QJsonObject>

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

} // namespace

class RuntimeLayoutTests : public QObject
{
    Q_OBJECT

    QTemporaryDir m_logs;

private Q_SLOTS:
    void sandboxPnpm11()
    {
        QVERIFY(m_logs.isValid());
        Sandbox sandbox{QString()};
        QVERIFY2(sandbox.launchError().isEmpty(), qPrintable(sandbox.launchError()));
        QVERIFY(sandbox.simctl({"set", "pnpmLayout", "11"}));
        Bundle::setResourceDirectory(sandbox.bundle());
        const auto cli = runnerFor(sandbox.home(), m_logs.filePath(QStringLiteral("install.log")));
        QCOMPARE(await(cli->prepareEnvironment({}), 120000).status, 0);

        // The global root does not hold the package itself in this layout.
        const Run root = run(*cli, QStringLiteral("\"%1/bin/pnpm\" root -g").arg(runtime));
        QVERIFY(!QFileInfo::exists(root.lines.value(0) + QStringLiteral("/quorvantis/package.json")));
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
    }
};

QTEST_GUILESS_MAIN(RuntimeLayoutTests)
#include "RuntimeLayoutTests.moc"
