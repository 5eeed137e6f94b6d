// The channel-binding stage through its controller, with a scripted onboarding service and desktop.
#include "channel/ChannelController.h"
#include "net/BoundedHttp.h"
#include "support/AwaitTask.h"
#include "support/ControllerHarness.h"
#include "support/Scripted.h"

#include <QTest>

#include <variant>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

using Answer = std::variant<OwnerSetupSession, std::exception_ptr>;

// One answer of the onboarding service, as a word:
//   a, b      binding required, with that link; a+ / a- / a@: and a pending attempt / none / an expiry
//   live      a live session without a link;    done: bound
//   U, S, C   coded unavailable / state changed / configuration invalid (the letter as message)
//   T         a transport failure
Answer answer(const QString &w)
{
    const auto coded = [&w](const char *code) {
        return std::make_exception_ptr(QuorvantisNativeError(QString::fromLatin1(code), w));
    };
    if (w == u"U") return coded("OWNER_SETUP_UNAVAILABLE");
    if (w == u"S") return coded("OWNER_SETUP_STATE_CHANGED");
    if (w == u"C") return coded("OWNER_SETUP_CONFIG_INVALID");
    if (w == u"T") return std::make_exception_ptr(HttpTransportError(HttpTransportError::Kind::TimedOut, {}, w));
    OwnerSetupSession session;
    session.required = w != u"done";
    session.hasLiveSession = w == u"live";
    if (w != u"live" && w != u"done")
        session.url = QUrl(QStringLiteral("https://onboarding.example/api/agents/ada/setup#") + w.left(1));
    if (w.endsWith(u'+') || w.endsWith(u'-'))
        session.hasPendingBinding = w.endsWith(u'+');
    if (w.endsWith(u'@'))
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
    const Answer next = f->answers.isEmpty() ? answer(QStringLiteral("a")) : f->answers.takeFirst();
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

void row(const char *name, const char *answers, const char *actions, const char *state)
{
    QTest::newRow(name) << QString(answers) << QString(actions) << QString(state);
}

} // namespace

class ChannelControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stage_data()
    {
        QTest::addColumn<QString>("answers"); // in order
        // First the stage when not the channel's, and "unconfigured"; then r, R: a refresh, a forced one;
        // o, o0: open (opens, refused); c: copy; sheet, err (a model error),
        // enter; hold: the next request and open wait until free; ~ after an action: start it without
        // waiting; appear: the binding sheet appeared 550 ms ago; capture: the captured link loads in 1 s;
        // +N: N ms pass; gone: the controller goes; ?: note the operations running
        QTest::addColumn<QString>("actions");
        // stage, link, flags, error | what the effects saw
        QTest::addColumn<QString>("state");
        row("enter from daemon", "a", "daemon err enter", "channel url:a pending | monitoring ask:- save:a");
        row("enter from setup", "", "setup err enter", "setup modelError |");
        // A refresh needs the configuration and the channel stage.
        row("not configured", "", "channel unconfigured r R", "channel |");
        row("handshake", "", "handshake r R", "handshake |");
        // The link and its expiry are kept and saved; a live session without it was opened by the agent.
        row("link kept", "a@", "r", "channel url:a exp pending | ask:- save:a@");
        // A pending attempt seen, then gone, verifies ownership; binding is still reported as required.
        row("pending, then not", "a+ a-", "r r", "channel url:a pending verified | ask:- save:a ask:a save:a");
        row("pending on the old link", "a+ b b-", "r R r",
            "channel url:b pending | ask:- save:a ask:a! save:b ask:b save:b");
        // Bound: the link and the sheet go, the handshake runs and the agent's status is asked at once.
        row("bound", "a done", "r sheet c r", "handshake verified completed | ask:- save:a copy ask:a save:- status");
        // Transient failures are retried while no link is held: 10 requests, 0.6 s apart.
        row("9 transient failures, then a link", "U U U U S S S T T a", "r~ +5400",
            "channel url:a pending | ask:-*10 save:a 600*9");
        row("10 unavailable", "U U U U U U U U U U", "r~ +5400", "channel pending err:U | ask:-*10 600*9");
        // Shown at once: with a link held, when forced, or not transient; the rest stays as it was.
        row("unavailable, link held", "a U", "r o r",
            "channel url:a pending opened err:U | ask:- save:a open ask:a");
        row("unavailable, forced", "a live U", "r o r R",
            "channel pending opened byAgent err:U | ask:- save:a open ask:a save:- ask:-!");
        row("a good answer clears the error", "C a", "r r", "channel url:a pending | ask:-*2 save:a");
        // Opening and copying.
        row("copied, then refused", "a", "r c o0", "channel url:a pending openFailed | ask:- save:a copy open");
        row("a second open while opening", "a", "r hold o~ ? o",
            "channel url:a pending opened | ask:- save:a open ? opening");
        // A new link has been neither opened nor copied; the same link keeps what was done with it.
        row("opened and copied, new link", "a b", "r o c R",
            "channel url:b pending | ask:- save:a open copy ask:a! save:b");
        row("opened and copied, same link", "a a", "r o c r",
            "channel url:a pending opened copied | ask:- save:a open copy ask:a save:a");
        // One request at a time; a page is loading while no link is shown or a new one is asked for.
        row("no link: loading", "", "hold r~ ? r R", "channel url:a pending | ask:- ? loading asking save:a");
        row("link held: not loading", "", "r hold r~ ? r R",
            "channel url:a pending | ask:- save:a ask:a ? asking save:a");
        row("link held, forced: loading", "", "r hold R~ ? r R",
            "channel url:a pending | ask:- save:a ask:a! ? loading asking save:a");
        // The sheet's appearance refreshes after its delay, in the channel stage only.
        row("session appeared", "", "appear~ +549 ? +1", "channel url:a pending | ? ask:- save:a 550");
        // The link captured before a restart is in hand before anything is asked.
        row("captured link first", "a", "capture r~ ? +1000",
            "channel url:a pending | ? capturing ask:captured save:a 1000");
        row("controller gone mid-request", "", "hold r~ appear~ gone +1000", "gone | ask:- 550");
    }
    void stage()
    {
        QFETCH(QString, answers);
        QFETCH(QString, actions);
        QStringList steps = actions.split(u' ');
        const bool configured = !steps.removeOne(QStringLiteral("unconfigured"));
        const std::optional<InstallStage> launchStage = fromRawValue<InstallStage>(steps.first());
        if (launchStage)
            steps.removeFirst();
        ControllerHarness h;
        h.launchAt(launchStage.value_or(InstallStage::channel), configured);
        auto f = std::make_shared<Fakes>();
        for (const QString &word : answers.split(u' ', Qt::SkipEmptyParts))
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
        for (const QString &action : std::as_const(steps)) {
            const QString a = action.chopped(action.endsWith(u'~') ? 1 : 0);
            f->succeeds = !a.endsWith(u'0');
            std::optional<QCoro::Task<void>> task;
            if (a == u"r" || a == u"R") task = c->refreshOwnerSetup(a == u"R");
            if (a.startsWith(u'o')) task = c->openOwnerSetup();
            if (a.startsWith(u'c')) c->copyOwnerSetupLink();
            if (a == u"sheet") c->setChannelBindingSheetPresented(true);
            if (a == u"err")
                h.attention().showError(DisplayError::from(QStringLiteral("AGENT_START_TIMEOUT"), std::nullopt));
            if (a == u"enter") task = c->enterChannelStage();
            if (a == u"appear") task = c->noteChannelBindingSessionAppeared(550ms);
            if (a == u"hold")
                gates << (f->askGate = std::make_shared<Gate>()) << (f->openGate = std::make_shared<Gate>());
            if (a == u"capture") c->loadCapturedLink([&h] { return capturedAfter(&h.time); });
            if (a.startsWith(u'+')) h.time.advance(std::chrono::milliseconds(a.mid(1).toInt()));
            if (a == u"gone") c.reset();
            if (a == u"?") f->log << "?" << running(*c);
            if (task && action.endsWith(u'~'))
                started.push_back(std::move(*task));
            else if (task)
                await(std::move(*task));
        }
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
