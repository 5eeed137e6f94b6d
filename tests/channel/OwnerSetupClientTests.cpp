#include "channel/OwnerSetupClient.h"
#include "platform/Bundle.h"
#include "process/QuorvantisNativeError.h"

#include "support/AwaitTask.h"
#include "support/LoopbackHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

using QuorvantisTest::LoopbackHttpServer;
using QuorvantisTest::RecordedRequest;
using QuorvantisTest::ScriptedResponse;
using QuorvantisTest::await;

namespace {

const QString agent = QStringLiteral("ops-bot");
const QByteArray apiKey = "qv_key_7f3a9c";
const QString provisioningPath = QStringLiteral("/api/agents/ops-bot/owner-provisioning");
const QString setupPath = QStringLiteral("/api/agents/ops-bot/setup");

// Generous for the ordinary answers (sanitised builds are slow); the timeout tests use their own.
const OwnerSetupClient::Timeouts ordinaryTimeouts{std::chrono::milliseconds(5000), std::chrono::milliseconds(8000)};
const OwnerSetupClient::Timeouts shortTimeouts{std::chrono::milliseconds(300), std::chrono::milliseconds(600)};

struct Outcome
{
    std::optional<OwnerSetupSession> session;
    std::optional<QuorvantisNativeError> native;
    std::exception_ptr other;

    QString code() const { return native ? native->code : QString(); }
    QString message() const { return native ? native->message : QString(); }
};

Outcome outcomeOf(QCoro::Task<OwnerSetupSession> task)
{
    Outcome outcome;
    try {
        outcome.session = await(std::move(task));
    } catch (const QuorvantisNativeError &error) {
        outcome.native = error;
    } catch (...) {
        outcome.other = std::current_exception();
    }
    return outcome;
}

template <typename Error>
const Error *otherAs(const Outcome &outcome, std::shared_ptr<Error> &holder)
{
    if (!outcome.other)
        return nullptr;
    try {
        std::rethrow_exception(outcome.other);
    } catch (const Error &error) {
        holder = std::make_shared<Error>(error);
    } catch (...) {
    }
    return holder.get();
}

QByteArray statusBody(bool complete, std::optional<bool> live = std::nullopt, std::optional<QString> expiresAt = std::nullopt)
{
    nlohmann::json body = {{"onboardingComplete", complete}};
    if (live)
        body["hasLiveSession"] = *live;
    if (expiresAt)
        body["expiresAt"] = expiresAt->toStdString();
    return QByteArray::fromStdString(body.dump());
}

QByteArray linkBody(const QString &setupUrl, std::optional<QString> expiresAt = std::nullopt)
{
    nlohmann::json body = {{"setupUrl", setupUrl.toStdString()}};
    if (expiresAt)
        body["expiresAt"] = expiresAt->toStdString();
    return QByteArray::fromStdString(body.dump());
}

// Owner, group and other bits only (Qt also reports the current user's view of the file).
QFileDevice::Permissions modeOf(const QString &path)
{
    return QFile::permissions(path) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

QDateTime utc(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate).toUTC();
}

} // namespace

class OwnerSetupClientTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_profile;
    std::unique_ptr<LoopbackHttpServer> m_server;
    QUrl m_service;

    QString profilePath(const QString &name) const { return m_profile->filePath(name); }
    QString linkFile() const { return profilePath(OwnerSetupClient::linkFileName()); }

    QUrl setupLink(const QString &token = QStringLiteral("tok_A1b2"), const QString &agentName = agent) const
    {
        QUrl link = m_service;
        link.setPath(QStringLiteral("/api/agents/%1/setup").arg(agentName));
        link.setFragment(token);
        return link;
    }

    void writeConfig(const nlohmann::json &config)
    {
        writeFile(QStringLiteral("config.json"), QByteArray::fromStdString(config.dump()));
    }

    void writeFile(const QString &name, const QByteArray &data)
    {
        QFile file(profilePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(data), data.size());
    }

    QByteArray readLinkFile() const
    {
        QFile file(linkFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    nlohmann::json defaultConfig() const
    {
        return {{"agentName", agent.toStdString()},
                {"onboardingServiceUrl", m_service.toString().toStdString()},
                {"quorvantisServiceApiKey", apiKey.toStdString()},
                {"otherSetting", 3}};
    }

    std::unique_ptr<OwnerSetupClient> client(OwnerSetupClient::Timeouts timeouts = ordinaryTimeouts,
                                             std::optional<QUrl> serviceOverride = std::nullopt) const
    {
        return std::make_unique<OwnerSetupClient>(m_profile->path(), serviceOverride, timeouts);
    }

    Outcome request(std::optional<QUrl> existing, bool force, OwnerSetupClient::Timeouts timeouts = ordinaryTimeouts)
    {
        auto c = client(timeouts);
        return outcomeOf(c->request(existing, force));
    }

private Q_SLOTS:
    void init()
    {
        m_profile = std::make_unique<QTemporaryDir>();
        QVERIFY(m_profile->isValid());
        m_server = std::make_unique<LoopbackHttpServer>();
        QVERIFY(m_server->isListening());
        // The loopback host name: the only plain-http service address the client accepts.
        m_service = QUrl(QStringLiteral("http://localhost:%1").arg(m_server->port()));
        writeConfig(defaultConfig());
    }

    void cleanup()
    {
        m_server.reset();
        m_profile.reset();
    }

    void allowedServiceURLs_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("https") << "https://onboarding.example.test" << true;
        QTest::newRow("http loopback name with port") << "http://localhost:8787" << true;
        QTest::newRow("http IPv4 loopback address") << "http://127.0.0.1:8787" << false;
        QTest::newRow("http other host") << "http://onboarding.example.test" << false;
        QTest::newRow("https with query") << "https://onboarding.example.test/?a=1" << false;
        QTest::newRow("https with fragment") << "https://onboarding.example.test/#x" << false;
    }

    void allowedServiceURLs()
    {
        QFETCH(QString, url);
        QFETCH(bool, allowed);
        QCOMPARE(OwnerSetupClient::isAllowedServiceURL(QUrl(url)), allowed);
    }

    void origins_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        QTest::newRow("host case and default port") << "https://Onboarding.Example.test/x" << "https://onboarding.example.TEST:443/y" << true;
        QTest::newRow("http against https") << "http://example.test" << "https://example.test" << false;
        QTest::newRow("other port") << "https://example.test:8443" << "https://example.test" << false;
    }

    void origins()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, same);
        QCOMPARE(OwnerSetupClient::hasSameOrigin(QUrl(a), QUrl(b)), same);
        QCOMPARE(OwnerSetupClient::hasSameOrigin(QUrl(b), QUrl(a)), same);
    }

    // The date rules are DateTimeTests'; here only that the client uses them without fractions.
    void dates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected"); // invalid: no date
        QTest::newRow("positive offset") << "2026-05-01T12:30:00+02:30" << utc("2026-05-01T10:00:00Z");
        QTest::newRow("fractional seconds") << "2026-05-01T10:00:00.5Z" << QDateTime();
        QTest::newRow("trailing line feed") << "2026-05-01T10:00:00Z\n" << QDateTime();
    }

    void dates()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        const auto parsed = OwnerSetupClient::date(nlohmann::json(text.toStdString()));
        QCOMPARE(parsed.has_value(), expected.isValid());
        if (parsed) {
            QCOMPARE(*parsed, expected);
            QCOMPARE(parsed->timeSpec(), Qt::UTC);
        }
    }

    void completedOnboardingNeedsNoBinding()
    {
        m_server->setResponse(provisioningPath, ScriptedResponse::json(200, statusBody(true, true, "2026-05-01T10:00:00Z")));
        writeFile(OwnerSetupClient::linkFileName(), setupLink().toEncoded() + "\n");
        const Outcome outcome = request(setupLink(), false);
        QVERIFY(outcome.session);
        QCOMPARE(*outcome.session, (OwnerSetupSession{false, std::nullopt, std::nullopt, false, std::nullopt}));

        const auto requests = m_server->requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].method, QByteArray("GET"));
        QCOMPARE(requests[0].path, provisioningPath);
        QCOMPARE(requests[0].header("Authorization"), std::optional<QByteArray>("Bearer " + apiKey));
        QVERIFY(requests[0].body.isEmpty());
    }

    void liveSessionWithoutALink_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("hasLiveSession");
        QTest::addColumn<QDateTime>("expiresAt");
        QTest::newRow("live") << statusBody(false, true) << true << QDateTime();
        QTest::newRow("live missing") << statusBody(false) << false << QDateTime();
        QTest::newRow("whole-second expiry") << statusBody(false, true, "2026-05-01T10:00:00Z") << true
                                             << utc("2026-05-01T10:00:00Z");
        QTest::newRow("fractional expiry is dropped") << statusBody(false, true, "2026-05-01T10:00:00.5Z") << true << QDateTime();
    }

    void liveSessionWithoutALink()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, hasLiveSession);
        QFETCH(QDateTime, expiresAt);
        m_server->setResponse(provisioningPath, ScriptedResponse::json(200, body));
        const Outcome outcome = request(std::nullopt, false);
        QVERIFY(outcome.session);
        const std::optional<QDateTime> expectedExpiry = expiresAt.isValid() ? std::optional(expiresAt) : std::nullopt;
        QCOMPARE(*outcome.session, (OwnerSetupSession{true, std::nullopt, expectedExpiry, hasLiveSession, std::nullopt}));
        QCOMPARE(m_server->requestCount(), 1);
    }

    void liveSessionReusesTheCapturedLink_data()
    {
        QTest::addColumn<ScriptedResponse>("setupAnswer");
        QTest::addColumn<std::optional<bool>>("pending");
        QTest::newRow("one pending among others")
            << ScriptedResponse::json(200, "{\"liveAttempts\":[{\"status\":\"bound\"},{\"status\":\"pending\"}]}")
            << std::optional<bool>(true);
        QTest::newRow("none pending") << ScriptedResponse::json(200, "{\"liveAttempts\":[{\"status\":\"expired\"},{}]}")
                                      << std::optional<bool>(false);
        QTest::newRow("no list") << ScriptedResponse::json(200, "{\"attempts\":[]}") << std::optional<bool>();
        QTest::newRow("server error") << ScriptedResponse::json(500, "{\"liveAttempts\":[{\"status\":\"pending\"}]}")
                                      << std::optional<bool>();
    }

    void liveSessionReusesTheCapturedLink()
    {
        QFETCH(ScriptedResponse, setupAnswer);
        QFETCH(std::optional<bool>, pending);
        const QUrl captured = setupLink(QStringLiteral("tok_captured"));
        writeFile(OwnerSetupClient::linkFileName(), captured.toEncoded() + "\n");
        m_server->setResponse(provisioningPath, ScriptedResponse::json(200, statusBody(false, true, "2026-05-01T10:00:00Z")));
        m_server->setResponse(setupPath, setupAnswer);

        const Outcome outcome = request(setupLink(QStringLiteral("tok_held")), false);
        QVERIFY(outcome.session);
        QCOMPARE(*outcome.session, (OwnerSetupSession{true, captured, utc("2026-05-01T10:00:00Z"), false, pending}));

        const auto setupRequests = m_server->requestsFor(setupPath);
        QCOMPARE(setupRequests.size(), 1);
        QCOMPARE(setupRequests[0].method, QByteArray("GET"));
        // The link's own token, never the agent's key.
        QCOMPARE(setupRequests[0].header("Authorization"), std::optional<QByteArray>("Bearer tok_captured"));
    }

    void linkIsNotOfferedWithoutALiveSession()
    {
        writeFile(OwnerSetupClient::linkFileName(), setupLink().toEncoded() + "\n");
        m_server->setResponse(provisioningPath, ScriptedResponse::json(200, statusBody(false, false)));
        const Outcome outcome = request(setupLink(QStringLiteral("tok_held")), false);
        QVERIFY(outcome.session);
        QCOMPARE(*outcome.session, (OwnerSetupSession{true, std::nullopt, std::nullopt, false, std::nullopt}));
        QCOMPARE(m_server->requestsFor(setupPath).size(), 0);
    }

    void invalidCapturedLinksAreIgnored_data()
    {
        QTest::addColumn<QByteArray>("fileContent");
        QTest::newRow("other agent") << QByteArray("/api/agents/other-bot/setup#tok");
        QTest::newRow("empty") << QByteArray();
    }

    void invalidCapturedLinksAreIgnored()
    {
        QFETCH(QByteArray, fileContent);
        // Relative contents are placed on the test server's origin.
        const QByteArray content = fileContent.startsWith('/') ? m_service.toEncoded() + fileContent : fileContent;
        writeFile(OwnerSetupClient::linkFileName(), content + "\n");
        m_server->setResponse(provisioningPath, ScriptedResponse::json(200, statusBody(false, true)));
        m_server->setResponse(setupPath, ScriptedResponse::json(200, "{\"liveAttempts\":[]}"));

        QVERIFY(!client()->capturedSetupURL(m_service, agent));
        // With nothing else held there is no link to offer; the live session is reported instead.
        const Outcome without = request(std::nullopt, false);
        QVERIFY(without.session);
        QCOMPARE(*without.session, (OwnerSetupSession{true, std::nullopt, std::nullopt, true, std::nullopt}));
        // A held link takes over.
        const Outcome held = request(setupLink(QStringLiteral("tok_held")), false);
        QVERIFY(held.session);
        QCOMPARE(held.session->url, std::optional<QUrl>(setupLink(QStringLiteral("tok_held"))));
        // The invalid file is left as it was.
        QCOMPARE(readLinkFile(), content + "\n");
    }

    void savedLinkFileIsPrivate()
    {
        auto c = client();
        const QUrl link = setupLink(QStringLiteral("tok_saved"));
        c->saveCapturedSetupURL(link);
        QCOMPARE(readLinkFile(), link.toEncoded() + "\n");
        QCOMPARE(modeOf(linkFile()), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(c->capturedSetupURL(m_service, agent), std::optional<QUrl>(link));
        // Reading trims blank space and checks the link against the service and the agent.
        writeFile(OwnerSetupClient::linkFileName(), "  \n" + link.toEncoded() + "\r\n\t ");
        QCOMPARE(c->capturedSetupURL(m_service, agent), std::optional<QUrl>(link));
        QVERIFY(!c->capturedSetupURL(m_service, QStringLiteral("other-bot")));
        QVERIFY(!c->capturedSetupURL(QUrl(QStringLiteral("https://onboarding.example.test")), agent));

        // A missing profile directory is not created, and nothing is reported.
        OwnerSetupClient elsewhere(profilePath(QStringLiteral("missing/profile")), std::nullopt, ordinaryTimeouts);
        elsewhere.saveCapturedSetupURL(link);
        QVERIFY(!QFileInfo::exists(profilePath(QStringLiteral("missing"))));
    }

    void forcedRefreshIssuesANewLink()
    {
        writeFile(OwnerSetupClient::linkFileName(), setupLink(QStringLiteral("tok_old")).toEncoded() + "\n");
        const QUrl fresh = setupLink(QStringLiteral("tok_new"));
        m_server->setHandler(provisioningPath, [fresh](const RecordedRequest &request) {
            if (request.method == "POST")
                return ScriptedResponse::json(201, linkBody(fresh.toString(), QStringLiteral("2026-05-01T10:00:00Z")));
            return ScriptedResponse::json(200, statusBody(false, true, "2026-04-01T00:00:00Z"))
                .withHeader("Set-Cookie", "session=abc; Path=/");
        });

        const Outcome outcome = request(setupLink(QStringLiteral("tok_held")), true);
        QVERIFY(outcome.session);
        QCOMPARE(*outcome.session, (OwnerSetupSession{true, fresh, utc("2026-05-01T10:00:00Z"), false, std::nullopt}));
        QCOMPARE(readLinkFile(), fresh.toEncoded() + "\n");
        QCOMPARE(modeOf(linkFile()), QFileDevice::ReadOwner | QFileDevice::WriteOwner);

        const auto requests = m_server->requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[1].method, QByteArray("POST"));
        QVERIFY(requests[1].body.isEmpty());
        QCOMPARE(requests[1].header("Authorization"), std::optional<QByteArray>("Bearer " + apiKey));
        // The cookie the service set is neither kept nor sent back.
        QVERIFY(!requests[1].hasHeader("Cookie"));
    }

    void forcedRefreshOnCompletedOnboardingAsksForNoLink()
    {
        m_server->setResponse(provisioningPath, ScriptedResponse::json(200, statusBody(true)));
        const Outcome outcome = request(std::nullopt, true);
        QVERIFY(outcome.session);
        QVERIFY(!outcome.session->required);
        QCOMPARE(m_server->requestCount(), 1);
    }

    void linkRequestFailures_data()
    {
        QTest::addColumn<ScriptedResponse>("linkAnswer");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        const QString changed = QStringLiteral("OWNER_SETUP_STATE_CHANGED");
        const QString unavailable = QStringLiteral("OWNER_SETUP_UNAVAILABLE");
        const QString invalid = QStringLiteral("OWNER_SETUP_RESPONSE_INVALID");
        const QString pageUnavailable = QStringLiteral("暂时无法获取 Channel 绑定页面");
        const QString pageInvalid = QStringLiteral("Channel 绑定页面无效");
        // SERVICE stands for this test's own server, known only once the test runs.
        const QByteArray validLink = linkBody("SERVICE/api/agents/ops-bot/setup#tok");

        QTest::newRow("409") << ScriptedResponse::json(409, validLink) << changed
                             << QStringLiteral("Channel 绑定状态已更新，正在重新检查");
        QTest::newRow("500") << ScriptedResponse::json(500, validLink) << unavailable << pageUnavailable;
        QTest::newRow("other origin") << ScriptedResponse::json(200, linkBody("https://evil.example.test/api/agents/ops-bot/setup#tok"))
                                      << invalid << pageInvalid;
        QTest::newRow("no fragment") << ScriptedResponse::json(200, linkBody("SERVICE/api/agents/ops-bot/setup")) << invalid
                                     << pageInvalid;
        QTest::newRow("wrong agent") << ScriptedResponse::json(200, linkBody("SERVICE/api/agents/other-bot/setup#tok"))
                                     << invalid << pageInvalid;
        QTest::newRow("setupUrl missing") << ScriptedResponse::json(200, "{\"url\":\"x\"}") << invalid << pageInvalid;
        QTest::newRow("garbage body") << ScriptedResponse::text(200, "<html>oops</html>") << invalid << pageInvalid;
        QTest::newRow("enormous body") << ScriptedResponse::json(200, QByteArray(3 * 1024 * 1024, ' ') + validLink) << invalid
                                       << pageInvalid;
    }

    void linkRequestFailures()
    {
        QFETCH(ScriptedResponse, linkAnswer);
        QFETCH(QString, code);
        QFETCH(QString, message);
        linkAnswer.body.replace("SERVICE", m_service.toEncoded());
        const QByteArray before = setupLink(QStringLiteral("tok_before")).toEncoded() + "\n";
        writeFile(OwnerSetupClient::linkFileName(), before);
        m_server->setHandler(provisioningPath, [linkAnswer](const RecordedRequest &request) {
            return request.method == "POST" ? linkAnswer : ScriptedResponse::json(200, statusBody(false, true));
        });
        const Outcome outcome = request(std::nullopt, true);
        QVERIFY(!outcome.session);
        QVERIFY(!outcome.other);
        QCOMPARE(outcome.code(), code);
        QCOMPARE(outcome.message(), message);
        // A failed link request leaves the captured link alone.
        QCOMPARE(readLinkFile(), before);
    }

    void setupURLLengthLimit_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("2048") << 2048 << true;
        QTest::newRow("2049") << 2049 << false;
    }

    void setupURLLengthLimit()
    {
        QFETCH(int, length);
        QFETCH(bool, accepted);
        const QString prefix = setupLink(QString()).toString() + QLatin1Char('#');
        const QString link = prefix + QString(length - prefix.size(), QLatin1Char('t'));
        QCOMPARE(link.size(), length);
        m_server->setHandler(provisioningPath, [link](const RecordedRequest &request) {
            return request.method == "POST" ? ScriptedResponse::json(200, linkBody(link))
                                            : ScriptedResponse::json(200, statusBody(false, false));
        });
        const Outcome outcome = request(std::nullopt, true);
        QCOMPARE(outcome.session.has_value(), accepted);
        if (accepted)
            QCOMPARE(outcome.session->url, std::optional<QUrl>(QUrl(link)));
        else
            QCOMPARE(outcome.code(), QStringLiteral("OWNER_SETUP_RESPONSE_INVALID"));
    }

    void statusRequestFailures_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::newRow("500") << ScriptedResponse::json(500, statusBody(false, true));
        QTest::newRow("201 is not 200") << ScriptedResponse::json(201, statusBody(false, true));
        QTest::newRow("garbage") << ScriptedResponse::text(200, "\x01\x02garbage{{{");
        QTest::newRow("array") << ScriptedResponse::json(200, "[{\"onboardingComplete\":true}]");
        QTest::newRow("flag as text") << ScriptedResponse::json(200, "{\"onboardingComplete\":\"true\"}");
        ScriptedResponse unbounded = ScriptedResponse::json(200, QByteArray(2 * 1024 * 1024, ' ') + statusBody(true));
        unbounded.sendContentLength = false;
        QTest::newRow("enormous without length") << unbounded;
        QTest::newRow("redirect") << ScriptedResponse::redirect(307, QUrl(QStringLiteral("http://localhost:1/")));
    }

    void statusRequestFailures()
    {
        QFETCH(ScriptedResponse, answer);
        m_server->setResponse(provisioningPath, answer);
        const Outcome outcome = request(std::nullopt, false);
        QVERIFY(!outcome.other);
        QCOMPARE(outcome.code(), QStringLiteral("OWNER_SETUP_UNAVAILABLE"));
        QCOMPARE(outcome.message(), QStringLiteral("暂时无法获取 Channel 绑定状态"));
        QCOMPARE(m_server->requestCount(), 1);
    }

    void bearerKeyNeverFollowsARedirect_data()
    {
        QTest::addColumn<bool>("forceRefresh");
        QTest::addColumn<int>("redirectedRequest"); // 0: the status request, 1: the link request
        QTest::newRow("status request") << false << 0;
        QTest::newRow("link request") << true << 1;
    }

    void bearerKeyNeverFollowsARedirect()
    {
        QFETCH(bool, forceRefresh);
        QFETCH(int, redirectedRequest);
        LoopbackHttpServer elsewhere;
        QVERIFY(elsewhere.isListening());
        elsewhere.setFallbackHandler([](const RecordedRequest &) { return ScriptedResponse::json(200, statusBody(true)); });
        const QUrl target(QStringLiteral("http://localhost:%1/collect").arg(elsewhere.port()));
        int seen = 0;
        m_server->setHandler(provisioningPath, [&seen, redirectedRequest, target](const RecordedRequest &) {
            if (seen++ == redirectedRequest)
                return ScriptedResponse::redirect(302, target);
            return ScriptedResponse::json(200, statusBody(false, true));
        });
        const Outcome outcome = request(std::nullopt, forceRefresh);
        QCOMPARE(outcome.code(), QStringLiteral("OWNER_SETUP_UNAVAILABLE"));
        // Give a wrongly followed redirect every chance to arrive.
        QTest::qWait(100);
        QCOMPARE(elsewhere.requestCount(), 0);
    }

    void transportFailuresAreBounded_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<OwnerSetupClient::Timeouts>("timeouts");
        QTest::addColumn<bool>("ownDeadline");
        const OwnerSetupClient::Timeouts longSilence{std::chrono::milliseconds(20000), std::chrono::milliseconds(600)};
        QTest::newRow("never answers") << ScriptedResponse::neverAnswer() << shortTimeouts << false;
        // Never silent long enough for an inactivity timeout: only the hard deadline ends it.
        QTest::newRow("trickles") << ScriptedResponse::trickle(200, statusBody(false, true), 50) << longSilence << true;
        QTest::newRow("closes mid-answer") << ScriptedResponse::closeMidResponse(200, statusBody(false, true), 4) << shortTimeouts
                                           << false;
        QTest::newRow("not HTTP") << ScriptedResponse::raw("SSH-2.0-OpenSSH_9.2\r\n\r\n") << shortTimeouts << false;
    }

    void transportFailuresAreBounded()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(OwnerSetupClient::Timeouts, timeouts);
        QFETCH(bool, ownDeadline);
        m_server->setResponse(provisioningPath, answer);
        QElapsedTimer elapsed;
        elapsed.start();
        const Outcome outcome = request(std::nullopt, false, timeouts);
        QVERIFY(!outcome.session);
        std::shared_ptr<OwnerSetupTransportError> transport;
        QVERIFY2(otherAs(outcome, transport), qPrintable(outcome.code()));
        QCOMPARE(transport->timedOut, ownDeadline);
        // Well under the 10-second production timeouts: the injected ones bound the request.
        QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
    }

    void refusedConnectionIsATransportFailure()
    {
        m_server->stop();
        const Outcome outcome = request(std::nullopt, false, shortTimeouts);
        std::shared_ptr<OwnerSetupTransportError> transport;
        QVERIFY(otherAs(outcome, transport));
        QVERIFY(!transport->timedOut);
        QCOMPARE(transport->networkError, QNetworkReply::ConnectionRefusedError);
    }

    void configurationErrors_data()
    {
        QTest::addColumn<QByteArray>("config");
        const auto without = [this](const char *key) {
            nlohmann::json config = defaultConfig();
            config.erase(key);
            return QByteArray::fromStdString(config.dump());
        };
        const auto with = [this](const char *key, nlohmann::json value) {
            nlohmann::json config = defaultConfig();
            config[key] = std::move(value);
            return QByteArray::fromStdString(config.dump());
        };
        QTest::newRow("no agent name") << without("agentName");
        QTest::newRow("plain http service") << with("onboardingServiceUrl", "http://onboarding.example.test");
        QTest::newRow("key with a line break") << with("quorvantisServiceApiKey", "abc\r\nX-Injected: 1");
        QTest::newRow("number too large to hold") << with("limit", 0).replace("\"limit\":0", "\"limit\":1e999");
    }

    void configurationErrors()
    {
        QFETCH(QByteArray, config);
        writeFile(QStringLiteral("config.json"), config);
        const Outcome outcome = request(std::nullopt, false);
        QCOMPARE(outcome.code(), QStringLiteral("OWNER_SETUP_CONFIG_INVALID"));
        QCOMPARE(outcome.message(), QStringLiteral("Channel 绑定配置无效"));
        QCOMPARE(m_server->requestCount(), 0);
    }

    void unreadableOrBrokenConfigurationPassesThrough()
    {
        QVERIFY(QFile::remove(profilePath(QStringLiteral("config.json"))));
        Outcome outcome = request(std::nullopt, false);
        std::shared_ptr<OwnerSetupFileError> fileError;
        QVERIFY(otherAs(outcome, fileError));

        writeFile(QStringLiteral("config.json"), "{\"agentName\": \"ops-bot\",");
        outcome = request(std::nullopt, false);
        std::shared_ptr<nlohmann::json::parse_error> syntax;
        QVERIFY(otherAs(outcome, syntax));
        QCOMPARE(m_server->requestCount(), 0);
    }

    void overrideReplacesTheConfiguredService()
    {
        nlohmann::json config = defaultConfig();
        config["onboardingServiceUrl"] = "https://onboarding.example.test";
        writeConfig(config);
        m_server->setResponse(provisioningPath, ScriptedResponse::json(200, statusBody(false, true)));
        auto c = client(ordinaryTimeouts, m_service);
        const Outcome outcome = outcomeOf(c->request(std::nullopt, false));
        QVERIFY(outcome.session);
        QCOMPARE(m_server->requestCount(), 1);

        // The configured address is still required, and a disallowed override is refused.
        config.erase("onboardingServiceUrl");
        writeConfig(config);
        QCOMPARE(outcomeOf(c->request(std::nullopt, false)).code(), QStringLiteral("OWNER_SETUP_CONFIG_INVALID"));
        writeConfig(defaultConfig());
        auto refused = client(ordinaryTimeouts, QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server->port())));
        QCOMPARE(outcomeOf(refused->request(std::nullopt, false)).code(), QStringLiteral("OWNER_SETUP_CONFIG_INVALID"));
        QCOMPARE(m_server->requestCount(), 1);
    }

    void serviceBasePathIsKept()
    {
        nlohmann::json config = defaultConfig();
        config["onboardingServiceUrl"] = m_service.toString().toStdString() + "/onboarding/";
        writeConfig(config);
        m_server->setResponse(QStringLiteral("/onboarding") + provisioningPath, ScriptedResponse::json(200, statusBody(true)));
        const Outcome outcome = request(std::nullopt, false);
        QVERIFY(outcome.session);
        QVERIFY(!outcome.session->required);
    }

    void bundledOverride_data()
    {
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<QString>("expected"); // null: no override
        QTest::newRow("loopback name") << QByteArray("{\"QuorvantisOnboardingServiceURL\":\"http://localhost:8787\"}")
                                       << QStringLiteral("http://localhost:8787");
        QTest::newRow("loopback address") << QByteArray("{\"QuorvantisOnboardingServiceURL\":\"http://127.0.0.1:8787\"}") << QString();
        QTest::newRow("surrounding blanks") << QByteArray("{\"QuorvantisOnboardingServiceURL\":\" https://onboarding.example.test\"}")
                                            << QString();
        QTest::newRow("broken dictionary") << QByteArray("{") << QString();
    }

    void bundledOverride()
    {
        QFETCH(QByteArray, info);
        QFETCH(QString, expected);
        QTemporaryDir resources;
        QVERIFY(resources.isValid());
        QFile file(resources.filePath(QStringLiteral("Info.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(info);
        file.close();
        Bundle::setResourceDirectory(resources.path());
        const auto url = OnboardingServiceConfiguration::bundledOverride();
        Bundle::setResourceDirectory(QString());
        QCOMPARE(url.has_value(), !expected.isNull());
        if (url)
            QCOMPARE(*url, QUrl(expected));
    }

    void requestOutlivesTheClient()
    {
        m_server->setResponse(provisioningPath, ScriptedResponse::json(200, statusBody(true)).withDelay(50));
        auto c = client();
        auto task = c->request(std::nullopt, false);
        c.reset();
        const Outcome outcome = outcomeOf(std::move(task));
        QVERIFY(outcome.session);
        QVERIFY(!outcome.session->required);
    }

    void pendingCheckWithoutTokenSendsNothing()
    {
        auto c = client();
        QUrl noToken = setupLink();
        noToken.setFragment(QString(""));
        QVERIFY(noToken.hasFragment());
        QCOMPARE(await(c->hasPendingBinding(noToken, m_service)), std::optional<bool>());
        const QUrl otherOrigin(QStringLiteral("https://evil.example.test/api/agents/ops-bot/setup#tok"));
        QCOMPARE(await(c->hasPendingBinding(otherOrigin, m_service)), std::optional<bool>());
        QCOMPARE(m_server->requestCount(), 0);

        m_server->setResponse(setupPath, ScriptedResponse::json(200, "{\"liveAttempts\":[{\"status\":\"pending\"}]}"));
        QCOMPARE(await(c->hasPendingBinding(setupLink(QStringLiteral("tok_direct")), m_service)), std::optional<bool>(true));
        QCOMPARE(m_server->requestsFor(setupPath).value(0).header("Authorization"), std::optional<QByteArray>("Bearer tok_direct"));
    }
};

Q_DECLARE_METATYPE(ScriptedResponse)
Q_DECLARE_METATYPE(OwnerSetupClient::Timeouts)

QTEST_GUILESS_MAIN(OwnerSetupClientTests)
#include "OwnerSetupClientTests.moc"
