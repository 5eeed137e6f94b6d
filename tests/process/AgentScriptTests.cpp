#include "process/AgentScripts.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ScriptFiles.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace QuorvantisTest;

namespace {

struct Run
{
    CLIResult result;
    QStringList lines;
};

} // namespace

// A temporary home with a prepared runtime: the real node, and stand-ins for pnpm, the process
// manager and the agent package.
class AgentScriptTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void everyVariantParses_data();
    void everyVariantParses();
    void platformDifferencesOnly();
    void installsAndStartsTheDaemon();
    void wrapperRestartsWithoutTheParentDirectory();
    void oldProcessManagerAndNpmrcAreLeftAlone();
    void staleEntriesAreRemoved();
    void failures_data();
    void failures();
    void update_data();
    void update();

private:
    QString path(const QString &relative) const { return m_home->filePath(relative); }
    QString runtimeBin() const { return path(QStringLiteral(".quorvantis/mac-app-runtime/bin")); }
    QString ecosystem() const { return path(QStringLiteral(".quorvantis/pm2-ecosystem.config.cjs")); }
    bool control(const QString &name, const QByteArray &content = QByteArray())
    {
        return writeFile(path(QStringLiteral("standin/") + name), content);
    }
    Run run(const QString &script);
    QJsonObject firstApp() const;
    QStringList pm2Calls() const;

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_node;
};

void AgentScriptTests::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    m_node = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("node"))).canonicalFilePath();
    QVERIFY2(!m_node.isEmpty(), "node is needed for the agent script tests");

    const QString standins = QStringLiteral(QUORVANTIS_SOURCE_DIR "/tests/process/standins/");
    QVERIFY(writeFile(path(QStringLiteral(".quorvantis/mac-app-node-path")), m_node.toUtf8() + '\n'));
    for (const char *tool : {"pnpm", "pm2", "quorvantis"})
        QVERIFY(writeFile(runtimeBin() + QLatin1Char('/') + QLatin1String(tool), readFile(standins + QLatin1String(tool)), true));
    const QString store = path(QStringLiteral("store/quorvantis@1.0.0"));
    QVERIFY(writeFile(store + QStringLiteral("/package.json"), R"({"name":"quorvantis","version":"1.0.0"})"));
    QVERIFY(writeFile(store + QStringLiteral("/dist-agent/bundle.cjs"), readFile(standins + QStringLiteral("bundle.cjs"))));
    const QString root = path(QStringLiteral(".quorvantis/mac-app-runtime/pnpm-global/5/node_modules"));
    QVERIFY(QDir().mkpath(root));
    QVERIFY(QFile::link(store, root + QStringLiteral("/quorvantis")));
    QVERIFY(QDir().mkpath(path(QStringLiteral("standin"))));
}

Run AgentScriptTests::run(const QString &script)
{
    CLIService::Options options;
    options.installLogPath = path(QStringLiteral("install.log"));
    options.homeDirectory = m_home->path();
    options.onboardingOverride = [] { return std::optional<QUrl>(); };
    CLIService cli(options);
    Run run;
    const QStringList arguments{QStringLiteral("-c"), script};
    run.result = QuorvantisTest::await(cli.execute(arguments, std::nullopt, [&run](const QString &line) { run.lines << line; }));
    return run;
}

QJsonObject AgentScriptTests::firstApp() const
{
    QByteArray text = readFile(ecosystem());
    const QByteArray prefix = "module.exports = ";
    if (!text.startsWith(prefix) || !text.endsWith(";\n"))
        return {};
    text = text.mid(prefix.size(), text.size() - prefix.size() - 2);
    return QJsonDocument::fromJson(text).object().value(QStringLiteral("apps")).toArray().first().toObject();
}

