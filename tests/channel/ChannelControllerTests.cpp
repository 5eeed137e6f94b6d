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

Q_DECLARE_METATYPE(std::exception_ptr)
Q_DECLARE_METATYPE(std::optional<bool>)
Q_DECLARE_METATYPE(std::optional<InstallStage>)

namespace {

QUrl link(const QString &token = QStringLiteral("tok-a"))
{
    return QUrl(QStringLiteral("https://onboarding.example/api/agents/ada/setup#") + token);
}

OwnerSetupSession session(bool required, std::optional<QUrl> url = std::nullopt, std::optional<bool> pending = std::nullopt,
                          bool live = false, std::optional<QDateTime> expiresAt = std::nullopt)
{
    return OwnerSetupSession{required, std::move(url), std::move(expiresAt), live, pending};
}

std::exception_ptr coded(const char *code, const char *message = "scripted")
{
    return std::make_exception_ptr(QuorvantisNativeError(QString::fromUtf8(code), QString::fromUtf8(message)));
}

const QString genericError = QStringLiteral("暂时无法获取 Channel 绑定状态，请检查网络后重试。");

// The onboarding service as the controller's request effect sees it: scripted answers in order,
// then `fallback`; the next request is held at `gate` when one is set.
struct Service
{
    struct Call
    {
        std::optional<QUrl> existing;
        bool force;
    };
    QList<Call> calls;
    std::deque<std::variant<OwnerSetupSession, std::exception_ptr>> script;
    OwnerSetupSession fallback = session(true, link());
    std::shared_ptr<Gate> gate;
};

QCoro::Task<OwnerSetupSession> ask(std::shared_ptr<Service> service, std::optional<QUrl> existing, bool force)
{
    service->calls.append({existing, force});
    if (auto gate = std::exchange(service->gate, nullptr))
        co_await gate->wait();
    if (service->script.empty()) {
        const OwnerSetupSession answer = service->fallback;
        co_return answer;
    }
    const auto next = service->script.front();
    service->script.pop_front();
    if (const auto *error = std::get_if<std::exception_ptr>(&next))
        std::rethrow_exception(*error);
    co_return std::get<OwnerSetupSession>(next);
}

struct Desk
{
    QList<QUrl> opened, copied;
    QList<std::optional<OwnerSetupLink>> saved;
    bool openResult = true, openThrows = false, copyResult = true;
    std::shared_ptr<Gate> gate;
};

QCoro::Task<bool> openPage(std::shared_ptr<Desk> desk, QUrl url)
{
    desk->opened.append(url);
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

QCoro::Task<void> countRefresh(int *refreshes)
{
    ++*refreshes;
    co_return;
}

// A channel controller on a harness: the stage it starts at, scripted service and desktop.
struct Rig
{
    ControllerHarness h;
    std::shared_ptr<Service> service = std::make_shared<Service>();
    std::shared_ptr<Desk> desk = std::make_shared<Desk>();
    int monitoringStarts = 0, statusRefreshes = 0;
    std::unique_ptr<ChannelController> c; // after the harness: destroyed before it

    explicit Rig(std::optional<InstallStage> stage = InstallStage::channel, bool configured = true)
    {
        h.launchAt(stage, configured);
        ChannelController::Effects effects{
            [s = service](std::optional<QUrl> existing, bool force) { return ask(s, std::move(existing), force); },
            [d = desk](QUrl url) { return openPage(d, std::move(url)); },
            [d = desk](QUrl url) {
                d->copied.append(url);
                return d->copyResult;
            },
            [d = desk](std::optional<OwnerSetupLink> saved) { d->saved.append(saved); },
        };
        ChannelController::Links links{[this] { ++monitoringStarts; }, [this] { return countRefresh(&statusRefreshes); }};
        c = std::make_unique<ChannelController>(h.context(), effects, links);
    }
    void refresh(bool force = false) { await(c->refreshOwnerSetup(force)); }
    // A binding link in hand that the user opened; `keep` false: the service then reports a
    // live session without a link, so the controller holds none but the flags stay.
    void openedLink(bool keep)
    {
        refresh();
        await(c->openOwnerSetup());
        if (!keep) {
            service->script.push_back(session(true, std::nullopt, std::nullopt, true));
            refresh();
        }
    }
};

} // namespace

class ChannelControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void enteringTheStage_data()
    {
        QTest::addColumn<std::optional<InstallStage>>("from");
        QTest::addColumn<bool>("enters");
        QTest::newRow("daemon") << std::optional(InstallStage::daemon) << true;
        QTest::newRow("setup") << std::optional(InstallStage::setup) << false;
        QTest::newRow("finished") << std::optional<InstallStage>() << false;
    }
    void enteringTheStage()
    {
        QFETCH(std::optional<InstallStage>, from);
        QFETCH(bool, enters);
        Rig r(from);
        r.h.attention().showError(DisplayError::from(QStringLiteral("AGENT_START_TIMEOUT"), std::nullopt));
        await(r.c->enterChannelStage());
        QCOMPARE(r.h.journey().stage(), enters ? std::optional(InstallStage::channel) : from);
        QCOMPARE(r.monitoringStarts, int(enters));
        QCOMPARE(r.service->calls.size(), int(enters));
        QCOMPARE(!r.h.attention().lastError(), enters);
        if (!enters)
            return;
        QCOMPARE(r.h.readProfileFile(QStringLiteral("mac-app-install-stage")), QByteArray("channel\n"));
        QVERIFY(!r.h.journey().onboardingCompleted() && !r.h.journey().pendingSetupResume());
        QCOMPARE(r.h.state(SetupPhase::channel), ProgressState::running);
        QCOMPARE(r.h.state(SetupPhase::handshake), ProgressState::pending);
        QCOMPARE(r.service->calls.first().existing, std::nullopt);
        QCOMPARE(r.c->ownerSetupURL(), std::optional(link()));
    }

