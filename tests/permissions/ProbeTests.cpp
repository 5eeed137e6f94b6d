// The permission probes run for real: the job wrapper detaches them with setsid, and node,
// cliclick, the accessibility module and the screenshot program are stand-ins in a temporary home.
#include "permissions/PermissionProbes.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ScriptFiles.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace QuorvantisTest;
using namespace std::chrono_literals;
using AgentScripts::Platform;

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

struct Accessibility
{
    QString asked;  // node, cliclick, or both (the permission check)
    QString setup;  // space-separated: <control file>=<content>, no-cliclick, mismatch, no-module
    bool prompt = false, granted = false;
    QString state{}; // what the probe leaves
    QString calls{}; // "<client>: <how it was asked>" of every client asked
};

} // namespace

Q_DECLARE_METATYPE(Accessibility)

class ProbeTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;

    QString path(const QString &relative) const { return m_home->filePath(relative); }
    QString runtime(const QString &relative) const { return path(QStringLiteral(".quorvantis/mac-app-runtime/") + relative); }
    QString stateFile() const { return path(QStringLiteral(".quorvantis/profiles/default/mac-app-accessibility-probe")); }
    bool standin(const QString &name, const QString &to, bool executable = false) const
    {
        return writeFile(to, readFile(QStringLiteral(QUORVANTIS_SOURCE_DIR "/tests/permissions/standins/") + name), executable);
    }
    bool control(const QString &name, const QByteArray &content = {}) const { return writeFile(path(QStringLiteral("standin/") + name), content); }
    std::shared_ptr<CLIService> service() const
    {
        CLIService::Options options;
        options.installLogPath = path(QStringLiteral("install.log"));
        options.homeDirectory = m_home->path();
        options.onboardingOverride = [] { return std::optional<QUrl>(); };
        QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
        base.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
        base.insert(QStringLiteral("QUORVANTIS_TEST_MARKER"), QStringLiteral("from-the-application"));
        options.baseEnvironment = base;
        return std::make_shared<CLIService>(options);
    }
    int runJob(const QString &payload, int polls, std::chrono::milliseconds interval) const
    {
        return await(service()->execute({QStringLiteral("-c"), PermissionProbes::jobScript(payload, polls, interval)})).status;
    }
    QStringList jobDirectories() const
    {
        return QDir(path(QStringLiteral("tmp"))).entryList({QStringLiteral("quorvantis-*")}, QDir::AllEntries | QDir::Hidden);
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(path(QStringLiteral("tmp"))) && QDir().mkpath(path(QStringLiteral("standin"))));
        // node: the real one, preloading the shim that lets the accessibility module be a script.
        const QString node = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("node"))).canonicalFilePath();
        QVERIFY2(!node.isEmpty(), "node is needed for the probe tests");
        const QString shim = path(QStringLiteral("tools/addon-shim.js")), root = runtime(QStringLiteral("pnpm-global/5/node_modules"));
        QVERIFY(standin(QStringLiteral("addon-shim.js"), shim));
        QVERIFY(writeFile(path(QStringLiteral("tools/node")), QStringLiteral("#!/bin/bash\nexec '%1' --require '%2' \"$@\"\n").arg(node, shim).toUtf8(), true));
        QVERIFY(writeFile(path(QStringLiteral(".quorvantis/mac-app-node-path")), path(QStringLiteral("tools/node")).toUtf8() + '\n'));
        QVERIFY(standin(QStringLiteral("cliclick"), runtime(QStringLiteral("bin/cliclick")), true));
        QVERIFY(standin(QStringLiteral("accessibility-prompt.node"), runtime(QStringLiteral("accessibility-prompt.node"))));
        QVERIFY(writeFile(runtime(QStringLiteral("bin/pnpm")), QStringLiteral("#!/bin/bash\n[ \"$1 $2\" = 'root -g' ] && echo '%1'\n").arg(root).toUtf8(), true));
        QVERIFY(standin(QStringLiteral("screenshot.js"), path(QStringLiteral("store/quorvantis/dist/tools/screenshot.js"))));
        QVERIFY(QDir().mkpath(root) && QFile::link(path(QStringLiteral("store/quorvantis")), root + QStringLiteral("/quorvantis")));
        QVERIFY(standin(QStringLiteral("macos-screenshot"), path(QStringLiteral("standin/helper-template"))));
    }

    // Every script parses; the macOS variants (which cannot run here) differ only where they must.
    void scripts_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("has");
        QTest::addColumn<QString>("lacks");
        const QString job = QStringLiteral("ZXhpdCAw");
        QTest::newRow("job, macOS: launchd") << PermissionProbes::permissionJob(Platform::macOS, job, 70, 200ms) << "launchctl bootstrap" << "setsid";
        QTest::newRow("job, linux: setsid") << PermissionProbes::permissionJob(Platform::linux, job, 70, 200ms) << "setsid" << "launchctl";
        QTest::newRow("disk, macOS") << PermissionProbes::diskProbe(Platform::macOS) << "/usr/bin/base64 -D" << "base64 -d";
        QTest::newRow("disk, linux") << PermissionProbes::diskProbe(Platform::linux) << "base64 -d" << "base64 -D";
        QTest::newRow("screen") << PermissionProbes::screenProbe() << "" << "";
        QTest::newRow("accessibility") << PermissionProbes::accessibilityProbe({QStringLiteral("cliclick"), QStringLiteral("node")}, true) << "" << "";
    }
    void scripts()
    {
        QFETCH(QString, script);
        QFETCH(QString, has);
        QFETCH(QString, lacks);
        QString diagnostics;
        QVERIFY2(parses(script, &diagnostics), qPrintable(diagnostics));
        QVERIFY(script.contains(has) && (lacks.isEmpty() || !script.contains(lacks)));
    }

    void launchdValuesAndBudgets()
    {
        // The escaping of values put into the launchd property list.
        const QString mac = PermissionProbes::permissionJob(Platform::macOS, QStringLiteral("ZXhpdCAw"), 70, 200ms);
        QCOMPARE(callFunction(mac, QStringLiteral("xml_escape"), QStringLiteral("/tmp/a&b <c>/\"q\"")), QStringLiteral("/tmp/a&amp;b &lt;c&gt;/\"q\""));
        using PermissionProbes::Operation;
        QCOMPARE(QList<int>({PermissionProbes::pollBudget(Operation::check), PermissionProbes::pollBudget(Operation::prepare),
                             PermissionProbes::pollBudget(Operation::accessibility)}), QList<int>({70, 320, 50}));
    }

    void job_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<int>("status");
        QTest::newRow("granted") << QStringLiteral("env >\"$HOME/job-env\"; printf '%s' \"引号 ' \\\" \\$x\" >\"$HOME/job-text\"") << 0;
        QTest::newRow("not granted") << "exit 3" << 1;
        QTest::newRow("killed payload") << "kill -KILL $$" << 1;
    }
    void job()
    {
        QFETCH(QString, payload);
        QFETCH(int, status);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runJob(payload, 50, 200ms), status);
        QCOMPARE(jobDirectories(), QStringList());
        if (status != 0)
            return;
        // A written result ends the polling at once, long before the budget of 10 s.
        QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));
        // The payload arrives intact and sees only its home, nothing of the application's environment.
        QCOMPARE(QString::fromUtf8(readFile(path(QStringLiteral("job-text")))), QStringLiteral("引号 ' \" $x"));
        const QStringList environment = QString::fromUtf8(readFile(path(QStringLiteral("job-env")))).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(environment.contains(QStringLiteral("HOME=") + m_home->path()));
        for (const QString &variable : environment)
            QVERIFY2(QStringList({"HOME", "PATH", "PWD", "SHLVL", "_"}).contains(variable.section(u'=', 0, 0)), qPrintable(variable));
    }

    void slowProbeIsEndedAndCleanedUp()
    {
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runJob(QStringLiteral("exec sleep 61.4142"), 3, 50ms), 1);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(spinUntil([] { return !processWithArgument("61.4142"); }, 5000));
        QCOMPARE(jobDirectories(), QStringList());
    }

    void accessibility_data()
    {
        QTest::addColumn<Accessibility>("row");
        const QString cliclick = QStringLiteral("cliclick: -V check=1 prompt="), node = QStringLiteral("node: false check=1 prompt=");
        QTest::newRow("cliclick granted") << Accessibility{"cliclick", "", false, true, "granted", cliclick};
        QTest::newRow("cliclick denied") << Accessibility{"cliclick", "cliclick-mode=denied", false, false, "denied", cliclick};
        QTest::newRow("cliclick warns") << Accessibility{"cliclick", "cliclick-mode=warn", false, false, "unsupported", cliclick};
        QTest::newRow("cliclick missing") << Accessibility{"cliclick", "no-cliclick", false, false, "missing", ""};
        QTest::newRow("another cliclick answers") << Accessibility{"cliclick", "mismatch", false, false, "mismatch", ""};
        QTest::newRow("cliclick with prompt") << Accessibility{"cliclick", "", true, true, "granted", "cliclick: -V check=1 prompt=1"};
        QTest::newRow("node granted") << Accessibility{"node", "", false, true, "granted", node};
        QTest::newRow("node denied") << Accessibility{"node", "node-trusted=false", false, false, "denied", node};
        QTest::newRow("node with prompt") << Accessibility{"node", "", true, true, "granted", "node: true check=1 prompt=1"};
        QTest::newRow("no probe module: the state stays") << Accessibility{"cliclick", "no-module", false, false, "mismatch", ""};
        // The permission check asks every client, even after one failed.
        QTest::newRow("both granted") << Accessibility{"both", "node-trusted=true", false, true, "granted", cliclick + ' ' + node};
        QTest::newRow("cliclick denied, node granted") << Accessibility{"both", "cliclick-mode=denied", false, false, "denied", cliclick + ' ' + node};
        QTest::newRow("cliclick missing, node denied") << Accessibility{"both", "no-cliclick node-trusted=false", false, false, "denied", node};
        QTest::newRow("cliclick warns, node granted") << Accessibility{"both", "cliclick-mode=warn", false, false, "unsupported", cliclick + ' ' + node};
    }
    void accessibility()
    {
        QFETCH(Accessibility, row);
        for (const QString &step : row.setup.split(u' ', Qt::SkipEmptyParts)) {
            if (step == u"no-cliclick" || step == u"mismatch")
                QVERIFY(QFile::remove(runtime(QStringLiteral("bin/cliclick"))));
            if (step == u"mismatch") // the runtime's cliclick is no program, so the search finds the one beside node
                QVERIFY(QDir().mkpath(runtime(QStringLiteral("bin/cliclick"))) && standin(QStringLiteral("cliclick"), path(QStringLiteral("tools/cliclick")), true));
            if (step == u"no-module")
                QVERIFY(writeFile(stateFile(), "mismatch\n") && QFile::setPermissions(stateFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner)
                        && QFile::remove(runtime(QStringLiteral("accessibility-prompt.node"))));
            if (step.contains(u'='))
                QVERIFY(control(step.section(u'=', 0, 0), step.section(u'=', 1).toUtf8()));
        }
        const auto cli = service();
        const bool granted = row.asked == u"both" ? await(PermissionProbes::permissionGranted(cli, PermissionKind::accessibility))
            : await(PermissionProbes::accessibilityGranted(cli, row.asked == u"node" ? AccessibilityStep::node : AccessibilityStep::cliclick, row.prompt));
        QCOMPARE(granted, row.granted);
        QCOMPARE(QString::fromUtf8(readFile(stateFile())), row.state + u'\n');
        QCOMPARE(QFile::permissions(stateFile()) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(jobDirectories(), QStringList());
        QStringList asks;
        for (const auto &[client, log] : {std::pair(QStringLiteral("cliclick"), QStringLiteral("cliclick-calls")), std::pair(QStringLiteral("node"), QStringLiteral("trusted-calls"))}) {
            if (const QByteArray calls = readFile(path(QStringLiteral("standin/%1.log").arg(log))); !calls.isEmpty())
                asks << client + QStringLiteral(": ") + QString::fromUtf8(calls).trimmed();
        }
        QCOMPARE(asks.join(u' '), row.calls);
    }

    void screenRecording_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("granted");
        QTest::newRow("screenshot of 1001 bytes") << "helper 1001" << true;
        QTest::newRow("screenshot of 1000 bytes") << "helper 1000" << false;
        QTest::newRow("screenshot program fails") << "helper fail" << false;
        QTest::newRow("module installs the program") << "install" << true;
        QTest::newRow("no program at all") << "" << false;
        QTest::newRow("no screenshot module") << "no-module" << false;
        QTest::newRow("no pnpm") << "no-pnpm" << false;
    }
    void screenRecording()
    {
        QFETCH(QString, setup);
        QFETCH(bool, granted);
        const QString what = setup.section(u' ', 0, 0);
        if (what == u"install")
            QVERIFY(control(QStringLiteral("install-helper")));
        else if (!setup.isEmpty())
            QVERIFY(standin(QStringLiteral("macos-screenshot"), path(QStringLiteral(".quorvantis/bin/macos-screenshot")), true));
        if (setup.contains(u' '))
            QVERIFY(control(QStringLiteral("shot-size"), setup.section(u' ', 1).toUtf8()));
        if (what == u"no-module")
            QVERIFY(QFile::remove(path(QStringLiteral("store/quorvantis/dist/tools/screenshot.js"))));
        if (what == u"no-pnpm")
            QVERIFY(QFile::remove(runtime(QStringLiteral("bin/pnpm"))));
        QCOMPARE(await(PermissionProbes::permissionGranted(service(), PermissionKind::screenRecording)), granted);
        // The module's own file and every screenshot are removed again.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("standin/module-shot.png"))));
        QCOMPARE(QDir(QStringLiteral("/tmp")).entryList({QStringLiteral("quorvantis-screen-check-*")}), QStringList());
        QCOMPARE(jobDirectories(), QStringList());
    }

    void fullDiskAccess()
    {
        const auto cli = service();
        QCOMPARE(await(PermissionProbes::permissionGranted(cli, PermissionKind::fullDiskAccess)), false);
        QVERIFY(QDir().mkpath(path(QStringLiteral("Library/Mail"))));
        QCOMPARE(await(PermissionProbes::preparePermission(cli, PermissionKind::fullDiskAccess)), true);
        // A run the runner refuses (another one is running) reads as "not granted".
        auto blocking = cli->execute({QStringLiteral("-c"), QStringLiteral("read -r _")}, QStringLiteral("\n"));
        QVERIFY(cli->isRunning());
        QCOMPARE(await(PermissionProbes::permissionGranted(cli, PermissionKind::fullDiskAccess)), false);
        QCOMPARE(await(std::move(blocking)).status, 0);
        // Without the node path there is no one to ask.
        QVERIFY(QFile::remove(path(QStringLiteral(".quorvantis/mac-app-node-path"))));
        QCOMPARE(await(PermissionProbes::permissionGranted(cli, PermissionKind::fullDiskAccess)), false);
        QCOMPARE(jobDirectories(), QStringList());
    }
};

QTEST_GUILESS_MAIN(ProbeTests)
#include "ProbeTests.moc"
