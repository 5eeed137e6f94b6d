// The runner with real bash (one run at a time, the child's output as lines in write order, its
// input, its environment and the install log it leaves), and the daemon installation and update
// scripts it runs, in a temporary home ("~/", its runtime "~r/") with a prepared runtime: the real
// node, and stand-ins for pnpm, the process manager and the agent package (tests/process/standins,
// steered by control files in ~/standin).
#include "process/AgentScripts.h"
#include "process/CLIService.h"
#include "support/Test.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>

using namespace QuorvantisTest;

namespace {

// One run: its script, the lines the caller gets, how it ends, its standard input, and the lines
// the interceptor takes out (those starting with "take:").
struct Run
{
    QString script{};
    QStringList lines{};
    int status = 0;
    std::optional<QString> input{}; // none: no standard input
    std::optional<QString> error{}; // the last error-looking line
    QStringList taken{};
    QString title = QStringLiteral("script"); // the log block's
};

} // namespace

Q_DECLARE_METATYPE(Run)

class ProcessTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_node;
    QStringList m_lines;

    QString path(QString relative) const
    {
        return relative.replace("~r/", m_home->path() + "/.quorvantis/mac-app-runtime/")
            .replace("~/", m_home->path() + '/');
    }
    QString read(const QString &relative) const { return QString::fromUtf8(readFile(path(relative))); }
    QString log() const { return path("~/logs/mac-app-install.log"); }
    QStringList pm2Calls() const { return read("~/standin/pm2-calls.log").split(u'\n', Qt::SkipEmptyParts); }
    // The first app of the ecosystem file ("module.exports = {...};").
    const QJsonObject firstApp() const
    {
        const QString text = read("~/.quorvantis/pm2-ecosystem.config.cjs");
        if (!text.startsWith(u"module.exports = ") || !text.endsWith(u";\n"))
            return {};
        return QJsonDocument::fromJson(text.mid(17, text.size() - 19).toUtf8())["apps"][0].toObject();
    }

    CLIService::Options options(const QString &sessionScript = {}, const QStringList &base = {}) const
    {
        CLIService::Options options;
        options.installLogPath = log();
        options.homeDirectory = m_home->path();
        options.onboardingOverride = [] { return std::optional<QUrl>(); };
        options.sessionScript = [sessionScript] { return std::optional<QString>(sessionScript); };
        if (!base.isEmpty())
            options.baseEnvironment.emplace();
        for (const QString &entry : base)
            options.baseEnvironment->insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        return options;
    }

    // The code of the native error a task fails with; empty when it does not fail.
    static QString failureCode(QCoro::Task<CLIResult> task)
    try {
        await(std::move(task));
        return {};
    } catch (const QuorvantisNativeError &error) {
        return error.code;
    }

    // A script run by the runner in the home, its lines in m_lines.
    int run(const QString &script)
    {
        CLIService cli(options());
        m_lines.clear();
        const auto collect = [this](const QString &line) { m_lines << line; };
        return await(cli.execute(QStringList{"-c", script}, std::nullopt, collect), 200000).status;
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
        // A short path: the process manager's sockets live under the home and socket paths are limited.
        m_home = std::make_unique<QTemporaryDir>("/tmp/qv-XXXXXX");
        m_node = QFileInfo(QStandardPaths::findExecutable("node")).canonicalFilePath();
        QVERIFY2(m_home->isValid() && !m_node.isEmpty(), "node is needed for the agent script tests");
        const QString standins = QUORVANTIS_SOURCE_DIR "/tests/process/standins/",
                      package = path("~/store/quorvantis@1.0.0");
        for (const char *tool : {"pnpm", "pm2", "quorvantis"})
            QVERIFY(writeFile(path("~r/bin/") + tool, readFile(standins + tool), true));
        QVERIFY(apply("~/.quorvantis/mac-app-node-path=" + m_node + '\n'));
        QVERIFY(writeFile(package + "/package.json", R"({"name":"quorvantis","version":"1.0.0"})"));
        QVERIFY(writeFile(package + "/dist-agent/bundle.cjs", readFile(standins + "bundle.cjs")));
        QVERIFY(QDir().mkpath(path("~r/pnpm-global/5/node_modules")));
        QVERIFY(QDir().mkpath(path("~/standin")));
        QVERIFY(QFile::link(package, path("~r/pnpm-global/5/node_modules/quorvantis")));
    }

    void runs_data()
    {
        columns<Run>({"run"});
        QTest::newRow("both streams in write order, unterminated last line")
            << Run{.script = "for i in 1 2; do echo out$i; echo err$i >&2; done; printf 'tail'",
                   .lines = {"out1", "err1", "out2", "err2", "tail"}};
        QTest::newRow("last error-looking line")
            << Run{.script = "echo 'Error: x'; echo 'fatal: y'; echo '{\"error\":1}'; exit 2",
                   .lines = {"Error: x", "fatal: y", "{\"error\":1}"},
                   .status = 2,
                   .error = QString("fatal: y")};
        QTest::newRow("empty line dropped, blanks and carriage return trimmed, bad UTF-8 repaired")
            << Run{.script = "printf 'a\\n\\n \\t\\nb\\r\\nc\\377\\376d'", .lines = {"a", "", "b", "c\uFFFD\uFFFDd"}};
        QTest::newRow("a script that names itself")
            << Run{.script = "# agent update\necho hi", .lines = {"hi"}, .title = "agent update"};
        QTest::newRow("UTF-8 split across writes")
            << Run{.script = "printf '\\345'; sleep 0.05; printf '\\256\\211\\350\\243\\205\\n'", .lines = {"安装"}};
        QTest::newRow("overlong line keeps its first 262144 bytes")
            << Run{.script = "head -c 300000 /dev/zero | tr '\\0' a; echo; echo next",
                   .lines = {QString(262'144, u'a'), "next"}};
        QTest::newRow("no input: end of input at once") << Run{.script = "cat; echo eof", .lines = {"eof"}};
        QTest::newRow("child that never reads its input")
            << Run{.script = "echo bye; exit 7", .lines = {"bye"}, .status = 7, .input = QString(4 << 20, u'x')};
        QTest::newRow("signal number as status")
            << Run{.script = "echo before; kill -KILL $$; echo after", .lines = {"before"}, .status = 9};
        QTest::newRow("interceptor takes lines out of output and log")
            << Run{.script = "echo keep; echo 'take: Password: s3cret'; echo after",
                   .lines = {"keep", "after"},
                   .taken = {"take: Password: s3cret"}};
    }
    void runs()
    {
        QFETCH(Run, run);
        CLIService cli(options());
        QStringList output, intercepted;
        const auto collect = [&](const QString &line) { output << line; };
        const auto intercept = [&](const QString &line) {
            if (line.startsWith(u"take:"))
                intercepted << line;
            return line.startsWith(u"take:");
        };
        QElapsedTimer timer;
        timer.start();
        const CLIResult result = await(cli.execute({"-c", run.script}, run.input, collect, intercept));
        QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(result, (CLIResult{run.status, run.error}));
        QCOMPARE(intercepted, run.taken);
        QCOMPARE(output, run.lines);
        // The log: a header with the date and what ran, exactly the lines the caller got, the exit line.
        static const QRegularExpression header("^\\n--- \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ (.+) ---\\n");
        const QString text = read(log());
        const QRegularExpressionMatch head = header.match(text);
        QVERIFY2(head.hasMatch(), qPrintable(text.left(80)));
        QCOMPARE(head.captured(1), run.title);
        const QString exit = QStringLiteral("\nProcess exited with status %1\n").arg(run.status);
        QCOMPARE(text.mid(head.capturedLength()), run.lines.join(u'\n') + exit);
    }

    // After the child's exit the run reads on until end of output, so what a background
    // grandchild prints on its way out is kept (in the log before the exit line); one that keeps
    // the pipe open costs the run its grace and no more. The holder is killed at the end.
    void outputAfterTheChildExits_data()
    {
        // graceMs — -1: the runner's own
        columns<QString, int, QStringList>({"script", "graceMs", "lines"});
        QTest::newRow("a grandchild's late lines, well within a long grace")
            << "(sleep 0.2; echo late; echo 'Error: late' >&2) & echo early; exit 4" << 600'000
            << QStringList{"early", "late", "Error: late"};
        QTest::newRow("a grandchild holding the pipe, the runner's grace")
            << "sleep 600 & echo $! > \"$HOME/holder.pid\"; echo early; exit 4" << -1 << QStringList{"early"};
        QTest::newRow("a grandchild holding the pipe, a short grace")
            << "sleep 600 & echo $! > \"$HOME/holder.pid\"; echo early; exit 4" << 20 << QStringList{"early"};
    }
    void outputAfterTheChildExits()
    {
        QFETCH(QString, script);
        QFETCH(int, graceMs);
        QFETCH(QStringList, lines);
        const auto killHolder = qScopeGuard([this] {
            if (const qint64 pid = read("~/holder.pid").trimmed().toLongLong(); pid > 0)
                ::kill(pid_t(pid), SIGKILL);
        });
        CLIService::Options withGrace = options();
        if (graceMs >= 0)
            withGrace.outputGraceAfterExit = std::chrono::milliseconds(graceMs);
        CLIService cli(withGrace);
        QStringList output;
        QElapsedTimer timer;
        timer.start();
        const CLIResult result =
            await(cli.execute({"-c", script}, std::nullopt, [&](const QString &line) { output << line; }));
        // Neither the holder's 600 s nor the long grace was waited for.
        QVERIFY2(timer.elapsed() < 30'000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(output, lines);
        QCOMPARE(result.status, 4);
        QCOMPARE(result.lastErrorLine, lines.size() > 2 ? std::optional<QString>(lines.last()) : std::nullopt);
        QVERIFY2(read(log()).endsWith(lines.join(u'\n') + "\nProcess exited with status 4\n"), qPrintable(read(log())));
        QVERIFY(!cli.isRunning());
    }

    void secondRunIsRefusedWithoutSideEffect()
    {
        CLIService cli(options());
        QStringList lines;
        const auto collect = [&](const QString &line) { lines << line; };
        auto running = cli.execute({"-c", "read -r line; echo \"first $line\""}, QStringLiteral("go\n"), collect);
        QVERIFY(cli.isRunning());
        QCOMPARE(failureCode(cli.execute({"-c", "echo second"}, std::nullopt, collect)), "OPERATION_ALREADY_RUNNING");
        QCOMPARE(await(std::move(running)).status, 0);
        QCOMPARE(lines, QStringList{"first go"});
        QCOMPARE(read(log()).count("--- "), 1);
        QVERIFY(!cli.isRunning());
    }

    void launchFailureIsLoggedAndRaised()
    {
        CLIService::Options broken = options();
        broken.bashPath = path("~/no-such-shell");
        CLIService cli(broken);
        QCOMPARE(failureCode(cli.runScript("echo never", {})), "INSTALL_LAUNCH_FAILED");
        QVERIFY(!cli.isRunning());
        static const QRegularExpression logged("^\\n--- \\S+ script ---\\nINSTALL_LAUNCH_FAILED\\n$");
        QVERIFY2(logged.match(read(log())).hasMatch(), qPrintable(read(log())));
    }

    // The child's environment, from the inherited one of inherited(): what goes, what stays, what is
    // set, and nothing else; an onboarding override replaces the inherited address. The child sees
    // exactly that (the address echoed without its scheme, which the log would mask as an address).
    void environment()
    {
        QCOMPARE(CLIService(options({}, inherited())).environment().value("QUORVANTIS_ONBOARDING_SERVICE_URL"),
                 "https://inherited.example");
        CLIService::Options overridden = options({}, inherited());
        overridden.onboardingOverride = [] { return std::optional(QUrl("http://localhost:4100/base")); };
        CLIService cli(overridden);
        const QString runtime = m_home->path() + "/.quorvantis/mac-app-runtime";
        QStringList expected{"NPMRC_KEPT=kept", "QUORVANTIS_ONBOARDING_SERVICE_URL=http://localhost:4100/base",
                             "HOME=" + m_home->path(), "PNPM_HOME=" + runtime + "/bin", "PM2_HOME=" + runtime + "/pm2",
                             "NPM_CONFIG_USERCONFIG=" + runtime + "/pnpm-config/npmrc", "NPM_CONFIG_GLOBALCONFIG=/dev/null",
                             "LANG=" + AgentScripts::utf8Locale(), "LC_CTYPE=" + AgentScripts::utf8Locale(),
                             "PATH=" + runtime + "/bin:/opt/homebrew/bin:/opt/homebrew/sbin:/usr/local/bin:/usr/local/sbin:"
                                 "/usr/bin:/bin:/usr/sbin:/sbin"};
        QStringList computed = cli.environment().toStringList();
        computed.sort();
        expected.sort();
        QCOMPARE(computed, expected);
        QStringList lines;
        await(cli.runScript("compgen -e; echo \"=${QUORVANTIS_ONBOARDING_SERVICE_URL#http://}\"",
                            [&](const QString &line) { lines << line; }));
        QCOMPARE(lines.takeLast(), "=localhost:4100/base");
        for (const char *own : {"PWD", "SHLVL", "OLDPWD"})
            lines.removeAll(QLatin1String(own));
        QStringList names = cli.environment().keys();
        lines.sort();
        names.sort();
        QCOMPARE(lines, names);
    }

    // The session script's operations: its arguments, and the secret given on standard input
    // masked wherever the child echoes it. Without a session script nothing starts.
    void sessionScriptOperations_data()
    {
        columns<QString, QStringList>({"operation", "lines"});
        QTest::newRow("setup") << "setup" << QStringList{"args: <--setup-only> <Ava>", "in:[REDACTED]"};
        QTest::newRow("resume") << "resume" << QStringList{"args: <--setup-only> <--resume>"};
        QTest::newRow("enroll") << "enroll"
                                << QStringList{"args: <--setup-only> <--enroll> <--workspace> <zoho> <Ava Bot>",
                                               "in:[REDACTED]"};
    }
    void sessionScriptOperations()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, lines);
        const QString script = path("~/session.sh"), key = "enrol-key-abcdef123";
        QVERIFY(writeFile(
            script, "printf 'args:'; printf ' <%s>' \"$@\"; echo; while IFS= read -r l; do echo \"in:$l\"; done\n"));
        for (const bool present : {false, true}) {
            CLIService cli(options(present ? script : QString()));
            QStringList output;
            const auto collect = [&output](const QString &line) { output << line; };
            const QHash<QString, std::function<QCoro::Task<CLIResult>()>> operations{
                {"setup", [&] { return cli.setup("QVI1-ABCD-EFGH-JKMN", "Ava", collect, {}); }},
                {"resume", [&] { return cli.resumeSetup(collect, {}); }},
                {"enroll", [&] { return cli.enroll("zoho", "Ava Bot", key, collect, {}); }}};
            QCOMPARE(failureCode(operations[operation]()), present ? "" : "INSTALL_COMPONENT_MISSING");
            QCOMPARE(QFileInfo::exists(log()), present);
            QCOMPARE(output, present ? lines : QStringList());
        }
        QVERIFY2(read(log()).contains(" session.sh --setup-only"), qPrintable(read(log()).left(80)));
        QVERIFY(!read(log()).contains(key));
        QVERIFY(!read(log()).contains("ABCD-EFGH"));
    }

    // Every variant parses; the two platforms differ only in the login registration.
    void scriptsAndPlatforms()
    {
        const QString mac = AgentScripts::daemonInstall(AgentScripts::Platform::macOS);
        const QString linux = AgentScripts::daemonInstall(AgentScripts::Platform::linux);
        for (const QString &script : {mac, linux, AgentScripts::agentUpdate()}) {
            QString diagnostics;
            QVERIFY2(parses(script, &diagnostics), qPrintable(diagnostics));
            // It names itself for the install log, then stops at the first failure.
            QVERIFY(script.startsWith("# agent "));
            QVERIFY(script.section(u'\n', 1).startsWith("set -euo pipefail\n"));
        }
        QVERIFY(mac.contains("launchctl bootstrap"));
        const QString shared = "# The wrapper carries";
        QCOMPARE(linux.left(linux.indexOf(shared)),
                 mac.left(mac.indexOf(shared)).replace("$HOME/Library/LaunchAgents", "$HOME/.config/autostart"));
        QCOMPARE(CLIService::daemonInstallScript(), linux);
        // The autostart entry's Exec argument: reserved characters get a backslash, then every
        // backslash is doubled for the value.
        QCOMPARE(callFunction(linux, "desktop_exec_argument", R"(/h/a "b" $c `d` \e 100%)"),
                 R"("/h/a \\"b\\" \\$c \\`d\\` \\\\e 100%%")");
    }

    // Stale entries of older installations go (interpreter "none" or "" and a quorvantis script,
    // or another node); unrelated ones stay, whatever the process manager prints around its list.
    void installsAndStartsTheDaemon()
    {
        QVERIFY(apply("~/standin/pm2-noise="));
        QVERIFY(apply(
            R"(~/standin/pm2-extra.json=[)"
            R"({"name":"old-global","script":"/Users/x/Library/pnpm/global/quorvantis/a.js","interpreter":"none"},)"
            R"({"name":"old-store","script":"/x/.pnpm/quorvantis@0.9.0/a.js","interpreter":""},)"
            R"({"name":"other-node","script":"/srv/tool.js","interpreter":"/opt/other/node"},)"
            R"({"name":"kept-none","script":"/srv/none.js","interpreter":"none"},)"
            R"({"name":"kept-empty","script":"/srv/empty.js","interpreter":""}])"));
        QVERIFY2(run(CLIService::daemonInstallScript()) == 0, qPrintable(m_lines.join(u'\n')));
        const QString bin = path("~r/bin"), pm2Home = path("~r/pm2"), nodeDir = QFileInfo(m_node).absolutePath();
        QCOMPARE(firstApp()["interpreter"].toString(), m_node);
        QCOMPARE(firstApp()["env"]["PATH"].toString(), QStringList({bin, nodeDir, bin + "/..", "/a", "/b"}).join(u':'));
        QCOMPARE(firstApp()["env"]["PM2_HOME"].toString(), pm2Home);
        const QString ecosystem = path("~/.quorvantis/pm2-ecosystem.config.cjs");
        QCOMPARE(QFile::permissions(ecosystem) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(QDir(path("~/.quorvantis")).entryList({"pm2-ecosystem.config.cjs.*"}), QStringList());
        QCOMPARE(read("~r/pnpm-config/npmrc"),
                 path("global-dir=~r/pnpm-global\nglobal-bin-dir=~r/bin\nstore-dir=~r/pnpm-store\n"));
        // The daemon ran under the private process manager with the prepared node first on PATH.
        const QString started =
            QStringLiteral("daemon start --installed PM2_HOME=%1 PATH=%2:%3:").arg(pm2Home, nodeDir, bin);
        QVERIFY(read("~/standin/bundle-calls.log").startsWith(started));
        QStringList names;
        for (const QJsonValue &entry : QJsonDocument::fromJson(readFile(pm2Home + "/standin.json"))["list"].toArray())
            names << entry["name"].toString();
        QCOMPARE(names, (QStringList{"quorvantis", "kept-none", "kept-empty"}));
        // Only the private process manager: without an old one's socket, the old home stays alone.
        QCOMPARE(pm2Calls().filter(QRegularExpression("^" + QRegularExpression::escape(pm2Home + u' '))), pm2Calls());
        QVERIFY(!QFileInfo::exists(path("~/.pm2")));
        const QString wrapper = path("~/.quorvantis/start.sh");
        QCOMPARE(QFile::permissions(wrapper) & 0x7077, QFileDevice::Permissions(0x7055));
        QVERIFY(read(wrapper).contains("export PM2_HOME=" + pm2Home));
        QVERIFY(read(wrapper).contains("unset NVM_DIR NVM_BIN"));
        const QString exec = QStringLiteral("\nExec=/bin/bash \"%1\"\n").arg(wrapper);
        QVERIFY(read("~/.config/autostart/dev.quorvantis.agent.desktop").contains(exec));
    }

    // A user's own npmrc stays; an old process manager whose socket exists is emptied of the
    // agent's processes; the login start runs the wrapper alone, without the parent directory.
    void existingSetupAndLoginStart()
    {
        QVERIFY(apply("~r/pnpm-config/npmrc=store-dir=/mine\n"));
        QVERIFY(QDir().mkpath(path("~/.pm2")));
        QLocalServer oldManager;
        QVERIFY(oldManager.listen(path("~/.pm2/rpc.sock")));
        QCOMPARE(run(CLIService::daemonInstallScript()), 0);
        QCOMPARE(read("~r/pnpm-config/npmrc"), "store-dir=/mine\n");
        const QString oldHome = path("~/.pm2 ");
        QStringList oldCalls = pm2Calls().filter(QRegularExpression("^" + QRegularExpression::escape(oldHome)));
        QCOMPARE(oldCalls.replaceInStrings(oldHome, ""),
                 (QStringList{"delete quorvantis", "delete chat-monitor", "delete wechat-monitor",
                              "delete feishu-monitor", "save --force"}));
        QVERIFY(apply("rm ~/.quorvantis/pm2-ecosystem.config.cjs"));
        QCOMPARE(runProgram("/bin/bash", {path("~/.quorvantis/start.sh")}, QProcessEnvironment(), 30000).exitCode, 0);
        QVERIFY2(read("~/.quorvantis/logs/launchd-stdout.log").contains("[PM2] started"),
                 qPrintable(read("~/.quorvantis/logs/launchd-stdout.log")));
        QCOMPARE(firstApp()["env"]["PATH"].toString(),
                 QStringList({path("~r/bin"), QFileInfo(m_node).absolutePath(), "/a", "/b"}).join(u':'));
        QVERIFY(pm2Calls().last().endsWith(" save --force"));
    }

    // What breaks the installation, the exit status, and what the script says (part of it).
    void failures_data()
    {
        columns<QStringList, int, QString>({"actions", "status", "message"});
        const QString apps = QStringLiteral("~/standin/ecosystem.json={\"apps\":[%1]}");
        const QString stale = R"(~/standin/pm2-extra.json=[{"name":"stuck","script":"/x/.pnpm/quorvantis@0.1.0/a.js",)"
                              R"("interpreter":"none"}])";
        QTest::newRow("node not executable")
            << QStringList{"~/.quorvantis/mac-app-node-path=~/standin\n"} << 1 << "运行环境不完整";
        QTest::newRow("pm2 not executable") << QStringList{"ro ~r/bin/pm2"} << 1 << "安装工具不可用";
        QTest::newRow("bundle missing") << QStringList{"rm ~/store/quorvantis@1.0.0/dist-agent/bundle.cjs"} << 1
                                        << "运行组件不完整";
        QTest::newRow("ecosystem not written") << QStringList{"~/standin/no-ecosystem="} << 1 << "运行配置未生成";
        QTest::newRow("first app without name")
            << QStringList{apps.arg(R"({"script":"~/.quorvantis/launcher.cjs"})")} << 1 << "运行配置无效";
        QTest::newRow("no apps") << QStringList{apps.arg("")} << 1 << "config format is unsupported";
        QTest::newRow("not online") << QStringList{"~/standin/pm2-status=stopped"} << 1 << "is not online";
        QTest::newRow("other interpreter")
            << QStringList{"~/standin/pm2-interpreter=/opt/other/node"} << 1 << "interpreter does not match";
        QTest::newRow("unstable launcher")
            << QStringList{apps.arg(R"({"name":"quorvantis","script":"~/elsewhere.cjs"})")} << 1
            << "launcher is not stable";
        QTest::newRow("stale entry stays")
            << QStringList{stale, "~/standin/pm2-sticky=stuck"} << 1 << "A stale PM2 process";
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
        QVERIFY(!QFileInfo::exists(path("~/.config/autostart/dev.quorvantis.agent.desktop")));
        QVERIFY(!QFileInfo::exists(path("~/.quorvantis/start.sh")));
    }

    // What the update finds, its exit status, and its last line (empty: none says the version).
    void update_data()
    {
        columns<QString, int, QString>({"action", "status", "line"});
        QTest::newRow("newer beta") << "~/standin/next-version=1.1.0-beta.2" << 0
                                    << "Agent version checked: 1.0.0 -> 1.1.0-beta.2";
        QTest::newRow("no node path") << "rm ~/.quorvantis/mac-app-node-path" << 1 << "";
        QTest::newRow("install fails") << "~/standin/pnpm-install-fails=" << 5 << "";
    }
    void update()
    {
        QFETCH(QString, action);
        QFETCH(int, status);
        QFETCH(QString, line);
        QVERIFY(apply(action));
        QCOMPARE(run(CLIService::agentUpdateScript()), status);
        QCOMPARE(m_lines.filter("Agent version checked"), line.isEmpty() ? QStringList() : QStringList{line});
        QVERIFY(line.isEmpty() || m_lines.last() == line);
        QCOMPARE(read("~/standin/pnpm-calls.log").contains("pnpm install -g quorvantis@beta\n"), status != 1);
        // A missing tool fails quietly; the daemon is not touched by an update.
        QVERIFY(status != 1 || m_lines.isEmpty());
        QVERIFY(!QFileInfo::exists(path("~/standin/pm2-calls.log")));
    }

private:
    static QStringList inherited()
    {
        return QStringLiteral("npm_config_prefix=/x Pnpm_Home=/y NPM_CONFIG_REGISTRY=z QUORVANTIS_ENROLLMENT_KEY=s "
                              "quorvantis_enrollment_key=s NVM_DIR=/nvm NVM_BIN=/nvm/bin PATH=/inherited/bin "
                              "NPMRC_KEPT=kept HOME=/elsewhere QUORVANTIS_ONBOARDING_SERVICE_URL=https://inherited.example")
            .split(u' ');
    }
};

QTEST_GUILESS_MAIN(ProcessTests)
#include "ProcessTests.moc"