    void bindingSummary_data()
    {
        QTest::addColumn<std::optional<InstallStage>>("stage");
        QTest::addColumn<QString>("summary");
        QTest::newRow("channel") << std::optional(InstallStage::channel) << QStringLiteral("等待完成绑定");
        QTest::newRow("finished") << std::optional<InstallStage>() << QStringLiteral("已绑定");
        QTest::newRow("setup") << std::optional(InstallStage::setup) << QStringLiteral("尚未开始");
    }
    void bindingSummary()
    {
        QFETCH(std::optional<InstallStage>, stage);
        Rig r(stage);
        QTEST(r.c->channelBindingSummary(), "summary");
    }

    void refreshNeedsConfigurationAndTheStage_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::addColumn<std::optional<InstallStage>>("stage");
        QTest::newRow("not configured") << false << std::optional(InstallStage::channel);
        QTest::newRow("handshake") << true << std::optional(InstallStage::handshake);
        QTest::newRow("finished") << true << std::optional<InstallStage>();
    }
    void refreshNeedsConfigurationAndTheStage()
    {
        QFETCH(bool, configured);
        QFETCH(std::optional<InstallStage>, stage);
        Rig r(stage, configured);
        r.refresh();
        r.refresh(true);
        QCOMPARE(r.service->calls.size(), 0);
        QVERIFY(!r.c->ownerSetupRequestInFlight() && !r.c->isLoadingOwnerSetup());
    }

    void loadingAndOverlap_data()
    {
        QTest::addColumn<bool>("linkHeld");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("loading");
        QTest::newRow("no link") << false << false << true;
        QTest::newRow("link held") << true << false << false;
        QTest::newRow("link held, forced") << true << true << true;
    }
    void loadingAndOverlap()
    {
        QFETCH(bool, linkHeld);
        QFETCH(bool, force);
        Rig r;
        if (linkHeld)
            r.refresh();
        const int before = int(r.service->calls.size());
        r.service->gate = std::make_shared<Gate>();
        auto gate = r.service->gate;
        auto running = r.c->refreshOwnerSetup(force);
        QVERIFY(r.c->ownerSetupRequestInFlight());
        QTEST(r.c->isLoadingOwnerSetup(), "loading");
        QCOMPARE(r.service->calls.last().existing, linkHeld ? std::optional(link()) : std::nullopt);
        QCOMPARE(r.service->calls.last().force, force);
        // A refresh while one runs asks nothing.
        r.refresh();
        r.refresh(true);
        QCOMPARE(r.service->calls.size(), before + 1);
        gate->open();
        await(std::move(running));
        QVERIFY(!r.c->isLoadingOwnerSetup() && !r.c->ownerSetupRequestInFlight());
        r.refresh();
        QCOMPARE(r.service->calls.size(), before + 2);
    }

    void linkIsKeptAndSaved()
    {
        Rig r;
        const QDateTime expiry = QDateTime::fromSecsSinceEpoch(1'900'000'000, Qt::UTC);
        r.service->script = {session(true, link(), std::nullopt, false, expiry),
                             session(true, std::nullopt, std::nullopt, true, expiry)};
        r.refresh();
        QCOMPARE(r.c->ownerSetupExpiresAt(), std::optional(expiry));
        QCOMPARE(r.desk->saved, (QList<std::optional<OwnerSetupLink>>{OwnerSetupLink{link(), expiry}}));
        QVERIFY(r.c->canOpenOwnerSetup() && !r.c->ownerSetupOpenedByAgent());
        // A live session this system holds no link for: the agent opened it.
        r.refresh();
        QVERIFY(!r.c->ownerSetupURL() && !r.c->ownerSetupExpiresAt());
        QCOMPARE(r.desk->saved.last(), std::nullopt);
        QVERIFY(r.c->ownerSetupOpenedByAgent() && !r.c->canOpenOwnerSetup());
    }

    void pendingBindingVerifiesOwnership_data()
    {
        QTest::addColumn<std::optional<bool>>("first");
        QTest::addColumn<std::optional<bool>>("second");
        QTest::addColumn<bool>("forcedBetween"); // a new link in between
        QTest::addColumn<bool>("verified");
        const std::optional<bool> yes = true, no = false, unknown;
        QTest::newRow("pending, then not") << yes << no << false << true;
        QTest::newRow("never pending") << no << no << false << false;
        QTest::newRow("pending, then unknown") << yes << unknown << false << false;
        QTest::newRow("still pending") << yes << yes << false << false;
        QTest::newRow("pending on the old link") << yes << no << true << false;
    }
    void pendingBindingVerifiesOwnership()
    {
        QFETCH(std::optional<bool>, first);
        QFETCH(std::optional<bool>, second);
        QFETCH(bool, forcedBetween);
        Rig r;
        r.service->script = {session(true, link(), first), session(true, link(QStringLiteral("b"))),
                             session(true, link(QStringLiteral("b")), second)};
        r.refresh();
        QVERIFY(!r.c->channelOwnershipVerified());
        if (forcedBetween)
            r.refresh(true);
        else
            r.service->script.erase(r.service->script.begin());
        r.refresh();
        QTEST(r.c->channelOwnershipVerified(), "verified");
        // Verified while binding is still reported as required: the stage stays.
        QVERIFY(r.c->ownerSetupPending() && !r.c->channelBindingCompleted());
        QCOMPARE(r.h.journey().stage(), std::optional(InstallStage::channel));
    }

    void completionHandsOverToHandshake()
    {
        Rig r;
        r.refresh();
        r.c->setChannelBindingSheetPresented(true);
        QVERIFY(r.c->isChannelBindingSheetPresented());
        r.c->copyOwnerSetupLink();
        QVERIFY(r.c->ownerSetupLinkCopied());
        r.service->script.push_back(session(false));
        r.refresh();
        QVERIFY(r.c->channelBindingCompleted() && r.c->channelOwnershipVerified());
        QVERIFY(!r.c->isChannelBindingSheetPresented() && !r.c->ownerSetupLinkCopied());
        QVERIFY(!r.c->ownerSetupURL() && !r.c->ownerSetupExpiresAt() && !r.c->ownerSetupHasLiveSession());
        QCOMPARE(r.desk->saved.last(), std::nullopt);
        QCOMPARE(r.h.journey().stage(), std::optional(InstallStage::handshake));
        QCOMPARE(r.h.readProfileFile(QStringLiteral("mac-app-install-stage")), QByteArray("handshake\n"));
        QCOMPARE(r.h.state(SetupPhase::channel), ProgressState::complete);
        QCOMPARE(r.h.state(SetupPhase::handshake), ProgressState::running);
        QCOMPARE(r.statusRefreshes, 1); // the agent's status is asked at once
    }

    void transientFailuresAreRetried_data()
    {
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<int>("failures");
        QTest::addColumn<QString>("shown"); // empty: no error shown
        const auto unavailable = coded("OWNER_SETUP_UNAVAILABLE", "U");
        const auto cut = std::make_exception_ptr(
            HttpTransportError(HttpTransportError::Kind::Network, QNetworkReply::RemoteHostClosedError, QStringLiteral("cut")));
        QTest::newRow("9 unavailable, then success") << unavailable << 9 << "";
        QTest::newRow("10 unavailable") << unavailable << 10 << "U";
        QTest::newRow("10 state changes") << coded("OWNER_SETUP_STATE_CHANGED", "S") << 10 << "S";
        QTest::newRow("10 time-outs") << std::make_exception_ptr(HttpTransportError(
            HttpTransportError::Kind::TimedOut, QNetworkReply::OperationCanceledError, QStringLiteral("late")))
                                      << 10 << genericError;
        QTest::newRow("2 cut-off answers, then success") << cut << 2 << "";
    }
    void transientFailuresAreRetried()
    {
        QFETCH(std::exception_ptr, error);
        QFETCH(int, failures);
        QFETCH(QString, shown);
        Rig r;
        r.service->script.assign(failures, error);
        r.h.time.setAutoAdvance(true);
        r.refresh();
        const int requests = std::min(failures + 1, 10);
        QCOMPARE(r.service->calls.size(), requests);
        QCOMPARE(r.h.time.requested(), QList<std::chrono::milliseconds>(requests - 1, 600ms));
        QVERIFY(!r.c->ownerSetupRequestInFlight());
        QCOMPARE(r.c->ownerSetupError(), shown.isEmpty() ? std::nullopt : std::optional(shown));
        QCOMPARE(r.c->ownerSetupPending(), true);
        QCOMPARE(r.c->ownerSetupURL(), shown.isEmpty() ? std::optional(link()) : std::nullopt);
        QVERIFY(r.h.failures.isEmpty() && !r.h.attention().lastError()); // never the model's error
    }

    void failureShownAtOnce_data()
    {
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<bool>("linkHeld");
        QTest::addColumn<bool>("force");
        QTest::addColumn<QString>("message");
        const auto unavailable = coded("OWNER_SETUP_UNAVAILABLE", "U");
        QTest::newRow("link held") << unavailable << true << false << "U";
        QTest::newRow("forced") << unavailable << false << true << "U";
        QTest::newRow("configuration") << coded("OWNER_SETUP_CONFIG_INVALID", "C") << false << false << "C";
        QTest::newRow("unreadable config") << std::make_exception_ptr(OwnerSetupFileError(QStringLiteral("config.json")))
                                           << false << false << genericError;
        QTest::newRow("anything else") << std::make_exception_ptr(42) << false << false << genericError;
    }
    void failureShownAtOnce()
    {
        QFETCH(std::exception_ptr, error);
        QFETCH(bool, linkHeld);
        QFETCH(bool, force);
        Rig r;
        r.openedLink(linkHeld);
        const int before = int(r.service->calls.size());
        r.service->script.push_back(error);
        r.h.time.setAutoAdvance(true);
        r.refresh(force);
        QCOMPARE(r.service->calls.size(), before + 1);
        QTEST(r.c->ownerSetupError().value_or(QString()), "message");
        QVERIFY(!r.c->isLoadingOwnerSetup());
        // The link and the other flags stay as they were.
        QCOMPARE(r.c->ownerSetupURL(), linkHeld ? std::optional(link()) : std::nullopt);
        QVERIFY(r.c->ownerSetupDidOpen());
        QVERIFY(r.h.failures.isEmpty() && !r.h.attention().lastError());
        r.refresh(); // the next good answer clears the error
        QVERIFY(!r.c->ownerSetupError());
    }

    void openAndCopy()
    {
        Rig r;
        await(r.c->openOwnerSetup()); // nothing to open yet
        r.c->copyOwnerSetupLink();
        QVERIFY(r.desk->opened.isEmpty() && r.desk->copied.isEmpty());
        QCOMPARE(r.c->ownerSetupOpenButtonTitle(), QStringLiteral("打开浏览器"));

        r.refresh();
        r.c->copyOwnerSetupLink();
        QCOMPARE(r.desk->copied, QList<QUrl>{link()});
        r.desk->openResult = false;
        await(r.c->openOwnerSetup());
        QVERIFY(r.c->ownerSetupOpenFailed() && !r.c->ownerSetupDidOpen());
        QVERIFY(!r.c->ownerSetupLinkCopied()); // an open attempt resets the copy state
        QCOMPARE(r.c->ownerSetupOpenButtonTitle(), QStringLiteral("重试"));
        QCOMPARE(r.c->ownerSetupURL(), std::optional(link())); // a failed open keeps the link
        r.desk->openThrows = true;
        await(r.c->openOwnerSetup());
        QVERIFY(r.c->ownerSetupOpenFailed() && !r.c->isOpeningOwnerSetup());

        // A second press while the browser opens does nothing.
        r.desk->openThrows = false;
        r.desk->openResult = true;
        auto gate = r.desk->gate = std::make_shared<Gate>();
        auto opening = r.c->openOwnerSetup();
        QVERIFY(r.c->isOpeningOwnerSetup() && !r.c->canOpenOwnerSetup());
        await(r.c->openOwnerSetup());
        QCOMPARE(r.desk->opened.size(), 3);
        gate->open();
        await(std::move(opening));
        QVERIFY(!r.c->ownerSetupOpenFailed() && r.c->ownerSetupDidOpen());
        QCOMPARE(r.c->ownerSetupOpenButtonTitle(), QStringLiteral("重新打开浏览器"));
        r.desk->copyResult = false;
        r.c->copyOwnerSetupLink();
        QVERIFY(!r.c->ownerSetupLinkCopied());

        // Nothing is opened once binding is no longer pending.
        r.service->script.push_back(session(false));
        r.refresh();
        const auto opens = r.desk->opened.size();
        await(r.c->openOwnerSetup());
        QCOMPARE(r.desk->opened.size(), opens);
    }

    void newLinkStartsAfresh_data()
    {
        QTest::addColumn<int>("action"); // 0: opened, 1: open refused, 2: copied
        QTest::addColumn<bool>("force");
        QTest::newRow("opened, new link") << 0 << true;
        QTest::newRow("opened, same link") << 0 << false;
        QTest::newRow("open refused, new link") << 1 << true;
        QTest::newRow("open refused, same link") << 1 << false;
        QTest::newRow("copied, new link") << 2 << true;
        QTest::newRow("copied, same link") << 2 << false;
    }
    void newLinkStartsAfresh()
    {
        QFETCH(int, action);
        QFETCH(bool, force);
        Rig r;
        r.refresh();
        r.desk->openResult = action == 0;
        if (action == 2)
            r.c->copyOwnerSetupLink();
        else
            await(r.c->openOwnerSetup());
        const auto flags = [&r] {
            return QList<bool>{r.c->ownerSetupDidOpen(), r.c->ownerSetupOpenFailed(), r.c->ownerSetupLinkCopied()};
        };
        const QList<bool> before = flags();
        QCOMPARE(before.count(true), 1);
        r.service->script.push_back(session(true, link(QStringLiteral("new"))));
        r.refresh(force);
        QCOMPARE(flags(), force ? QList<bool>(3, false) : before);
    }

    void sessionAppearanceRefreshesAfterItsDelay()
    {
        Rig r;
        auto appeared = r.c->noteChannelBindingSessionAppeared(550ms);
        r.h.time.advance(549ms);
        QCOMPARE(r.service->calls.size(), 0);
        r.h.time.advance(1ms);
        await(std::move(appeared));
        QCOMPARE(r.service->calls.size(), 1);
        QCOMPARE(r.service->calls.first().force, false);

        Rig handshake(InstallStage::handshake);
        await(handshake.c->noteChannelBindingSessionAppeared(550ms));
        QVERIFY(handshake.h.time.requested().isEmpty());
        QCOMPARE(handshake.service->calls.size(), 0);
    }

    void capturedLinkComesFirst()
    {
        Rig r;
        const OwnerSetupLink captured{link(QStringLiteral("captured")), std::nullopt};
        r.service->fallback = session(true, captured.url, false, false);
        r.c->loadCapturedLink([t = &r.h.time, captured] { return capturedAfter(t, captured); });
        QVERIFY(r.c->isLoadingCapturedLink());
        auto running = r.c->refreshOwnerSetup(false);
        QCoreApplication::processEvents();
        QCOMPARE(r.service->calls.size(), 0); // nothing asked before the captured link is in
        r.h.time.advance(1s);
        await(std::move(running));
        QVERIFY(!r.c->isLoadingCapturedLink());
        QCOMPARE(r.service->calls.size(), 1);
        QCOMPARE(r.service->calls.first().existing, std::optional(captured.url));
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
        QCOMPARE(r.service->calls.size(), 1);
    }
};

QTEST_GUILESS_MAIN(ChannelControllerTests)
#include "ChannelControllerTests.moc"
