#include "permissions/PermissionKind.h"
#include "permissions/PermissionProbes.h"
#include "process/AgentScripts.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ScriptFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace QuorvantisTest;

namespace {

// Whether any process runs with this exact argument.
bool processWithArgument(const QByteArray &argument)
{
    QDirIterator proc(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (proc.hasNext()) {
        const QByteArray commandLine = readFile(proc.next() + QStringLiteral("/cmdline"));
        if (commandLine.split('\0').contains(argument))
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
    void refusedRunReadsAsNotGranted();
    void accessibilityClients_data();
    void accessibilityClients();
    void fullAccessibilityCheck_data();
    void fullAccessibilityCheck();
    void missingProbeModuleLeavesTheStateAlone();
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
    std::unique_ptr<CLIService> service(std::chrono::milliseconds interval = std::chrono::milliseconds(200)) const;
    int runJob(const QString &payload, int polls, std::chrono::milliseconds interval);
    QStringList jobDirectories() const
    {
        return QDir(m_temporary).entryList({QStringLiteral("quorvantis-*")}, QDir::AllEntries | QDir::Hidden);
    }

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_temporary;
};

void ProbeTests::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    m_temporary = path(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(m_temporary));
    QVERIFY(QDir().mkpath(path(QStringLiteral("standin"))));

    // node: the real one, preloading the shim that lets the accessibility module be a script.
    const QString node = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("node"))).canonicalFilePath();
    QVERIFY2(!node.isEmpty(), "node is needed for the probe tests");
    QVERIFY(copyStandin(QStringLiteral("addon-shim.js"), path(QStringLiteral("tools/addon-shim.js"))));
    QVERIFY(writeFile(path(QStringLiteral("tools/node")),
                      QStringLiteral("#!/bin/bash\nexec '%1' --require '%2' \"$@\"\n")
                          .arg(node, path(QStringLiteral("tools/addon-shim.js"))).toUtf8(),
                      true));
    QVERIFY(writeFile(path(QStringLiteral(".quorvantis/mac-app-node-path")), path(QStringLiteral("tools/node")).toUtf8() + '\n'));

    QVERIFY(copyStandin(QStringLiteral("cliclick"), runtimeBin() + QStringLiteral("/cliclick"), true));
    QVERIFY(copyStandin(QStringLiteral("accessibility-prompt.node"),
                        path(QStringLiteral(".quorvantis/mac-app-runtime/accessibility-prompt.node"))));
    const QString root = path(QStringLiteral(".quorvantis/mac-app-runtime/pnpm-global/5/node_modules"));
    QVERIFY(writeFile(runtimeBin() + QStringLiteral("/pnpm"),
                      QStringLiteral("#!/bin/bash\n[ \"$1 $2\" = 'root -g' ] && echo '%1'\n").arg(root).toUtf8(), true));
    QVERIFY(copyStandin(QStringLiteral("screenshot.js"), path(QStringLiteral("store/quorvantis/dist/tools/screenshot.js"))));
    QVERIFY(QDir().mkpath(root));
    QVERIFY(QFile::link(path(QStringLiteral("store/quorvantis")), root + QStringLiteral("/quorvantis")));
    QVERIFY(copyStandin(QStringLiteral("macos-screenshot"), path(QStringLiteral("standin/helper-template"))));
}

std::unique_ptr<CLIService> ProbeTests::service(std::chrono::milliseconds interval) const
{
    CLIService::Options options;
    options.installLogPath = path(QStringLiteral("install.log"));
    options.homeDirectory = m_home->path();
    options.onboardingOverride = [] { return std::optional<QUrl>(); };
    QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
    base.insert(QStringLiteral("TMPDIR"), m_temporary);
    base.insert(QStringLiteral("QUORVANTIS_TEST_MARKER"), QStringLiteral("from-the-application"));
    options.baseEnvironment = base;
    options.permissionPollInterval = interval;
    return std::make_unique<CLIService>(options);
}

