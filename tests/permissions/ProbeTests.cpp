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

bool copyStandin(const QString &name, const QString &to, bool executable = false)
{
    return writeFile(to, readFile(QStringLiteral(QUORVANTIS_SOURCE_DIR "/tests/permissions/standins/") + name), executable);
}

} // namespace

// Probes run for real: the job wrapper detaches them with setsid, and node, cliclick, the
// accessibility module and the screenshot program are stand-ins in a temporary home.
class ProbeTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void scriptsParse_data();
    void scriptsParse();
    void platformVariants();
    void jobReportsThePayloadStatus_data();
    void jobReportsThePayloadStatus();
    void slowProbeIsEndedAndCleanedUp();
    void accessibility_data();
    void accessibility();
    void screenRecording_data();
    void screenRecording();
    void fullDiskAccess();

private:
    QString path(const QString &relative) const { return m_home->filePath(relative); }
    QString runtimeBin() const { return path(QStringLiteral(".quorvantis/mac-app-runtime/bin")); }
    QString stateFile() const { return path(QStringLiteral(".quorvantis/profiles/default/mac-app-accessibility-probe")); }
    bool control(const QString &name, const QByteArray &content = QByteArray())
    {
        return writeFile(path(QStringLiteral("standin/") + name), content);
    }
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
    int runJob(const QString &payload, int polls, std::chrono::milliseconds interval)
    {
        const QStringList arguments{QStringLiteral("-c"), PermissionProbes::jobScript(payload, polls, interval)};
        return await(service()->execute(arguments)).status;
    }
    QStringList jobDirectories() const
    {
        return QDir(path(QStringLiteral("tmp"))).entryList({QStringLiteral("quorvantis-*")}, QDir::AllEntries | QDir::Hidden);
    }

    std::unique_ptr<QTemporaryDir> m_home;
};

void ProbeTests::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(path(QStringLiteral("tmp"))) && QDir().mkpath(path(QStringLiteral("standin"))));
    // node: the real one, preloading the shim that lets the accessibility module be a script.
    const QString node = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("node"))).canonicalFilePath();
    QVERIFY2(!node.isEmpty(), "node is needed for the probe tests");
    QVERIFY(copyStandin(QStringLiteral("addon-shim.js"), path(QStringLiteral("tools/addon-shim.js"))));
    QVERIFY(writeFile(path(QStringLiteral("tools/node")),
                      QStringLiteral("#!/bin/bash\nexec '%1' --require '%2' \"$@\"\n").arg(node, path(QStringLiteral("tools/addon-shim.js"))).toUtf8(), true));
    QVERIFY(writeFile(path(QStringLiteral(".quorvantis/mac-app-node-path")), path(QStringLiteral("tools/node")).toUtf8() + '\n'));
    QVERIFY(copyStandin(QStringLiteral("cliclick"), runtimeBin() + QStringLiteral("/cliclick"), true));
    QVERIFY(copyStandin(QStringLiteral("accessibility-prompt.node"), path(QStringLiteral(".quorvantis/mac-app-runtime/accessibility-prompt.node"))));
    const QString root = path(QStringLiteral(".quorvantis/mac-app-runtime/pnpm-global/5/node_modules"));
    QVERIFY(writeFile(runtimeBin() + QStringLiteral("/pnpm"), QStringLiteral("#!/bin/bash\n[ \"$1 $2\" = 'root -g' ] && echo '%1'\n").arg(root).toUtf8(), true));
    QVERIFY(copyStandin(QStringLiteral("screenshot.js"), path(QStringLiteral("store/quorvantis/dist/tools/screenshot.js"))));
    QVERIFY(QDir().mkpath(root) && QFile::link(path(QStringLiteral("store/quorvantis")), root + QStringLiteral("/quorvantis")));
    QVERIFY(copyStandin(QStringLiteral("macos-screenshot"), path(QStringLiteral("standin/helper-template"))));
}

void ProbeTests::scriptsParse_data()
{
    QTest::addColumn<QString>("script");
    for (const Platform platform : {Platform::macOS, Platform::linux}) {
        const char *name = platform == Platform::macOS ? "macOS" : "linux";
        QTest::addRow("job %s", name) << PermissionProbes::permissionJob(platform, QStringLiteral("ZXhpdCAw"), 70, 200ms);
        QTest::addRow("disk %s", name) << PermissionProbes::diskProbe(platform);
    }
    QTest::newRow("screen") << PermissionProbes::screenProbe();
    QTest::newRow("accessibility") << PermissionProbes::accessibilityProbe({QStringLiteral("cliclick"), QStringLiteral("node")}, true);
}

