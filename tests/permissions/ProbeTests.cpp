// The permission probes run for real: the job wrapper detaches them with setsid, and node,
// cliclick, the accessibility module and the screenshot program are stand-ins in a temporary home.
#include "permissions/PermissionProbes.h"
#include "process/CLIService.h"
#include "support/Test.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

// Whether any process runs with this exact argument.
bool processWithArgument(const QByteArray &argument)
{
    QDirIterator proc(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (proc.hasNext()) {
        if (readFile(proc.next() + QStringLiteral("/cmdline")).split('\0').contains(argument))
            return true;
    }
    return false;
}

constexpr auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

} // namespace

class ProbeTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;

    QString path(const QString &relative) const { return m_home->filePath(relative); }
    QString runtime(const QString &relative) const { return path(".quorvantis/mac-app-runtime/" + relative); }
    QString stateFile() const { return path(".quorvantis/profiles/default/mac-app-accessibility-probe"); }
    QStringList jobDirectories() const { return QDir(path("tmp")).entryList({"quorvantis-*"}, QDir::AllEntries); }
    bool standin(const QString &name, const QString &to, bool executable = false) const
    {
        return writeFile(to, readFile(QUORVANTIS_SOURCE_DIR "/tests/permissions/standins/" + name), executable);
    }
    bool control(const QString &name, const QByteArray &content = {}) const
    {
        return writeFile(path("standin/" + name), content);
    }
    std::shared_ptr<CLIService> service() const
    {
        CLIService::Options options;
        options.installLogPath = path("install.log");
        options.homeDirectory = m_home->path();
        options.onboardingOverride = [] { return std::optional<QUrl>(); };
        QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
        base.insert("TMPDIR", path("tmp"));
        base.insert("QUORVANTIS_TEST_MARKER", "from-the-application");
        options.baseEnvironment = base;
        return std::make_shared<CLIService>(options);
    }
    int runJob(const QString &payload, int polls, std::chrono::milliseconds interval) const
    {
        return await(service()->execute({"-c", PermissionProbes::permissionJobScript(payload, polls, interval)})).status;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(path("tmp")));
        QVERIFY(QDir().mkpath(path("standin")));
        // node: the real one, preloading the shim that lets the accessibility module be a script.
        const QString node = QFileInfo(QStandardPaths::findExecutable("node")).canonicalFilePath();
        QVERIFY2(!node.isEmpty(), "node is needed for the probe tests");
        const QString shim = path("tools/addon-shim.js"), root = runtime("pnpm-global/5/node_modules");
        QVERIFY(standin("addon-shim.js", shim));
        const QString nodeWrapper = QStringLiteral("#!/bin/bash\nexec '%1' --require '%2' \"$@\"\n").arg(node, shim);
        QVERIFY(writeFile(path("tools/node"), nodeWrapper.toUtf8(), true));
        QVERIFY(writeFile(path(".quorvantis/mac-app-node-path"), path("tools/node").toUtf8() + '\n'));
        QVERIFY(standin("cliclick", runtime("bin/cliclick"), true));
        QVERIFY(standin("accessibility-prompt.node", runtime("accessibility-prompt.node")));
        const QString pnpm = QStringLiteral("#!/bin/bash\n[ \"$1 $2\" = 'root -g' ] && echo '%1'\n").arg(root);
        QVERIFY(writeFile(runtime("bin/pnpm"), pnpm.toUtf8(), true));
        QVERIFY(standin("screenshot.js", path("store/quorvantis/dist/tools/screenshot.js")));
        QVERIFY(QDir().mkpath(root));
        QVERIFY(QFile::link(path("store/quorvantis"), root + "/quorvantis"));
        QVERIFY(standin("macos-screenshot", path("standin/helper-template")));
    }

    // A job's exit: 0 granted, 1 not granted, 2 no answer within its budget of polls (50 ms apart).
    void job_data()
    {
        columns<QString, int, int>({"payload", "polls", "status"});
        // (Quotes escaped: the meta-object compiler loses the functions after a raw string like this one.)
        QTest::newRow("granted") << "env >\"$HOME/job-env\"; printf '%s' \"引号 ' \\\" \\$x\" >\"$HOME/job-text\"" << 200 << 0;
        QTest::newRow("not granted") << "exit 3" << 200 << 1;
        QTest::newRow("killed payload") << "kill -KILL $$" << 200 << 1;
        QTest::newRow("no answer in time") << "exec sleep 61.4142" << 3 << 2;
        // Stopped past its budget while it records its answer (a stand-in mv that hangs).
        QTest::newRow("stopped while recording") << "hanging mv" << 80 << 2;
    }
    void job()
    {
        QFETCH(QString, payload);
        QFETCH(int, polls);
        QFETCH(int, status);
        if (payload == u"hanging mv") {
            QVERIFY(writeFile(runtime("bin/mv"), "#!/bin/bash\ntouch \"$HOME/moving\"\nexec sleep 61.4142\n", true));
            payload = PermissionProbes::accessibilityProbe({"cliclick"}, false);
        }
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runJob(payload, polls, 50ms), status);
        QCOMPARE(QFile::exists(path("moving")), QTest::currentDataTag() == QByteArray("stopped while recording"));
        // A written result ends the polling at once, long before a budget of 10 s (a job without
        // an answer takes its budget, however loaded the machine); a job stopped takes what it
        // started and its temporaries with it.
        if (status != 2)
            QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(spinUntil([] { return !processWithArgument("61.4142"); }, 5000));
        QCOMPARE(jobDirectories(), QStringList());
        QCOMPARE(QDir(path(".quorvantis/profiles/default")).entryList(QDir::Files | QDir::Hidden), QStringList());
        if (status != 0)
            return;
        // The payload arrives intact and sees only its home, nothing of the application's environment.
        QCOMPARE(QString::fromUtf8(readFile(path("job-text"))), "引号 ' \" $x");
        const QStringList environment = QString::fromUtf8(readFile(path("job-env"))).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(environment.contains("HOME=" + m_home->path()));
        for (const QString &variable : environment) {
            const QString name = variable.section(u'=', 0, 0);
            QVERIFY2(QStringList({"HOME", "PATH", "PWD", "SHLVL", "_"}).contains(name), qPrintable(variable));
        }
    }

    // The wrapper waits for its job's answer without starting a process per poll: a `cat` or a
    // `sleep` first on the wrapper's search path (the runtime's) is never run while it polls (the
    // payload runs on the default search path of a login job and may use both).
    void pollingStartsNoProcess()
    {
        const QString log = path("shims.log");
        for (const QString &name : {QStringLiteral("cat"), QStringLiteral("sleep")}) {
            const QString shim = QStringLiteral("#!/bin/bash\necho %1 >>'%2'\nexec /bin/%1 \"$@\"\n").arg(name, log);
            QVERIFY(writeFile(runtime("bin/" + name), shim.toUtf8(), true));
        }
        const auto cli = service();
        // The wrapper's shell would find them.
        QCOMPARE(await(cli->execute({"-c", "sleep 0; cat </dev/null"})).status, 0);
        QCOMPARE(readFile(log), QByteArray("sleep\ncat\n"));
        QVERIFY(QFile::remove(log));
        // Answered after several polls 20 ms apart; and a job that never answers polls its whole budget.
        QCOMPARE(await(cli->execute({"-c", PermissionProbes::permissionJobScript("sleep 0.3; exit 0", 100, 20ms)})).status, 0);
        QCOMPARE(await(cli->execute({"-c", PermissionProbes::permissionJobScript("exec sleep 30", 10, 20ms)})).status, 2);
        QCOMPARE(readFile(log), QByteArray());
        QCOMPARE(jobDirectories(), QStringList());
    }

    // The client asked (node, cliclick, or both: the permission check asks every client, even
    // after one failed) and the stand-ins' setup (<control file>=<content>, no-cliclick, mismatch,
    // no-module); then what the probe answers and leaves behind, and how each client was asked.
    void accessibility_data()
    {
        columns<QString, QString, bool, QString, QString>({"asked", "setup", "granted", "state", "calls"});
        const QString cliclick = QStringLiteral("cliclick: -V check=1 prompt="), node = "node: false check=1 prompt=";
        const QString both = cliclick + ' ' + node;
        QTest::newRow("cliclick granted") << "cliclick" << "" << true << "granted" << cliclick;
        QTest::newRow("cliclick denied") << "cliclick" << "cliclick-mode=denied" << false << "denied"
                                         << cliclick;
        QTest::newRow("cliclick warns") << "cliclick" << "cliclick-mode=warn" << false << "unsupported"
                                        << cliclick;
        QTest::newRow("cliclick missing") << "cliclick" << "no-cliclick" << false << "missing" << "";
        QTest::newRow("another cliclick answers") << "cliclick" << "mismatch" << false << "mismatch" << "";
        QTest::newRow("node denied") << "node" << "node-trusted=false" << false << "denied" << node;
        QTest::newRow("no probe module: the state stays") << "cliclick" << "no-module" << false << "mismatch"
                                                          << "";
        QTest::newRow("cliclick denied, node granted") << "both" << "cliclick-mode=denied" << false << "denied"
                                                       << both;
    }
    void accessibility()
    {
        QFETCH(QString, asked);
        QFETCH(QString, setup);
        for (const QString &step : setup.split(u' ', Qt::SkipEmptyParts)) {
            if (step == u"no-cliclick" || step == u"mismatch")
                QVERIFY(QFile::remove(runtime("bin/cliclick")));
            if (step == u"mismatch") { // the runtime's cliclick is no program: the search finds the one beside node
                QVERIFY(QDir().mkpath(runtime("bin/cliclick")));
                QVERIFY(standin("cliclick", path("tools/cliclick"), true));
            }
            if (step == u"no-module") {
                QVERIFY(writeFile(stateFile(), "mismatch\n"));
                QVERIFY(QFile::setPermissions(stateFile(), ownerOnly));
                QVERIFY(QFile::remove(runtime("accessibility-prompt.node")));
            }
            if (step.contains(u'='))
                QVERIFY(control(step.section(u'=', 0, 0), step.section(u'=', 1).toUtf8()));
        }
        const auto cli = service();
        const AccessibilityStep client = asked == u"node" ? AccessibilityStep::node : AccessibilityStep::cliclick;
        auto probe = asked == u"both" ? PermissionProbes::permissionGranted(cli, PermissionKind::accessibility)
                                      : PermissionProbes::accessibilityGranted(cli, client, false);
        const bool granted = await(std::move(probe));
        QTEST(granted, "granted");
        QTEST(QString::fromUtf8(readFile(stateFile())).chopped(1), "state");
        QCOMPARE(QFile::permissions(stateFile()) & 0x7077, ownerOnly);
        QStringList asks;
        for (const auto &[name, log] : {std::pair("cliclick", "cliclick-calls"), std::pair("node", "trusted-calls")}) {
            const QByteArray calls = readFile(path(QStringLiteral("standin/%1.log").arg(log)));
            if (!calls.isEmpty())
                asks << QString::fromLatin1(name) + ": " + QString::fromUtf8(calls).trimmed();
        }
        QTEST(asks.join(u' '), "calls");
    }

    // The stand-ins' setup: the screenshot program ("helper <its size or fail>"), or installed
    // by the module ("install"); or no module.
    void screenRecording_data()
    {
        columns<QString, bool>({"setup", "granted"});
        QTest::newRow("screenshot of 1001 bytes") << "helper 1001" << true;
        QTest::newRow("screenshot of 1000 bytes") << "helper 1000" << false;
        QTest::newRow("screenshot program fails") << "helper fail" << false;
        QTest::newRow("module installs the program") << "install" << true;
        QTest::newRow("no screenshot module") << "no-module" << false;
    }
    void screenRecording()
    {
        QFETCH(QString, setup);
        QFETCH(bool, granted);
        const QString what = setup.section(u' ', 0, 0);
        if (what == u"install")
            QVERIFY(control("install-helper"));
        else
            QVERIFY(standin("macos-screenshot", path(".quorvantis/bin/macos-screenshot"), true));
        if (setup.contains(u' '))
            QVERIFY(control("shot-size", setup.section(u' ', 1).toUtf8()));
        if (what == u"no-module")
            QVERIFY(QFile::remove(path("store/quorvantis/dist/tools/screenshot.js")));
        QCOMPARE(await(PermissionProbes::permissionGranted(service(), PermissionKind::screenRecording)), granted);
        // The module's own file and every screenshot are removed again.
        QVERIFY(!QFileInfo::exists(path("standin/module-shot.png")));
        QCOMPARE(QDir("/tmp").entryList({"quorvantis-screen-check-*"}), QStringList());
    }

    void fullDiskAccess()
    {
        const auto cli = service();
        QCOMPARE(await(PermissionProbes::permissionGranted(cli, PermissionKind::fullDiskAccess)), false);
        QVERIFY(QDir().mkpath(path("Library/Mail")));
        QCOMPARE(await(PermissionProbes::preparePermission(cli, PermissionKind::fullDiskAccess)), true);
        // A probe the runner refuses (another run holds it) did not run: it answers nothing.
        auto blocking = cli->execute({"-c", "read -r _"}, QStringLiteral("\n"));
        QVERIFY(cli->isRunning());
        QVERIFY_THROWS_EXCEPTION(QuorvantisNativeError,
                                 await(PermissionProbes::permissionGranted(cli, PermissionKind::fullDiskAccess)));
        QCOMPARE(await(std::move(blocking)).status, 0);
        // Without the node path there is no one to ask.
        QVERIFY(QFile::remove(path(".quorvantis/mac-app-node-path")));
        QCOMPARE(await(PermissionProbes::permissionGranted(cli, PermissionKind::fullDiskAccess)), false);
    }
};

QTEST_GUILESS_MAIN(ProbeTests)
#include "ProbeTests.moc"