int ProbeTests::runJob(const QString &payload, int polls, std::chrono::milliseconds interval)
{
    const auto cli = service(interval);
    const QStringList arguments{QStringLiteral("-c"), cli->permissionJobScript(payload, polls)};
    return QuorvantisTest::await(cli->execute(arguments)).status;
}

void ProbeTests::scriptsParse_data()
{
    QTest::addColumn<QString>("script");
    using AgentScripts::Platform;
    for (const Platform platform : {Platform::macOS, Platform::linux}) {
        const char *name = platform == Platform::macOS ? "macOS" : "linux";
        QTest::addRow("job %s", name) << AgentScripts::permissionJob(platform, QStringLiteral("ZXhpdCAw"), 70, std::chrono::milliseconds(200));
        QTest::addRow("disk %s", name) << AgentScripts::diskProbe(platform);
    }
    QTest::newRow("screen") << AgentScripts::screenProbe();
    QTest::newRow("accessibility") << AgentScripts::accessibilityProbe({QStringLiteral("cliclick"), QStringLiteral("node")}, true);
}

void ProbeTests::scriptsParse()
{
    QFETCH(QString, script);
    QString diagnostics;
    QVERIFY2(parses(script, &diagnostics), qPrintable(diagnostics));
}

void ProbeTests::platformVariants()
{
    using AgentScripts::Platform;
    const QString mac = AgentScripts::permissionJob(Platform::macOS, QStringLiteral("ZXhpdCAw"), 70, std::chrono::milliseconds(200));
    const QString linux = AgentScripts::permissionJob(Platform::linux, QStringLiteral("ZXhpdCAw"), 70, std::chrono::milliseconds(200));
    // macOS hands the job to launchd; elsewhere it is detached with setsid.
    QVERIFY(mac.contains(QStringLiteral("launchctl bootstrap")) && !mac.contains(QStringLiteral("setsid")));
    QVERIFY(linux.contains(QStringLiteral("setsid")) && !linux.contains(QStringLiteral("launchctl")));
    QVERIFY(AgentScripts::diskProbe(Platform::macOS).contains(QStringLiteral("/usr/bin/base64 -D")));
    // The escaping of values put into the launchd property list.
    QCOMPARE(callFunction(mac, QStringLiteral("xml_escape"), QStringLiteral("/tmp/a&b <c>/\"q\"")),
             QStringLiteral("/tmp/a&amp;b &lt;c&gt;/\"q\""));
}

void ProbeTests::jobReportsThePayloadStatus_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<int>("status");
    QTest::newRow("granted")
        << QStringLiteral("env >\"$HOME/job-env\"; printf '%s' \"引号 ' \\\" \\$x\" >\"$HOME/job-text\"") << 0;
    QTest::newRow("not granted") << "exit 3" << 1;
    QTest::newRow("killed payload") << "kill -KILL $$" << 1;
}

void ProbeTests::jobReportsThePayloadStatus()
{
    QFETCH(QString, payload);
    QFETCH(int, status);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(runJob(payload, 50, std::chrono::milliseconds(200)), status);
    QCOMPARE(jobDirectories(), QStringList());
    if (status != 0)
        return;
    // A written result ends the polling at once, long before the budget of 10 s.
    QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));
    // The payload arrives intact and sees only its home, nothing of the application's environment.
    QCOMPARE(QString::fromUtf8(readFile(path(QStringLiteral("job-text")))), QStringLiteral("引号 ' \" $x"));
    const QStringList environment = QString::fromUtf8(readFile(path(QStringLiteral("job-env")))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(environment.contains(QStringLiteral("HOME=") + m_home->path()));
    for (const QString &variable : environment) {
        const QString name = variable.section(QLatin1Char('='), 0, 0);
        QVERIFY2(QStringList({"HOME", "PATH", "PWD", "SHLVL", "_"}).contains(name), qPrintable(variable));
    }
}

void ProbeTests::slowProbeIsEndedAndCleanedUp()
{
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(runJob(QStringLiteral("exec sleep 61.4142"), 3, std::chrono::milliseconds(50)), 1);
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(QuorvantisTest::spinUntil([] { return !processWithArgument("61.4142"); }, 5000));
    QCOMPARE(jobDirectories(), QStringList());
}

