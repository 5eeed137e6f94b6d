#include "permissions/PermissionKind.h"
#include "permissions/PermissionProbes.h"
#include "process/AgentScripts.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable
        || QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool parses(const QString &script, QString *diagnostics)
{
    QProcess bash;
    bash.start(QStringLiteral("/bin/bash"), {QStringLiteral("-n")});
    bash.write(script.toUtf8());
    bash.closeWriteChannel();
    bash.waitForFinished(10000);
    *diagnostics = QString::fromUtf8(bash.readAllStandardError());
    return bash.exitStatus() == QProcess::NormalExit && bash.exitCode() == 0;
}

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

const QString standins = QStringLiteral(QUORVANTIS_SOURCE_DIR "/tests/permissions/standins/");

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
    void macOSPlistValuesAreEscaped();
    void commandsPerKind();
    void pollBudgets();
    void jobReportsThePayloadStatus_data();
    void jobReportsThePayloadStatus();
    void jobSeesOnlyHomeAndPayloadArrivesIntact();
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
    QVERIFY(writeFile(path(QStringLiteral("tools/addon-shim.js")), readFile(standins + QStringLiteral("addon-shim.js"))));
    QVERIFY(writeFile(path(QStringLiteral("tools/node")),
                      QStringLiteral("#!/bin/bash\nexec '%1' --require '%2' \"$@\"\n")
                          .arg(node, path(QStringLiteral("tools/addon-shim.js"))).toUtf8(),
                      true));
    QVERIFY(writeFile(path(QStringLiteral(".quorvantis/mac-app-node-path")), path(QStringLiteral("tools/node")).toUtf8() + '\n'));

    QVERIFY(writeFile(runtimeBin() + QStringLiteral("/cliclick"), readFile(standins + QStringLiteral("cliclick")), true));
    QVERIFY(writeFile(path(QStringLiteral(".quorvantis/mac-app-runtime/accessibility-prompt.node")),
                      readFile(standins + QStringLiteral("accessibility-prompt.node"))));
    const QString root = path(QStringLiteral(".quorvantis/mac-app-runtime/pnpm-global/5/node_modules"));
    QVERIFY(writeFile(runtimeBin() + QStringLiteral("/pnpm"),
                      QStringLiteral("#!/bin/bash\n[ \"$1 $2\" = 'root -g' ] && echo '%1'\n").arg(root).toUtf8(), true));
    QVERIFY(writeFile(path(QStringLiteral("store/quorvantis/dist/tools/screenshot.js")),
                      readFile(standins + QStringLiteral("screenshot.js"))));
    QVERIFY(QDir().mkpath(root));
    QVERIFY(QFile::link(path(QStringLiteral("store/quorvantis")), root + QStringLiteral("/quorvantis")));
    QVERIFY(control(QStringLiteral("helper-template"), readFile(standins + QStringLiteral("macos-screenshot"))));
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
    QVERIFY(!script.contains(QRegularExpression(QStringLiteral("@[A-Z_]+@"))));
}

void ProbeTests::platformVariants()
{
    using AgentScripts::Platform;
    const QString mac = AgentScripts::permissionJob(Platform::macOS, QStringLiteral("ZXhpdCAw"), 70, std::chrono::milliseconds(200));
    const QString linux = AgentScripts::permissionJob(Platform::linux, QStringLiteral("ZXhpdCAw"), 70, std::chrono::milliseconds(200));
    QVERIFY(mac.contains(QStringLiteral("| /usr/bin/base64 -D >\"$job_dir/payload.sh\"")));
    QVERIFY(mac.contains(QStringLiteral("launchctl bootstrap \"gui/$user_id\" \"$plist\"")));
    QVERIFY(mac.contains(QStringLiteral("launchctl bootout \"gui/$user_id/$label\"")));
    QVERIFY(mac.contains(QStringLiteral("/usr/bin/plutil -insert RunAtLoad -bool true")));
    QVERIFY(mac.contains(QStringLiteral("label=\"com.quorvantis.permission.$$.$RANDOM\"")));
    QVERIFY(!mac.contains(QStringLiteral("setsid")));
    QVERIFY(linux.contains(QStringLiteral("| base64 -d >\"$job_dir/payload.sh\"")));
    QVERIFY(linux.contains(QStringLiteral("setsid /bin/bash \"$job_dir/runner.sh\"")));
    QVERIFY(!linux.contains(QStringLiteral("launchctl")));
    for (const QString &job : {mac, linux}) {
        QVERIFY(job.contains(QStringLiteral("mktemp -d \"${TMPDIR:-/tmp}/quorvantis-permission-job.XXXXXX\"")));
        QVERIFY(job.contains(QStringLiteral("attempt <= 70;")));
        QVERIFY(job.contains(QStringLiteral("sleep 0.200")));
        QVERIFY(!job.contains(QStringLiteral("set -e")));
    }
    QVERIFY(AgentScripts::diskProbe(Platform::macOS).contains(QStringLiteral("| /usr/bin/base64 -D)")));
    QVERIFY(AgentScripts::diskProbe(Platform::linux).contains(QStringLiteral("| base64 -d)")));
}

void ProbeTests::macOSPlistValuesAreEscaped()
{
    const QString mac = AgentScripts::permissionJob(AgentScripts::Platform::macOS, QStringLiteral("ZXhpdCAw"), 70,
                                                    std::chrono::milliseconds(200));
    static const QRegularExpression function(QStringLiteral("xml_escape\\(\\) \\{\\n.*?\\n\\}\\n"),
                                             QRegularExpression::DotMatchesEverythingOption);
    const QString definition = function.match(mac).captured(0);
    QVERIFY(!definition.isEmpty());
    QProcess bash;
    bash.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), definition + QStringLiteral("xml_escape \"$1\""),
                                             QStringLiteral("escape"), QStringLiteral("/tmp/a&b <c>/\"q\"")});
    QVERIFY(bash.waitForFinished(10000));
    QCOMPARE(QString::fromUtf8(bash.readAllStandardOutput()), QStringLiteral("/tmp/a&amp;b &lt;c&gt;/\"q\""));
}

