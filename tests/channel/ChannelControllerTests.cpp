// The channel-binding stage through its controller, with a scripted onboarding service and desktop.
#include "channel/ChannelController.h"
#include "net/BoundedHttp.h"
#include "support/ControllerHarness.h"

#include <variant>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

using Answer = std::variant<OwnerSetupSession, std::exception_ptr>;

// One answer of the onboarding service: link:<x>[,pending|,none|,expiring] (binding required,
// with link x, and a pending attempt, none, an expiry), live (a live session without a link),
// bound; unavailable, changed, invalid (coded, the word as message); timeout (the transport).
Answer answer(const QString &w)
{
    const auto coded = [&w](const char *code) {
        return std::make_exception_ptr(QuorvantisNativeError(QString::fromLatin1(code), w));
    };
    if (w == u"unavailable") return coded("OWNER_SETUP_UNAVAILABLE");
    if (w == u"changed") return coded("OWNER_SETUP_STATE_CHANGED");
    if (w == u"invalid") return coded("OWNER_SETUP_CONFIG_INVALID");
    if (w == u"timeout") return std::make_exception_ptr(HttpTransportError(HttpTransportError::Kind::TimedOut, {}, w));
    OwnerSetupSession session{.required = w != u"bound", .url = {}, .expiresAt = {}, .hasLiveSession = w == u"live",
                              .hasPendingBinding = {}};
    const QString link = w.section(u':', 1).section(u',', 0, 0), extra = w.section(u',', 1);
    if (!link.isEmpty())
        session.url = QUrl(QStringLiteral("https://onboarding.example/api/agents/ada/setup#") + link);
    if (extra == u"pending" || extra == u"none")
        session.hasPendingBinding = extra == u"pending";
    if (extra == u"expiring")
        session.expiresAt = QDateTime::fromSecsSinceEpoch(1'900'000'000, Qt::UTC);
    return session;
}

// The onboarding service and the desktop as the controller's effects see them.
struct Fakes
{
    QList<Answer> answers;
    QStringList log; // ask:<link held, "-" none, "!" forced>, save:<token, "-" none, "@" expiring>, open, copy
    bool succeeds = true; // the next open or copy
    std::shared_ptr<Gate> askGate; // holds the next request
    std::shared_ptr<Gate> openGate; // holds the next open
};

QCoro::Task<OwnerSetupSession> ask(std::shared_ptr<Fakes> f, std::optional<QUrl> existing, bool force)
{
    f->log << "ask:" + (existing ? existing->fragment() : "-") + (force ? "!" : "");
    if (auto gate = std::exchange(f->askGate, nullptr))
        co_await gate->wait();
    const Answer next = f->answers.isEmpty() ? answer(QStringLiteral("link:a")) : f->answers.takeFirst();
    if (const auto *error = std::get_if<std::exception_ptr>(&next))
        std::rethrow_exception(*error);
    co_return std::get<OwnerSetupSession>(next);
}

QCoro::Task<bool> open(std::shared_ptr<Fakes> f)
{
    f->log << "open";
    if (auto gate = std::exchange(f->openGate, nullptr))
        co_await gate->wait();
    co_return f->succeeds;
}

QCoro::Task<std::optional<OwnerSetupLink>> capturedAfter(VirtualTime *time)
{
    co_await time->sleep(1s);
    co_return OwnerSetupLink{QUrl(QStringLiteral("https://onboarding.example/api/agents/ada/setup#captured")), {}};
}

// The operations running, as words.
QStringList running(const ChannelController &c)
{
    return {c.isLoadingOwnerSetup() ? "loading" : "", c.ownerSetupRequestInFlight() ? "asking" : "",
            c.isOpeningOwnerSetup() ? "opening" : "", c.isLoadingCapturedLink() ? "capturing" : ""};
}

void row(const char *name, const char *launch, const QString &answers, const char *steps, const char *state)
{
    QTest::newRow(name) << QString(launch) << answers << QString(steps) << QString(state);
}

} // namespace

class ChannelControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stage_data()
    {
        // launch — the stage, then "unconfigured"
        // answers — in order; then link:a
        // steps — refresh[:forced]; open[:refused]; copy; sheet; error (the model's); enter; hold (the next request and
        // open wait until the end); appear (the binding sheet appeared 550 ms ago); capture (the captured
        // link loads in 1 s); wait:<ms>; gone (the controller); running (note the operations running)
        // state — stage, link, flags, error | what the effects saw
        columns<QString, QString, QString, QString>({"launch", "answers", "steps", "state"});
        row("enter from daemon", "daemon", "link:a", "error; enter", "channel url:a pending | monitoring ask:- save:a");
        row("enter from setup", "setup", "", "error; enter", "setup modelError |");
        // A refresh needs the configuration and the channel stage.
        row("not configured", "channel unconfigured", "", "refresh; refresh:forced", "channel |");
        row("handshake", "handshake", "", "refresh; refresh:forced", "handshake |");
        // The link and its expiry are kept and saved; a live session without it was opened by the agent.
        row("link kept", "channel", "link:a,expiring", "refresh", "channel url:a exp pending | ask:- save:a@");
        // A pending attempt seen, then gone, verifies ownership; binding is still reported as required.
        row("pending, then not", "channel", "link:a,pending; link:a,none", "refresh; refresh",
            "channel url:a pending verified | ask:- save:a ask:a save:a");
        row("pending on the old link", "channel", "link:a,pending; link:b; link:b,none",
            "refresh; refresh:forced; refresh", "channel url:b pending | ask:- save:a ask:a! save:b ask:b save:b");
        // Bound: the link and the sheet go, the handshake runs and the agent's status is asked at once.
        row("bound", "channel", "link:a; bound", "refresh; sheet; copy; refresh",
            "handshake verified completed | ask:- save:a copy ask:a save:- status");
        // Transient failures are retried while no link is held: 10 requests, 0.6 s apart.
        row("9 transient failures, then a link", "channel",
            "unavailable; unavailable; unavailable; unavailable; changed; changed; changed; timeout; timeout; link:a",
            "refresh~; wait:5400", "channel url:a pending | ask:-*10 save:a 600*9");
        row("10 unavailable", "channel", QStringLiteral("unavailable; ").repeated(10), "refresh~; wait:5400",
            "channel pending err:unavailable | ask:-*10 600*9");
        // Shown at once: with a link held, when forced, or not transient; the rest stays as it was.
        row("unavailable, link held", "channel", "link:a; unavailable", "refresh; open; refresh",
            "channel url:a pending opened err:unavailable | ask:- save:a open ask:a");
        row("unavailable, forced", "channel", "link:a; live; unavailable", "refresh; open; refresh; refresh:forced",
            "channel pending opened byAgent err:unavailable | ask:- save:a open ask:a save:- ask:-!");
        row("a good answer clears the error", "channel", "invalid; link:a", "refresh; refresh",
            "channel url:a pending | ask:-*2 save:a");
        // Opening and copying.
        row("copied, then refused", "channel", "", "refresh; copy; open:refused",
            "channel url:a pending openFailed | ask:- save:a copy open");
        row("a second open while opening", "channel", "", "refresh; hold; open~; running; open",
            "channel url:a pending opened | ask:- save:a open running opening");
        // A new link has been neither opened nor copied; the same link keeps what was done with it.
        row("opened and copied, new link", "channel", "link:a; link:b", "refresh; open; copy; refresh:forced",
            "channel url:b pending | ask:- save:a open copy ask:a! save:b");
        row("opened and copied, same link", "channel", "", "refresh; open; copy; refresh",
            "channel url:a pending opened copied | ask:- save:a open copy ask:a save:a");
        // One request at a time; a page is loading while no link is shown or a new one is asked for.
        row("no link: loading", "channel", "", "hold; refresh~; running; refresh; refresh:forced",
            "channel url:a pending | ask:- running loading asking save:a");
        row("link held: not loading", "channel", "", "refresh; hold; refresh~; running; refresh; refresh:forced",
            "channel url:a pending | ask:- save:a ask:a running asking save:a");
        row("link held, forced: loading", "channel", "",
            "refresh; hold; refresh:forced~; running; refresh; refresh:forced",
            "channel url:a pending | ask:- save:a ask:a! running loading asking save:a");
        // The sheet's appearance refreshes after its delay, in the channel stage only.
        row("session appeared", "channel", "", "appear~; wait:549; running; wait:1",
            "channel url:a pending | running ask:- save:a 550");
        // The link captured before a restart is in hand before anything is asked.
        row("captured link first", "channel", "", "capture; refresh~; running; wait:1000",
            "channel url:a pending | running capturing ask:captured save:a 1000");
        row("controller gone mid-request", "channel", "", "hold; refresh~; appear~; gone; wait:1000", "gone | ask:- 550");
    }
    void stage()
    {
        QFETCH(QString, launch);
        QFETCH(QString, answers);
        QFETCH(QString, steps);
        ControllerHarness h;
        h.launchAt(fromRawValue<InstallStage>(launch.section(u' ', 0, 0)), !launch.contains(u"unconfigured"));
        auto f = std::make_shared<Fakes>();
        for (const QString &word : entries(answers))
            f->answers << answer(word);
        ChannelController::Effects effects{
            .ownerSetupRequest = [f](std::optional<QUrl> existing, bool force) { return ask(f, std::move(existing), force); },
            .ownerSetupOpen = [f](QUrl) { return open(f); },
            .ownerSetupCopy =
                [f](QUrl) {
                    f->log << "copy";
                    return f->succeeds;
                },
            .ownerSetupLinkSave =
                [f](std::optional<OwnerSetupLink> l) {
                    f->log << "save:" + (l ? l->url.fragment() + (l->expiresAt ? "@" : "") : "-");
                }};
        ChannelController::Links links{.startStatusMonitoring = [f] { f->log << "monitoring"; },
                                       .refreshAgentStatus = [f] { return f->log << "status", nothing(); }};
        auto c = std::make_unique<ChannelController>(h.context(), effects, links);
        std::vector<QCoro::Task<void>> started;
        QList<std::shared_ptr<Gate>> gates;
        Words words{
            {"copy", [&](const QString &) { c->copyOwnerSetupLink(); }},
            {"sheet", [&](const QString &) { c->setChannelBindingSheetPresented(true); }},
            {"error", [&](const QString &) {
                 h.attention().showError(DisplayError::from(QStringLiteral("AGENT_START_TIMEOUT"), std::nullopt));
             }},
            {"hold", [&](const QString &) {
                 gates << (f->askGate = std::make_shared<Gate>()) << (f->openGate = std::make_shared<Gate>());
             }},
            {"capture", [&](const QString &) { c->loadCapturedLink([&h] { return capturedAfter(&h.time); }); }},
            {"wait", [&](const QString &ms) { h.time.advance(std::chrono::milliseconds(ms.toInt())); }},
            {"gone", [&](const QString &) { c.reset(); }},
            {"running", [&](const QString &) { f->log << "running" << running(*c); }}};
        const std::pair<QString, std::function<QCoro::Task<void>(const QString &)>> operations[] = {
            {"refresh", [&](const QString &how) { return c->refreshOwnerSetup(how == u"forced"); }},
            {"open", [&](const QString &how) { return f->succeeds = how != u"refused", c->openOwnerSetup(); }},
            {"enter", [&](const QString &) { return c->enterChannelStage(); }},
            {"appear", [&](const QString &) { return c->noteChannelBindingSessionAppeared(550ms); }}};
        for (const auto &[verb, operation] : operations) {
            words.insert(verb, [operation](const QString &argument) { await(operation(argument)); });
            words.insert(verb + u'~', [&, operation](const QString &argument) { started.push_back(operation(argument)); });
        }
        playSteps(steps, words);
        for (const auto &gate : gates)
            gate->open();
        for (auto &task : started)
            await(std::move(task));
        for (const auto d : h.time.requested())
            f->log << QString::number(d.count());
        QVERIFY(h.failures.isEmpty()); // never the model's error
        QStringList s{c ? QString() : "gone"};
        if (c) {
            s << rawOr(h.journey().installStage());
            s << (c->ownerSetupURL() ? "url:" + c->ownerSetupURL()->fragment() : "");
            const std::pair<bool, const char *> flags[] = {
                {c->ownerSetupExpiresAt().has_value(), "exp"}, {c->ownerSetupPending(), "pending"},
                {c->ownerSetupDidOpen(), "opened"}, {c->ownerSetupOpenFailed(), "openFailed"},
                {c->ownerSetupLinkCopied(), "copied"}, {c->channelOwnershipVerified(), "verified"},
                {c->channelBindingCompleted(), "completed"}, {c->isChannelBindingSheetPresented(), "sheet"},
                {c->ownerSetupOpenedByAgent(), "byAgent"}, {bool(h.attention().lastError()), "modelError"}};
            for (const auto &[on, name] : flags)
                s << (on ? name : "");
            const QString error = c->ownerSetupError().value_or(QString());
            s << (error.isEmpty() ? "" : "err:" + error);
            QCOMPARE(running(*c).join(QString()), QString());
        }
        f->log.removeAll(QString());
        s.removeAll(QString());
        QTEST(QString(s.join(u' ') + " | " + runs(f->log)).trimmed(), "state");
    }
};

QTEST_GUILESS_MAIN(ChannelControllerTests)
#include "ChannelControllerTests.moc"
