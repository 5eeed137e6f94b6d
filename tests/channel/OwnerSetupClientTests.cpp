// The onboarding client against a real loopback server, and the binding link's stored form.
#include "channel/OwnerSetupClient.h"
#include "platform/Bundle.h"
#include "support/StatusFixture.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace QuorvantisTest;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

// One exchange with the service. HOST in a body, a header, the link file or the config stands for
// this test's server; "#L2048" pads a link to that many characters.
struct Exchange
{
    ScriptedResponse status = ScriptedResponse::json(200, "{\"onboardingComplete\":false,\"hasLiveSession\":true}");
    ScriptedResponse link = ScriptedResponse::json(404, {});
    ScriptedResponse setup = ScriptedResponse::json(404, {});
    QByteArray file{}; // the captured link file
    QString held{};    // the token of the link the caller holds
    bool force = false;
    QByteArray config = "{\"agentName\":\"ops-bot\",\"onboardingServiceUrl\":\"http://HOST\",\"quorvantisServiceApiKey\":\"qv_key_7f3a9c\",\"x\":3}";
    QString override{};
    OwnerSetupClient::Timeouts timeouts{5000ms, 8000ms};
};

} // namespace

// Declared before any use: a later declaration only fails in the Release configuration.
Q_DECLARE_METATYPE(Exchange)

namespace {

const QString provisioning = QStringLiteral("/api/agents/ops-bot/owner-provisioning");

ScriptedResponse ok(QByteArray body, int status = 200)
{
    return ScriptedResponse::json(status, std::move(body));
}

QByteArray status(bool complete, bool live, const char *expiresAt = nullptr)
{
    const QByteArray expiry = expiresAt ? ",\"expiresAt\":\"" + QByteArray(expiresAt) + "\"" : "";
    return "{\"onboardingComplete\":" + QByteArray(complete ? "true" : "false") + ",\"hasLiveSession\":" + (live ? "true" : "false") + expiry + "}";
}

QByteArray linkBody(const char *setupUrl, const char *expiresAt = nullptr)
{
    return "{\"setupUrl\":\"" + QByteArray(setupUrl) + "\"" + (expiresAt ? ",\"expiresAt\":\"" + QByteArray(expiresAt) + "\"" : "") + "}";
}

// A link's token; a padded one by the link's length.
QString token(const QUrl &link)
{
    return link.fragment().size() > 30 ? QString::number(link.toString().size()) : link.fragment();
}

} // namespace

class OwnerSetupClientTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<Served> m_s;

    QByteArray here(QByteArray text) const
    {
        static const QRegularExpression padded(QStringLiteral("http[^\"]*#L(\\d+)"));
        text.replace("HOST", "localhost:" + QByteArray::number(m_s->server.port()));
        if (const auto m = padded.match(QString::fromUtf8(text)); m.hasMatch()) {
            const QString start = m.captured(0).chopped(m.captured(1).size() + 1);
            text.replace(m.captured(0).toUtf8(), (start + QString(m.captured(1).toInt() - start.size(), u't')).toUtf8());
        }
        return text;
    }
    QUrl setupLink(const QString &token) const { return QUrl(QString::fromUtf8(here("http://HOST/api/agents/ops-bot/setup#")) + token); }