void ProbeTests::commandsPerKind()
{
    QCOMPARE(CLIService::permissionCommand(PermissionKind::screenRecording, false), AgentScripts::screenProbe());
    QCOMPARE(CLIService::permissionCommand(PermissionKind::fullDiskAccess, false),
             AgentScripts::diskProbe(AgentScripts::hostPlatform()));
    const QString accessibility = CLIService::permissionCommand(PermissionKind::accessibility, true);
    QVERIFY(accessibility.contains(QStringLiteral("for client in cliclick node; do")));
    QVERIFY(accessibility.contains(QStringLiteral("QUORVANTIS_ACCESSIBILITY_CHECK_ONLY=1 QUORVANTIS_ACCESSIBILITY_PROMPT=1")));
    QVERIFY(accessibility.contains(QStringLiteral(".trusted(true)")));
    const QString nodeOnly = CLIService::accessibilityProbeCommand({CLIService::AccessibilityClient::node}, false);
    QVERIFY(nodeOnly.contains(QStringLiteral("for client in node; do")));
    QVERIFY(nodeOnly.contains(QStringLiteral("extra_environment=\"QUORVANTIS_ACCESSIBILITY_CHECK_ONLY=1\"")));
    QVERIFY(nodeOnly.contains(QStringLiteral(".trusted(false)")));
}

void ProbeTests::pollBudgets()
{
    using PermissionProbes::Operation;
    QCOMPARE(PermissionProbes::pollBudget(Operation::check), 70);
    QCOMPARE(PermissionProbes::pollBudget(Operation::prepare), 320);
    QCOMPARE(PermissionProbes::pollBudget(Operation::accessibility), 50);
}

void ProbeTests::jobReportsThePayloadStatus_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<int>("status");
    QTest::newRow("granted") << "exit 0" << 0;
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
    // A written result ends the polling at once, long before the budget of 10 s.
    if (status == 0)
        QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(jobDirectories(), QStringList());
}

void ProbeTests::jobSeesOnlyHomeAndPayloadArrivesIntact()
{
    const QString payload = QStringLiteral("env >\"$HOME/job-env\"; printf '%s' \"引号 ' \\\" \\$x\" >\"$HOME/job-text\"");
    QCOMPARE(runJob(payload, 50, std::chrono::milliseconds(200)), 0);
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
    QTest::newRow("node throws") << true << "node-trusted=throw" << false << false << "denied";
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
        QVERIFY(writeFile(path(QStringLiteral("tools/cliclick")), readFile(standins + QStringLiteral("cliclick")), true));
    } else if (!setup.isEmpty()) {
        QVERIFY(control(setup.section(QLatin1Char('='), 0, 0), setup.section(QLatin1Char('='), 1).toUtf8()));
    }

    const auto cli = service();
    const AccessibilityStep step = nodeStep ? AccessibilityStep::node : AccessibilityStep::cliclick;
    QCOMPARE(QuorvantisTest::await(cli->accessibilityGranted(step, requestPrompt)), granted);
    QCOMPARE(QString::fromUtf8(readFile(stateFile())), state + QLatin1Char('\n'));
    QCOMPARE(QFile::permissions(stateFile()) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QCOMPARE(jobDirectories(), QStringList());

    const QString prompt = requestPrompt ? QStringLiteral("1") : QString();
    if (nodeStep) {
        QCOMPARE(QString::fromUtf8(readFile(path(QStringLiteral("standin/trusted-calls.log")))),
                 QStringLiteral("%1 check=1 prompt=%2\n").arg(QLatin1String(requestPrompt ? "true" : "false"), prompt));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("standin/cliclick-calls.log"))));
    } else {
        const QByteArray calls = readFile(path(QStringLiteral("standin/cliclick-calls.log")));
        if (setup == QLatin1String("no-cliclick") || setup == QLatin1String("mismatch"))
            QVERIFY(calls.isEmpty());
        else
            QCOMPARE(QString::fromUtf8(calls), QStringLiteral("-V check=1 prompt=%1\n").arg(prompt));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("standin/trusted-calls.log"))));
    }
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
    QTest::newRow("screenshot of 5000 bytes") << "helper" << true;
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
    if (setup.startsWith(QLatin1String("helper"))) {
        QVERIFY(writeFile(helper, readFile(standins + QStringLiteral("macos-screenshot")), true));
        if (setup.contains(QLatin1Char(' ')))
            QVERIFY(control(QStringLiteral("shot-size"), setup.section(QLatin1Char(' '), 1).toUtf8()));
    } else if (setup == QLatin1String("install")) {
        QVERIFY(control(QStringLiteral("install-helper")));
    } else if (setup == QLatin1String("no-module")) {
        QVERIFY(QFile::remove(path(QStringLiteral("store/quorvantis/dist/tools/screenshot.js"))));
        QVERIFY(writeFile(helper, readFile(standins + QStringLiteral("macos-screenshot")), true));
    } else if (setup == QLatin1String("no-pnpm")) {
        QVERIFY(QFile::remove(runtimeBin() + QStringLiteral("/pnpm")));
        QVERIFY(writeFile(helper, readFile(standins + QStringLiteral("macos-screenshot")), true));
    }
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
