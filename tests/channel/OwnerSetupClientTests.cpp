// The onboarding client against a real loopback server, and the binding link's stored form.
#include "channel/OwnerSetupClient.h"
#include "support/StatusFixture.h"
#include "support/Test.h"

#include <QRegularExpression>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

// One exchange with the service. HOST in a body, a header, the link file or the config stands for
// this test's server; "#L2048" pads a link to that many characters.
struct Exchange
{
    ScriptedResponse status = ScriptedResponse::json(200, "{\"onboardingComplete\":false,\"hasLiveSession\":true}");
    ScriptedResponse link = ScriptedResponse::json(404, {});
    ScriptedResponse setup = ScriptedResponse::json(404, {});
    QByteArray file{}; // the captured link file
    QString held{}; // the token of the link the caller holds
    bool force = false;
    QByteArray config = "{\"agentName\":\"ops-bot\",\"onboardingServiceUrl\":\"http://HOST\","
                        "\"quorvantisServiceApiKey\":\"qv_key_7f3a9c\",\"x\":3}";
    QString override{};
};

} // namespace

// Declared before any use: a later declaration only fails in the Release configuration.
Q_DECLARE_METATYPE(Exchange)

namespace {

const QString provisioning = QStringLiteral("/api/agents/ops-bot/owner-provisioning");
const QByteArray ours = "http://HOST/api/agents/ops-bot/setup"; // a link of this service and agent
const QByteArray captured = ours + "#tok_captured";

ScriptedResponse ok(QByteArray body, int status = 200)
{
    return ScriptedResponse::json(status, std::move(body));
}

QByteArray status(bool complete, bool live, const char *expiresAt = nullptr)
{
    const QByteArray expiry = expiresAt ? ",\"expiresAt\":\"" + QByteArray(expiresAt) + "\"" : "";
    return "{\"onboardingComplete\":" + QByteArray(complete ? "true" : "false") + ",\"hasLiveSession\":"
        + QByteArray(live ? "true" : "false") + expiry + "}";
}

// The answer to a request for a new link.
ScriptedResponse link(const QByteArray &setupUrl, int status = 200)
{
    return ok("{\"setupUrl\":\"" + setupUrl + "\"}", status);
}

// A link's token; a padded one by the link's length.
QString token(const QUrl &link)
{
    return link.fragment().size() > 30 ? QString::number(link.toString().size()) : link.fragment();
}

// A forced refresh answered by `link`.
Exchange forced(ScriptedResponse link)
{
    return {.link = std::move(link), .force = true};
}

void row(const char *name, const Exchange &exchange, const char *result)
{
    QTest::newRow(name) << exchange << QString(result);
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
            const QString full = start + QString(m.captured(1).toInt() - start.size(), u't');
            text.replace(m.captured(0).toUtf8(), full.toUtf8());
        }
        return text;
    }
    QUrl setupLink(const QString &token) const { return QUrl(QString::fromUtf8(here(ours + "#")) + token); }