void ProbeTests::refusedRunReadsAsNotGranted()
{
    const auto cli = service();
    const QStringList arguments{QStringLiteral("-c"), QStringLiteral("read -r _")};
    auto blocking = cli->execute(arguments, QStringLiteral("\n"));
    QVERIFY(cli->isRunning());
    QCOMPARE(QuorvantisTest::await(cli->permissionGranted(PermissionKind::fullDiskAccess)), false);
    QCOMPARE(QuorvantisTest::await(std::move(blocking)).status, 0);
}

void ProbeTests::accessibilityClients_data()
{
    QTest::addColumn<bool>("nodeStep");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("requestPrompt");
    QTest::addColumn<bool>("granted");
    QTest::addColumn<QString>("state");

    QTest::newRow("cliclick granted") << false << "" << false << true << "granted";
    QTest::newRow("cliclick denied") << false << "cliclick-mode=denied" << false << false << "denied";
    QTest::newRow("cliclick warns") << false << "cliclick-mode=warn" << false << false << "unsupported";
    QTest::newRow("cliclick missing") << false << "no-cliclick" << false << false << "missing";
    QTest::newRow("another cliclick answers") << false << "mismatch" << false << false << "mismatch";
    QTest::newRow("cliclick with prompt") << false << "" << true << true << "granted";
    QTest::newRow("node granted") << true << "" << false << true << "granted";
    QTest::newRow("node denied") << true << "node-trusted=false" << false << false << "denied";
    QTest::newRow("node with prompt") << true << "" << true << true << "granted";
}

