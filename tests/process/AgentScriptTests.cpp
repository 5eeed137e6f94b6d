// The daemon installation and update scripts, run for real by the runner in a temporary home
// with a prepared runtime: the real node, and stand-ins for pnpm, the process manager and the
// agent package (tests/process/standins, steered by control files in ~/standin).
#include "process/AgentScripts.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ScriptFiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace QuorvantisTest;

class AgentScriptTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_node;
    QStringList m_lines;

    // "~/" stands for the temporary home.
    QString path(QString relative) const { return relative.replace(QStringLiteral("~/"), m_home->path() + u'/'); }
    QByteArray read(const QString &relative) const { return readFile(path(relative)); }
    QStringList pm2Calls() const { return QString::fromUtf8(read(QStringLiteral("~/standin/pm2-calls.log"))).split(u'\n', Qt::SkipEmptyParts); }
    QJsonObject firstApp() const
    {
        const QByteArray text = read(QStringLiteral("~/.quorvantis/pm2-ecosystem.config.cjs"));
        if (!text.startsWith("module.exports = ") || !text.endsWith(";\n"))
            return {};
        const QJsonDocument config = QJsonDocument::fromJson(text.mid(17, text.size() - 19));
        return config.object().value(QStringLiteral("apps")).toArray().first().toObject();
    }

    int run(const QString &script)
    {
        CLIService::Options options;
        options.installLogPath = path(QStringLiteral("~/install.log"));
        options.homeDirectory = m_home->path();
        options.onboardingOverride = [] { return std::optional<QUrl>(); };
        CLIService cli(options);
        m_lines.clear();
        return await(cli.runScript(script, [this](const QString &line) { m_lines << line; })).status;
    }

    // "rm PATH", "ro PATH" (not executable) or "PATH=CONTENT".
    bool apply(const QString &action) const
    {
        if (action.startsWith(u"rm "))
            return QFile::remove(path(action.mid(3)));
        if (action.startsWith(u"ro "))
            return QFile::setPermissions(path(action.mid(3)), QFileDevice::ReadOwner);
        return writeFile(path(action.section(u'=', 0, 0)), path(action.section(u'=', 1)).toUtf8());
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        m_node = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("node"))).canonicalFilePath();
        QVERIFY2(m_home->isValid() && !m_node.isEmpty(), "node is needed for the agent script tests");
        const QString standins = QStringLiteral(QUORVANTIS_SOURCE_DIR "/tests/process/standins/");
        QVERIFY(writeFile(path(QStringLiteral("~/.quorvantis/mac-app-node-path")), m_node.toUtf8() + '\n'));
        for (const char *tool : {"pnpm", "pm2", "quorvantis"})
            QVERIFY(writeFile(path(QStringLiteral("~/.quorvantis/mac-app-runtime/bin/") + tool), readFile(standins + tool), true));
        QVERIFY(writeFile(path(QStringLiteral("~/store/quorvantis@1.0.0/package.json")), R"({"name":"quorvantis","version":"1.0.0"})"));
        QVERIFY(writeFile(path(QStringLiteral("~/store/quorvantis@1.0.0/dist-agent/bundle.cjs")), readFile(standins + "bundle.cjs")));
        const QString root = path(QStringLiteral("~/.quorvantis/mac-app-runtime/pnpm-global/5/node_modules"));
        QVERIFY(QDir().mkpath(root) && QDir().mkpath(path(QStringLiteral("~/standin"))));
        QVERIFY(QFile::link(path(QStringLiteral("~/store/quorvantis@1.0.0")), root + QStringLiteral("/quorvantis")));
    }

    void everyVariantParses_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("daemon macOS") << AgentScripts::daemonInstall(AgentScripts::Platform::macOS);
        QTest::newRow("daemon linux") << AgentScripts::daemonInstall(AgentScripts::Platform::linux);
        QTest::newRow("update") << AgentScripts::agentUpdate();
    }

    void everyVariantParses()
    {
        QFETCH(QString, script);
        QString diagnostics;
        QVERIFY2(parses(script, &diagnostics), qPrintable(diagnostics));
        QVERIFY(script.startsWith(QStringLiteral("set -euo pipefail\n")));
    }

    void platformDifferencesOnly()
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

    // Stale entries of older installations go (interpreter "none" or "" and a quorvantis script,
    // or another node); unrelated ones stay, whatever the process manager prints around its list.
    void installsAndStartsTheDaemon()
    {
        QVERIFY(apply(QStringLiteral("~/standin/pm2-noise=")));
        QVERIFY(apply(QStringLiteral(
            R"(~/standin/pm2-extra.json=[{"name":"old-global","script":"/Users/x/Library/pnpm/global/quorvantis/a.js","interpreter":"none"},)"
            R"({"name":"old-store","script":"/x/.pnpm/quorvantis@0.9.0/a.js","interpreter":""},)"
            R"({"name":"other-node","script":"/srv/tool.js","interpreter":"/opt/other/node"},)"
            R"({"name":"kept-none","script":"/srv/none.js","interpreter":"none"},)"
            R"({"name":"kept-empty","script":"/srv/empty.js","interpreter":""}])")));
        QVERIFY2(run(CLIService::daemonInstallScript()) == 0, qPrintable(m_lines.join(u'\n')));

        const QString bin = path(QStringLiteral("~/.quorvantis/mac-app-runtime/bin"));
        const QString pm2Home = path(QStringLiteral("~/.quorvantis/mac-app-runtime/pm2"));
        const QString nodeDir = QFileInfo(m_node).absolutePath();
        const QJsonObject app = firstApp();
        QCOMPARE(app.value(QStringLiteral("interpreter")).toString(), m_node);
        const QJsonObject env = app.value(QStringLiteral("env")).toObject();
        QCOMPARE(env.value(QStringLiteral("PATH")).toString(), QStringList({bin, nodeDir, bin + "/..", "/a", "/b"}).join(u':'));
        QCOMPARE(env.value(QStringLiteral("PM2_HOME")).toString(), pm2Home);
        QCOMPARE(QFile::permissions(path(QStringLiteral("~/.quorvantis/pm2-ecosystem.config.cjs"))) & 0x7077,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(QDir(path(QStringLiteral("~/.quorvantis"))).entryList({QStringLiteral("pm2-ecosystem.config.cjs.*")}), QStringList());
        QCOMPARE(QString::fromUtf8(read(QStringLiteral("~/.quorvantis/mac-app-runtime/pnpm-config/npmrc"))),
                 QStringLiteral("global-dir=%1/pnpm-global\nglobal-bin-dir=%2\nstore-dir=%1/pnpm-store\n")
                     .arg(path(QStringLiteral("~/.quorvantis/mac-app-runtime")), bin));

        // The daemon ran under the private process manager with the prepared node first on PATH.
        QVERIFY(QString::fromUtf8(read(QStringLiteral("~/standin/bundle-calls.log")))
                    .startsWith(QStringLiteral("daemon start --installed PM2_HOME=%1 PATH=%2:%3:").arg(pm2Home, nodeDir, bin)));
        QStringList names;
        for (const QJsonValue &entry : QJsonDocument::fromJson(readFile(pm2Home + "/standin.json"))["list"].toArray())
            names << entry["name"].toString();
        QCOMPARE(names, (QStringList{"quorvantis", "kept-none", "kept-empty"}));
        for (const QString &call : pm2Calls())
            QVERIFY2(call.startsWith(pm2Home + u' '), qPrintable(call));
        // No old process manager's socket: it is left alone.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("~/.pm2"))));

        const QString wrapper = path(QStringLiteral("~/.quorvantis/start.sh"));
        QCOMPARE(QFile::permissions(wrapper) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                           | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                                           | QFileDevice::ReadOther | QFileDevice::ExeOther);
        const QString wrapperText = QString::fromUtf8(readFile(wrapper));
        QVERIFY(wrapperText.contains(QStringLiteral("export PM2_HOME=") + pm2Home));
        QVERIFY(wrapperText.contains(QStringLiteral("unset NVM_DIR NVM_BIN")));
        QVERIFY(QString::fromUtf8(read(QStringLiteral("~/.config/autostart/dev.quorvantis.agent.desktop")))
                    .contains(QStringLiteral("\nExec=/bin/bash \"%1\"\n").arg(wrapper)));
    }

    // A user's own npmrc stays; an old process manager whose socket exists is emptied of the
    // agent's processes; the login start runs the wrapper alone, without the parent directory.
    void existingSetupAndLoginStart()
    {
        QVERIFY(apply(QStringLiteral("~/.quorvantis/mac-app-runtime/pnpm-config/npmrc=store-dir=/mine\n")));
        QVERIFY(QDir().mkpath(path(QStringLiteral("~/.pm2"))));
        QLocalServer oldManager;
        QVERIFY(oldManager.listen(path(QStringLiteral("~/.pm2/rpc.sock"))));
        QCOMPARE(run(CLIService::daemonInstallScript()), 0);
        QCOMPARE(read(QStringLiteral("~/.quorvantis/mac-app-runtime/pnpm-config/npmrc")), QByteArray("store-dir=/mine\n"));
        QStringList oldCalls;
        for (const QString &call : pm2Calls()) {
            if (call.startsWith(path(QStringLiteral("~/.pm2 "))))
                oldCalls << call.section(u' ', 1);
        }
        QCOMPARE(oldCalls, (QStringList{"delete quorvantis", "delete chat-monitor", "delete wechat-monitor",
                                        "delete feishu-monitor", "save --force"}));

        QVERIFY(apply(QStringLiteral("rm ~/.quorvantis/pm2-ecosystem.config.cjs")));
        QProcess login;
        login.setProcessEnvironment(QProcessEnvironment());
        login.start(QStringLiteral("/bin/bash"), {path(QStringLiteral("~/.quorvantis/start.sh"))});
        QVERIFY(login.waitForFinished(30000));
        const QString daemonOutput = QString::fromUtf8(read(QStringLiteral("~/.quorvantis/logs/launchd-stdout.log")));
        QVERIFY2(login.exitCode() == 0 && daemonOutput.contains(QStringLiteral("[PM2] started")), qPrintable(daemonOutput));
        QCOMPARE(firstApp().value(u"env").toObject().value(u"PATH").toString(),
                 QStringList({path(QStringLiteral("~/.quorvantis/mac-app-runtime/bin")), QFileInfo(m_node).absolutePath(), "/a", "/b"})
                     .join(u':'));
        QVERIFY(pm2Calls().last().endsWith(QStringLiteral(" save --force")));
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const QString runtime = QStringLiteral("Quorvantis 运行环境不完整，请重新安装。");
        const QString tools = QStringLiteral("Quorvantis 安装工具不可用，请重新安装。");
        QTest::newRow("node path file missing") << QStringList{"rm ~/.quorvantis/mac-app-node-path"} << 1 << runtime;
        QTest::newRow("node not executable") << QStringList{"~/.quorvantis/mac-app-node-path=~/standin\n"} << 1 << runtime;
        QTest::newRow("pnpm missing") << QStringList{"rm ~/.quorvantis/mac-app-runtime/bin/pnpm"} << 1 << tools;
        QTest::newRow("pm2 not executable") << QStringList{"ro ~/.quorvantis/mac-app-runtime/bin/pm2"} << 1 << tools;
        QTest::newRow("bundle missing") << QStringList{"rm ~/store/quorvantis@1.0.0/dist-agent/bundle.cjs"} << 1
                                        << "Quorvantis 运行组件不完整，请重新安装。";
        QTest::newRow("ecosystem not written") << QStringList{"~/standin/no-ecosystem="} << 1 << "Agent 运行配置未生成，请重试。";
        QTest::newRow("first app without name")
            << QStringList{R"(~/standin/ecosystem.json={"apps":[{"script":"~/.quorvantis/launcher.cjs"}]})"} << 1
            << "Agent 运行配置无效，请重试。";
        QTest::newRow("no apps") << QStringList{R"(~/standin/ecosystem.json={"apps":[]})"} << 1
                                 << "Quorvantis PM2 config format is unsupported";
        QTest::newRow("not online") << QStringList{"~/standin/pm2-status=stopped"} << 1 << "Quorvantis is not online in PM2";
        QTest::newRow("other interpreter") << QStringList{"~/standin/pm2-interpreter=/opt/other/node"} << 1
                                           << "Quorvantis PM2 interpreter does not match the prepared Node";
        QTest::newRow("unstable launcher")
            << QStringList{R"(~/standin/ecosystem.json={"apps":[{"name":"quorvantis","script":"~/elsewhere.cjs"}]})"} << 1
            << "Quorvantis PM2 launcher is not stable";
        QTest::newRow("stale entry stays")
            << QStringList{R"(~/standin/pm2-extra.json=[{"name":"stuck","script":"/x/.pnpm/quorvantis@0.1.0/a.js","interpreter":"none"}])",
                           "~/standin/pm2-sticky=stuck"}
            << 1 << "A stale PM2 process remains";
        QTest::newRow("start fails") << QStringList{"~/standin/pm2-start-fails="} << 3 << "";
    }

    void failures()
    {
        QFETCH(QStringList, actions);
        QFETCH(int, status);
        QFETCH(QString, message);
        for (const QString &action : actions)
            QVERIFY2(apply(action), qPrintable(action));
        QCOMPARE(run(CLIService::daemonInstallScript()), status);
        QVERIFY2(message.isEmpty() || !m_lines.filter(message).isEmpty(), qPrintable(m_lines.join(u'\n')));
        // Nothing is registered for login after a failure.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("~/.config/autostart/dev.quorvantis.agent.desktop"))));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("~/.quorvantis/start.sh"))));
    }

    void update_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line"); // the last line; empty: none saying the version
        QTest::newRow("newer beta") << "~/standin/next-version=1.1.0-beta.2" << 0 << "Agent version checked: 1.0.0 -> 1.1.0-beta.2";
        QTest::newRow("no newer beta") << "" << 0 << "Agent version checked: 1.0.0 -> 1.0.0";
        QTest::newRow("no node path") << "rm ~/.quorvantis/mac-app-node-path" << 1 << "";
        QTest::newRow("no pnpm") << "rm ~/.quorvantis/mac-app-runtime/bin/pnpm" << 1 << "";
        QTest::newRow("install fails") << "~/standin/pnpm-install-fails=" << 5 << "";
    }

    void update()
    {
        QFETCH(QString, action);
        QFETCH(int, status);
        QFETCH(QString, line);
        QVERIFY(action.isEmpty() || apply(action));
        QCOMPARE(run(CLIService::agentUpdateScript()), status);
        if (!line.isEmpty()) {
            QCOMPARE(m_lines.last(), line);
            QVERIFY(read(QStringLiteral("~/standin/pnpm-calls.log")).contains("pnpm install -g quorvantis@beta\n"));
        } else {
            // A missing tool fails quietly.
            QCOMPARE(m_lines.filter(QStringLiteral("Agent version checked")), QStringList());
            QVERIFY(status != 1 || m_lines.isEmpty());
        }
        // The daemon is not touched by an update.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("~/standin/pm2-calls.log"))));
    }
};

QTEST_GUILESS_MAIN(AgentScriptTests)
#include "AgentScriptTests.moc"
