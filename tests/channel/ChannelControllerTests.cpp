// The channel-binding stage through its controller, with a scripted onboarding service and desktop.
#include "channel/ChannelController.h"
#include "channel/OwnerSetupClient.h"
#include "model/Attention.h"
#include "model/InstallJourney.h"
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
//   a, b       binding required, that link         a+ / a- / a@: a pending attempt / none / an expiry
//   live       a live session, no link             done: bound
//   U, S, C    coded unavailable / state changed / configuration invalid (the letter as message)
//   T          a transport failure                 F, X: unreadable config / anything else
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
    const auto link = QUrl(QStringLiteral("https://onboarding.example/api/agents/ada/setup#") + w.left(1));
    const std::optional<bool> pending = w.endsWith(u'+') || w.endsWith(u'-') ? std::optional(w.endsWith(u'+')) : std::nullopt;
    const auto expiry = w.endsWith(u'@') ? std::optional(QDateTime::fromSecsSinceEpoch(1'900'000'000, Qt::UTC)) : std::nullopt;
    return OwnerSetupSession{w != u"done", w == u"live" || w == u"done" ? std::nullopt : std::optional(link), expiry, w == u"live", pending};
}

// The onboarding service and the desktop as the controller's effects see them.
struct Fakes
{
    QList<Answer> answers;
    QStringList log; // ask:<the link held, "-" none, "!" forced>, save:<token, "-" none, "@" expiring>, open, copy
    bool opens = true, throws = false, copies = true;
    std::shared_ptr<Gate> askGate, openGate; // hold the next request / open
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
    if (f->throws)
        throw std::runtime_error("no browser");
    co_return f->opens;
}

QCoro::Task<std::optional<OwnerSetupLink>> capturedAfter(VirtualTime *time)
{
    co_await time->sleep(1s);
    co_return OwnerSetupLink{QUrl(QStringLiteral("https://onboarding.example/api/agents/ada/setup#captured")), std::nullopt};
}

QCoro::Task<void> note(QStringList *log, QString entry)
{
    co_return void(log->append(entry));
}

const QString genericError = QStringLiteral("暂时无法获取 Channel 绑定状态，请检查网络后重试。");

} // namespace

class ChannelControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stage_data()
    {
        QTest::addColumn<QString>("stage"); // then "unconfigured"
        QTest::addColumn<QString>("answers"); // in order, "9*U": nine U
        // r, R: a refresh, a forced one; o, o0, o!: open (opens, refused, fails); c, c0: copy (copies, fails);
        // sheet, err (a model error), enter; hold: the next request and open wait until free; ~ after an
        // action: start it without waiting; appear: the binding sheet appeared 550 ms ago; capture: the
        // captured link loads in 1 s; +N: N ms pass; auto: every wait passes at once; gone: the controller
        // goes; ?: note the flags that show an operation running
        QTest::addColumn<QString>("actions");
        QTest::addColumn<QString>("state"); // stage, running phase, link, flags, texts, what the effects saw
        QTest::newRow("enter from daemon") << "daemon" << "a" << "err enter" << "channel run:channel url:a pending waiting | monitoring ask:- save:a";
        QTest::newRow("enter from setup") << "setup" << "" << "err enter" << "setup modelError |";
        QTest::newRow("enter when finished") << "finished" << "" << "err enter" << "finished modelError bound |";
        // A refresh needs the configuration and the channel stage.
        QTest::newRow("not configured") << "channel unconfigured" << "" << "r R" << "channel run:channel waiting |";
        QTest::newRow("handshake") << "handshake" << "" << "r R" << "handshake run:handshake bound |";
        QTest::newRow("finished") << "finished" << "" << "r R" << "finished bound |";
        // The link and its expiry are kept and saved; a live session without it was opened by the agent.
        QTest::newRow("link kept") << "channel" << "a@" << "r" << "channel run:channel url:a exp pending waiting | ask:- save:a@";
        QTest::newRow("live session, no link") << "channel" << "a@ live" << "r r" << "channel run:channel pending byAgent waiting | ask:- save:a@ ask:a save:-";
        // A pending attempt seen, then gone, verifies ownership; binding is still reported as required.
        QTest::newRow("pending, then not") << "channel" << "a+ a-" << "r r" << "channel run:channel url:a pending verified waiting | ask:- save:a ask:a save:a";
        QTest::newRow("never pending") << "channel" << "a- a-" << "r r" << "channel run:channel url:a pending waiting | ask:- save:a ask:a save:a";
        QTest::newRow("pending, then unknown") << "channel" << "a+ a" << "r r" << "channel run:channel url:a pending waiting | ask:- save:a ask:a save:a";
        QTest::newRow("still pending") << "channel" << "a+ a+" << "r r" << "channel run:channel url:a pending waiting | ask:- save:a ask:a save:a";
        QTest::newRow("pending on the old link") << "channel" << "a+ b b-" << "r R r" << "channel run:channel url:b pending waiting | ask:- save:a ask:a! save:b ask:b save:b";
        // Bound: the link and the sheet go, the handshake runs and the agent's status is asked at once.
        QTest::newRow("bound") << "channel" << "a done" << "r sheet c r" << "handshake run:handshake verified completed | ask:- save:a copy ask:a save:- status";
        QTest::newRow("sheet") << "channel" << "a" << "r sheet" << "channel run:channel url:a pending sheet waiting | ask:- save:a";
        // Transient failures are retried while no link is held: 10 requests, 0.6 s apart.
        QTest::newRow("9 unavailable, then a link") << "channel" << "9*U a" << "auto r" << "channel run:channel url:a pending waiting | 10*ask:- save:a 9*600";
        QTest::newRow("10 unavailable") << "channel" << "10*U" << "auto r" << "channel run:channel pending err:U waiting | 10*ask:- 9*600";
        QTest::newRow("10 state changes") << "channel" << "10*S" << "auto r" << "channel run:channel pending err:S waiting | 10*ask:- 9*600";
        QTest::newRow("10 transport failures") << "channel" << "10*T" << "auto r" << "channel run:channel pending err:generic waiting | 10*ask:- 9*600";
        QTest::newRow("2 transport failures, then a link") << "channel" << "2*T a" << "auto r" << "channel run:channel url:a pending waiting | 3*ask:- save:a 2*600";
        // Shown at once: with a link held, when forced, or not transient; the rest stays as it was.
        QTest::newRow("unavailable, link held") << "channel" << "a U" << "auto r o r" << "channel run:channel url:a pending opened err:U reopen waiting | ask:- save:a open ask:a";
        QTest::newRow("unavailable, forced") << "channel" << "a live U" << "auto r o r R" << "channel run:channel pending opened byAgent err:U reopen waiting | ask:- save:a open ask:a save:- ask:-!";
        QTest::newRow("configuration") << "channel" << "C" << "auto r" << "channel run:channel pending err:C waiting | ask:-";
        QTest::newRow("unreadable configuration") << "channel" << "F" << "auto r" << "channel run:channel pending err:generic waiting | ask:-";
        QTest::newRow("anything else") << "channel" << "X" << "auto r" << "channel run:channel pending err:generic waiting | ask:-";
        QTest::newRow("a good answer clears the error") << "channel" << "C a" << "r r" << "channel run:channel url:a pending waiting | 2*ask:- save:a";
        // Opening and copying.
        QTest::newRow("nothing to open or copy") << "channel" << "" << "o c" << "channel run:channel waiting |";
        QTest::newRow("copied, then refused") << "channel" << "a" << "r c o0" << "channel run:channel url:a pending openFailed retry waiting | ask:- save:a copy open";
        QTest::newRow("open fails") << "channel" << "a" << "r o!" << "channel run:channel url:a pending openFailed retry waiting | ask:- save:a open";
        QTest::newRow("opened, copy fails") << "channel" << "a" << "r o c0" << "channel run:channel url:a pending opened reopen waiting | ask:- save:a open copy";
        QTest::newRow("a second open while opening") << "channel" << "a" << "r hold o~ ? o" << "channel run:channel url:a pending opened reopen waiting | ask:- save:a open ? opening";
        // A new link has been neither opened nor copied; the same link keeps what was done with it.
        QTest::newRow("opened, new link") << "channel" << "a b" << "r o R" << "channel run:channel url:b pending waiting | ask:- save:a open ask:a! save:b";
        QTest::newRow("opened, same link") << "channel" << "a a" << "r o r" << "channel run:channel url:a pending opened reopen waiting | ask:- save:a open ask:a save:a";
        QTest::newRow("refused, new link") << "channel" << "a b" << "r o0 R" << "channel run:channel url:b pending waiting | ask:- save:a open ask:a! save:b";
        QTest::newRow("refused, same link") << "channel" << "a a" << "r o0 r" << "channel run:channel url:a pending openFailed retry waiting | ask:- save:a open ask:a save:a";
        QTest::newRow("copied, new link") << "channel" << "a b" << "r c R" << "channel run:channel url:b pending waiting | ask:- save:a copy ask:a! save:b";
        QTest::newRow("copied, same link") << "channel" << "a a" << "r c r" << "channel run:channel url:a pending copied waiting | ask:- save:a copy ask:a save:a";
        // One request at a time; a page is loading while no link is shown or a new one is asked for.
        QTest::newRow("no link: loading") << "channel" << "" << "hold r~ ? r R" << "channel run:channel url:a pending waiting | ask:- ? loading asking save:a";
        QTest::newRow("link held: not loading") << "channel" << "" << "r hold r~ ? r R" << "channel run:channel url:a pending waiting | ask:- save:a ask:a ? asking save:a";
        QTest::newRow("link held, forced: loading") << "channel" << "" << "r hold R~ ? r R" << "channel run:channel url:a pending waiting | ask:- save:a ask:a! ? loading asking save:a";
        // The sheet's appearance refreshes after its delay, in the channel stage only.
        QTest::newRow("session appeared") << "channel" << "" << "appear~ +549 ? +1" << "channel run:channel url:a pending waiting | ? ask:- save:a 550";
        QTest::newRow("session appeared, handshake") << "handshake" << "" << "appear +1000" << "handshake run:handshake bound |";
        // The link captured before a restart is in hand before anything is asked.
        QTest::newRow("captured link first") << "channel" << "a" << "capture r~ ? +1000" << "channel run:channel url:a pending waiting | ? capturing ask:captured save:a 1000";
        QTest::newRow("controller gone mid-request") << "channel" << "" << "hold r~ appear~ gone +1000" << "gone | ask:- 550";
    }
    void stage()
    {
        QFETCH(QString, stage);
        QFETCH(QString, answers);
        QFETCH(QString, actions);
        ControllerHarness h;
        h.launchAt(fromRawValue<InstallStage>(stage.section(u' ', 0, 0)), !stage.contains(u"unconfigured"));
        auto f = std::make_shared<Fakes>();
        for (const QString &word : answers.split(u' ', Qt::SkipEmptyParts))
            for (int i = 0; i < (word.contains(u'*') ? word.section(u'*', 0, 0).toInt() : 1); ++i)
                f->answers << answer(word.section(u'*', -1));
        auto c = std::make_unique<ChannelController>(
            h.context(),
            ChannelController::Effects{[f](std::optional<QUrl> existing, bool force) { return ask(f, std::move(existing), force); },
                                       [f](QUrl) { return open(f); }, [f](QUrl) { return f->log << "copy", f->copies; },
                                       [f](std::optional<OwnerSetupLink> l) { f->log << "save:" + (l ? l->url.fragment() + (l->expiresAt ? "@" : "") : "-"); }},
            ChannelController::Links{[f] { f->log << "monitoring"; }, [f] { return note(&f->log, "status"); }});
        std::vector<QCoro::Task<void>> running;
        QList<std::shared_ptr<Gate>> gates;
        for (const QString &action : actions.split(u' ')) {
            const QString a = action.chopped(action.endsWith(u'~') ? 1 : 0);
            f->opens = f->copies = !a.endsWith(u'0');
            f->throws = a.endsWith(u'!');
            std::optional<QCoro::Task<void>> task;
            if (a == u"r" || a == u"R") task = c->refreshOwnerSetup(a == u"R");
            if (a.startsWith(u'o')) task = c->openOwnerSetup();
            if (a.startsWith(u'c')) c->copyOwnerSetupLink();
            if (a == u"sheet") c->setChannelBindingSheetPresented(true);
            if (a == u"err") h.attention().showError(DisplayError::from(QStringLiteral("AGENT_START_TIMEOUT"), std::nullopt));
            if (a == u"enter") task = c->enterChannelStage();
            if (a == u"appear") task = c->noteChannelBindingSessionAppeared(550ms);
            if (a == u"hold") gates << (f->askGate = std::make_shared<Gate>()) << (f->openGate = std::make_shared<Gate>());
            if (a == u"capture") c->loadCapturedLink([&h] { return capturedAfter(&h.time); });
            if (a == u"auto") h.time.setAutoAdvance(true);
            if (a.startsWith(u'+')) h.time.advance(std::chrono::milliseconds(a.mid(1).toInt()));
            if (a == u"gone") c.reset();
            if (a == u"?") f->log << "?" << (c->isLoadingOwnerSetup() ? "loading" : "") << (c->ownerSetupRequestInFlight() ? "asking" : "")
                                  << (c->isOpeningOwnerSetup() ? "opening" : "") << (c->isLoadingCapturedLink() ? "capturing" : "");
            if (task && action.endsWith(u'~'))
                running.push_back(std::move(*task));
            else if (task)
                await(std::move(*task));
        }
        for (const auto &gate : gates)
            gate->open();
        for (auto &task : running)
            await(std::move(task));
        for (const auto d : h.time.requested())
            f->log << QString::number(d.count());
        QStringList s{c ? QString() : "gone"};
        if (c) {
            static const QHash<QString, QString> words{{QStringLiteral("重试"), "retry"}, {QStringLiteral("重新打开浏览器"), "reopen"},
                                                       {QStringLiteral("等待完成绑定"), "waiting"}, {QStringLiteral("已绑定"), "bound"}, {genericError, "generic"}};
            const auto current = h.journey().stage();
            s << (current ? rawValue(*current) : "finished");
            for (const SetupPhase phase : allCases<SetupPhase>())
                s << (h.state(phase) == ProgressState::running ? "run:" + rawValue(phase) : "");
            s << (c->ownerSetupURL() ? "url:" + c->ownerSetupURL()->fragment() : "");
            const std::pair<bool, const char *> flags[] = {
                {c->ownerSetupExpiresAt().has_value(), "exp"}, {c->ownerSetupPending(), "pending"}, {c->ownerSetupDidOpen(), "opened"},
                {c->ownerSetupOpenFailed(), "openFailed"}, {c->ownerSetupLinkCopied(), "copied"}, {c->channelOwnershipVerified(), "verified"},
                {c->channelBindingCompleted(), "completed"}, {c->isChannelBindingSheetPresented(), "sheet"}, {c->ownerSetupOpenedByAgent(), "byAgent"},
                {bool(h.attention().lastError()), "modelError"}};
            for (const auto &[on, name] : flags)
                s << (on ? name : "");
            const QString error = c->ownerSetupError().value_or(QString());
            s << (error.isEmpty() ? "" : "err:" + words.value(error, error)) << words.value(c->ownerSetupOpenButtonTitle()) << words.value(c->channelBindingSummary());
            QVERIFY(!c->ownerSetupRequestInFlight() && !c->isLoadingOwnerSetup() && !c->isOpeningOwnerSetup());
            QCOMPARE(h.readProfileFile(QStringLiteral("mac-app-install-stage")), current ? rawValue(*current).toUtf8() + "\n" : "");
        }
        QVERIFY(h.failures.isEmpty()); // never the model's error
        // Repeated entries of the log as "n*entry".
        f->log.removeAll(QString());
        QStringList log;
        for (qsizetype i = 0, n = 1; i < f->log.size(); i += n) {
            for (n = 1; i + n < f->log.size() && f->log[i + n] == f->log[i];)
                ++n;
            log << (n > 1 ? QStringLiteral("%1*%2").arg(n).arg(f->log[i]) : f->log[i]);
        }
        s.removeAll(QString());
        QTEST(QString(s.join(u' ') + " | " + log.join(u' ')).trimmed(), "state");
    }
};

QTEST_GUILESS_MAIN(ChannelControllerTests)
#include "ChannelControllerTests.moc"
