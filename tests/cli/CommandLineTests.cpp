// The command line of the real binary on the sandbox: once the agent is installed, without an
// instance (the profile and a model of its own) and with the window's instance running (its
// channel, its one-operation rule), `doctor` against each breakage the sandbox can make, a socket
// or a request of another user, and the bash completion.
#include "platform/Bundle.h"
#include "platform/SingleInstance.h"
#include "status/AgentStatusClient.h"
#include "support/ControllerHarness.h"
#include "support/Sandbox.h"
#include "support/Test.h"

#include <QJsonArray>
#include <QLocalSocket>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace QuorvantisTest;

namespace {

Finished runBinary(const QStringList &arguments,
                   const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    return runProgram(QStringLiteral(QUORVANTIS_APP_BINARY), arguments, environment, 180000);
}

QJsonObject statusJson(const QStringList &resources)
{
    return QJsonDocument::fromJson(runBinary(QStringList{"status", "--json"} + resources).out.toUtf8()).object();
}

// The checks that failed, by name, in the order doctor printed them.
QStringList failedChecks(const QString &doctorOutput)
{
    QStringList failed;
    for (const QString &line : doctorOutput.split(u'\n', Qt::SkipEmptyParts)) {
        if (line.contains(QStringLiteral("  失败  ")))
            failed << line.section(QStringLiteral("  "), 0, 0).trimmed();
    }
    return failed;
}

} // namespace

class CommandLineTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<Sandbox> m_sandbox;
    QTemporaryDir m_scratch;
    QStringList m_resources;

    QString socketPath() const { return SingleInstance::socketPath(SingleInstance::defaultName()); }

    // The window's instance on the sandbox, answering the command line.
    std::unique_ptr<QProcess> startInstance()
    {
        auto instance = std::make_unique<QProcess>();
        instance->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        instance->start(QStringLiteral(QUORVANTIS_APP_BINARY), m_resources);
        const bool answering = spinUntil([&] { return statusJson(m_resources)["source"] == "instance"; }, 60000);
        return answering ? std::move(instance) : nullptr;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<Sandbox>(QStringLiteral(QUORVANTIS_STAMP_TOOL));
        QVERIFY2(m_sandbox->launchError().isEmpty(), qPrintable(m_sandbox->launchError()));
        m_resources = {QStringLiteral("--resources"), m_sandbox->bundle()};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // The binary speaks the system's language; these tests read its Chinese.
        qputenv("LANGUAGE", "zh_CN");
        Bundle::setResourceDirectory(m_sandbox->bundle());
        QVERIFY(m_sandbox->simctl({"grant", "all"}));
        Application application;
        const int installed = await(installUntilOnline(&application.relaunch(), QStringLiteral("QVS2-7K2M-9PQR-X4TV")), 200000);
        application.quit(true);
        QVERIFY2(installed == 0, qPrintable(m_sandbox->diagnostics()));
    }

    void cleanupTestCase() { m_sandbox.reset(); }

    void usageErrors_data()
    {
        columns<QStringList>({"arguments"});
        QTest::newRow("unknown command") << QStringList{"bogus"};
        QTest::newRow("an argument too many") << QStringList{"restart", "now"};
        QTest::newRow("--json elsewhere") << QStringList{"doctor", "--json"};
    }
    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        const Finished run = runBinary(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty() && !run.err.isEmpty());
    }

    // The language kept in the profile wins over the system's, for the command line as for the
    // window; "system" gives the choice back (which language then speaks is the language tests').
    void languageChoice()
    {
        QFile marker(QDir(AgentStatusClient::defaultProfileDirectory()).filePath(QStringLiteral("mac-app-language")));
        QCOMPARE(runBinary({"language", "tlh"}).exitCode, 2);
        QVERIFY(!marker.exists());
        QCOMPARE(runBinary({"language", "en_GB"}).exitCode, 0);
        QVERIFY(marker.open(QIODevice::ReadOnly));
        QCOMPARE(marker.readAll(), "en\n");
        marker.close();
        const Finished english = runBinary(QStringList{"status"} + m_resources);
        QVERIFY2(english.out.contains(u"Install stage") && !english.out.contains(u"安装阶段"), qPrintable(english.out));
        QVERIFY(runBinary({"language"}).out.contains(u"English"));
        QCOMPARE(runBinary({"language", "system"}).exitCode, 0);
        QVERIFY(!marker.exists());
    }

    // Without an instance the profile and one status document answer; the fields say what the
    // window would show.
    void statusWithoutInstance()
    {
        const QJsonObject status = statusJson(m_resources);
        QCOMPARE(status["formatVersion"].toInt(), 1);
        QCOMPARE(status["source"].toString(), "profile");
        QCOMPARE(status["installStage"], QJsonValue(QJsonValue::Null));
        QVERIFY(status["configured"].toBool() && status["installed"].toBool());
        QCOMPARE(status["overallState"].toString(), "online");
        QCOMPARE(status["channel"].toString(), "bound");
        const QJsonObject agent = status["agent"].toObject();
        QCOMPARE(agent["state"].toString(), "online");
        QVERIFY(agent["ready"].toBool() && agent["processID"].toInteger() > 0);
        QVERIFY(!agent["version"].toString().isEmpty() && !agent["lastResponseAt"].toString().isEmpty());
        for (const char *kind : {"screenRecording", "accessibility", "fullDiskAccess"})
            QCOMPARE(status["permissions"].toObject()[kind].toObject()["state"].toString(), "granted");
        QCOMPARE(status["operation"], QJsonValue(QJsonValue::Null));
        QVERIFY(!status["appVersion"].toString().isEmpty());
        // The text says the same in aligned lines.
        const Finished text = runBinary(QStringList{"status"} + m_resources);
        QCOMPARE(text.exitCode, 0);
        QVERIFY2(text.out.contains(QStringLiteral("状态      在线")), qPrintable(text.out));
    }

    // Each dependency the sandbox can break fails its own check, and only it; `restart` without
    // an instance mends a stopped agent.
    void doctorFindsEachBreakage_data()
    {
        columns<QString, QStringList>({"breakage", "failed"});
        QTest::newRow("nothing broken") << "" << QStringList{};
        QTest::newRow("runtime gone") << "runtime" << QStringList{"私有运行环境"};
        QTest::newRow("agent stopped") << "stop-agent" << QStringList{"Agent 守护进程", "状态通道"};
        QTest::newRow("status endpoint refuses") << "status-503" << QStringList{"状态通道"};
        QTest::newRow("a permission unverified") << "permissions" << QStringList{"系统权限"};
        QTest::newRow("no keyring") << "keyring" << QStringList{"钥匙串"};
        QTest::newRow("agent configuration gone") << "config" << QStringList{"接入服务"};
    }
    void doctorFindsEachBreakage()
    {
        QFETCH(QString, breakage);
        QFETCH(QStringList, failed);
        const QString nodePath = m_sandbox->home() + "/.quorvantis/mac-app-node-path";
        const QString permissions = m_sandbox->profileFile("mac-app-permissions-completed");
        const QString config = m_sandbox->profileFile("config.json");
        const QByteArray grantedBefore = readFile(permissions);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (breakage == "runtime")
            QVERIFY(QFile::rename(nodePath, nodePath + ".away"));
        else if (breakage == "stop-agent")
            QVERIFY(m_sandbox->simctl({"stop-agent"}));
        else if (breakage == "status-503")
            QVERIFY(m_sandbox->simctl({"set", "statusHttpCode", "503"}));
        else if (breakage == "permissions")
            QVERIFY(writeFile(permissions, "screenRecording\n"));
        else if (breakage == "keyring")
            environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_scratch.filePath("no-bus"));
        else if (breakage == "config")
            QVERIFY(QFile::rename(config, config + ".away"));
        const Finished doctor = runBinary(QStringList{"doctor"} + m_resources, environment);

        // Mended before anything is compared, so one failing row leaves the next ones a whole sandbox.
        if (breakage == "runtime")
            QFile::rename(nodePath + ".away", nodePath);
        else if (breakage == "status-503")
            m_sandbox->simctl({"set", "statusHttpCode", "200"});
        else if (breakage == "permissions")
            writeFile(permissions, grantedBefore);
        else if (breakage == "config")
            QFile::rename(config + ".away", config);
        else if (breakage == "stop-agent") {
            const Finished restart = runBinary(QStringList{"restart"} + m_resources);
            QVERIFY2(restart.exitCode == 0, qPrintable(restart.err));
        }
        QCOMPARE(doctor.out.count(u'\n'), 7);
        QCOMPARE(failedChecks(doctor.out), failed);
        QCOMPARE(doctor.exitCode, failed.isEmpty() ? 0 : 1);
    }

    // With the window's instance running every subcommand goes to it: its live state, its model's
    // one-operation rule, its window and its exit.
    void withInstance()
    {
        const auto instance = startInstance();
        QVERIFY(instance);
        QVERIFY(spinUntil([&] { return statusJson(m_resources)["agent"].toObject()["state"] != "disconnected"; }, 30000));

        // An action while another runs is refused with the reason the window gives.
        QProcess update;
        update.start(QStringLiteral(QUORVANTIS_APP_BINARY), QStringList{"update"} + m_resources);
        QVERIFY(spinUntil([&] { return statusJson(m_resources)["operation"].toObject()["kind"] == "updateAgent"; }, 30000));
        const Finished refused = runBinary(QStringList{"restart"} + m_resources);
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(QStringLiteral("正在更新 Agent，完成后才能进行其他操作。")), qPrintable(refused.err));
        QVERIFY(update.waitForFinished(180000));
        QVERIFY2(update.exitCode() == 0, update.readAllStandardError().constData());

        const QString archive = m_scratch.filePath("diagnostics.tar");
        // What the archive holds and keeps out is the desktop tests'.
        QCOMPARE(runBinary(QStringList{"export-diagnostics", archive} + m_resources).exitCode, 0);
        QVERIFY(readFile(archive).contains("quorvantis-diagnostics/summary.json"));

        QCOMPARE(runBinary(QStringList{"show"} + m_resources).exitCode, 0);
        QCOMPARE(runBinary(QStringList{"quit"} + m_resources).exitCode, 0);
        QVERIFY(instance->waitForFinished(30000));
        QCOMPARE(statusJson(m_resources)["source"].toString(), "profile");
    }

    // The channel is the user's alone: no request goes to a socket another user owns, and the
    // instance answers no process of another user.
    void anotherUsersSocketOrRequest_data()
    {
        columns<bool>({"foreignSocket"});
        QTest::newRow("a socket owned by another user") << true;
        QTest::newRow("a request from another user") << false;
    }
    void anotherUsersSocketOrRequest()
    {
        QFETCH(bool, foreignSocket);
        if (::geteuid() != 0)
            QSKIP("Acting as another user needs root.");
        if (foreignSocket) {
            QProcess server; // node listens where the instance would; the file then belongs to nobody
            server.start("node", {"-e", "require('net').createServer(() => {}).listen(process.argv[1], () => "
                                        "console.log('up'))", socketPath()});
            QVERIFY(server.waitForReadyRead(10000));
            QCOMPARE(::chown(QFile::encodeName(socketPath()).constData(), 65534, 65534), 0);
            const Finished run = runBinary(QStringList{"status"} + m_resources);
            server.kill();
            server.waitForFinished();
            QFile::remove(socketPath());
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.contains(QStringLiteral("属于另一个用户")), qPrintable(run.err));
            return;
        }
        const auto instance = startInstance();
        QVERIFY(instance);
        // Even where another user can reach the socket and the file is open to everyone (a link in
        // a folder others may pass through), the peer's credentials decide.
        const QString link = m_scratch.filePath("instance");
        QCOMPARE(::link(QFile::encodeName(socketPath()).constData(), QFile::encodeName(link).constData()), 0);
        QVERIFY(QFile::setPermissions(link, QFileDevice::Permissions(0x7777)));
        QVERIFY(QFile::setPermissions(m_scratch.path(), QFileDevice::Permissions(0x7711)));
        QProcess stranger; // asks the instance to quit, unless it has been turned away first
        stranger.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "node", "-e",
                                   "const s = require('net').connect(process.argv[1]); s.pipe(process.stdout); "
                                   "s.on('error', () => {}); setTimeout(() => "
                                   "s.write('{\"protocol\":1,\"command\":\"quit\"}\\n'), 1000)",
                                   link});
        QVERIFY(stranger.waitForFinished(20000));
        QVERIFY2(stranger.readAllStandardOutput() == "refused\n", stranger.readAllStandardError().constData());
        QVERIFY(!instance->waitForFinished(500)); // it did not quit
        // A socket open to others is no channel of ours either; the owner's own mode ends the instance.
        QCOMPARE(runBinary(QStringList{"quit"} + m_resources).exitCode, 1);
        QVERIFY(QFile::setPermissions(link, QFileDevice::Permissions(0x7700)));
        QCOMPARE(runBinary(QStringList{"quit"} + m_resources).exitCode, 0);
        QVERIFY(instance->waitForFinished(30000));
    }

    // What bash completes after what was typed so far ("|" marks the cursor's word).
    void bashCompletion_data()
    {
        columns<QString, QString>({"typed", "offered"});
        QTest::newRow("subcommands") << "quorvantis-companion re|" << "restart recheck";
        QTest::newRow("all of them") << "quorvantis-companion |"
                                     << "status doctor restart recheck update export-diagnostics show quit language";
        QTest::newRow("languages") << "quorvantis-companion language |" << "zh_CN en system";
        QTest::newRow("global options") << "quorvantis-companion --|" << "--help --version --resources";
        QTest::newRow("status option") << "quorvantis-companion status --|" << "--json";
        QTest::newRow("after --resources DIR") << "quorvantis-companion --resources /nonexistent do|" << "doctor";
        QTest::newRow("nothing after restart") << "quorvantis-companion restart |" << "";
    }
    void bashCompletion()
    {
        QFETCH(QString, typed);
        QStringList words = typed.split(u' ');
        words.last().chop(1);
        for (QString &word : words)
            word = u'\'' + word + u'\'';
        const QString script = QStringLiteral("source '%1'; COMP_WORDS=(%2); COMP_CWORD=%3; _quorvantis_companion; "
                                              "echo \"${COMPREPLY[*]}\"")
                                   .arg(QStringLiteral(QUORVANTIS_SOURCE_DIR "/packaging/linux/quorvantis-companion.bash"),
                                        words.join(u' '))
                                   .arg(words.size() - 1);
        QTEST(runProgram("bash", {"-c", script}).out.trimmed(), "offered");
    }
};

QTEST_GUILESS_MAIN(CommandLineTests)
#include "CommandLineTests.moc"
