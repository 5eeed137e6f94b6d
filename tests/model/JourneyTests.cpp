// The shared model objects: the installation's journey and progress list, the profile's marker
// files, the turns on the agent and what the user is asked to look at.
#include "model/ProfileMarkers.h"
#include "support/ControllerHarness.h"

#include <QProcess>

using namespace QuorvantisTest;
using Phase = SetupPhase;
using State = ProgressState;

namespace {

const QString stageFile = ProfileMarkers::installStageFile;
const QString completedFile = ProfileMarkers::completedPermissionsFile;
const QString awaitingFile = ProfileMarkers::awaitingPermissionFile;
const QString probeFile = ProfileMarkers::accessibilityProbeFile;

// A journey scenario: the launch (the stage on file, config.json), the steps, and the
// "<key>=<value>" entries of what shows afterwards (support/Steps.h).
struct Scenario
{
    QString stage; // empty: none
    bool configured = false;
    // report:<event>, apply:<phase>:<state>[:<detail>], failRunning,
    // package:<completed or ->/<total or ->
    QString ops{};
    QString expect{};
};

const QStringList stateNames{"pending", "running", "complete", "failed"};
const QStringList eventNames{"runtimePrepared", "permissionsVerified", "permissionMissing", "setupSucceeded",
                             "daemonAnswering",  "bindingCompleted",    "agentReady"};

void run(InstallJourney &journey, const QString &op)
{
    const QStringList fields = op.split(u':');
    const auto number = [](const QString &text) { return text == u"-" ? std::nullopt : std::optional(text.toInt()); };
    if (fields[0] == u"report")
        journey.report(JourneyEvent(eventNames.indexOf(fields[1])));
    else if (fields[0] == u"apply")
        journey.applyProgress(*fromRawValue<Phase>(fields[1]), State(stateNames.indexOf(fields[2])),
                              fields.size() > 3 ? std::optional(fields[3]) : std::nullopt);
    else if (fields[0] == u"failRunning")
        journey.markRunningPhasesFailed();
    else if (fields[0] == u"package")
        journey.updatePackageInstallProgress(number(fields[1].section(u'/', 0, 0)), number(fields[1].section(u'/', 1)));
    else
        qFatal("unknown operation %s", qPrintable(op));
}

// What a marker reads as, in raw values ("-": absent; the completed set space-separated).
QString readBack(const QString &directory, const QString &file)
{
    using namespace ProfileMarkers;
    const auto raw = [](const auto &value) { return value ? rawValue(*value) : QStringLiteral("-"); };
    if (file == stageFile)
        return raw(readInstallStage(directory));
    if (file == probeFile)
        return raw(readAccessibilityProbeOutcome(directory));
    QStringList kinds;
    for (const PermissionKind kind : allCases<PermissionKind>()) {
        if (readCompletedPermissions(directory).contains(kind))
            kinds << rawValue(kind);
    }
    return kinds.join(u' ');
}

} // namespace

Q_DECLARE_METATYPE(Scenario)

class JourneyTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scenarios_data()
    {
        columns<Scenario>({"row"});
        const auto launch = [](const char *name, const QString &stage, bool configured, const QString &journey) {
            const QString stored = journey.section(u' ', 0, 0);
            QTest::newRow(name) << Scenario{stage, configured, {}, "journey=" + journey + "; stored=" + stored};
        };
        // ---- What a launch shows, by the stage on file and whether the agent is configured ----
        launch("first launch", "", false, "runtime rppppppppp starting resume");
        launch("finished", "", true, "- cccccccccc starting validated onboarded configured");
        // ---- The transition table: each event moves on from its own stage only, persisting the
        // stage with the writes tied to it; any detail goes ----
        const auto report = [](const char *name, const QString &from, bool configured, const QString &event,
                               const QString &journey, int focus) {
            const QString expect = QStringLiteral("journey=%1; stored=%2; detail=%3; focus=%4");
            const QString stage = journey.section(u' ', 0, 0);
            const bool moved = !journey.contains(u"cccrpppppp"); // the detail stays where nothing moved
            QTest::newRow(name) << Scenario{from, configured, "apply:redeem:running:x; report:" + event,
                                            expect.arg(journey, stage, moved ? "-" : "x").arg(focus)};
        };
        report("runtime prepared", "runtime", false, "runtimePrepared", "permissions ccrppppppp starting resume", 0);
        report("permissions verified", "permissions", false, "permissionsVerified", "setup cccppppppp waitingSetup", 1);
        report("permissions verified again", "permissions", true, "permissionsVerified",
               "- cccccccccc starting validated onboarded configured", 0);
        report("permission missing", "", true, "permissionMissing", "permissions ccrppppppp starting resume configured", 0);
        report("setup succeeded", "setup", false, "setupSucceeded", "daemon ccccccrppp starting resume configured", 0);
        report("daemon answering", "daemon", true, "daemonAnswering", "channel cccccccrpp online validated configured", 0);
        report("binding completed", "channel", true, "bindingCompleted",
               "handshake ccccccccrp starting resume validated configured", 0);
        report("agent ready", "handshake", true, "agentReady", "- cccccccccc starting validated onboarded configured", 0);
        report("an event of another stage", "setup", false, "daemonAnswering", "setup cccrpppppp waitingSetup", 0);
        report("runtime prepared at another stage", "permissions", false, "runtimePrepared",
               "permissions cccrpppppp starting resume", 0);
        report("no permission missing before setup", "", false, "permissionMissing", "runtime cccrpppppp starting resume", 0);
        // ---- applyProgress: running completes every phase before; the tool's other statuses only run a phase ----
        const auto apply = [](const char *name, const QString &stage, const QString &ops, const QString &progress,
                              const QString &detail) {
            const QString expect = QStringLiteral("progress=%1; detail=%2; counts=%3/10");
            QTest::newRow(name) << Scenario{stage, false, ops, expect.arg(progress, detail).arg(progress.count(u'c'))};
        };
        apply("running completes earlier phases, failed ones too", "permissions",
              "failRunning; apply:handshake:running:d", "ccccccccrp", "d");
        apply("running leaves later phases", "daemon", "apply:preflight:running:d", "crccccrppp", "d");
        apply("complete leaves the others", "runtime", "apply:redeem:complete:d", "rppcpppppp", "-");
        apply("failed marks running only", "setup", "apply:verify:failed:d", "cccpprpppp", "-");
        apply("the detail is cut at 80 characters", "setup", "apply:redeem:running:" + QString(100, u'd'),
              "cccrpppppp", QString(80, u'd'));
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
        apply("a character is never cut in half", "setup",
              "apply:redeem:running:" + QString(79, u'd') + emoji + emoji, "cccrpppppp", QString(79, u'd') + emoji);
        // ---- The package counter never moves backwards while its total stays, and never passes it ----
        const auto package = [](const char *name, const QString &ops, const char *shown, int percent) {
            const QString expect = QStringLiteral("package=%1; percent=%2").arg(shown).arg(percent);
            QTest::newRow(name) << Scenario{"runtime", false, ops, expect};
        };
        package("no total yet", "package:3/-", "-", 0);
        package("never backwards", "package:5/10; package:3/10", "5/10", 50);
        package("keeps the last total", "package:5/10; package:7/-", "7/10", 70);
        package("a total below one changes nothing", "package:5/10; package:1/0", "5/10", 50);
        package("no count is raised to the last", "package:10/10; package:-/20", "10/20", 50);
        package("a smaller total caps", "package:8/10; package:3/5", "5/5", 100);
        package("half a percent rounds up", "package:1/200", "1/200", 1);
    }
    void scenarios()
    {
        QFETCH(Scenario, row);
        ControllerHarness h;
        InstallJourney &journey = h.launchAt(fromRawValue<InstallStage>(row.stage), row.configured);
        for (const QString &op : entries(row.ops))
            run(journey, op);
        const auto counter = journey.packageInstallProgress();
        const auto [completed, total] = journey.setupProgressCounts();
        const QMap<QString, QString> observed{
            {"journey", describe(journey)}, {"progress", progressLetters(journey.setupProgress())},
            {"detail", journey.setupProgressDetail().value_or("-")},
            {"package", counter ? QStringLiteral("%1/%2").arg(counter->completed).arg(counter->total) : "-"},
            {"percent", QString::number(counter.value_or(PackageInstallProgress{}).percentage())},
            {"counts", QStringLiteral("%1/%2").arg(completed).arg(total)},
            {"stored", rawOr(ProfileMarkers::readInstallStage(h.profileDirectory()))},
            {"focus", QString::number(h.attention().focusRevision())}};
        for (const QString &expected : entries(row.expect)) {
            const QString key = expected.section(u'=', 0, 0);
            QCOMPARE(key + u'=' + observed.value(key, QStringLiteral("<none>")), expected);
        }
        QCOMPARE(journey.setupProgressFraction(), completed / 10.0);
    }

    void readMarkers_data()
    {
        // content — null: no file
        columns<QString, QByteArray, QString>({"file", "content", "reads"});
        QTest::newRow("stage, trimmed") << stageFile << QByteArray(" setup\n\n") << "setup";
        QTest::newRow("stage, case-sensitive") << stageFile << QByteArray("Setup\n") << "-";
        QTest::newRow("stage, oversized") << stageFile << QByteArray(1 << 20, ' ') + "setup" << "-";
        QTest::newRow("completed, unknown lines skipped")
            << completedFile << QByteArray("accessibility\n\nbogus\nscreenRecording")
            << "screenRecording accessibility";
        QTest::newRow("probe outcome") << probeFile << QByteArray("  mismatch \n\n") << "mismatch";
    }
    void readMarkers()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, reads);
        QTemporaryDir profile;
        if (!content.isNull())
            QVERIFY(writeFile(profile.filePath(file), content));
        QCOMPARE(readBack(profile.path(), file), reads);
    }

    // A marker is written private, replacing the old one; the completed set in onboarding order
    // and creating the profile directory; nothing to write removes the file.
    void writeMarkers()
    {
        QTemporaryDir root;
        const QString profile = root.filePath(QStringLiteral("profiles/default"));
        const QString completed = profile + u'/' + completedFile, awaiting = profile + u'/' + awaitingFile;
        const auto written = [](const QString &path) { return std::make_pair(posixMode(path), readFile(path)); };
        ProfileMarkers::writeCompletedPermissions(profile,
                                                  {PermissionKind::fullDiskAccess, PermissionKind::screenRecording});
        QVERIFY(writeFile(awaiting, "old\n"));
        ProfileMarkers::writeAwaitingPermission(profile, PermissionKind::accessibility);
        QCOMPARE(written(completed), std::make_pair(0600, QByteArray("screenRecording\nfullDiskAccess\n")));
        QCOMPARE(written(awaiting), std::make_pair(0600, QByteArray("accessibility\n")));
        ProfileMarkers::writeCompletedPermissions(profile, {});
        QCOMPARE(posixMode(completed), -1);
    }

    // What killed writers leave: a probe job's temporary goes once its process is gone, a save
    // file once it is older than any write; anything else in the profile stays.
    void staleTemporaries()
    {
        QTemporaryDir profile;
        QProcess gone;
        gone.start(QStringLiteral("true"));
        QVERIFY(gone.waitForStarted());
        const qint64 deadPid = gone.processId();
        QVERIFY(gone.waitForFinished());
        const QString live = QString::number(QCoreApplication::applicationPid());
        const QMap<QString, bool> files{
            {"." + probeFile + "." + QString::number(deadPid), false},
            {"." + probeFile + "." + live, true},
            {"." + stageFile + ".0", false},
            {stageFile + ".Ab3xYz", false}, // dated back below
            {completedFile + ".Qr7kLm", true},
            {".other-file." + QString::number(deadPid), true},
            {probeFile, true},
        };
        for (const QString &name : files.keys())
            QVERIFY(writeFile(profile.filePath(name), "granted\n"));
        QFile old(profile.filePath(stageFile + ".Ab3xYz"));
        QVERIFY(old.open(QIODevice::ReadWrite));
        QVERIFY(old.setFileTime(QDateTime::currentDateTime().addSecs(-120), QFileDevice::FileModificationTime));
        old.close();
        ProfileMarkers::removeStaleTemporaries(profile.path());
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(QFileInfo::exists(profile.filePath(it.key())) == it.value(), qPrintable(it.key()));
    }

    // Turns on the agent: while a background check holds it, a press is shown at once, refuses a
    // second press, and goes ahead of the check and the stage work that asked before it.
    void turns()
    {
        ControllerHarness h;
        AgentOperations &operations = h.operations();
        std::optional<AgentOperations::Lease> holding = await(operations.check());
        QStringList order;
        const auto after = [&order](QCoro::Task<std::optional<AgentOperations::Lease>> turn,
                                    QString name) -> QCoro::Task<void> {
            const auto lease = co_await std::move(turn); // held until the name is noted
            if (lease)
                order << name;
        };
        std::vector<QCoro::Task<void>> waiting;
        waiting.push_back(after(operations.check(), QStringLiteral("check")));
        waiting.push_back(after(operations.beginStage(AgentOperation::prepareRuntime), QStringLiteral("stage")));
        waiting.push_back(after(operations.press(AgentOperation::restartAgent), QStringLiteral("press")));
        QCOMPARE(operations.operation().value_or(RunningOperation{}).kind, AgentOperation::restartAgent);
        QVERIFY(!await(operations.press(AgentOperation::updateAgent)));
        holding.reset();
        for (auto &task : waiting)
            await(std::move(task));
        QCOMPARE(order, (QStringList{"press", "check", "stage"}));
        QVERIFY(operations.isIdle());
    }

    // The newest 20 activities, newest first, dated now. (That every focus request counts, even for
    // the target already focused, the permission scenarios show: focus=s#2.)
    void activities()
    {
        ControllerHarness h;
        Attention &attention = h.attention();
        for (int i = 1; i <= 25; ++i) {
            h.time.advance(std::chrono::seconds(1));
            attention.appendActivity(QStringLiteral("event %1").arg(i));
        }
        const auto &list = attention.activities();
        QCOMPARE(list.size(), 20);
        QCOMPARE(std::make_pair(list.first().summary, list.last().summary),
                 std::make_pair(QStringLiteral("event 25"), QStringLiteral("event 6")));
        QCOMPARE(list.first().occurredAt, h.time.now());
    }
};

QTEST_GUILESS_MAIN(JourneyTests)
#include "JourneyTests.moc"
