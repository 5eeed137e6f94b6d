#include "support/StatusFixture.h"

#include "process/QuorvantisNativeError.h"
#include "status/BoundedHttpGet.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using namespace QuorvantisTest;
using Stage = AppModel::InstallStage;
using Phase = AppModel::SetupPhase;
using Progress = AppModel::ProgressState;

Q_DECLARE_METATYPE(std::exception_ptr)
Q_DECLARE_METATYPE(std::optional<AppModel::InstallStage>)
Q_DECLARE_METATYPE(std::optional<bool>)
Q_DECLARE_METATYPE(QuorvantisTest::ScriptedResponse)

namespace {

std::exception_ptr nativeError(const char *code, const char *message)
{
    return std::make_exception_ptr(QuorvantisNativeError(QString::fromUtf8(code), QString::fromUtf8(message)));
}

const QString unavailableText = QStringLiteral("暂时无法获取 Channel 绑定状态");
const QString genericText = QStringLiteral("暂时无法获取 Channel 绑定状态，请检查网络后重试。");

QCoro::Task<std::optional<OwnerSetupLink>> slowCapturedLink(VirtualTime *time, OwnerSetupLink link)
{
    co_await time->sleep(1s);
    co_return link;
}

QCoro::Task<OwnerSetupSession> forwardToClient(std::shared_ptr<OwnerSetupClient> client,
                                               std::optional<QUrl> existing, bool force)
{
    co_return co_await client->request(std::move(existing), force);
}

QStringList capturedMessages;
void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedMessages.append(message);
}

// A configured model in the channel stage, without the launch-time link load and without the
// polling loop, so each test drives the refreshes itself.
AppModel &channelModel(StatusFixture &f)
{
    AppModel &model = f.makeServed(true, QStringLiteral("daemon"));
    model.installStage = Stage::channel;
    model.restoreProgress(Stage::channel);
    return model;
}

void refresh(AppModel &model, bool force = false)
{
    QuorvantisTest::await(model.refreshOwnerSetup(force));
}

} // namespace

class ChannelBindingTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void enterChannelStageAfterDaemon()
    {
        StatusFixture f;
        AppModel &model = f.makeServed(true, QStringLiteral("daemon"));
        model.lastError = AppModel::DisplayError::from(QStringLiteral("AGENT_START_TIMEOUT"), std::nullopt);
        model.onboardingCompleted = true;

        QuorvantisTest::await(model.enterChannelStage());
        QVERIFY(!model.lastError());
        QVERIFY(!model.onboardingCompleted());
        QVERIFY(!model.pendingSetupResume());
        QCOMPARE(model.installStage, std::optional(Stage::channel));
        QCOMPARE(f.readProfileFile(QStringLiteral("mac-app-install-stage")), QByteArray("channel\n"));
        QCOMPARE(f.state(Phase::channel), Progress::running);
        QCOMPARE(f.state(Phase::handshake), Progress::pending);
        QCOMPARE(f.onboarding->calls.first().existingURL, std::optional<QUrl>());
        QCOMPARE(model.ownerSetupURL, std::optional(bindingLink()));
        QCOMPARE(model.channelBindingSummary(), QStringLiteral("等待完成绑定"));
        // The channel stage polls faster than the ordinary status loop.
        QVERIFY(f.loopReached(1));
        QCOMPARE(f.time.requested().last(), 500ms);
    }

    void enterChannelStageOnlyFromDaemon_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::newRow("setup") << "setup";
        QTest::newRow("finished") << "";
    }
    void enterChannelStageOnlyFromDaemon()
    {
        QFETCH(QString, stage);
        StatusFixture f;
        AppModel &model = f.makeServed(true, stage.isEmpty() ? std::nullopt : std::optional(stage),
                                 [t = &f.time] { return slowCapturedLink(t, {bindingLink(), std::nullopt}); });
        const auto before = model.installStage;
        QuorvantisTest::await(model.enterChannelStage());
        QCOMPARE(model.installStage, before);
        QVERIFY(!model.statusTask);
        QCOMPARE(f.onboarding->calls.size(), 0);
        f.time.advance(1s); // let a pending captured-link load finish
    }

    void refreshNeedsConfigurationAndChannelStage_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::addColumn<std::optional<Stage>>("stage");
        QTest::newRow("not configured") << false << std::optional(Stage::channel);
        QTest::newRow("handshake") << true << std::optional(Stage::handshake);
        QTest::newRow("finished") << true << std::optional<Stage>();
    }
    void refreshNeedsConfigurationAndChannelStage()
    {
        QFETCH(bool, configured);
        QFETCH(std::optional<Stage>, stage);
        StatusFixture f;
        AppModel &model = f.makeServed(configured, QStringLiteral("daemon"));
        model.installStage = stage;
        refresh(model);
        refresh(model, true);
        QCOMPARE(f.onboarding->calls.size(), 0);
        QVERIFY(!model.ownerSetupRequestInFlight);
        QVERIFY(!model.isLoadingOwnerSetup());
    }

    void overlappingRefreshDoesNothing()
    {
        StatusFixture f;
        AppModel &model = channelModel(f);
        f.onboarding->latency = 1s;
        auto first = model.refreshOwnerSetup(false);
        QVERIFY(model.ownerSetupRequestInFlight);
        model.ownerSetupError = QStringLiteral("earlier failure");
        refresh(model);
        refresh(model, true);
        QCOMPARE(f.onboarding->calls.size(), 1);
        QCOMPARE(model.ownerSetupError(), std::optional<QString>(QStringLiteral("earlier failure")));

        f.time.advance(1s);
        QuorvantisTest::await(std::move(first));
        QVERIFY(!model.ownerSetupRequestInFlight);
        f.onboarding->latency = 0ms;
        refresh(model);
        QCOMPARE(f.onboarding->calls.size(), 2);
    }

    void loadingState_data()
    {
        QTest::addColumn<bool>("linkHeld");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("loading");
        QTest::newRow("no link") << false << false << true;
        QTest::newRow("link held") << true << false << false;
        QTest::newRow("link held, forced") << true << true << true;
    }
    void loadingState()
    {
        QFETCH(bool, linkHeld);
        QFETCH(bool, force);
        QFETCH(bool, loading);
        StatusFixture f;
        AppModel &model = channelModel(f);
        if (linkHeld)
            model.ownerSetupURL = bindingLink(QStringLiteral("held"));
        f.onboarding->latency = 1s;
        auto running = model.refreshOwnerSetup(force);
        QCOMPARE(model.isLoadingOwnerSetup(), loading);
        QCOMPARE(f.onboarding->calls.first().existingURL,
                 linkHeld ? std::optional(bindingLink(QStringLiteral("held"))) : std::nullopt);
        QCOMPARE(f.onboarding->calls.first().forceRefresh, force);
        f.time.advance(1s);
        QuorvantisTest::await(std::move(running));
        QVERIFY(!model.isLoadingOwnerSetup());
    }

    void linkIsKeptAndSaved()
    {
        StatusFixture f;
        AppModel &model = channelModel(f);
        const QDateTime expiry = QDateTime::fromSecsSinceEpoch(1'900'000'000, Qt::UTC);
        f.onboarding->answer(session(true, bindingLink(), std::nullopt, false, expiry));
        refresh(model);
        QCOMPARE(model.ownerSetupExpiresAt, std::optional(expiry));
        QCOMPARE(f.desktop->savedLinks.size(), 1);
        QCOMPARE(f.desktop->savedLinks.last(), std::optional(OwnerSetupLink{bindingLink(), expiry}));
        QVERIFY(model.canOpenOwnerSetup());
        QVERIFY(!model.ownerSetupOpenedByAgent());

        // The service reports a live session this system holds no link for.
        f.onboarding->answer(session(true, std::nullopt, std::nullopt, true, expiry));
        refresh(model);
        QVERIFY(!model.ownerSetupURL);
        QCOMPARE(f.desktop->savedLinks.last(), std::optional<OwnerSetupLink>());
        QVERIFY(model.ownerSetupOpenedByAgent());
        QVERIFY(!model.canOpenOwnerSetup());
    }

    void pendingBinding_data()
    {
        QTest::addColumn<std::optional<bool>>("first");
        QTest::addColumn<std::optional<bool>>("second");
        QTest::addColumn<bool>("verified");
        const std::optional<bool> unknown;
        QTest::newRow("pending, then not") << std::optional(true) << std::optional(false) << true;
        QTest::newRow("never pending") << std::optional(false) << std::optional(false) << false;
        QTest::newRow("pending, then unknown") << std::optional(true) << unknown << false;
        QTest::newRow("still pending") << std::optional(true) << std::optional(true) << false;
    }
    void pendingBinding()
    {
        QFETCH(std::optional<bool>, first);
        QFETCH(std::optional<bool>, second);
        QFETCH(bool, verified);
        StatusFixture f;
        AppModel &model = channelModel(f);
        f.onboarding->answer(session(true, bindingLink(), first));
        f.onboarding->answer(session(true, bindingLink(), second));
        refresh(model);
        QVERIFY(!model.channelOwnershipVerified());
        refresh(model);
        QCOMPARE(model.channelOwnershipVerified(), verified);
        QVERIFY(model.ownerSetupPending()); // verified while binding is still reported as required
        QVERIFY(!model.channelBindingCompleted());
        QCOMPARE(model.installStage, std::optional(Stage::channel));
    }

    void newLinkForgetsPendingAttemptOfTheOldOne()
    {
        StatusFixture f;
        AppModel &model = channelModel(f);
        f.onboarding->answer(session(true, bindingLink(), true));
        f.onboarding->answer(session(true, bindingLink(QStringLiteral("tok-b"))));
        f.onboarding->answer(session(true, bindingLink(QStringLiteral("tok-b")), false));
        refresh(model);
        refresh(model, true);
        refresh(model);
        QVERIFY(!model.channelOwnershipVerified());
    }

    void completionHandsOverToHandshake()
    {
        StatusFixture f;
        AppModel &model = channelModel(f);
        Sample notReady;
        notReady.ready = false;
        f.statusAnswer = ScriptedResponse::json(200, notReady.json());
        refresh(model);
        model.isChannelBindingSheetPresented = true;
        model.copyOwnerSetupLink();

        f.onboarding->answer(session(false));
        refresh(model);
        QVERIFY(model.channelBindingCompleted());
        QVERIFY(!model.isChannelBindingSheetPresented());
        QVERIFY(!model.ownerSetupURL);
        QVERIFY(!model.ownerSetupLinkCopied());
        QCOMPARE(f.desktop->savedLinks.last(), std::optional<OwnerSetupLink>());
        QCOMPARE(f.state(Phase::channel), Progress::complete);
        QCOMPARE(f.state(Phase::handshake), Progress::running);
        QCOMPARE(model.installStage, std::optional(Stage::handshake));
        QCOMPARE(f.readProfileFile(QStringLiteral("mac-app-install-stage")), QByteArray("handshake\n"));
        QCOMPARE(f.statusRequests(), 1); // one poll right away; the agent is not ready yet
        QCOMPARE(model.overallState(), AppModel::OverallState::starting);

        // The polling loop's first ready sample finishes the installation.
        f.statusAnswer = ScriptedResponse::json(200, Sample{}.json());
        model.startStatusMonitoring();
        QVERIFY(QuorvantisTest::spinUntil([&] { return !model.installStage; }));
        QVERIFY(!QFile::exists(f.profileFile(QStringLiteral("mac-app-install-stage"))));
        QVERIFY(model.onboardingCompleted());
        QCOMPARE(f.state(Phase::online), Progress::complete);
        QCOMPARE(model.overallState(), AppModel::OverallState::online);
        QCOMPARE(model.channelBindingSummary(), QStringLiteral("已绑定"));
        QVERIFY(f.loopReached(2));
        QCOMPARE(f.onboarding->calls.size(), 2); // the loop no longer asks the service
    }

    void transientFailuresAreRetried_data()
    {
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<int>("failures");
        QTest::addColumn<QString>("shown"); // empty: no error shown
        const auto unavailable = nativeError("OWNER_SETUP_UNAVAILABLE", "暂时无法获取 Channel 绑定状态");
        QTest::newRow("9 unavailable, then success") << unavailable << 9 << "";
        QTest::newRow("10 unavailable") << unavailable << 10 << unavailableText;
        QTest::newRow("10 state changes") << nativeError("OWNER_SETUP_STATE_CHANGED", "Channel 绑定状态已更新，正在重新检查")
                                          << 10 << "Channel 绑定状态已更新，正在重新检查";
        QTest::newRow("10 time-outs")
            << std::make_exception_ptr(OwnerSetupTransportError(QNetworkReply::TimeoutError, true,
                                                                QStringLiteral("timed out")))
            << 10 << genericText;
        QTest::newRow("2 cut-off answers, then success")
            << std::make_exception_ptr(HttpTransportError(HttpTransportError::Kind::Network,
                                                          QNetworkReply::RemoteHostClosedError, QStringLiteral("cut")))
            << 2 << "";
    }
    void transientFailuresAreRetried()
    {
        QFETCH(std::exception_ptr, error);
        QFETCH(int, failures);
        QFETCH(QString, shown);
        StatusFixture f;
        AppModel &model = channelModel(f);
        for (int i = 0; i < failures; ++i)
            f.onboarding->outcomes.append({std::nullopt, error});
        f.onboarding->answer(session(true, bindingLink()));
        f.time.setAutoAdvance(true);
        refresh(model);

        const int requests = std::min(failures + 1, 10);
        QCOMPARE(f.onboarding->calls.size(), requests);
        QCOMPARE(f.time.requested(), QList<std::chrono::milliseconds>(requests - 1, 600ms));
        QVERIFY(!model.ownerSetupRequestInFlight);
        QVERIFY(!model.lastError()); // never the model's error
        QCOMPARE(model.ownerSetupError(), shown.isEmpty() ? std::nullopt : std::optional(shown));
        QCOMPARE(model.ownerSetupURL, shown.isEmpty() ? std::optional(bindingLink()) : std::nullopt);
    }

    void failureShownAtOnce_data()
    {
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<bool>("linkHeld");
        QTest::addColumn<bool>("force");
        QTest::addColumn<QString>("message");
        const auto unavailable = nativeError("OWNER_SETUP_UNAVAILABLE", "暂时无法获取 Channel 绑定页面");
        QTest::newRow("link held") << unavailable << true << false << "暂时无法获取 Channel 绑定页面";
        QTest::newRow("forced") << unavailable << false << true << "暂时无法获取 Channel 绑定页面";
        QTest::newRow("configuration") << nativeError("OWNER_SETUP_CONFIG_INVALID", "Channel 绑定配置无效") << false
                                       << false << "Channel 绑定配置无效";
        QTest::newRow("unreadable config") << std::make_exception_ptr(OwnerSetupFileError(QStringLiteral("config.json")))
                                           << false << false << genericText;
        QTest::newRow("anything else") << std::make_exception_ptr(42) << false << false << genericText;
    }
    void failureShownAtOnce()
    {
        QFETCH(std::exception_ptr, error);
        QFETCH(bool, linkHeld);
        QFETCH(bool, force);
        QFETCH(QString, message);
        StatusFixture f;
        AppModel &model = channelModel(f);
        if (linkHeld)
            model.ownerSetupURL = bindingLink();
        model.ownerSetupDidOpen = true;
        f.onboarding->outcomes.append({std::nullopt, error});
        f.time.setAutoAdvance(true);
        refresh(model, force);
        QCOMPARE(f.onboarding->calls.size(), 1);
        QCOMPARE(model.ownerSetupError(), std::optional(message));
        QVERIFY(!model.isLoadingOwnerSetup());
        // The link and the other flags stay as they were.
        QCOMPARE(model.ownerSetupURL, linkHeld ? std::optional(bindingLink()) : std::nullopt);
        QVERIFY(model.ownerSetupDidOpen());
        QVERIFY(!model.lastError());

        // The next good answer clears the error.
        refresh(model);
        QVERIFY(!model.ownerSetupError());
    }

    void badOnboardingServerIsAFailureNotAStall_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        // A timeout, an undecodable and a refused answer; the client's own tables cover the
        // transport variants (trickles, oversized bodies).
        QTest::newRow("hangs") << ScriptedResponse::neverAnswer();
        QTest::newRow("garbage") << ScriptedResponse::json(200, "\x7f<<garbage>>");
        QTest::newRow("server error") << ScriptedResponse::text(503, "down");
    }
    void badOnboardingServerIsAFailureNotAStall()
    {
        QFETCH(ScriptedResponse, answer);
        const QByteArray serviceKey = "svc-key-5b1e0d";
        capturedMessages.clear();
        const auto previousHandler = qInstallMessageHandler(captureMessage);
        {
            StatusFixture f;
            // The real onboarding client, with short deadlines, against the loopback server.
            const OwnerSetupClient::Timeouts quick{200ms, 300ms};
            auto client = std::make_shared<OwnerSetupClient>(f.profileDirectory(), std::nullopt, quick);
            f.effects.ownerSetupRequest = [client](std::optional<QUrl> existing, bool force) {
                return forwardToClient(client, std::move(existing), force);
            };
            AppModel &model = channelModel(f);
            const QString service = QStringLiteral("http://localhost:%1").arg(f.server.port());
            f.writeProfileFile(QStringLiteral("config.json"),
                        "{\"agentName\":\"ada-agent\",\"onboardingServiceUrl\":\"" + service.toUtf8()
                            + "\",\"quorvantisServiceApiKey\":\"" + serviceKey + "\"}");
            f.server.setResponse(QStringLiteral("/api/agents/ada-agent/owner-provisioning"), answer);
            f.time.setAutoAdvance(true);

            int ticks = 0;
            QTimer ticker;
            QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
            ticker.start(5);
            QElapsedTimer clock;
            clock.start();
            refresh(model);
            ticker.stop();
            f.server.closeAllConnections();

            const auto asked = f.server.requestsFor(QStringLiteral("/api/agents/ada-agent/owner-provisioning"));
            QVERIFY(!asked.isEmpty());
            QCOMPARE(asked.first().header("Authorization").value_or(QByteArray()), "Bearer " + serviceKey);
            QVERIFY(model.ownerSetupError());
            QVERIFY(!model.ownerSetupURL);
            QVERIFY(!model.ownerSetupRequestInFlight);
            QVERIFY(!model.lastError());
            QVERIFY2(clock.elapsed() < 15000, "every request must end at the client's deadline");
            QVERIFY2(ticks > 0, "the event loop must keep running while the service is slow");
        }
        qInstallMessageHandler(previousHandler);
        for (const QString &message : std::as_const(capturedMessages))
            QVERIFY2(!message.contains(QString::fromUtf8(serviceKey)), qPrintable(message));
    }

    void openCopyAndButtonTitle()
    {
        StatusFixture f;
        AppModel &model = channelModel(f);
        QuorvantisTest::await(model.openOwnerSetup()); // nothing to open yet
        model.copyOwnerSetupLink();
        QVERIFY(f.desktop->opened.isEmpty() && f.desktop->copied.isEmpty());

        refresh(model);
        model.copyOwnerSetupLink();
        QCOMPARE(f.desktop->copied, QList<QUrl>{bindingLink()});
        f.desktop->openResult = false;
        QuorvantisTest::await(model.openOwnerSetup());
        QVERIFY(model.ownerSetupOpenFailed());
        QVERIFY(!model.ownerSetupLinkCopied()); // an open attempt resets the copy state
        QCOMPARE(model.ownerSetupOpenButtonTitle(), QStringLiteral("重试"));
        QCOMPARE(model.ownerSetupURL, std::optional(bindingLink())); // a failed open keeps the link

        f.desktop->openResult = true;
        QuorvantisTest::await(model.openOwnerSetup());
        QVERIFY(!model.ownerSetupOpenFailed());
        QCOMPARE(model.ownerSetupOpenButtonTitle(), QStringLiteral("重新打开浏览器"));
        f.desktop->copyResult = false;
        model.copyOwnerSetupLink();
        QVERIFY(!model.ownerSetupLinkCopied());

        // A new link has been neither opened nor copied; an unforced refresh keeps the flags.
        f.onboarding->answer(session(true, bindingLink(QStringLiteral("tok-new"))));
        refresh(model, true);
        QVERIFY(!model.ownerSetupDidOpen());
        QCOMPARE(model.ownerSetupOpenButtonTitle(), QStringLiteral("打开浏览器"));
        QuorvantisTest::await(model.openOwnerSetup());
        refresh(model);
        QVERIFY(model.ownerSetupDidOpen());

        model.ownerSetupPending = false;
        const auto opens = f.desktop->opened.size();
        QuorvantisTest::await(model.openOwnerSetup());
        QCOMPARE(f.desktop->opened.size(), opens);
    }

    void sheetAppearanceRefreshesAfterDelay()
    {
        StatusFixture f;
        AppModel &model = channelModel(f);
        auto appeared = model.noteChannelBindingSessionAppeared(550ms);
        f.time.advance(549ms);
        QCOMPARE(f.onboarding->calls.size(), 0);
        f.time.advance(1ms);
        QuorvantisTest::await(std::move(appeared));
        QCOMPARE(f.onboarding->calls.first().forceRefresh, false);

        model.installStage = Stage::handshake;
        QuorvantisTest::await(model.noteChannelBindingSessionAppeared(550ms));
        QCOMPARE(f.time.requested().size(), 1);
        QCOMPARE(f.onboarding->calls.size(), 1);
    }

    void refreshWaitsForCapturedLink()
    {
        StatusFixture f;
        const OwnerSetupLink captured{bindingLink(QStringLiteral("captured")), std::nullopt};
        AppModel &model = f.makeServed(true, QStringLiteral("channel"),
                                 [t = &f.time, captured] { return slowCapturedLink(t, captured); });
        f.onboarding->whenExhausted = session(true, captured.url, false);
        auto running = model.refreshOwnerSetup(false);
        QTest::qWait(20);
        QCOMPARE(f.onboarding->calls.size(), 0); // nothing asked before the captured link is in
        f.time.advance(1s);
        QuorvantisTest::await(std::move(running));
        QCOMPARE(f.onboarding->calls.size(), 1);
        QCOMPARE(f.onboarding->calls.first().existingURL, std::optional(captured.url));
        QCOMPARE(model.ownerSetupURL, std::optional(captured.url));
    }

    void modelGoneDuringRequest()
    {
        StatusFixture f;
        channelModel(f);
        f.onboarding->latency = 1s;
        auto running = f.model().refreshOwnerSetup(false);
        auto appeared = f.model().noteChannelBindingSessionAppeared(550ms);
        f.reset();
        f.time.advance(2s);
        QuorvantisTest::await(std::move(running));
        QuorvantisTest::await(std::move(appeared));
        QCOMPARE(f.onboarding->calls.size(), 1);
    }
};

QTEST_GUILESS_MAIN(ChannelBindingTests)
#include "ChannelBindingTests.moc"
