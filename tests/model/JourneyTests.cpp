// The shared model objects: the installation's journey and progress list, the profile's marker
// files and what the user is asked to look at.
#include "model/ProfileMarkers.h"
#include "support/ControllerHarness.h"
#include "support/ScriptFiles.h"

#include <QTest>

using namespace QuorvantisTest;
using Phase = SetupPhase;
using State = ProgressState;

namespace {

const QString stageFile = ProfileMarkers::installStageFile;
const QString completedFile = ProfileMarkers::completedPermissionsFile;
const QString awaitingFile = ProfileMarkers::awaitingPermissionFile;
const QString probeFile = ProfileMarkers::accessibilityProbeFile;

struct Progress
{
    QString before;
    Phase phase = Phase::runtime;
    State state = State::running;
    QString after;
    bool detailShown = false;
};

using Counts = QList<QPair<int, int>>; // -1: absent

// Brings a list of pending phases into the states `letters` spell, through the journey's own writes.
void setStates(InstallJourney &journey, const QString &letters)
{
    for (int i = 0; i < letters.size(); ++i) {
        if (letters[i] == u'f')
            journey.applyProgress(Phase(i), State::pending);
    }
    journey.markRunningPhasesFailed();
    for (int i = 0; i < letters.size(); ++i) {
        if (letters[i] == u'r' || letters[i] == u'c')
            journey.applyProgress(Phase(i), letters[i] == u'r' ? State::pending : State::complete);
    }
}

// What a marker reads as, in raw values ("-": absent; the completed set space-separated).
QString readBack(const QString &directory, const QString &file)
{
    using namespace ProfileMarkers;
    const auto raw = [](const auto &value) { return value ? rawValue(*value) : QStringLiteral("-"); };
    if (file == stageFile)
        return raw(readInstallStage(directory));
    if (file == awaitingFile)
        return raw(readAwaitingPermission(directory));
    if (file == probeFile)
        return raw(readAccessibilityProbeOutcome(directory));
    QStringList kinds;
    for (const PermissionKind kind : allCases<PermissionKind>()) {
        if (readCompletedPermissions(directory).contains(kind))
            kinds << rawValue(kind);
    }
    return kinds.join(u' ');
}

void writeValue(const QString &directory, const QString &file, const QString &value)
{
    using namespace ProfileMarkers;
    if (file == stageFile)
        return writeInstallStage(directory, fromRawValue<InstallStage>(value));
    if (file == awaitingFile)
        return writeAwaitingPermission(directory, fromRawValue<PermissionKind>(value));
    QSet<PermissionKind> kinds;
    for (const QString &piece : value.split(u' ', Qt::SkipEmptyParts))
        kinds.insert(*fromRawValue<PermissionKind>(piece));
    writeCompletedPermissions(directory, kinds);
}

} // namespace

Q_DECLARE_METATYPE(Progress)
Q_DECLARE_METATYPE(Counts)

class JourneyTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void restoreAtLaunch_data()
    {
        QTest::addColumn<QByteArray>("marker"); // empty: none
        QTest::addColumn<bool>("configured");
        QTest::addColumn<QString>("journey");
        QTest::newRow("first launch") << QByteArray() << false << "runtime rppppppppp starting resume";
        QTest::newRow("runtime") << QByteArray("runtime\n") << false << "runtime rppppppppp starting resume";
        QTest::newRow("permissions") << QByteArray("permissions\n") << false << "permissions ccrppppppp starting resume";
        QTest::newRow("setup, trimmed") << QByteArray(" setup\n\n") << false << "setup cccppppppp waitingSetup";
        QTest::newRow("capitalised is unknown") << QByteArray("Setup\n") << false << "runtime rppppppppp starting resume";
        QTest::newRow("not UTF-8") << QByteArray("set\xffup") << false << "runtime rppppppppp starting resume";
        QTest::newRow("daemon, not configured") << QByteArray("daemon\n") << false << "daemon ccccccrppp starting resume";
        QTest::newRow("setup, configured") << QByteArray("setup\n") << true << "setup cccppppppp starting resume configured";
        QTest::newRow("daemon, configured") << QByteArray("daemon\n") << true << "daemon ccccccrppp starting resume configured";
        QTest::newRow("channel, configured") << QByteArray("channel\n") << true << "channel cccccccrpp starting resume validated configured";
        QTest::newRow("handshake, configured") << QByteArray("handshake\n") << true << "handshake ccccccccrp starting resume validated onboarded configured";
        QTest::newRow("finished") << QByteArray() << true << "- cccccccccc starting validated onboarded configured";
        QTest::newRow("garbage with config") << QByteArray("\xff\xfe\x00garbage", 10) << true << "- cccccccccc starting validated onboarded configured";
    }
    void restoreAtLaunch()
    {
        QFETCH(QByteArray, marker);
        QFETCH(bool, configured);
        QFETCH(QString, journey);
        ControllerHarness h;
        QCOMPARE(describe(h.launchWith(marker, configured)), journey);
        // What the journey holds is what is persisted.
        QCOMPARE(readBack(h.profileDirectory(), stageFile), journey.section(u' ', 0, 0));
    }

    void moveTo_data()
    {
        QTest::addColumn<QByteArray>("from"); // the launch: its marker, and config.json when that stage has it
        QTest::addColumn<QString>("to");      // "-": finished
        QTest::addColumn<QString>("journey");
        QTest::addColumn<bool>("focus");
        QTest::newRow("runtime") << QByteArray("setup\n") << "runtime" << "runtime rppppppppp starting resume" << false;
        QTest::newRow("permissions") << QByteArray() << "permissions" << "permissions ccrppppppp starting resume configured" << false;
        QTest::newRow("setup") << QByteArray("permissions\n") << "setup" << "setup cccppppppp waitingSetup" << true;
        QTest::newRow("daemon") << QByteArray("setup\n") << "daemon" << "daemon ccccccrppp starting resume configured" << false;
        QTest::newRow("channel") << QByteArray("daemon\n") << "channel" << "channel cccccccrpp online validated configured" << false;
        QTest::newRow("handshake") << QByteArray("channel\n") << "handshake" << "handshake ccccccccrp starting resume validated configured" << false;
        QTest::newRow("finished") << QByteArray("handshake\n") << "-" << "- cccccccccc starting validated onboarded configured" << false;
    }
    void moveTo()
    {
        QFETCH(QByteArray, from);
        QFETCH(QString, to);
        QFETCH(QString, journey);
        QFETCH(bool, focus);
        ControllerHarness h;
        const bool configured = from.isEmpty() || from.startsWith("daemon") || from.startsWith("channel") || from.startsWith("handshake");
        InstallJourney &moving = h.launchWith(from, configured);
        moving.applyProgress(Phase::redeem, State::running, QStringLiteral("detail"));
        const qint64 revision = h.attention().focusRevision();

        moving.moveTo(fromRawValue<InstallStage>(to));
        QCOMPARE(describe(moving), journey);
        QCOMPARE(moving.setupProgressDetail(), std::nullopt);
        QCOMPARE(readBack(h.profileDirectory(), stageFile), to);
        QCOMPARE(h.hasProfileFile(stageFile), to != u"-");
        QCOMPARE(h.attention().focusRevision(), revision + (focus ? 1 : 0));
        QCOMPARE(h.attention().focusTarget(), FocusTarget::setupCode());
    }

    void applyProgress_data()
    {
        QTest::addColumn<Progress>("row");
        QTest::newRow("running completes earlier phases") << Progress{"rpfppppppp", Phase::handshake, State::running, "ccccccccrp", true};
        QTest::newRow("running leaves later phases") << Progress{"ccccrppppp", Phase::preflight, State::running, "crccrppppp", true};
        QTest::newRow("complete leaves the others") << Progress{"rppppppppp", Phase::redeem, State::complete, "rppcpppppp", false};
        QTest::newRow("complete ends a failed phase") << Progress{"ccfppppppp", Phase::permissions, State::complete, "cccppppppp", false};
        // The setup tool's other status texts arrive as failed: the phase runs, alone.
        QTest::newRow("failed marks running only") << Progress{"pppppppppp", Phase::verify, State::failed, "ppppprpppp", false};
        QTest::newRow("pending marks running only") << Progress{"ccpppppppp", Phase::permissions, State::pending, "ccrppppppp", false};
    }
    void applyProgress()
    {
        QFETCH(Progress, row);
        ControllerHarness h;
        InstallJourney journey(h.profileDirectory(), [] {}, h.attention());
        setStates(journey, row.before);
        QCOMPARE(progressLetters(journey.setupProgress()), row.before);
        journey.applyProgress(row.phase, row.state, QStringLiteral("detail"));
        QCOMPARE(progressLetters(journey.setupProgress()), row.after);
        QCOMPARE(journey.setupProgressDetail(), row.detailShown ? std::optional(QStringLiteral("detail")) : std::nullopt);
        QCOMPARE(journey.setupProgressCounts(), std::make_pair(int(row.after.count(u'c')), 10));
        QCOMPARE(journey.setupProgressFraction(), row.after.count(u'c') / 10.0);
    }

    void detailAndFreshProgress()
    {
        ControllerHarness h;
        InstallJourney &journey = h.launchAt(InstallStage::setup);
        journey.applyProgress(Phase::channel, State::running, QString(100, u'd'));
        QCOMPARE(journey.setupProgressDetail(), QString(80, u'd'));
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
        journey.applyProgress(Phase::channel, State::running, QString(79, u'd') + emoji + emoji);
        QCOMPARE(journey.setupProgressDetail(), QString(79, u'd') + emoji);
        journey.applyProgress(Phase::channel, State::running);
        QCOMPARE(journey.setupProgressDetail(), std::nullopt);

        journey.applyProgress(Phase::channel, State::running, QStringLiteral("x"));
        journey.updatePackageInstallProgress(1, 2);
        journey.setOverallState(OverallState::error);
        journey.beginProgress();
        QCOMPARE(describe(journey), QStringLiteral("setup rppppppppp starting"));
        QCOMPARE(journey.setupProgressDetail(), std::nullopt);
        QCOMPARE(journey.packageInstallProgress(), std::nullopt);
    }

    void packageCounter_data()
    {
        QTest::addColumn<Counts>("updates");
        QTest::addColumn<QString>("shown"); // completed/total, "-": none
        QTest::addColumn<int>("percentage");
        QTest::newRow("no total yet") << Counts{{3, -1}} << "-" << 0;
        QTest::newRow("first count") << Counts{{5, 10}} << "5/10" << 50;
        QTest::newRow("never backwards") << Counts{{5, 10}, {3, 10}} << "5/10" << 50;
        QTest::newRow("keeps the last total") << Counts{{5, 10}, {7, -1}} << "7/10" << 70;
        QTest::newRow("capped at the total") << Counts{{12, 10}} << "10/10" << 100;
        QTest::newRow("total below one changes nothing") << Counts{{5, 10}, {1, 0}} << "5/10" << 50;
        QTest::newRow("no count is raised to the last") << Counts{{10, 10}, {-1, 20}} << "10/20" << 50;
        QTest::newRow("a smaller total caps") << Counts{{8, 10}, {3, 5}} << "5/5" << 100;
        QTest::newRow("two thirds") << Counts{{2, 3}} << "2/3" << 67;
        QTest::newRow("half a percent rounds up") << Counts{{1, 200}} << "1/200" << 1;
    }
    void packageCounter()
    {
        QFETCH(Counts, updates);
        QFETCH(QString, shown);
        QFETCH(int, percentage);
        ControllerHarness h;
        const auto absent = [](int value) { return value < 0 ? std::nullopt : std::optional(value); };
        for (const auto &[completed, total] : updates)
            h.journey().updatePackageInstallProgress(absent(completed), absent(total));
        const auto counter = h.journey().packageInstallProgress();
        QCOMPARE(counter ? QStringLiteral("%1/%2").arg(counter->completed).arg(counter->total) : QStringLiteral("-"), shown);
        QCOMPARE(counter.value_or(PackageInstallProgress{}).percentage(), percentage);
        QCOMPARE((PackageInstallProgress{15, 10}.percentage()), 100);
    }

    void readMarkers_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content"); // null: no file; "<dir>": a directory
        QTest::addColumn<QString>("reads");
        QTest::newRow("stage") << stageFile << QByteArray("setup\n") << "setup";
        QTest::newRow("stage, trimmed") << stageFile << QByteArray(" setup\n\n") << "setup";
        QTest::newRow("stage, case-sensitive") << stageFile << QByteArray("Setup\n") << "-";
        QTest::newRow("stage, not UTF-8") << stageFile << QByteArray("set\xffup") << "-";
        QTest::newRow("stage, oversized") << stageFile << QByteArray(1 << 20, ' ') + "setup" << "-";
        QTest::newRow("stage, none") << stageFile << QByteArray() << "-";
        QTest::newRow("stage, a directory") << stageFile << QByteArray("<dir>") << "-";
        QTest::newRow("completed, unknown lines skipped") << completedFile << QByteArray("accessibility\n\nbogus\nscreenRecording") << "screenRecording accessibility";
        QTest::newRow("completed, any white space") << completedFile << QByteArray("fullDiskAccess\taccessibility") << "accessibility fullDiskAccess";
        QTest::newRow("completed, case-sensitive") << completedFile << QByteArray("Accessibility\n") << "";
        QTest::newRow("completed, none") << completedFile << QByteArray() << "";
        QTest::newRow("awaiting, trimmed") << awaitingFile << QByteArray("  fullDiskAccess\n") << "fullDiskAccess";
        QTest::newRow("awaiting, one kind only") << awaitingFile << QByteArray("screenRecording accessibility\n") << "-";
        QTest::newRow("probe outcome") << probeFile << QByteArray("  mismatch \n\n") << "mismatch";
        QTest::newRow("probe, unknown word") << probeFile << QByteArray("maybe\n") << "-";
        QTest::newRow("probe, binary") << probeFile << QByteArray("\xff\xfe\x00mis\x80", 8) << "-";
        QTest::newRow("probe, huge") << probeFile << QByteArray(200 * 1024, 'm') << "-";
    }
    void readMarkers()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, reads);
        QTemporaryDir profile;
        if (content == "<dir>")
            QVERIFY(QDir(profile.path()).mkpath(file));
        else if (!content.isNull())
            QVERIFY(writeFile(profile.filePath(file), content));
        QCOMPARE(readBack(profile.path(), file), reads);
    }

    void writeMarkers_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("content"); // null: the file is removed
        QTest::newRow("stage") << stageFile << "setup" << QByteArray("setup\n");
        QTest::newRow("no stage") << stageFile << "-" << QByteArray();
        QTest::newRow("completed, in onboarding order") << completedFile << "fullDiskAccess screenRecording" << QByteArray("screenRecording\nfullDiskAccess\n");
        QTest::newRow("completed, empty") << completedFile << "" << QByteArray();
        QTest::newRow("awaiting") << awaitingFile << "accessibility" << QByteArray("accessibility\n");
        QTest::newRow("awaiting nothing") << awaitingFile << "-" << QByteArray();
    }
    void writeMarkers()
    {
        QFETCH(QString, file);
        QFETCH(QString, value);
        QFETCH(QByteArray, content);
        QTemporaryDir root;
        // The stage and the completed set create the profile directory; every value replaces the old.
        const QString profile = root.filePath(QStringLiteral("profiles/default"));
        if (file == awaitingFile || content.isNull())
            QVERIFY(writeFile(profile + u'/' + file, "old\n"));
        writeValue(profile, file, value);
        const QString path = profile + u'/' + file;
        QCOMPARE(readFile(path), content.isNull() ? QByteArray() : content);
        QCOMPARE(posixMode(path), content.isNull() ? -1 : 0600);
    }

    // File errors are never reported: with a file where the profile directory should be, the
    // journey still starts at the runtime stage.
    void unwritableProfile()
    {
        QTemporaryDir root;
        QVERIFY(writeFile(root.filePath(QStringLiteral("blocked")), "x"));
        const QString profile = root.filePath(QStringLiteral("blocked/profile"));
        ProfileMarkers::writeCompletedPermissions(profile, {PermissionKind::accessibility});
        ControllerHarness h;
        InstallJourney journey(profile, [] {}, h.attention());
        journey.restoreAtLaunch();
        QCOMPARE(describe(journey), QStringLiteral("runtime rppppppppp starting resume"));
        QCOMPARE(readBack(profile, stageFile), QStringLiteral("-"));
    }

    void attention()
    {
        ControllerHarness h;
        Attention &attention = h.attention();
        for (int i = 1; i <= 25; ++i) {
            h.time.advance(std::chrono::seconds(1));
            attention.appendActivity(QStringLiteral("event %1").arg(i));
        }
        const auto &list = attention.activities();
        QCOMPARE(list.size(), 20);
        QCOMPARE(std::make_pair(list.first().summary, list.last().summary), std::make_pair(QStringLiteral("event 25"), QStringLiteral("event 6")));
        QCOMPARE(list.first().occurredAt, h.time.now());
        QCOMPARE(list.first().source, ActivityEvent::Source::agent);
        QVERIFY(list[0].id != list[1].id);
        QCOMPARE(ActivityEvent::sourceName(ActivityEvent::Source::agent), QStringLiteral("Quorvantis"));

        // A focus request counts even when the target is already focused.
        const qint64 revision = attention.focusRevision();
        attention.requestFocus(FocusTarget::setupCode());
        attention.requestFocus(FocusTarget::setupCode());
        QCOMPARE(attention.focusRevision(), revision + 2);
    }
};

QTEST_GUILESS_MAIN(JourneyTests)
#include "JourneyTests.moc"