void ProbeTests::accessibilityClients()
{
    QFETCH(bool, nodeStep);
    QFETCH(QString, setup);
    QFETCH(bool, requestPrompt);
    QFETCH(bool, granted);
    QFETCH(QString, state);

    if (setup == QLatin1String("no-cliclick")) {
        QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/cliclick")));
    } else if (setup == QLatin1String("mismatch")) {
        // The runtime's cliclick is no program, so the search finds the one beside node.
        QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/cliclick")));
        QVERIFY(QDir().mkpath(runtimeBin() + QStringLiteral("/cliclick")));
        QVERIFY(copyStandin(QStringLiteral("cliclick"), path(QStringLiteral("tools/cliclick")), true));
    } else if (!setup.isEmpty()) {
        QVERIFY(control(setup.section(QLatin1Char('='), 0, 0), setup.section(QLatin1Char('='), 1).toUtf8()));
    }

    const auto cli = service();
    const AccessibilityStep step = nodeStep ? AccessibilityStep::node : AccessibilityStep::cliclick;
    QCOMPARE(QuorvantisTest::await(cli->accessibilityGranted(step, requestPrompt)), granted);
    QCOMPARE(QString::fromUtf8(readFile(stateFile())), state + QLatin1Char('\n'));
    QCOMPARE(QFile::permissions(stateFile()) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QCOMPARE(jobDirectories(), QStringList());

    // Only the client of the step is asked (none when no usable cliclick was found).
    const QString asked = path(nodeStep ? QStringLiteral("standin/trusted-calls.log") : QStringLiteral("standin/cliclick-calls.log"));
    const QString other = path(nodeStep ? QStringLiteral("standin/cliclick-calls.log") : QStringLiteral("standin/trusted-calls.log"));
    const QString argument = nodeStep ? QLatin1String(requestPrompt ? "true" : "false") : QLatin1String("-V");
    const bool reached = nodeStep || (setup != QLatin1String("no-cliclick") && setup != QLatin1String("mismatch"));
    QCOMPARE(QString::fromUtf8(readFile(asked)),
             reached ? QStringLiteral("%1 check=1 prompt=%2\n").arg(argument, requestPrompt ? QStringLiteral("1") : QString())
                     : QString());
    QVERIFY(!QFileInfo::exists(other));
}

void ProbeTests::fullAccessibilityCheck_data()
{
    QTest::addColumn<QString>("cliclick"); // mode, or "missing"
    QTest::addColumn<QString>("node");
    QTest::addColumn<bool>("granted");
    QTest::addColumn<QString>("state");
    QTest::newRow("both granted") << "granted" << "true" << true << "granted";
    QTest::newRow("cliclick denied, node granted") << "denied" << "true" << false << "denied";
    QTest::newRow("cliclick missing, node denied") << "missing" << "false" << false << "denied";
    QTest::newRow("cliclick warns, node granted") << "warn" << "true" << false << "unsupported";
}

void ProbeTests::fullAccessibilityCheck()
{
    QFETCH(QString, cliclick);
    QFETCH(QString, node);
    QFETCH(bool, granted);
    QFETCH(QString, state);
    if (cliclick == QLatin1String("missing"))
        QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/cliclick")));
    else
        QVERIFY(control(QStringLiteral("cliclick-mode"), cliclick.toUtf8()));
    QVERIFY(control(QStringLiteral("node-trusted"), node.toUtf8()));

    const auto cli = service();
    QCOMPARE(QuorvantisTest::await(cli->permissionGranted(PermissionKind::accessibility)), granted);
    QCOMPARE(QString::fromUtf8(readFile(stateFile())), state + QLatin1Char('\n'));
    // Every client is asked, even after the first one failed.
    QCOMPARE(readFile(path(QStringLiteral("standin/trusted-calls.log"))), QByteArray("false check=1 prompt=\n"));
}

void ProbeTests::missingProbeModuleLeavesTheStateAlone()
{
    QVERIFY(writeFile(stateFile(), "mismatch\n"));
    QVERIFY(QFile::remove(path(QStringLiteral(".quorvantis/mac-app-runtime/accessibility-prompt.node"))));
    const auto cli = service();
    QCOMPARE(QuorvantisTest::await(cli->accessibilityGranted(AccessibilityStep::cliclick, false)), false);
    QCOMPARE(readFile(stateFile()), QByteArray("mismatch\n"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("standin/cliclick-calls.log"))));
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
    const QString helper = path(QStringLiteral(".quorvantis/bin/macos-screenshot"));
    const QString what = setup.section(QLatin1Char(' '), 0, 0);
    if (what != QLatin1String("install") && !setup.isEmpty())
        QVERIFY(copyStandin(QStringLiteral("macos-screenshot"), helper, true));
    if (setup.contains(QLatin1Char(' ')))
        QVERIFY(control(QStringLiteral("shot-size"), setup.section(QLatin1Char(' '), 1).toUtf8()));
    if (what == QLatin1String("install"))
        QVERIFY(control(QStringLiteral("install-helper")));
    else if (what == QLatin1String("no-module"))
        QVERIFY(QFile::remove(path(QStringLiteral("store/quorvantis/dist/tools/screenshot.js"))));
    else if (what == QLatin1String("no-pnpm"))
        QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/pnpm")));
    const auto cli = service();
    QCOMPARE(QuorvantisTest::await(cli->permissionGranted(PermissionKind::screenRecording)), granted);
    // The module's own file and every screenshot are removed again.
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("standin/module-shot.png"))));
    QCOMPARE(QDir(QStringLiteral("/tmp")).entryList({QStringLiteral("quorvantis-screen-check-*")}), QStringList());
    QCOMPARE(jobDirectories(), QStringList());
}

void ProbeTests::fullDiskAccess()
{
    const auto cli = service();
    QCOMPARE(QuorvantisTest::await(cli->permissionGranted(PermissionKind::fullDiskAccess)), false);
    QVERIFY(QDir().mkpath(path(QStringLiteral("Library/Mail"))));
    QCOMPARE(QuorvantisTest::await(cli->preparePermission(PermissionKind::fullDiskAccess)), true);
    QVERIFY(QFile::remove(path(QStringLiteral(".quorvantis/mac-app-node-path"))));
    QCOMPARE(QuorvantisTest::await(cli->permissionGranted(PermissionKind::fullDiskAccess)), false);
    QCOMPARE(jobDirectories(), QStringList());
}

QTEST_GUILESS_MAIN(ProbeTests)
#include "ProbeTests.moc"