private Q_SLOTS:
    void init() { m_s = std::make_unique<Served>(); }
    void initTestCase() { loggedMessages(); }
    void cleanupTestCase() { QVERIFY(loggedMessages().filter(QRegularExpression(QStringLiteral("qv_key_7f3a9c|tok_"))).isEmpty()); } // no secret is logged

    void request_data()
    {
        QTest::addColumn<Exchange>("exchange");
        // A session (done, live, url:token, exp, pending:1/0) or what failed; then the requests: G, P: the status
        // and link requests; S:token the pending query; >token: the link file written
        QTest::addColumn<QString>("result");
        const QByteArray captured = "http://HOST/api/agents/ops-bot/setup#tok_captured";
        const auto live = ok(status(false, true, "2026-05-01T10:00:00Z"));
        const auto links = [](const char *url) { return ok(linkBody(url)); };
        const auto attempts = [](const char *list) { return ok("{\"liveAttempts\":" + QByteArray(list) + "}"); };
        const auto away = [](int code) { return ScriptedResponse::json(code, {}).withHeader("Location", "http://HOST/collect"); };
        const auto config = [](const char *agent, const char *service, const char *key) {
            json c = {{"agentName", agent}, {"onboardingServiceUrl", service}, {"quorvantisServiceApiKey", key}};
            for (auto item = c.begin(); item != c.end();)
                item = item->get<std::string>().empty() ? c.erase(item) : std::next(item);
            return QByteArray::fromStdString(c.dump());
        };
        QTest::newRow("complete") << Exchange{.status = ok(status(true, true, "2026-05-01T10:00:00Z")), .file = captured, .held = "tok_held"} << "done | G";
        QTest::newRow("complete, forced") << Exchange{.status = ok(status(true, false)), .force = true} << "done | G";
        QTest::newRow("live, nothing held") << Exchange{.status = live} << "live exp:2026-05-01T10:00:00Z | G";
        QTest::newRow("not live") << Exchange{.status = ok(status(false, false)), .file = captured, .held = "tok_held"} << "| G";
        QTest::newRow("live missing") << Exchange{.status = ok("{\"onboardingComplete\":false}"), .held = "tok_held"} << "| G";
        // Expiry dates: RFC 3339 in whole seconds only, kept in UTC (the date rules are DateTimeTests').
        QTest::newRow("offset expiry") << Exchange{.status = ok(status(false, true, "2026-05-01T12:30:00+02:30"))} << "live exp:2026-05-01T10:00:00Z | G";
        QTest::newRow("fractional expiry") << Exchange{.status = ok(status(false, true, "2026-05-01T10:00:00.5Z"))} << "live | G";
        QTest::newRow("expiry with a line feed") << Exchange{.status = ok(status(false, true, "2026-05-01T10:00:00Z\\n"))} << "live | G";
        // While a session is live, the captured link (else the held one) is offered with its pending attempts.
        QTest::newRow("one pending among others") << Exchange{.status = live, .setup = attempts("[{\"status\":\"bound\"},{\"status\":\"pending\"}]"), .file = captured, .held = "tok_held"} << "url:tok_captured exp:2026-05-01T10:00:00Z pending:1 | G S:tok_captured";
        QTest::newRow("none pending") << Exchange{.setup = attempts("[{\"status\":\"expired\"},{}]"), .file = captured} << "url:tok_captured pending:0 | G S:tok_captured";
        QTest::newRow("an attempt not an object") << Exchange{.setup = attempts("[{\"status\":\"pending\"},3]"), .file = captured} << "url:tok_captured | G S:tok_captured";
        QTest::newRow("no attempt list") << Exchange{.setup = ok("{\"attempts\":[]}"), .file = captured} << "url:tok_captured | G S:tok_captured";
        QTest::newRow("pending query fails") << Exchange{.setup = ok("{\"liveAttempts\":[{\"status\":\"pending\"}]}", 500), .file = captured} << "url:tok_captured | G S:tok_captured";
        QTest::newRow("captured for another agent") << Exchange{.setup = attempts("[]"), .file = "http://HOST/api/agents/other/setup#t", .held = "tok_held"} << "url:tok_held pending:0 | G S:tok_held";
        QTest::newRow("captured for another service") << Exchange{.file = "https://onboarding.example.test/api/agents/ops-bot/setup#t", .held = "tok_held"} << "url:tok_held | G S:tok_held";
        QTest::newRow("empty link file") << Exchange{.file = "\n", .held = "tok_held"} << "url:tok_held | G S:tok_held";
        QTest::newRow("link file with blanks") << Exchange{.file = "  \n" + captured + "\r\n\t "} << "url:tok_captured | G S:tok_captured";
        // A forced refresh asks for a new link and keeps it in the link file.
        QTest::newRow("new link") << Exchange{.status = ok(status(false, true, "2026-04-01T00:00:00Z")).withHeader("Set-Cookie", "s=1; Path=/"), .link = ok(linkBody("http://HOST/api/agents/ops-bot/setup#tok_new", "2026-05-01T10:00:00Z"), 201), .file = captured, .held = "tok_held", .force = true} << "url:tok_new exp:2026-05-01T10:00:00Z | G P >tok_new";
        QTest::newRow("link of 2048 characters") << Exchange{.link = links("http://HOST/api/agents/ops-bot/setup#L2048"), .force = true} << "url:2048 | G P >2048";
        QTest::newRow("link of 2049 characters") << Exchange{.link = links("http://HOST/api/agents/ops-bot/setup#L2049"), .force = true} << "RESPONSE_INVALID | G P";
        QTest::newRow("link 409") << Exchange{.link = ok(linkBody("http://HOST/api/agents/ops-bot/setup#t"), 409), .force = true} << "STATE_CHANGED | G P";
        QTest::newRow("link 500") << Exchange{.link = ok(linkBody("http://HOST/api/agents/ops-bot/setup#t"), 500), .force = true} << "UNAVAILABLE:page | G P";
        QTest::newRow("link elsewhere") << Exchange{.link = links("https://evil.example.test/api/agents/ops-bot/setup#t"), .force = true} << "RESPONSE_INVALID | G P";
        QTest::newRow("link without token") << Exchange{.link = links("http://HOST/api/agents/ops-bot/setup"), .force = true} << "RESPONSE_INVALID | G P";
        QTest::newRow("link of another agent") << Exchange{.link = links("http://HOST/api/agents/other/setup#t"), .force = true} << "RESPONSE_INVALID | G P";
        QTest::newRow("link with a user") << Exchange{.link = links("http://u@HOST/api/agents/ops-bot/setup#t"), .force = true} << "RESPONSE_INVALID | G P";
        QTest::newRow("no setupUrl") << Exchange{.link = ok("{\"url\":\"x\"}"), .force = true} << "RESPONSE_INVALID | G P";
        QTest::newRow("garbage link answer") << Exchange{.link = ScriptedResponse::text(200, "<html>oops</html>"), .force = true} << "RESPONSE_INVALID | G P";
        QTest::newRow("enormous link answer") << Exchange{.link = ok(QByteArray(3 << 20, ' ') + linkBody("http://HOST/api/agents/ops-bot/setup#t")), .force = true} << "RESPONSE_INVALID | G P";
        QTest::newRow("link redirected") << Exchange{.link = away(302), .force = true} << "UNAVAILABLE:page | G P";
        // A status answer that is not a usable 200 means unavailable.
        ScriptedResponse unbounded = ok(QByteArray(2 << 20, ' ') + status(true, false));
        unbounded.sendContentLength = false;
        QTest::newRow("status 500") << Exchange{.status = ok(status(false, true), 500)} << "UNAVAILABLE:status | G";
        QTest::newRow("status 201") << Exchange{.status = ok(status(false, true), 201)} << "UNAVAILABLE:status | G";
        QTest::newRow("status garbage") << Exchange{.status = ScriptedResponse::text(200, "\x01\x02garbage{{{")} << "UNAVAILABLE:status | G";
        QTest::newRow("status array") << Exchange{.status = ok("[{\"onboardingComplete\":true}]")} << "UNAVAILABLE:status | G";
        QTest::newRow("flag as text") << Exchange{.status = ok("{\"onboardingComplete\":\"true\"}")} << "UNAVAILABLE:status | G";
        QTest::newRow("enormous status") << Exchange{.status = unbounded} << "UNAVAILABLE:status | G";
        QTest::newRow("status redirected") << Exchange{.status = away(307)} << "UNAVAILABLE:status | G";
        // Transport failures pass through, bounded by the deadlines.
        QTest::newRow("never answers") << Exchange{.status = ScriptedResponse::neverAnswer(), .timeouts = {300ms, 600ms}} << "timed out | G";
        QTest::newRow("trickles past the deadline") << Exchange{.status = ScriptedResponse::trickle(200, status(false, true), 50), .timeouts = {20000ms, 600ms}} << "timed out | G";
        QTest::newRow("closes mid-answer") << Exchange{.status = ScriptedResponse::closeMidResponse(200, status(false, true), 4)} << "network | G";
        QTest::newRow("not HTTP") << Exchange{.status = ScriptedResponse::raw("SSH-2.0-OpenSSH_9.2\r\n\r\n")} << "network | G";
        QTest::newRow("refused") << Exchange{.config = "{\"agentName\":\"a\",\"onboardingServiceUrl\":\"http://localhost:1\",\"quorvantisServiceApiKey\":\"k\"}"} << "network |";
        // The configuration, read on every request.
        QTest::newRow("no agent name") << Exchange{.config = config("", "http://HOST", "k")} << "CONFIG_INVALID |";
        QTest::newRow("agent name ..") << Exchange{.config = config("..", "http://HOST", "k")} << "CONFIG_INVALID |";
        QTest::newRow("no key") << Exchange{.config = config("ops-bot", "http://HOST", "")} << "CONFIG_INVALID |";
        QTest::newRow("key with a line break") << Exchange{.config = config("ops-bot", "http://HOST", "k\r\nX-Injected: 1")} << "CONFIG_INVALID |";
        QTest::newRow("plain http elsewhere") << Exchange{.config = config("ops-bot", "http://onboarding.example.test", "k")} << "CONFIG_INVALID |";
        QTest::newRow("config not an object") << Exchange{.config = "[1]"} << "CONFIG_INVALID |";
        QTest::newRow("number too large to hold") << Exchange{.config = config("ops-bot", "http://HOST", "k").replace("}", ",\"n\":1e999}")} << "CONFIG_INVALID |";
        QTest::newRow("no config") << Exchange{.config = ""} << "file |";
        QTest::newRow("broken config") << Exchange{.config = "{\"agentName\": \"ops-bot\","} << "syntax |";
        QTest::newRow("override") << Exchange{.config = config("ops-bot", "https://onboarding.example.test", "k"), .override = "http://HOST"} << "live | G";
        QTest::newRow("override needs a configured service") << Exchange{.config = config("ops-bot", "", "k"), .override = "http://HOST"} << "CONFIG_INVALID |";
        QTest::newRow("disallowed override") << Exchange{.override = "http://127.0.0.1:1"} << "CONFIG_INVALID |";
        QTest::newRow("service base path") << Exchange{.config = config("ops-bot", "http://HOST/base/", "k")} << "live | GET /base/api/agents/ops-bot/owner-provisioning";
    }
    void request()
    {
        QFETCH(Exchange, exchange);
        for (ScriptedResponse *answer : {&exchange.status, &exchange.link, &exchange.setup}) {
            answer->body = here(answer->body);
            for (auto &header : answer->headers)
                header.second = here(header.second);
        }
        m_s->server.setHandler(provisioning, [e = exchange](const RecordedRequest &r) { return r.method == "POST" ? e.link : e.status; });
        m_s->server.setResponse(QStringLiteral("/api/agents/ops-bot/setup"), exchange.setup);
        m_s->server.setResponse(QStringLiteral("/base") + provisioning, exchange.status);
        if (!exchange.config.isEmpty())
            m_s->write(QStringLiteral("config.json"), here(exchange.config));
        if (!exchange.file.isEmpty())
            m_s->write(OwnerSetupClient::linkFileName(), here(exchange.file));
        const auto held = exchange.held.isEmpty() ? std::nullopt : std::optional(setupLink(exchange.held));
        const auto override = exchange.override.isEmpty() ? std::nullopt : std::optional(QUrl(QString::fromUtf8(here(exchange.override.toUtf8()))));
        static const QHash<QString, QString> messages{{QStringLiteral("暂时无法获取 Channel 绑定状态"), ":status"}, {QStringLiteral("暂时无法获取 Channel 绑定页面"), ":page"},
                                                      {QStringLiteral("Channel 绑定状态已更新，正在重新检查"), ""}, {QStringLiteral("Channel 绑定页面无效"), ""},
                                                      {QStringLiteral("Channel 绑定配置无效"), ""}};
        QElapsedTimer elapsed;
        elapsed.start();
        QStringList result;
        try {
            const OwnerSetupSession s = await(OwnerSetupClient(m_s->profile.path(), override, exchange.timeouts).request(held, exchange.force));
            result << (s.required ? "" : "done") << (s.hasLiveSession ? "live" : "") << (s.url ? "url:" + token(*s.url) : "")
                   << (s.expiresAt ? "exp:" + s.expiresAt->toString(Qt::ISODate) : "") << (s.hasPendingBinding ? QStringLiteral("pending:%1").arg(*s.hasPendingBinding) : "");
        } catch (const QuorvantisNativeError &error) {
            result << error.code.mid(12) + messages.value(error.message, "?");
        } catch (const OwnerSetupFileError &) {
            result << "file";
        } catch (const json::parse_error &) {
            result << "syntax";
        } catch (...) {
            result << failureWord(std::current_exception());
        }
        result << "|";
        for (const RecordedRequest &r : m_s->server.requests()) {
            const auto bearer = r.header("Authorization").value_or("").mid(7);
            QVERIFY(!r.hasHeader("Cookie") && r.body.isEmpty());
            if (r.path == provisioning && (bearer == "qv_key_7f3a9c" || bearer == "k"))
                result << (r.method == "POST" ? "P" : "G");
            else
                result << (r.path.endsWith(u"/setup") ? "S:" + QString::fromUtf8(bearer) : r.method + ' ' + r.path);
        }
        const QByteArray file = m_s->read(OwnerSetupClient::linkFileName());
        if (file != here(exchange.file)) { // an unusable link file is left as it is; a failed request leaves it alone
            result << ">" + token(QUrl(QString::fromUtf8(file.trimmed())));
            QCOMPARE((QFile::permissions(m_s->path(OwnerSetupClient::linkFileName())) & 0x0077).toInt(), 0); // private
        }
        result.removeAll(QString());
        if (QByteArray(QTest::currentDataTag()) == "not HTTP") // Qt itself sends a GET again that got no status line
            result = result.mid(0, result.indexOf("|") + 2);
        QTEST(result.join(u' ').trimmed(), "result");
        QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed()))); // every request is bounded
    }

    void addressRules_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b"); // empty: `a` alone as the service address
        QTest::addColumn<bool>("accepted");
        QTest::newRow("https service") << "https://onboarding.example.test" << "" << true;
        QTest::newRow("http loopback name with port") << "http://localhost:8787" << "" << true;
        QTest::newRow("http loopback address") << "http://127.0.0.1:8787" << "" << false;
        QTest::newRow("http other host") << "http://onboarding.example.test" << "" << false;
        QTest::newRow("service with query") << "https://onboarding.example.test/?a=1" << "" << false;
        QTest::newRow("service with fragment") << "https://onboarding.example.test/#x" << "" << false;
        QTest::newRow("same origin: host case, default port") << "https://On.Example.test/x" << "https://on.example.TEST:443/y" << true;
        QTest::newRow("http against https") << "http://example.test" << "https://example.test" << false;
        QTest::newRow("other port") << "https://example.test:8443" << "https://example.test" << false;
    }
    void addressRules()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        const bool accepted = b.isEmpty() ? OwnerSetupClient::isAllowedServiceURL(QUrl(a))
                                          : OwnerSetupClient::hasSameOrigin(QUrl(a), QUrl(b)) && OwnerSetupClient::hasSameOrigin(QUrl(b), QUrl(a));
        QTEST(accepted, "accepted");
    }

    void bundledOverride_data()
    {
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<QString>("expected"); // empty: no override
        QTest::newRow("loopback name") << QByteArray("{\"QuorvantisOnboardingServiceURL\":\"http://localhost:8787\"}") << "http://localhost:8787";
        QTest::newRow("loopback address") << QByteArray("{\"QuorvantisOnboardingServiceURL\":\"http://127.0.0.1:8787\"}") << "";
        QTest::newRow("surrounding blanks") << QByteArray("{\"QuorvantisOnboardingServiceURL\":\" https://on.example.test\"}") << "";
        QTest::newRow("broken dictionary") << QByteArray("{") << "";
    }
    void bundledOverride()
    {
        QFETCH(QByteArray, info);
        m_s->write(QStringLiteral("Info.json"), info);
        Bundle::setResourceDirectory(m_s->profile.path());
        const auto url = OnboardingServiceConfiguration::bundledOverride();
        Bundle::setResourceDirectory(QString());
        QTEST(url.value_or(QUrl()).toString(), "expected");
    }

    void linkFileAndPendingQuery()
    {
        OwnerSetupClient client(m_s->profile.path(), std::nullopt, {5000ms, 8000ms});
        const QUrl link = setupLink(QStringLiteral("tok_saved"));
        client.saveCapturedSetupURL(link);
        QCOMPARE(m_s->read(OwnerSetupClient::linkFileName()), link.toEncoded() + "\n");
        QCOMPARE(client.capturedSetupURL(link.adjusted(QUrl::RemoveFragment | QUrl::RemovePath), QStringLiteral("ops-bot")), std::optional(link));
        // A missing profile directory is not created, and nothing is reported.
        OwnerSetupClient(m_s->path(QStringLiteral("missing/profile")), std::nullopt, {}).saveCapturedSetupURL(link);
        QVERIFY(!QFile::exists(m_s->path(QStringLiteral("missing"))));
        // The pending query goes only where the link points, and only with its token.
        QUrl noToken = link;
        noToken.setFragment(QString(""));
        QCOMPARE(await(client.hasPendingBinding(noToken, link.adjusted(QUrl::RemoveFragment))), std::nullopt);
        QCOMPARE(await(client.hasPendingBinding(QUrl(QStringLiteral("https://evil.example.test/api/agents/ops-bot/setup#t")), link)), std::nullopt);
        QCOMPARE(m_s->server.requestCount(), 0);
        // A request outlives its client.
        m_s->write(QStringLiteral("config.json"), here(Exchange{}.config));
        m_s->server.setResponse(provisioning, ok(status(true, false)).withDelay(50));
        auto doomed = std::make_unique<OwnerSetupClient>(m_s->profile.path(), std::nullopt, OwnerSetupClient::Timeouts{5000ms, 8000ms});
        auto task = doomed->request(std::nullopt, false);
        doomed.reset();
        QCOMPARE(await(std::move(task)).required, false);
    }

    void storedLink_data()
    {
        QTest::addColumn<QByteArray>("data"); // U: the link
        QTest::addColumn<qint64>("expiresAtMSecs"); // -1: no expiry; -2: not a link
        QTest::newRow("url only") << QByteArray("{\"url\":\"U\"}") << qint64(-1);
        QTest::newRow("integer seconds") << QByteArray("{\"url\":\"U\",\"expiresAt\":0}") << qint64(978307200000);
        QTest::newRow("fractional seconds") << QByteArray("{\"url\":\"U\",\"expiresAt\":1.5}") << qint64(978307201500);
        QTest::newRow("before the reference date") << QByteArray("{\"url\":\"U\",\"expiresAt\":-1.0}") << qint64(978307199000);
        QTest::newRow("null expiry") << QByteArray("{\"url\":\"U\",\"expiresAt\":null}") << qint64(-1);
        QTest::newRow("unknown keys ignored") << QByteArray("{\"url\":\"U\",\"label\":\"x\"}") << qint64(-1);
        QTest::newRow("not JSON") << QByteArray("U") << qint64(-2);
        QTest::newRow("truncated") << QByteArray("{\"url\":\"U") << qint64(-2);
        QTest::newRow("empty") << QByteArray() << qint64(-2);
        QTest::newRow("array") << QByteArray("[\"U\"]") << qint64(-2);
        QTest::newRow("no url") << QByteArray("{\"expiresAt\":1}") << qint64(-2);
        QTest::newRow("url not text") << QByteArray("{\"url\":7}") << qint64(-2);
        QTest::newRow("empty url") << QByteArray("{\"url\":\"\"}") << qint64(-2);
        QTest::newRow("unparseable url") << QByteArray("{\"url\":\"http://exa mple.test/\"}") << qint64(-2);
        QTest::newRow("relative url") << QByteArray("{\"url\":\"##\"}") << qint64(-2);
        QTest::newRow("plain http") << QByteArray("{\"url\":\"http://h.test/api/agents/a/setup#t\"}") << qint64(-2);
        QTest::newRow("user information") << QByteArray("{\"url\":\"https://u@h.test/api/agents/a/setup#t\"}") << qint64(-2);
        QTest::newRow("expiry as text") << QByteArray("{\"url\":\"U\",\"expiresAt\":\"2026-05-01T10:00:00Z\"}") << qint64(-2);
        QTest::newRow("absurd expiry") << QByteArray("{\"url\":\"U\",\"expiresAt\":1e300}") << qint64(-2);
    }
    void storedLink()
    {
        QFETCH(QByteArray, data);
        const QUrl url(QStringLiteral("https://h.test/api/agents/a/setup?step=1#tok_AbC"));
        const auto link = OwnerSetupLink::fromJson(data.replace("U", url.toEncoded()));
        QTEST(link ? link->expiresAt.value_or(QDateTime::fromMSecsSinceEpoch(-1)).toMSecsSinceEpoch() : -2, "expiresAtMSecs");
        // It comes back the same from its stored form (whose exact text the keychain tests compare).
        QVERIFY(!link || (link->url == url && OwnerSetupLink::fromJson(link->toJson()) == link));
    }
};

QTEST_GUILESS_MAIN(OwnerSetupClientTests)
#include "OwnerSetupClientTests.moc"