void ProbeTests::scriptsParse()
{
    QFETCH(QString, script);
    QString diagnostics;
    QVERIFY2(parses(script, &diagnostics), qPrintable(diagnostics));
}

void ProbeTests::platformVariants()
{
    const QString mac = PermissionProbes::permissionJob(Platform::macOS, QStringLiteral("ZXhpdCAw"), 70, 200ms);
    const QString linux = PermissionProbes::permissionJob(Platform::linux, QStringLiteral("ZXhpdCAw"), 70, 200ms);
    // macOS hands the job to launchd; elsewhere it is detached with setsid.
    QVERIFY(mac.contains(QStringLiteral("launchctl bootstrap")) && !mac.contains(QStringLiteral("setsid")));
    QVERIFY(linux.contains(QStringLiteral("setsid")) && !linux.contains(QStringLiteral("launchctl")));
    QVERIFY(PermissionProbes::diskProbe(Platform::macOS).contains(QStringLiteral("/usr/bin/base64 -D")));
    // The escaping of values put into the launchd property list.
    QCOMPARE(callFunction(mac, QStringLiteral("xml_escape"), QStringLiteral("/tmp/a&b <c>/\"q\"")), QStringLiteral("/tmp/a&amp;b &lt;c&gt;/\"q\""));
    QCOMPARE(PermissionProbes::pollBudget(PermissionProbes::Operation::check), 70);
    QCOMPARE(PermissionProbes::pollBudget(PermissionProbes::Operation::prepare), 320);
    QCOMPARE(PermissionProbes::pollBudget(PermissionProbes::Operation::accessibility), 50);
}

void ProbeTests::jobReportsThePayloadStatus_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<int>("status");
    QTest::newRow("granted") << QStringLiteral("env >\"$HOME/job-env\"; printf '%s' \"引号 ' \\\" \\$x\" >\"$HOME/job-text\"") << 0;
    QTest::newRow("not granted") << "exit 3" << 1;
    QTest::newRow("killed payload") << "kill -KILL $$" << 1;
}

void ProbeTests::jobReportsThePayloadStatus()
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

void ProbeTests::slowProbeIsEndedAndCleanedUp()
{
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(runJob(QStringLiteral("exec sleep 61.4142"), 3, 50ms), 1);
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(spinUntil([] { return !processWithArgument("61.4142"); }, 5000));
    QCOMPARE(jobDirectories(), QStringList());
}

void ProbeTests::accessibility_data()
{
    QTest::addColumn<QString>("asked");  // node, cliclick, or both (the permission check)
    QTest::addColumn<QString>("setup");  // <control file>=<content>, no-cliclick, mismatch, no-module
    QTest::addColumn<bool>("prompt");
    QTest::addColumn<bool>("granted");
    QTest::addColumn<QString>("state");  // what the probe leaves
    QTest::addColumn<QString>("calls");  // <client>: <how it was asked>, for each client asked
    QTest::newRow("cliclick granted") << "cliclick" << "" << false << true << "granted" << "cliclick: -V check=1 prompt=";
    QTest::newRow("cliclick denied") << "cliclick" << "cliclick-mode=denied" << false << false << "denied" << "cliclick: -V check=1 prompt=";
    QTest::newRow("cliclick warns") << "cliclick" << "cliclick-mode=warn" << false << false << "unsupported" << "cliclick: -V check=1 prompt=";
    QTest::newRow("cliclick missing") << "cliclick" << "no-cliclick" << false << false << "missing" << "";
    QTest::newRow("another cliclick answers") << "cliclick" << "mismatch" << false << false << "mismatch" << "";
    QTest::newRow("cliclick with prompt") << "cliclick" << "" << true << true << "granted" << "cliclick: -V check=1 prompt=1";
    QTest::newRow("node granted") << "node" << "" << false << true << "granted" << "node: false check=1 prompt=";
    QTest::newRow("node denied") << "node" << "node-trusted=false" << false << false << "denied" << "node: false check=1 prompt=";
    QTest::newRow("node with prompt") << "node" << "" << true << true << "granted" << "node: true check=1 prompt=1";
    QTest::newRow("no probe module: the state stays") << "cliclick" << "no-module" << false << false << "mismatch" << "";
    // The permission check asks every client, even after one failed.
    QTest::newRow("both granted") << "both" << "node-trusted=true" << false << true << "granted" << "cliclick: -V check=1 prompt= node: false check=1 prompt=";
    QTest::newRow("cliclick denied, node granted") << "both" << "cliclick-mode=denied" << false << false << "denied" << "cliclick: -V check=1 prompt= node: false check=1 prompt=";
    QTest::newRow("cliclick missing, node denied") << "both" << "no-cliclick node-trusted=false" << false << false << "denied" << "node: false check=1 prompt=";
    QTest::newRow("cliclick warns, node granted") << "both" << "cliclick-mode=warn" << false << false << "unsupported" << "cliclick: -V check=1 prompt= node: false check=1 prompt=";
}