QStringList AgentScriptTests::pm2Calls() const
{
    return QString::fromUtf8(readFile(path(QStringLiteral("standin/pm2-calls.log")))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void AgentScriptTests::everyVariantParses_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("daemon macOS") << AgentScripts::daemonInstall(AgentScripts::Platform::macOS);
    QTest::newRow("daemon linux") << AgentScripts::daemonInstall(AgentScripts::Platform::linux);
    QTest::newRow("update") << AgentScripts::agentUpdate();
}

void AgentScriptTests::everyVariantParses()
{
    QFETCH(QString, script);
    QString diagnostics;
    QVERIFY2(parses(script, &diagnostics), qPrintable(diagnostics));
    QVERIFY(script.startsWith(QStringLiteral("set -euo pipefail\n")));
}

void AgentScriptTests::platformDifferencesOnly()
{
    const QString mac = AgentScripts::daemonInstall(AgentScripts::Platform::macOS);
    const QString linux = AgentScripts::daemonInstall(AgentScripts::Platform::linux);
    QVERIFY(mac.contains(QStringLiteral("launchctl bootstrap")) && !linux.contains(QStringLiteral("launchctl")));
    // Everything before the login registration is the same on both.
    const qsizetype macShared = mac.indexOf(QStringLiteral("# The wrapper carries"));
    const qsizetype linuxShared = linux.indexOf(QStringLiteral("# The wrapper carries"));
    QVERIFY(macShared > 0 && linuxShared > 0);
    QCOMPARE(linux.left(linuxShared), mac.left(macShared).replace(QStringLiteral("$HOME/Library/LaunchAgents"),
                                                          QStringLiteral("$HOME/.config/autostart")));
    QCOMPARE(CLIService::daemonInstallScript(), linux);
    // The autostart entry's Exec argument: reserved characters get a backslash, then every
    // backslash is doubled for the value.
    QCOMPARE(callFunction(linux, QStringLiteral("desktop_exec_argument"), QStringLiteral("/h/a \"b\" $c `d` \\e 100%")),
             QStringLiteral("\"/h/a \\\\\"b\\\\\" \\\\$c \\\\`d\\\\` \\\\\\\\e 100%%\""));
}

void AgentScriptTests::installsAndStartsTheDaemon()
{
    const Run result = run(CLIService::daemonInstallScript());
    QVERIFY2(result.result.status == 0, qPrintable(result.lines.join(QLatin1Char('\n'))));

    const QJsonObject app = firstApp();
    QCOMPARE(app.value(QStringLiteral("interpreter")).toString(), m_node);
    const QJsonObject env = app.value(QStringLiteral("env")).toObject();
    const QString nodeDir = QFileInfo(m_node).absolutePath();
    QCOMPARE(env.value(QStringLiteral("PATH")).toString(),
             QStringList({runtimeBin(), nodeDir, runtimeBin() + QStringLiteral("/.."), QStringLiteral("/a"), QStringLiteral("/b")})
                 .join(QLatin1Char(':')));
    QCOMPARE(env.value(QStringLiteral("PM2_HOME")).toString(), path(QStringLiteral(".quorvantis/mac-app-runtime/pm2")));
    QCOMPARE(QFile::permissions(ecosystem()) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QCOMPARE(QDir(path(QStringLiteral(".quorvantis"))).entryList({QStringLiteral("pm2-ecosystem.config.cjs.*")}, QDir::Files),
             QStringList());

    QCOMPARE(QString::fromUtf8(readFile(path(QStringLiteral(".quorvantis/mac-app-runtime/pnpm-config/npmrc")))),
             QStringLiteral("global-dir=%1/pnpm-global\nglobal-bin-dir=%2\nstore-dir=%1/pnpm-store\n")
                 .arg(path(QStringLiteral(".quorvantis/mac-app-runtime")), runtimeBin()));

    // The daemon ran under the private process manager with the prepared node first on PATH.
    const QString bundleCall = QString::fromUtf8(readFile(path(QStringLiteral("standin/bundle-calls.log"))));
    QVERIFY(bundleCall.startsWith(QStringLiteral("daemon start --installed PM2_HOME=%1 PATH=%2:%3:")
                                      .arg(path(QStringLiteral(".quorvantis/mac-app-runtime/pm2")), nodeDir, runtimeBin())));
    const QJsonArray list = QJsonDocument::fromJson(readFile(path(QStringLiteral(".quorvantis/mac-app-runtime/pm2/standin.json"))))
                                .object().value(QStringLiteral("list")).toArray();
    QCOMPARE(list.size(), 1);
    QCOMPARE(list[0].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("quorvantis"));
    for (const QString &call : pm2Calls())
        QVERIFY2(call.startsWith(path(QStringLiteral(".quorvantis/mac-app-runtime/pm2 "))), qPrintable(call));

    const QString wrapper = path(QStringLiteral(".quorvantis/start.sh"));
    QCOMPARE(QFile::permissions(wrapper) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                       | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                                       | QFileDevice::ReadOther | QFileDevice::ExeOther);
    const QString wrapperText = QString::fromUtf8(readFile(wrapper));
    QVERIFY(wrapperText.contains(QStringLiteral("export PM2_HOME=") + path(QStringLiteral(".quorvantis/mac-app-runtime/pm2"))));
    QVERIFY(wrapperText.contains(QStringLiteral("unset NVM_DIR NVM_BIN")));

    const QString entry = QString::fromUtf8(readFile(path(QStringLiteral(".config/autostart/dev.quorvantis.agent.desktop"))));
    QVERIFY(entry.contains(QStringLiteral("\nExec=/bin/bash \"%1\"\n").arg(wrapper)));
}

void AgentScriptTests::wrapperRestartsWithoutTheParentDirectory()
{
    QCOMPARE(run(CLIService::daemonInstallScript()).result.status, 0);
    QFile::remove(ecosystem());
    // A login start: the wrapper alone, with nothing of the application's environment.
    QProcess login;
    login.setProcessEnvironment(QProcessEnvironment());
    login.start(QStringLiteral("/bin/bash"), {path(QStringLiteral(".quorvantis/start.sh"))});
    QVERIFY(login.waitForFinished(30000));
    const QString daemonOutput = QString::fromUtf8(readFile(path(QStringLiteral(".quorvantis/logs/launchd-stdout.log"))));
    QVERIFY2(login.exitCode() == 0, qPrintable(daemonOutput));
    QVERIFY(daemonOutput.contains(QStringLiteral("[PM2] started")));
    const QJsonObject env = firstApp().value(QStringLiteral("env")).toObject();
    QCOMPARE(env.value(QStringLiteral("PATH")).toString(),
             QStringList({runtimeBin(), QFileInfo(m_node).absolutePath(), QStringLiteral("/a"), QStringLiteral("/b")})
                 .join(QLatin1Char(':')));
    QVERIFY(pm2Calls().last().endsWith(QStringLiteral(" save --force")));
}

void AgentScriptTests::oldProcessManagerAndNpmrcAreLeftAlone()
{
    const QString npmrc = path(QStringLiteral(".quorvantis/mac-app-runtime/pnpm-config/npmrc"));
    QVERIFY(writeFile(npmrc, "store-dir=/mine\n"));
    const QString oldHome = path(QStringLiteral(".pm2"));
    QCOMPARE(run(CLIService::daemonInstallScript()).result.status, 0);
    QCOMPARE(readFile(npmrc), QByteArray("store-dir=/mine\n"));
    // The old process manager is cleaned up only when its socket exists.
    for (const QString &call : pm2Calls())
        QVERIFY2(!call.startsWith(oldHome + QLatin1Char(' ')), qPrintable(call));
    QVERIFY(!QFileInfo::exists(oldHome));

    QVERIFY(QDir().mkpath(oldHome));
    QFile::remove(path(QStringLiteral("standin/pm2-calls.log")));
    QLocalServer oldManager;
    QVERIFY(oldManager.listen(oldHome + QStringLiteral("/rpc.sock")));
    QCOMPARE(run(CLIService::daemonInstallScript()).result.status, 0);
    QStringList oldCalls;
    for (const QString &call : pm2Calls()) {
        if (call.startsWith(oldHome + QLatin1Char(' ')))
            oldCalls << call.mid(oldHome.size() + 1);
    }
    QCOMPARE(oldCalls, (QStringList{"delete quorvantis", "delete chat-monitor", "delete wechat-monitor",
                                    "delete feishu-monitor", "save --force"}));
}

void AgentScriptTests::staleEntriesAreRemoved()
{
    QVERIFY(control(QStringLiteral("pm2-extra.json"), QJsonDocument(QJsonArray{
        QJsonObject{{"name", "old-global"}, {"script", "/Users/x/Library/pnpm/global/quorvantis/a.js"}, {"interpreter", "none"}},
        QJsonObject{{"name", "old-store"}, {"script", "/x/.pnpm/quorvantis@0.9.0/a.js"}, {"interpreter", ""}},
        QJsonObject{{"name", "other-node"}, {"script", "/srv/tool.js"}, {"interpreter", "/opt/other/node"}},
        QJsonObject{{"name", "kept-none"}, {"script", "/srv/none.js"}, {"interpreter", "none"}},
        QJsonObject{{"name", "kept-empty"}, {"script", "/srv/empty.js"}, {"interpreter", ""}},
    }).toJson()));
    QVERIFY(control(QStringLiteral("pm2-noise")));
    const Run result = run(CLIService::daemonInstallScript());
    QVERIFY2(result.result.status == 0, qPrintable(result.lines.join(QLatin1Char('\n'))));
    QStringList names;
    const QJsonArray list = QJsonDocument::fromJson(readFile(path(QStringLiteral(".quorvantis/mac-app-runtime/pm2/standin.json"))))
                                .object().value(QStringLiteral("list")).toArray();
    for (const QJsonValue &entry : list)
        names << entry.toObject().value(QStringLiteral("name")).toString();
    QCOMPARE(names, (QStringList{"quorvantis", "kept-none", "kept-empty"}));
}

void AgentScriptTests::failures_data()
{
    QTest::addColumn<QString>("setup"); // what to break, see failures()
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    QTest::newRow("node path file missing") << "no-node-path" << 1 << "Quorvantis 运行环境不完整，请重新安装。";
    QTest::newRow("node not executable") << "node-not-executable" << 1 << "Quorvantis 运行环境不完整，请重新安装。";
    QTest::newRow("pnpm missing") << "no-pnpm" << 1 << "Quorvantis 安装工具不可用，请重新安装。";
    QTest::newRow("pm2 missing") << "no-pm2" << 1 << "Quorvantis 安装工具不可用，请重新安装。";
    QTest::newRow("bundle missing") << "no-bundle" << 1 << "Quorvantis 运行组件不完整，请重新安装。";
    QTest::newRow("ecosystem not written") << "no-ecosystem=" << 1 << "Agent 运行配置未生成，请重试。";
    QTest::newRow("first app without name") << "nameless" << 1 << "Agent 运行配置无效，请重试。";
    QTest::newRow("no apps") << R"(ecosystem.json={"apps":[]})" << 1 << "Quorvantis PM2 config format is unsupported";
    QTest::newRow("not online") << "pm2-status=stopped" << 1 << "Quorvantis is not online in PM2";
    QTest::newRow("other interpreter") << "pm2-interpreter=/opt/other/node" << 1
                                       << "Quorvantis PM2 interpreter does not match the prepared Node";
    QTest::newRow("unstable launcher") << "launcher" << 1 << "Quorvantis PM2 launcher is not stable";
    QTest::newRow("stale entry stays") << "sticky" << 1 << "A stale PM2 process remains";
    QTest::newRow("start fails") << "pm2-start-fails=" << 3 << "";
}

void AgentScriptTests::failures()
{
    QFETCH(QString, setup);
    QFETCH(int, status);
    QFETCH(QString, message);

    const auto ecosystemJSON = [this](const QJsonObject &app) {
        return QJsonDocument(QJsonObject{{"apps", QJsonArray{app}}}).toJson();
    };
    const QString launcher = path(QStringLiteral(".quorvantis/launcher.cjs"));
    if (setup == QLatin1String("no-node-path"))
        QVERIFY(QFile::remove(path(QStringLiteral(".quorvantis/mac-app-node-path"))));
    else if (setup == QLatin1String("node-not-executable"))
        QVERIFY(writeFile(path(QStringLiteral(".quorvantis/mac-app-node-path")), path(QStringLiteral("standin")).toUtf8() + '\n'));
    else if (setup == QLatin1String("no-pnpm"))
        QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/pnpm")));
    else if (setup == QLatin1String("no-pm2"))
        QVERIFY(QFile::setPermissions(runtimeBin() + QStringLiteral("/pm2"), QFileDevice::ReadOwner));
    else if (setup == QLatin1String("no-bundle"))
        QVERIFY(QFile::remove(path(QStringLiteral("store/quorvantis@1.0.0/dist-agent/bundle.cjs"))));
    else if (setup == QLatin1String("nameless"))
        QVERIFY(control(QStringLiteral("ecosystem.json"), ecosystemJSON(QJsonObject{{"script", launcher}})));
    else if (setup == QLatin1String("launcher"))
        QVERIFY(control(QStringLiteral("ecosystem.json"), ecosystemJSON(QJsonObject{{"name", "quorvantis"}, {"script", path(QStringLiteral("elsewhere.cjs"))}})));
    else if (setup == QLatin1String("sticky")) {
        QVERIFY(control(QStringLiteral("pm2-extra.json"), R"([{"name":"stuck","script":"/x/.pnpm/quorvantis@0.1.0/a.js","interpreter":"none"}])"));
        QVERIFY(control(QStringLiteral("pm2-sticky"), "stuck"));
    } else // a stand-in control file: name=content
        QVERIFY(control(setup.section(QLatin1Char('='), 0, 0), setup.section(QLatin1Char('='), 1).toUtf8()));

    const Run result = run(CLIService::daemonInstallScript());
    QCOMPARE(result.result.status, status);
    if (!message.isEmpty()) {
        bool found = false;
        for (const QString &line : result.lines)
            found = found || line.contains(message);
        QVERIFY2(found, qPrintable(result.lines.join(QLatin1Char('\n'))));
    }
    // Nothing is registered for login after a failure.
    QVERIFY(!QFileInfo::exists(path(QStringLiteral(".config/autostart/dev.quorvantis.agent.desktop"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral(".quorvantis/start.sh"))));
}

void AgentScriptTests::update_data()
{
    QTest::addColumn<QString>("setup"); // a stand-in control file, or what to remove
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line"); // the last line; empty: no version line at all
    QTest::newRow("newer beta") << "next-version=1.1.0-beta.2" << 0 << "Agent version checked: 1.0.0 -> 1.1.0-beta.2";
    QTest::newRow("no newer beta") << "" << 0 << "Agent version checked: 1.0.0 -> 1.0.0";
    QTest::newRow("no node path") << "no-node" << 1 << "";
    QTest::newRow("no pnpm") << "no-pnpm" << 1 << "";
    QTest::newRow("install fails") << "pnpm-install-fails=" << 5 << "";
}

void AgentScriptTests::update()
{
    QFETCH(QString, setup);
    QFETCH(int, status);
    QFETCH(QString, line);
    if (setup == QLatin1String("no-node"))
        QVERIFY(QFile::remove(path(QStringLiteral(".quorvantis/mac-app-node-path"))));
    else if (setup == QLatin1String("no-pnpm"))
        QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/pnpm")));
    else if (!setup.isEmpty())
        QVERIFY(control(setup.section(QLatin1Char('='), 0, 0), setup.section(QLatin1Char('='), 1).toUtf8()));
    const Run result = run(CLIService::agentUpdateScript());
    QCOMPARE(result.result.status, status);
    if (!line.isEmpty()) {
        QCOMPARE(result.lines.last(), line);
        QVERIFY(readFile(path(QStringLiteral("standin/pnpm-calls.log"))).contains("pnpm install -g quorvantis@beta\n"));
    } else if (status == 1) {
        QCOMPARE(result.lines, QStringList()); // a missing tool fails quietly
    } else {
        for (const QString &printed : result.lines)
            QVERIFY(!printed.startsWith(QStringLiteral("Agent version checked")));
    }
    // The daemon is not touched by an update.
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("standin/pm2-calls.log"))));
}

QTEST_GUILESS_MAIN(AgentScriptTests)
#include "AgentScriptTests.moc"
