// Status monitoring through its controller, with scripted samples on virtual time.
#include "model/Attention.h"
#include "model/InstallJourney.h"
#include "status/StatusController.h"
#include "support/AwaitTask.h"
#include "support/ControllerHarness.h"

#include <QRegularExpression>
#include <QTest>

#include <deque>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

// A sample of the agent as a word: b busy, c coding, k compacting, n not ready, v version 1.5.0,
// digits the queue size. x, X, D: the fetch fails (any error, a coded one, an undecodable answer).
struct Feed
{
    std::deque<QString> words;
    int fetches = 0;
    VirtualTime *time = nullptr;
};

QCoro::Task<AgentRuntimeStatus> fetch(std::shared_ptr<Feed> feed)
{
    ++feed->fetches;
    const QString w = feed->words.empty() ? QStringLiteral("0") : feed->words.front();
    if (!feed->words.empty())
        feed->words.pop_front();
    if (w == u"x") throw std::runtime_error("refused");
    if (w == u"X") throw QuorvantisNativeError(QStringLiteral("AGENT_STATUS_UNAVAILABLE"), w);
    if (w == u"D") throw AgentRuntimeStatusDecodingError("Not JSON");
    QString digits = w;
    digits.remove(QRegularExpression(QStringLiteral("[^0-9]")));
    co_return AgentRuntimeStatus{feed->time->now(), QStringLiteral("running"), !w.contains(u'n'), w.contains(u'v') ? "1.5.0" : "1.4.0",
                                 w.contains(u'b'), w.contains(u'k') ? std::optional(true) : std::nullopt, digits.toLongLong(), 4242,
                                 w.contains(u'c') ? std::optional(AgentRuntimeStatus::CodingSession{"in_progress", "t"}) : std::nullopt};
}

QCoro::Task<void> record(QStringList *calls, QString call)
{
    co_return void(calls->append(call));
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
        c = std::make_unique<StatusController>(h.context(), StatusController::Effects{[f = feed] { return fetch(f); }},
                                               StatusController::Links{[this] { return record(&links, "bind"); },
                                                                       [this](std::optional<QString> v) { return record(&links, v.value_or("?")); },
                                                                       [this] { return submitting; }});
    }
    void poll(const QString &words)
    {
        for (const QString &word : words.split(u' ', Qt::SkipEmptyParts)) {
            feed->words.push_back(word);
            h.time.advance(5s);
            await(c->refreshAgentStatus());
        }
    }
    QString state()
    {
        const StatusSnapshot &s = c->statusSnapshot();
        const auto stage = h.journey().stage();
        QStringList activities;
        for (const ActivityEvent &event : h.attention().activities())
            activities.prepend(event.summary + (event.occurredAt == h.time.now() ? "" : "?"));
        return QStringList{stage ? rawValue(*stage) : "finished", QString::number(int(h.journey().overallState())), s.currentTask.value_or("-"),
                           QString::number(s.bridgeConnected) + QString::number(s.isWorking) + QString::number(s.handshakeComplete),
                           QStringLiteral("seq:%1 fails:%2 pid:%3").arg(s.statusSequence).arg(c->consecutiveStatusFailures()).arg(s.processID.value_or(0)),
                           activities.join(u';'), links.join(u',')}
            .join(u' ')
            .simplified();
    }
};

} // namespace

class StatusControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void samples_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("samples");
        // stage, overall state (0 not installed, 1 starting, 2 waiting setup, 3 online, 4 error), task, connected
        // working ready, counters, activities, the other subsystems asked
        QTest::addColumn<QString>("state");
        QTest::newRow("idle") << "finished" << "0" << "finished 3 Idle 101 seq:1 fails:0 pid:4242 1.4.0";
        QTest::newRow("one waiting") << "finished" << "1" << "finished 3 Receiving messages 101 seq:1 fails:0 pid:4242 1.4.0";
        QTest::newRow("busy beats queue") << "finished" << "b1" << "finished 3 Working 111 seq:1 fails:0 pid:4242 1.4.0";
        QTest::newRow("compacting beats busy") << "finished" << "bk1" << "finished 3 Thinking 111 seq:1 fails:0 pid:4242 1.4.0";
        QTest::newRow("coding beats compacting") << "finished" << "bkc1" << "finished 3 Coding 111 seq:1 fails:0 pid:4242 1.4.0";
        QTest::newRow("not ready") << "finished" << "n" << "finished 1 Idle 100 seq:1 fails:0 pid:4242 1.4.0";
        // The second sample against the first: the activity list, dated now.
        QTest::newRow("queue 0 to 1") << "finished" << "0 1" << "finished 3 Receiving messages 101 seq:2 fails:0 pid:4242 Received a new message 1.4.0,1.4.0";
        QTest::newRow("queue 4 to 2") << "finished" << "4 2" << "finished 3 Receiving messages 101 seq:2 fails:0 pid:4242 1.4.0,1.4.0";
        QTest::newRow("queue rule first") << "finished" << "0 b2" << "finished 3 Working 111 seq:2 fails:0 pid:4242 Received new messages — 2 waiting 1.4.0,1.4.0";
        QTest::newRow("started working") << "finished" << "0 b" << "finished 3 Working 111 seq:2 fails:0 pid:4242 Started working 1.4.0,1.4.0";
        QTest::newRow("still working") << "finished" << "b b" << "finished 3 Working 111 seq:2 fails:0 pid:4242 1.4.0,1.4.0";
        QTest::newRow("task complete") << "finished" << "b 0" << "finished 3 Idle 101 seq:2 fails:0 pid:4242 Task complete 1.4.0,1.4.0";
        QTest::newRow("complete, messages waiting") << "finished" << "b2 2" << "finished 3 Receiving messages 101 seq:2 fails:0 pid:4242 Task complete — waiting for the next message 1.4.0,1.4.0";
        QTest::newRow("started coding") << "finished" << "b bc" << "finished 3 Coding 111 seq:2 fails:0 pid:4242 Started coding 1.4.0,1.4.0";
        QTest::newRow("organizing while coding") << "finished" << "bc bck" << "finished 3 Coding 111 seq:2 fails:0 pid:4242 Organizing context 1.4.0,1.4.0";
        QTest::newRow("organizing") << "finished" << "b bk" << "finished 3 Thinking 111 seq:2 fails:0 pid:4242 Organizing context 1.4.0,1.4.0";
        QTest::newRow("every sample asks for an update") << "finished" << "0 v" << "finished 3 Idle 101 seq:2 fails:0 pid:4242 1.4.0,1.5.0";
        // Three failures in a row before the agent counts as lost; the next sample starts afresh.
        QTest::newRow("two failures") << "finished" << "b1 x x" << "finished 3 Working 111 seq:1 fails:2 pid:4242 1.4.0";
        QTest::newRow("three failures") << "finished" << "b1 x X D" << "finished 4 - 000 seq:1 fails:3 pid:4242 1.4.0";
        QTest::newRow("four failures") << "finished" << "b1 x x x x" << "finished 4 - 000 seq:1 fails:4 pid:4242 1.4.0";
        QTest::newRow("back after the gap") << "finished" << "b1 x x x 0" << "finished 3 Idle 101 seq:2 fails:0 pid:4242 1.4.0,1.4.0";
        QTest::newRow("back before the gap") << "finished" << "b1 x x 0" << "finished 3 Idle 101 seq:2 fails:0 pid:4242 Task complete 1.4.0,1.4.0";
        // No poll while not configured, while setup is submitted, in the permission and daemon stages.
        QTest::newRow("not configured") << "finished unconfigured" << "x x x" << "runtime 1 - 000 seq:0 fails:0 pid:0";
        QTest::newRow("submitting") << "finished submitting" << "x x x" << "finished 1 - 000 seq:0 fails:0 pid:0";
        QTest::newRow("permissions stage") << "permissions" << "x x x" << "permissions 1 - 000 seq:0 fails:0 pid:0";
        QTest::newRow("daemon stage") << "daemon" << "x x x" << "daemon 1 - 000 seq:0 fails:0 pid:0";
        // The first ready sample finishes the installation from the handshake.
        QTest::newRow("handshake, not ready") << "handshake" << "n" << "handshake 1 Idle 100 seq:1 fails:0 pid:4242 1.4.0";
        QTest::newRow("handshake, ready") << "handshake" << "n 0" << "finished 3 Idle 101 seq:2 fails:0 pid:4242 1.4.0,1.4.0";
        QTest::newRow("channel, ready") << "channel" << "0" << "channel 3 Idle 101 seq:1 fails:0 pid:4242 1.4.0";
    }
    void samples()
    {
        QFETCH(QString, setup);
        QFETCH(QString, samples);
        Rig r(setup);
        r.poll(samples);
        QTEST(r.state(), "state");
        QVERIFY(r.h.failures.isEmpty() && !r.h.attention().lastError()); // a lost agent shows in the state only
        const auto stage = r.h.journey().stage();
        const bool finishes = r.c->statusSnapshot().handshakeComplete && stage != InstallStage::channel;
        QCOMPARE(r.h.state(SetupPhase::online) == ProgressState::complete, finishes || (!stage && !setup.contains(u"unconfigured")));
    }

    void texts_data()
    {
        QTest::addColumn<QString>("setup"); // then the samples, "submitting", or an overall state to show
        QTest::addColumn<qint64>("ageMs"); // of the last sample, for the heartbeat
        QTest::addColumn<QString>("texts"); // headline title and detail, current task, process, heartbeat
        QTest::newRow("channel") << "channel|c|" << 0ll << "Waiting for channel binding|Agent is running in the background|Waiting for channel binding|在线|刚刚";
        QTest::newRow("task beats submitting") << "finished|bc|submitting" << 1900ll << "Coding|Agent 已连接|Coding|正在工作|刚刚";
        QTest::newRow("idle") << "finished|0|" << 2000ll << "Idle|Agent 已连接|Idle|在线|2 秒前";
        QTest::newRow("not validated") << "setup|0|" << 0ll << "在线|Agent 已安装并启动。|Idle|在线|刚刚";
        QTest::newRow("submitting, lost") << "finished|b x x x|submitting" << 0ll << "需要处理|Quorvantis 尚未就绪，请查看详情。|Quorvantis 正在完成设置|未连接|刚刚";
        QTest::newRow("lost, heartbeat from the future") << "finished|b x x x|" << -30000ll << "需要处理|Quorvantis 尚未就绪，请查看详情。|等待 Agent 状态|未连接|刚刚";
        QTest::newRow("not installed") << "finished unconfigured||0" << 0ll << "等待安装|Quorvantis 尚未安装。|等待 Agent 状态|未连接|尚未收到";
        QTest::newRow("starting") << "finished unconfigured||" << 0ll << "正在安装|Quorvantis 正在准备运行环境。|等待 Agent 状态|未连接|尚未收到";
        QTest::newRow("waiting setup") << "setup unconfigured||" << 0ll << "等待 setup|输入 JIT Code 或 Setup Code 完成设备注册。|Waiting for setup|未连接|尚未收到";
    }
    void texts()
    {
        QFETCH(QString, setup);
        QFETCH(qint64, ageMs);
        Rig r(setup.section(u'|', 0, 0));
        r.poll(setup.section(u'|', 1, 1));
        r.submitting = setup.endsWith(u"submitting");
        if (setup.endsWith(u"|0"))
            r.h.journey().setOverallState(OverallState::notInstalled);
        const QDateTime now = r.c->statusSnapshot().bridgeHeartbeatAt.value_or(r.h.time.now()).addMSecs(ageMs);
        QTEST(QStringList({r.c->headlineStatusTitle(), r.c->headlineStatusDetail(), r.c->currentTask(), r.c->agentProcessDescription(),
                           r.c->heartbeatDescription(now)}).join(u'|'), "texts");
    }

    void pollingLoop()
    {
        Rig r;
        r.c->startStatusMonitoring();
        r.c->startStatusMonitoring(); // only the first call starts a loop
        QVERIFY(r.c->statusTask());
        QVERIFY(spinUntil([&] { return r.h.time.pendingSleepers() == 1; }));
        QCOMPARE(r.feed->fetches, 1);
        r.h.time.advance(1999ms);
        QCOMPARE(r.feed->fetches, 1);
        r.h.time.advance(1ms);
        QCOMPARE(r.feed->fetches, 2);
        QVERIFY(r.links.filter(u"bind").isEmpty()); // outside the channel stage
        // The channel stage refreshes the binding before each poll, twice a second.
        r.h.journey().moveTo(InstallStage::channel);
        r.h.time.advance(2s);
        QCOMPARE(r.links.filter(u"bind").size(), 1);
        r.h.time.advance(500ms);
        QCOMPARE(r.links.filter(u"bind").size(), 2);
        QCOMPARE(r.feed->fetches, 4);
        r.h.journey().moveTo(InstallStage::handshake);
        r.h.time.advance(500ms);
        r.h.time.advance(1999ms);
        QCOMPARE(r.feed->fetches, 5);
        QCOMPARE(r.h.time.requested(), (QList<std::chrono::milliseconds>{2000ms, 2000ms, 500ms, 500ms, 2000ms}));
        // It ends with its controller.
        r.c.reset();
        r.h.time.advance(10s);
        QCOMPARE(r.feed->fetches, 5);
        QCOMPARE(r.h.time.pendingSleepers(), 0);
    }
};

QTEST_GUILESS_MAIN(StatusControllerTests)
#include "StatusControllerTests.moc"
