// Status monitoring through its controller, with scripted samples on virtual time.
#include "status/StatusController.h"
#include "support/ControllerHarness.h"

#include <deque>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

// A sample of the agent: idle, or any of busy, coding, compacting, unready, newer (version 1.5.0)
// and queue=<size>, ','-separated; or a failed fetch: refused, unavailable (coded), undecodable.
struct Feed
{
    std::deque<QString> words;
    int fetches = 0;
    VirtualTime *time = nullptr;
};

QCoro::Task<AgentRuntimeStatus> fetch(std::shared_ptr<Feed> feed)
{
    ++feed->fetches;
    const QString w = feed->words.empty() ? QStringLiteral("idle") : feed->words.front();
    if (!feed->words.empty())
        feed->words.pop_front();
    if (w == u"refused")
        throw std::runtime_error("refused");
    if (w == u"unavailable")
        throw QuorvantisNativeError(QStringLiteral("AGENT_STATUS_UNAVAILABLE"), w);
    if (w == u"undecodable")
        throw AgentRuntimeStatusDecodingError("Not JSON");
    const QStringList has = w.split(u',');
    const qint64 queue = has.filter(QStringLiteral("queue=")).value(0).mid(6).toLongLong();
    using Coding = AgentRuntimeStatus::CodingSession;
    const auto coding = has.contains(u"coding") ? std::optional(Coding{"in_progress", "t"}) : std::nullopt;
    co_return AgentRuntimeStatus{feed->time->now(), QStringLiteral("running"), !has.contains(u"unready"),
                                 has.contains(u"newer") ? "1.5.0" : "1.4.0", has.contains(u"busy"),
                                 has.contains(u"compacting") ? std::optional(true) : std::nullopt, queue, 4242, coding};
}

struct Rig
{
    ControllerHarness h;
    std::shared_ptr<Feed> feed = std::make_shared<Feed>();
    QStringList links; // the other subsystems asked: "bind" (the channel refresh), a version (the update check)
    bool submitting = false;
    std::unique_ptr<StatusController> c; // after the harness: destroyed before it

    // "handshake", "finished", ...; "unconfigured" and "submitting" as further words.
    explicit Rig(const QString &setup = QStringLiteral("finished"))
    {
        h.launchAt(fromRawValue<InstallStage>(setup.section(u' ', 0, 0)), !setup.contains(u"unconfigured"));
        submitting = setup.contains(u"submitting");
        feed->time = &h.time;
        StatusController::Links to{
            .refreshOwnerSetup = [this] { return links << "bind", nothing(); },
            .checkAgentUpdate = [this](std::optional<QString> v) { return links << v.value_or("?"), nothing(); },
            .isSubmittingSetup = [this] { return submitting; }};
        c = std::make_unique<StatusController>(
            h.context(), StatusController::Effects{.fetchStatus = [f = feed] { return fetch(f); }}, to);
    }
    void poll(const QString &words)
    {
        for (const QString &word : entries(words)) {
            feed->words.push_back(word);
            h.time.advance(5s);
            await(c->refreshAgentStatus());
        }
    }
    QString state()
    {
        const StatusSnapshot &s = c->statusSnapshot();
        const auto stage = h.journey().installStage();
        QStringList activities;
        for (const ActivityEvent &event : h.attention().activities())
            activities.prepend(event.summary + (event.occurredAt == h.time.now() ? "" : "?"));
        const QString flags = QStringLiteral("%1%2%3").arg(s.bridgeConnected).arg(s.isWorking).arg(s.handshakeComplete);
        const int failures = c->consecutiveStatusFailures();
        const QString counters = QStringLiteral("seq:%1").arg(s.statusSequence)
            + (failures ? QStringLiteral(" fails:%1").arg(failures) : QString());
        const QStringList words{stage ? rawValue(*stage) : "finished", QString::number(int(h.journey().overallState())),
                                s.currentTask.value_or("-"), flags, counters, activities.join(u';'), links.join(u',')};
        return words.join(u' ').simplified();
    }
};

void row(const char *name, const char *setup, const char *samples, const char *state)
{
    QTest::newRow(name) << QString(setup) << QString(samples) << QString(state);
}

} // namespace

class StatusControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void samples_data()
    {
        // samples — polled in turn, 5 s apart
        // state — stage, overall state (0 not installed, 1 starting, 2 waiting setup, 3 online, 4 error), task, connected
        // working ready, samples taken, failures in a row, activities, the other subsystems asked
        columns<QString, QString, QString>({"setup", "samples", "state"});
        row("busy beats queue", "finished", "busy,queue=1", "finished 3 Working 111 seq:1 1.4.0");
        row("compacting beats busy", "finished", "busy,compacting,queue=1", "finished 3 Thinking 111 seq:1 1.4.0");
        row("coding beats compacting", "finished", "busy,compacting,coding,queue=1", "finished 3 Coding 111 seq:1 1.4.0");
        row("not ready", "finished", "unready", "finished 1 Idle 100 seq:1 1.4.0");
        // The second sample against the first: the activity list, dated now.
        row("queue 0 to 1", "finished", "idle; queue=1",
            "finished 3 Receiving messages 101 seq:2 Received a new message 1.4.0,1.4.0");
        row("queue 4 to 2", "finished", "queue=4; queue=2", "finished 3 Receiving messages 101 seq:2 1.4.0,1.4.0");
        row("started working", "finished", "idle; busy", "finished 3 Working 111 seq:2 Started working 1.4.0,1.4.0");
        row("still working", "finished", "busy; busy", "finished 3 Working 111 seq:2 1.4.0,1.4.0");
        row("task complete", "finished", "busy; idle", "finished 3 Idle 101 seq:2 Task complete 1.4.0,1.4.0");
        row("every sample asks for an update", "finished", "idle; newer", "finished 3 Idle 101 seq:2 1.4.0,1.5.0");
        // Three failures in a row before the agent counts as lost; the next sample starts afresh.
        row("two failures", "finished", "busy,queue=1; refused; refused", "finished 3 Working 111 seq:1 fails:2 1.4.0");
        row("three failures", "finished", "busy,queue=1; refused; unavailable; undecodable", "finished 4 - 000 seq:1 fails:3 1.4.0");
        row("back after the gap", "finished", "busy,queue=1; refused; refused; refused; idle", "finished 3 Idle 101 seq:2 1.4.0,1.4.0");
        row("back before the gap", "finished", "busy,queue=1; refused; refused; idle", "finished 3 Idle 101 seq:2 Task complete 1.4.0,1.4.0");
        // No poll while not configured, while setup is submitted, in the permission and daemon stages.
        row("not configured", "finished unconfigured", "refused; refused; refused", "runtime 1 - 000 seq:0");
        row("submitting", "finished submitting", "refused; refused; refused", "finished 1 - 000 seq:0");
        row("daemon stage", "daemon", "refused; refused; refused", "daemon 1 - 000 seq:0");
        // The first ready sample finishes the installation from the handshake.
        row("handshake, not ready", "handshake", "unready", "handshake 1 Idle 100 seq:1 1.4.0");
        row("handshake, ready", "handshake", "unready; idle", "finished 3 Idle 101 seq:2 1.4.0,1.4.0");
        row("channel, ready", "channel", "idle", "channel 3 Idle 101 seq:1 1.4.0");
    }
    // A lost agent's headline says since when it is silent; an error shown has the details itself.
    void offlineDetail()
    {
        Rig r;
        r.poll("idle; refused; refused");
        QCOMPARE(r.c->offlineDetail(), std::nullopt);
        const QString since = r.h.time.now().addSecs(-10).toLocalTime().toString("HH:mm");
        r.poll("refused");
        QCOMPARE(r.c->headlineStatusDetail(), "Agent 自 " + since + " 起没有响应，可以尝试重启 Agent。");
        r.h.attention().showError(DisplayError::from("AGENT_RESTART_FAILED", std::nullopt));
        QCOMPARE(r.c->headlineStatusDetail(), "Quorvantis 尚未就绪，请查看详情。");
    }
    void samples()
    {
        QFETCH(QString, setup);
        QFETCH(QString, samples);
        Rig r(setup);
        r.poll(samples);
        QTEST(r.state(), "state");
        // A lost agent shows in the state only.
        QVERIFY(r.h.failures.isEmpty());
        QVERIFY(!r.h.attention().lastError());
        QCOMPARE(r.c->statusSnapshot().processID.value_or(0), r.c->statusSnapshot().statusSequence ? 4242 : 0);
    }

    // The heartbeat's age in whole seconds, from two on; one from the future is just now.
    void heartbeat_data()
    {
        columns<qint64, QString>({"ageMs", "text"});
        QTest::newRow("1.9 s") << 1900ll << "刚刚";
        QTest::newRow("2 s") << 2000ll << "2 秒前";
        QTest::newRow("from the future") << -30000ll << "刚刚";
    }
    void heartbeat()
    {
        QFETCH(qint64, ageMs);
        Rig r;
        r.poll(QStringLiteral("idle"));
        const QDateTime now = r.c->statusSnapshot().bridgeHeartbeatAt.value_or(QDateTime()).addMSecs(ageMs);
        QTEST(r.c->heartbeatDescription(now), "text");
    }

    void pollingLoop()
    {
        // The channel stage refreshes the binding before each poll, twice a second (and only there).
        Rig r(QStringLiteral("channel"));
        r.c->startStatusMonitoring();
        r.c->startStatusMonitoring(); // only the first call starts a loop
        QVERIFY(spinUntil([&] { return r.h.time.pendingSleepers() == 1; }));
        r.h.time.advance(499ms);
        QCOMPARE(r.feed->fetches, 1);
        r.h.time.advance(1ms);
        QCOMPARE(r.feed->fetches, 2);
        QCOMPARE(r.links.filter(u"bind").size(), 2);
        r.h.journey().report(JourneyEvent::bindingCompleted);
        r.h.time.advance(500ms);
        r.h.time.advance(1999ms);
        QCOMPARE(r.feed->fetches, 3);
        r.h.time.advance(1ms);
        QCOMPARE(r.feed->fetches, 4);
        QCOMPARE(r.links.filter(u"bind").size(), 2);
        QCOMPARE(r.h.time.requested(), (QList<std::chrono::milliseconds>{500ms, 500ms, 2000ms, 2000ms}));
        // It ends with its controller.
        r.c.reset();
        r.h.time.advance(10s);
        QCOMPARE(r.feed->fetches, 4);
        QCOMPARE(r.h.time.pendingSleepers(), 0);
    }
};

QTEST_GUILESS_MAIN(StatusControllerTests)
#include "StatusControllerTests.moc"
