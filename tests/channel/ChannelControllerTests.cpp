#include "channel/ChannelController.h"
#include "channel/OwnerSetupClient.h"
#include "model/Attention.h"
#include "model/InstallJourney.h"
#include "net/BoundedHttp.h"
#include "support/AwaitTask.h"
#include "support/ControllerHarness.h"
#include "support/Scripted.h"

#include <QTest>

#include <deque>
#include <variant>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

QUrl link(const QString &token)
{
    return QUrl(QStringLiteral("https://onboarding.example/api/agents/ada/setup#") + token);
}

const QDateTime expiry = QDateTime::fromSecsSinceEpoch(1'900'000'000, Qt::UTC);
const QString genericError = QStringLiteral("暂时无法获取 Channel 绑定状态，请检查网络后重试。");

// One answer of the onboarding service, as a word:
//   a, b          binding required, that link      a+ / a- / a@: pending attempt / none / expiring
//   live          a live session, no link          none: required, no link     done: bound
//   U, S, C       coded unavailable / state changed / configuration invalid (message: the letter)
//   T             a transport failure              F, X: unreadable config / anything else
//   9*U           nine U in a row
using Answer = std::variant<OwnerSetupSession, std::exception_ptr>;

Answer answer(const QString &w)
{
    const auto error = [](auto e) { return std::make_exception_ptr(e); };
    const auto coded = [&](const char *code) { return error(QuorvantisNativeError(QString::fromLatin1(code), w)); };
    if (w == u"U") return coded("OWNER_SETUP_UNAVAILABLE");
    if (w == u"S") return coded("OWNER_SETUP_STATE_CHANGED");
    if (w == u"C") return coded("OWNER_SETUP_CONFIG_INVALID");
    if (w == u"T") return error(HttpTransportError(HttpTransportError::Kind::TimedOut, QNetworkReply::TimeoutError, w));
    if (w == u"F") return error(OwnerSetupFileError(w));
    if (w == u"X") return error(42);
    const bool linked = w != u"live" && w != u"none" && w != u"done";
    const std::optional<bool> pending = w.endsWith(u'+') || w.endsWith(u'-') ? std::optional(w.endsWith(u'+')) : std::nullopt;
    return OwnerSetupSession{w != u"done", linked ? std::optional(link(w.left(1))) : std::nullopt,
                             w.endsWith(u'@') ? std::optional(expiry) : std::nullopt, w == u"live", pending};
}

struct Service
{
    QStringList asked; // per request: the link it held ("-": none), "!" when forced
    std::deque<Answer> script;
    std::shared_ptr<Gate> gate; // holds the next request
};

QCoro::Task<OwnerSetupSession> ask(std::shared_ptr<Service> service, std::optional<QUrl> existing, bool force)
{
    service->asked.append((existing ? existing->fragment() : QStringLiteral("-")) + (force ? "!" : ""));
    if (auto gate = std::exchange(service->gate, nullptr))
        co_await gate->wait();
    const Answer next = service->script.empty() ? answer(QStringLiteral("a")) : service->script.front();
    service->script.erase(service->script.begin(), service->script.begin() + qMin<size_t>(1, service->script.size()));
    if (const auto *error = std::get_if<std::exception_ptr>(&next))
        std::rethrow_exception(*error);
    co_return std::get<OwnerSetupSession>(next);
}

struct Desk
{
    int opens = 0, copies = 0;
    QStringList saved; // per save: the link's token ("-": removed), "@" with an expiry
    bool openResult = true, openThrows = false, copyResult = true;
    std::shared_ptr<Gate> gate;
};

QCoro::Task<bool> openPage(std::shared_ptr<Desk> desk)
{
    ++desk->opens;
    if (auto gate = std::exchange(desk->gate, nullptr))
        co_await gate->wait();
    if (desk->openThrows)
        throw std::runtime_error("no browser");
    co_return desk->openResult;
}

QCoro::Task<std::optional<OwnerSetupLink>> capturedAfter(VirtualTime *time, OwnerSetupLink captured)
{
    co_await time->sleep(1s);
    co_return captured;
}

QCoro::Task<void> count(int *calls)
{
    co_return void(++*calls);
}

QString joined(const QStringList &items) // consecutive repeats as "x*n"
{
    QStringList out;
    for (qsizetype i = 0, n = 1; i < items.size(); i += n) {
        for (n = 1; i + n < items.size() && items[i + n] == items[i];)
            ++n;
        out << (n > 1 ? QStringLiteral("%1*%2").arg(items[i]).arg(n) : items[i]);
    }
    return out.join(u',');
}

struct Rig
{
    ControllerHarness h;
    std::shared_ptr<Service> service = std::make_shared<Service>();
    std::shared_ptr<Desk> desk = std::make_shared<Desk>();
    int monitoringStarts = 0, statusRefreshes = 0;
    std::unique_ptr<ChannelController> c; // after the harness: destroyed before it

    explicit Rig(const QString &stage = QStringLiteral("channel"), bool configured = true)
    {
        h.launchAt(fromRawValue<InstallStage>(stage), configured);
        ChannelController::Effects effects{
            [s = service](std::optional<QUrl> existing, bool force) { return ask(s, std::move(existing), force); },
            [d = desk](QUrl) { return openPage(d); },
            [d = desk](QUrl) { return ++d->copies, d->copyResult; },
            [d = desk](std::optional<OwnerSetupLink> saved) {
                d->saved << (saved ? saved->url.fragment() + (saved->expiresAt ? "@" : "") : QStringLiteral("-"));
            },
        };
        ChannelController::Links links{[this] { ++monitoringStarts; }, [this] { return count(&statusRefreshes); }};
        c = std::make_unique<ChannelController>(h.context(), effects, links);
    }

    void act(const QString &action)
    {
        desk->openResult = !action.endsWith(u'0');
        desk->openThrows = action.endsWith(u'!');
        desk->copyResult = !action.endsWith(u'0');
        if (action == u"r" || action == u"R") await(c->refreshOwnerSetup(action == u"R"));
        if (action.startsWith(u'o')) await(c->openOwnerSetup());
        if (action.startsWith(u'c')) c->copyOwnerSetupLink();
        if (action == u"sheet") c->setChannelBindingSheetPresented(true);
        if (action == u"err") h.attention().showError(DisplayError::from(QStringLiteral("AGENT_START_TIMEOUT"), std::nullopt));
        if (action == u"enter") await(c->enterChannelStage());
    }

    QString state()
    {
        static const QHash<QString, QString> words{
            {QStringLiteral("重试"), "title:retry"}, {QStringLiteral("重新打开浏览器"), "title:reopen"},
            {QStringLiteral("打开浏览器"), ""}, {QStringLiteral("等待完成绑定"), "waiting"},
            {QStringLiteral("已绑定"), "bound"}, {QStringLiteral("尚未开始"), ""}, {genericError, "generic"}};
        const auto stage = h.journey().stage();
        QStringList s{stage ? rawValue(*stage) : QStringLiteral("finished")};
        for (const SetupPhase phase : allCases<SetupPhase>())
            s << (h.state(phase) == ProgressState::running ? "run:" + rawValue(phase) : QString());
        s << (c->ownerSetupURL() ? "url:" + c->ownerSetupURL()->fragment() : QString());
        const std::pair<bool, const char *> flags[] = {
            {c->ownerSetupExpiresAt().has_value(), "exp"}, {c->ownerSetupPending(), "pending"},
            {c->ownerSetupDidOpen(), "opened"}, {c->ownerSetupOpenFailed(), "openFailed"},
            {c->ownerSetupLinkCopied(), "copied"}, {c->channelOwnershipVerified(), "verified"},
            {c->channelBindingCompleted(), "completed"}, {c->isChannelBindingSheetPresented(), "sheet"},
            {c->ownerSetupOpenedByAgent(), "byAgent"}, {bool(h.attention().lastError()), "modelError"},
            {monitoringStarts > 0, "monitoring"}, {statusRefreshes > 0, "status"}};
        for (const auto &[on, name] : flags)
            s << (on ? name : "");
        const QString error = c->ownerSetupError().value_or(QString());
        s << (error.isEmpty() ? error : "err:" + words.value(error, error));
        s << words.value(c->ownerSetupOpenButtonTitle(), "?") << words.value(c->channelBindingSummary(), "?");
        s.removeAll(QString());
        return s.join(u' ');
    }

    QString log() const
    {
        QStringList sleeps;
        for (const auto d : h.time.requested())
            sleeps << QString::number(d.count());
        QStringList s{"ask:" + joined(service->asked), "save:" + desk->saved.join(u','),
                      "open:" + QString::number(desk->opens), "copy:" + QString::number(desk->copies), "sleep:" + joined(sleeps)};
        s.removeIf([](const QString &part) { return part.endsWith(u':') || part.endsWith(u"n:0") || part.endsWith(u"y:0"); });
        return s.join(u' ');
    }
};

} // namespace

class ChannelControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stage_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<bool>("configured");
        QTest::addColumn<QString>("answers");
        QTest::addColumn<QString>("actions");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("log");
        const auto row = [](const char *name, const char *stage, const char *answers, const char *actions, const char *state,
                            const char *log, bool configured = true) {
            QTest::newRow(name) << stage << configured << answers << actions << state << log;
        };
        // Entering the stage: only from the daemon stage; the error goes, monitoring starts, the link is asked for.
        row("enter from daemon", "daemon", "a", "err enter", "channel run:channel url:a pending monitoring waiting", "ask:- save:a");
        row("enter from setup", "setup", "", "err enter", "setup modelError", "");
        row("enter when finished", "finished", "", "err enter", "finished modelError bound", "");
        // A refresh needs the configuration and the channel stage.
        row("not configured", "channel", "", "r R", "channel run:channel waiting", "", false);
        row("handshake", "handshake", "", "r R", "handshake run:handshake bound", "");
        row("finished", "finished", "", "r R", "finished bound", "");
        // The link and its expiry are kept and saved; a live session without it was opened by the agent.
        row("link kept", "channel", "a@", "r", "channel run:channel url:a exp pending waiting", "ask:- save:a@");
        row("live session, no link", "channel", "a@ live", "r r", "channel run:channel pending byAgent waiting", "ask:-,a save:a@,-");
        // A pending attempt seen, then gone, verifies ownership; binding is still reported as required.
        row("pending, then not", "channel", "a+ a-", "r r", "channel run:channel url:a pending verified waiting", "ask:-,a save:a,a");
        row("never pending", "channel", "a- a-", "r r", "channel run:channel url:a pending waiting", "ask:-,a save:a,a");
        row("pending, then unknown", "channel", "a+ a", "r r", "channel run:channel url:a pending waiting", "ask:-,a save:a,a");
        row("still pending", "channel", "a+ a+", "r r", "channel run:channel url:a pending waiting", "ask:-,a save:a,a");
        row("pending on the old link", "channel", "a+ b b-", "r R r", "channel run:channel url:b pending waiting", "ask:-,a!,b save:a,b,b");
        // Bound: the link and the sheet go, the handshake runs and the agent's status is asked at once.
        row("bound", "channel", "a done", "r sheet c r", "handshake run:handshake verified completed status", "ask:-,a save:a,- copy:1");
        row("sheet", "channel", "a", "r sheet", "channel run:channel url:a pending sheet waiting", "ask:- save:a");
        // Transient failures are retried while no link is held: 10 requests, 0.6 s apart.
        row("9 unavailable, then a link", "channel", "9*U a", "r", "channel run:channel url:a pending waiting", "ask:-*10 save:a sleep:600*9");
        row("10 unavailable", "channel", "10*U", "r", "channel run:channel pending err:U waiting", "ask:-*10 sleep:600*9");
        row("10 state changes", "channel", "10*S", "r", "channel run:channel pending err:S waiting", "ask:-*10 sleep:600*9");
        row("10 transport failures", "channel", "10*T", "r", "channel run:channel pending err:generic waiting", "ask:-*10 sleep:600*9");
        row("2 transport failures, then a link", "channel", "2*T a", "r", "channel run:channel url:a pending waiting", "ask:-*3 save:a sleep:600*2");
        // Shown at once: with a link held, when forced, or not transient; the rest stays as it was.
        row("unavailable, link held", "channel", "a U", "r o r", "channel run:channel url:a pending opened err:U title:reopen waiting", "ask:-,a save:a open:1");
        row("unavailable, forced", "channel", "a live U", "r o r R", "channel run:channel pending opened byAgent err:U title:reopen waiting", "ask:-,a,-! save:a,- open:1");
        row("configuration", "channel", "C", "r", "channel run:channel pending err:C waiting", "ask:-");
        row("unreadable configuration", "channel", "F", "r", "channel run:channel pending err:generic waiting", "ask:-");
        row("anything else", "channel", "X", "r", "channel run:channel pending err:generic waiting", "ask:-");
        row("a good answer clears the error", "channel", "C a", "r r", "channel run:channel url:a pending waiting", "ask:-*2 save:a");
        // Opening and copying.
        row("nothing to open or copy", "channel", "", "o c", "channel run:channel waiting", "");
        row("copied, then refused", "channel", "a", "r c o0", "channel run:channel url:a pending openFailed title:retry waiting", "ask:- save:a open:1 copy:1");
        row("open fails", "channel", "a", "r o!", "channel run:channel url:a pending openFailed title:retry waiting", "ask:- save:a open:1");
        row("opened, copy fails", "channel", "a", "r o c0", "channel run:channel url:a pending opened title:reopen waiting", "ask:- save:a open:1 copy:1");
        // A new link has been neither opened nor copied; the same link keeps what was done with it.
        row("opened, new link", "channel", "a b", "r o R", "channel run:channel url:b pending waiting", "ask:-,a! save:a,b open:1");
        row("opened, same link", "channel", "a a", "r o r", "channel run:channel url:a pending opened title:reopen waiting", "ask:-,a save:a,a open:1");
        row("refused, new link", "channel", "a b", "r o0 R", "channel run:channel url:b pending waiting", "ask:-,a! save:a,b open:1");
        row("refused, same link", "channel", "a a", "r o0 r", "channel run:channel url:a pending openFailed title:retry waiting", "ask:-,a save:a,a open:1");
        row("copied, new link", "channel", "a b", "r c R", "channel run:channel url:b pending waiting", "ask:-,a! save:a,b copy:1");
        row("copied, same link", "channel", "a a", "r c r", "channel run:channel url:a pending copied waiting", "ask:-,a save:a,a copy:1");
    }
    void stage()
    {
        QFETCH(QString, stage);
        QFETCH(bool, configured);
        QFETCH(QString, answers);
        QFETCH(QString, actions);
        Rig r(stage, configured);
        for (const QString &word : answers.split(u' ', Qt::SkipEmptyParts)) {
            const auto times = word.section(u'*', 0, -2);
            for (int i = 0; i < (times.isEmpty() ? 1 : times.toInt()); ++i)
                r.service->script.push_back(answer(word.section(u'*', -1)));
        }
        r.h.time.setAutoAdvance(true);
        for (const QString &action : actions.split(u' ', Qt::SkipEmptyParts))
            r.act(action);
        QTEST(r.state(), "state");
        QTEST(r.log(), "log");
        QVERIFY(!r.c->ownerSetupRequestInFlight() && !r.c->isLoadingOwnerSetup() && !r.c->isOpeningOwnerSetup());
        QVERIFY(r.h.failures.isEmpty()); // never the model's error
        const auto current = r.h.journey().stage();
        QCOMPARE(r.h.readProfileFile(QStringLiteral("mac-app-install-stage")), current ? rawValue(*current).toUtf8() + "\n" : "");
    }

    void loadingAndOverlap_data()
    {
        QTest::addColumn<QString>("actions"); // before the held request
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("loading");
        QTest::newRow("no link") << "" << false << true;
        QTest::newRow("link held") << "r" << false << false;
        QTest::newRow("link held, forced") << "r" << true << true;
    }
    void loadingAndOverlap()
    {
        QFETCH(QString, actions);
        QFETCH(bool, force);
        Rig r;
        if (!actions.isEmpty())
            r.act(actions);
        auto gate = r.service->gate = std::make_shared<Gate>();
        auto running = r.c->refreshOwnerSetup(force);
        QVERIFY(r.c->ownerSetupRequestInFlight());
        QTEST(r.c->isLoadingOwnerSetup(), "loading");
        r.act(QStringLiteral("r")); // a refresh while one runs asks nothing
        r.act(QStringLiteral("R"));
        QCOMPARE(r.service->asked.size(), actions.isEmpty() ? 1 : 2);
        gate->open();
        await(std::move(running));
        QVERIFY(!r.c->isLoadingOwnerSetup() && !r.c->ownerSetupRequestInFlight());
        r.act(QStringLiteral("r"));
        QCOMPARE(r.service->asked.size(), actions.isEmpty() ? 2 : 3);
    }

    void secondOpenWhileOpening()
    {
        Rig r;
        r.act(QStringLiteral("r"));
        auto gate = r.desk->gate = std::make_shared<Gate>();
        auto opening = r.c->openOwnerSetup();
        QVERIFY(r.c->isOpeningOwnerSetup() && !r.c->canOpenOwnerSetup());
        r.act(QStringLiteral("o"));
        QCOMPARE(r.desk->opens, 1);
        gate->open();
        await(std::move(opening));
        QVERIFY(!r.c->isOpeningOwnerSetup() && r.c->ownerSetupDidOpen());
    }

    void sessionAppearanceRefreshesAfterItsDelay()
    {
        Rig r;
        auto appeared = r.c->noteChannelBindingSessionAppeared(550ms);
        r.h.time.advance(549ms);
        QVERIFY(r.service->asked.isEmpty());
        r.h.time.advance(1ms);
        await(std::move(appeared));
        QCOMPARE(r.service->asked, QStringList{"-"});
        Rig handshake(QStringLiteral("handshake"));
        await(handshake.c->noteChannelBindingSessionAppeared(550ms));
        QVERIFY(handshake.h.time.requested().isEmpty() && handshake.service->asked.isEmpty());
    }

    void capturedLinkComesFirst()
    {
        Rig r;
        r.c->loadCapturedLink([t = &r.h.time] { return capturedAfter(t, OwnerSetupLink{link("captured"), std::nullopt}); });
        QVERIFY(r.c->isLoadingCapturedLink());
        auto running = r.c->refreshOwnerSetup(false);
        QCoreApplication::processEvents();
        QVERIFY(r.service->asked.isEmpty()); // nothing asked before the captured link is in
        r.h.time.advance(1s);
        await(std::move(running));
        QVERIFY(!r.c->isLoadingCapturedLink());
        QCOMPARE(r.service->asked, QStringList{"captured"});
    }

    void controllerGoneMidRequest()
    {
        Rig r;
        auto gate = r.service->gate = std::make_shared<Gate>();
        auto running = r.c->refreshOwnerSetup(false);
        auto appeared = r.c->noteChannelBindingSessionAppeared(550ms);
        r.c.reset();
        gate->open();
        r.h.time.advance(1s);
        await(std::move(running));
        await(std::move(appeared));
        QCOMPARE(r.service->asked.size(), 1);
    }
};

QTEST_GUILESS_MAIN(ChannelControllerTests)
#include "ChannelControllerTests.moc"