private Q_SLOTS:
    void init() { m_s = std::make_unique<Served>(); }
    void initTestCase() { loggedMessages(); }
    // No secret is logged.
    void cleanupTestCase()
    {
        const QRegularExpression secret(QStringLiteral("qv_key_7f3a9c|tok_"));
        QVERIFY(loggedMessages().filter(secret).isEmpty());
    }

    void request_data()
    {
        // result — a session (done, live, url:token, exp, pending:1/0) or what failed; then the requests: G, P: the
        // status and link requests; S:token the pending query; >token: the link file written
        columns<Exchange, QString>({"exchange", "result"});
        // Expiry dates: RFC 3339 in whole seconds only, kept in UTC (the date rules are DateTimeTests').
        const auto live = ok(status(false, true, "2026-05-01T12:30:00+02:30"));
        const auto attempts = [](const char *list) { return ok("{\"liveAttempts\":" + QByteArray(list) + "}"); };
        row("complete", {.status = ok(status(true, true)), .file = captured, .held = "tok_held", .force = true},
            "done | G");
        row("live, nothing held", {.status = live}, "live exp:2026-05-01T10:00:00Z | G");
        row("not live", {.status = ok(status(false, false)), .file = captured, .held = "tok_held"}, "| G");
        row("fractional expiry", {.status = ok(status(false, true, "2026-05-01T10:00:00.5Z"))}, "live | G");
        // While a session is live, the captured link (else the held one) is offered with its pending attempts.
        row("one pending among others",
            {.status = live, .setup = attempts("[{\"status\":\"bound\"},{\"status\":\"pending\"}]"), .file = captured},
            "url:tok_captured exp:2026-05-01T10:00:00Z pending:1 | G S:tok_captured");
        row("none pending", {.setup = attempts("[{\"status\":\"expired\"},{}]"), .file = captured},
            "url:tok_captured pending:0 | G S:tok_captured");
        row("pending query fails", {.setup = ok("{\"liveAttempts\":[]}", 500), .file = captured},
            "url:tok_captured | G S:tok_captured");
        row("captured for another agent", {.file = "http://HOST/api/agents/other/setup#t", .held = "tok_held"},
            "url:tok_held | G S:tok_held");
        // A forced refresh asks for a new link and keeps it in the link file.
        const auto fresh = ok("{\"setupUrl\":\"" + ours + "#tok_new\",\"expiresAt\":\"2026-05-01T10:00:00Z\"}", 201);
        const ScriptedResponse cookie{.status = 200, .headers = {{"Set-Cookie", "s=1; Path=/"}}, .body = status(false, true)};
        row("new link", {.status = cookie, .link = fresh, .file = captured, .held = "tok_held", .force = true},
            "url:tok_new exp:2026-05-01T10:00:00Z | G P >tok_new");
        row("link of 2048 characters", forced(link(ours + "#L2048")), "url:2048 | G P >2048");
        row("link of 2049 characters", forced(link(ours + "#L2049")), "RESPONSE_INVALID | G P");
        row("link 409", forced(link(ours + "#t", 409)), "STATE_CHANGED | G P");
        row("link 500", forced(link(ours + "#t", 500)), "UNAVAILABLE | G P");
        const auto elsewhere = link("https://evil.example.test/api/agents/ops-bot/setup#t");
        row("link elsewhere", forced(elsewhere), "RESPONSE_INVALID | G P");
        row("link without token", forced(link(ours)), "RESPONSE_INVALID | G P");
        row("link with a user", forced(link("http://u@HOST/api/agents/ops-bot/setup#t")),
            "RESPONSE_INVALID | G P");
        // A status answer that is not a usable 200 means unavailable.
        row("status 201", {.status = ok(status(false, true), 201)}, "UNAVAILABLE | G");
        row("flag as text", {.status = ok("{\"onboardingComplete\":\"true\"}")}, "UNAVAILABLE | G");
        row("enormous status", {.status = ok(QByteArray(2 << 20, ' ') + status(true, false))}, "UNAVAILABLE | G");
        // The configuration, read on every request.
        const QByteArray config = Exchange{}.config;
        row("no agent name", {.config = QByteArray(config).replace("ops-bot", "")}, "CONFIG_INVALID |");
        row("agent name ..", {.config = QByteArray(config).replace("ops-bot", "..")}, "CONFIG_INVALID |");
        row("key with a line break", {.config = QByteArray(config).replace("qv_key_7f3a9c", "k\\r\\nX-Bad: 1")}, "CONFIG_INVALID |");
        row("number too large to hold", {.config = QByteArray(config).replace("3}", "1e999}")}, "CONFIG_INVALID |");
        // An unreadable configuration passes through as it is.
        row("no config", {.config = ""}, "other |");
        row("override", {.config = QByteArray(config).replace("http://HOST", "https://on.example.test"), .override = "http://HOST"},
            "live | G");
        row("disallowed override", {.override = "http://127.0.0.1:1"}, "CONFIG_INVALID |");
    }
    void request()
    {
        QFETCH(Exchange, exchange);
        for (ScriptedResponse *answer : {&exchange.status, &exchange.link, &exchange.setup})
            answer->body = here(answer->body);
        m_s->server.setHandler(provisioning, [e = exchange](const RecordedRequest &r) {
            return r.method == "POST" ? e.link : e.status;
        });
        m_s->server.setResponse(QStringLiteral("/api/agents/ops-bot/setup"), exchange.setup);
        if (!exchange.config.isEmpty())
            m_s->writeProfileFile(QStringLiteral("config.json"), here(exchange.config));
        if (!exchange.file.isEmpty())
            m_s->writeProfileFile(OwnerSetupClient::linkFileName(), here(exchange.file));
        const auto held = exchange.held.isEmpty() ? std::nullopt : std::optional(setupLink(exchange.held));
        const QUrl overrideURL(QString::fromUtf8(here(exchange.override.toUtf8())));
        const auto override = exchange.override.isEmpty() ? std::nullopt : std::optional(overrideURL);
        QStringList result;
        try {
            OwnerSetupClient client(m_s->profileDirectory(), override, {5000ms, 8000ms});
            const OwnerSetupSession s = await(client.request(held, exchange.force));
            result << (s.required ? "" : "done") << (s.hasLiveSession ? "live" : "");
            result << (s.url ? "url:" + token(*s.url) : "");
            result << (s.expiresAt ? "exp:" + s.expiresAt->toString(Qt::ISODate) : "");
            result << (s.hasPendingBinding ? QStringLiteral("pending:%1").arg(*s.hasPendingBinding) : "");
        } catch (const QuorvantisNativeError &error) {
            result << error.code.mid(12);
        } catch (...) {
            result << failureWord(std::current_exception());
        }
        result << "|";
        for (const RecordedRequest &r : m_s->server.requests()) {
            const auto bearer = r.header("Authorization").value_or("").mid(7);
            QVERIFY(!r.header("Cookie")); // the status answer's cookie is not sent back
            if (r.path == provisioning && bearer == "qv_key_7f3a9c")
                result << (r.method == "POST" ? "P" : "G");
            else if (r.path.endsWith(u"/setup"))
                result << "S:" + QString::fromUtf8(bearer);
            else
                result << r.method + ' ' + r.path;
        }
        // An unusable link file is left as it is; a failed request leaves it alone.
        const QByteArray file = m_s->readProfileFile(OwnerSetupClient::linkFileName());
        if (file != here(exchange.file)) {
            result << ">" + token(QUrl(QString::fromUtf8(file.trimmed())));
            const auto permissions = QFile::permissions(m_s->profileFile(OwnerSetupClient::linkFileName()));
            QCOMPARE((permissions & 0x0077).toInt(), 0); // private
        }
        result.removeAll(QString());
        QTEST(result.join(u' ').trimmed(), "result");
    }

    void addressRules_data()
    {
        // b — empty: `a` alone as the service address
        columns<QString, QString, bool>({"a", "b", "accepted"});
        QTest::newRow("service with query") << "https://on.example.test/?a=1" << "" << false;
        QTest::newRow("same origin") << "https://On.Example.test/x" << "https://on.example.TEST:443/y" << true;
        QTest::newRow("http against https") << "http://example.test" << "https://example.test" << false;
        QTest::newRow("other port") << "https://example.test:8443" << "https://example.test" << false;
    }
    void addressRules()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        const bool accepted = b.isEmpty() ? OwnerSetupClient::isAllowedServiceURL(QUrl(a))
                                          : OwnerSetupClient::hasSameOrigin(QUrl(a), QUrl(b));
        QTEST(accepted, "accepted");
    }

    void linkFileAndPendingQuery()
    {
        OwnerSetupClient client(m_s->profileDirectory(), std::nullopt, {5000ms, 8000ms});
        const QUrl link = setupLink(QStringLiteral("tok_saved"));
        client.saveCapturedSetupURL(link);
        QCOMPARE(m_s->readProfileFile(OwnerSetupClient::linkFileName()), link.toEncoded() + "\n");
        const QUrl service = link.adjusted(QUrl::RemoveFragment | QUrl::RemovePath);
        QCOMPARE(client.capturedSetupURL(service, QStringLiteral("ops-bot")), std::optional(link));
        // The pending query goes only where the link points, and only with its token.
        QUrl noToken = link;
        noToken.setFragment(QString(""));
        QCOMPARE(await(client.hasPendingBinding(noToken, service)), std::nullopt);
        const QUrl elsewhere(QStringLiteral("https://evil.example.test/api/agents/ops-bot/setup#t"));
        QCOMPARE(await(client.hasPendingBinding(elsewhere, service)), std::nullopt);
        QCOMPARE(m_s->server.requestCount(), 0);
    }

    void storedLink_data()
    {
        // data — U: the link
        // expiresAtMSecs — -1: no expiry; -2: not a link
        columns<QByteArray, qint64>({"data", "expiresAtMSecs"});
        const auto at = [](const char *url) { return "{\"url\":\"" + QByteArray(url) + "\"}"; };
        const auto expiring = [](const char *at) { return "{\"url\":\"U\",\"expiresAt\":" + QByteArray(at) + "}"; };
        QTest::newRow("url only") << at("U") << qint64(-1);
        QTest::newRow("fractional seconds") << expiring("1.5") << qint64(978307201500);
        QTest::newRow("not JSON") << QByteArray("U") << qint64(-2);
        QTest::newRow("no url") << QByteArray("{\"expiresAt\":1}") << qint64(-2);
        QTest::newRow("plain http") << at("http://h.test/api/agents/a/setup#t") << qint64(-2);
        QTest::newRow("user information") << at("https://u@h.test/api/agents/a/setup#t") << qint64(-2);
        QTest::newRow("expiry as text") << expiring("\"2026-05-01T10:00:00Z\"") << qint64(-2);
        QTest::newRow("absurd expiry") << expiring("1e300") << qint64(-2);
    }
    void storedLink()
    {
        QFETCH(QByteArray, data);
        const QUrl url(QStringLiteral("https://h.test/api/agents/a/setup?step=1#tok_AbC"));
        const auto link = OwnerSetupLink::fromJson(data.replace("U", url.toEncoded()));
        QTEST(link ? link->expiresAt.value_or(QDateTime::fromMSecsSinceEpoch(-1)).toMSecsSinceEpoch() : -2,
              "expiresAtMSecs");
        // It comes back the same from its stored form (whose exact text the keychain tests compare).
        if (link) {
            QCOMPARE(link->url, url);
            QCOMPARE(OwnerSetupLink::fromJson(link->toJson()), link);
        }
    }
};

QTEST_GUILESS_MAIN(OwnerSetupClientTests)
#include "OwnerSetupClientTests.moc"