void ProbeTests::accessibility()
{
    QFETCH(QString, asked);
    QFETCH(QString, setup);
    QFETCH(bool, prompt);
    QFETCH(bool, granted);
    QFETCH(QString, state);
    QFETCH(QString, calls);
    for (const QString &step : setup.split(u' ', Qt::SkipEmptyParts)) {
        if (step == u"no-cliclick") {
            QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/cliclick")));
        } else if (step == u"mismatch") {
            // The runtime's cliclick is no program, so the search finds the one beside node.
            QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/cliclick")) && QDir().mkpath(runtimeBin() + QStringLiteral("/cliclick")));
            QVERIFY(copyStandin(QStringLiteral("cliclick"), path(QStringLiteral("tools/cliclick")), true));
        } else if (step == u"no-module") {
            QVERIFY(writeFile(stateFile(), "mismatch\n") && QFile::setPermissions(stateFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            QVERIFY(QFile::remove(path(QStringLiteral(".quorvantis/mac-app-runtime/accessibility-prompt.node"))));
        } else {
            QVERIFY(control(step.section(u'=', 0, 0), step.section(u'=', 1).toUtf8()));
        }
    }
    const auto cli = service();
    const bool answer = asked == u"both" ? await(PermissionProbes::permissionGranted(cli, PermissionKind::accessibility))
                                         : await(PermissionProbes::accessibilityGranted(cli, asked == u"node" ? AccessibilityStep::node : AccessibilityStep::cliclick, prompt));
    QCOMPARE(answer, granted);
    QCOMPARE(QString::fromUtf8(readFile(stateFile())), state + u'\n');
    QCOMPARE(QFile::permissions(stateFile()) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QCOMPARE(jobDirectories(), QStringList());
    QStringList asks;
    for (const QString &client : {QStringLiteral("cliclick"), QStringLiteral("node")}) {
        const QString log = QString::fromUtf8(readFile(path(client == u"node" ? QStringLiteral("standin/trusted-calls.log") : QStringLiteral("standin/cliclick-calls.log"))));
        if (!log.isEmpty())
            asks << client + QStringLiteral(": ") + log.trimmed();
    }
    QCOMPARE(asks.join(u' '), calls);
}

void ProbeTests::screenRecording_data()
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

void ProbeTests::screenRecording()
{
    QFETCH(QString, setup);
    QFETCH(bool, granted);
    const QString what = setup.section(u' ', 0, 0);
    if (what != u"install" && !setup.isEmpty())
        QVERIFY(copyStandin(QStringLiteral("macos-screenshot"), path(QStringLiteral(".quorvantis/bin/macos-screenshot")), true));
    if (setup.contains(u' '))
        QVERIFY(control(QStringLiteral("shot-size"), setup.section(u' ', 1).toUtf8()));
    if (what == u"install")
        QVERIFY(control(QStringLiteral("install-helper")));
    else if (what == u"no-module")
        QVERIFY(QFile::remove(path(QStringLiteral("store/quorvantis/dist/tools/screenshot.js"))));
    else if (what == u"no-pnpm")
        QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/pnpm")));
    QCOMPARE(await(PermissionProbes::permissionGranted(service(), PermissionKind::screenRecording)), granted);
    // The module's own file and every screenshot are removed again.
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("standin/module-shot.png"))));
    QCOMPARE(QDir(QStringLiteral("/tmp")).entryList({QStringLiteral("quorvantis-screen-check-*")}), QStringList());
    QCOMPARE(jobDirectories(), QStringList());
}

void ProbeTests::fullDiskAccess()
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

QTEST_GUILESS_MAIN(ProbeTests)
#include "ProbeTests.moc"
