// The onboarding client against a real loopback server, and the binding link's stored form.
#include "channel/OwnerSetupClient.h"
#include "channel/OwnerSetupLinkStore.h"
#include "net/BoundedHttp.h"
#include "platform/Bundle.h"
#include "support/AwaitTask.h"
#include "support/LoopbackHttpServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace QuorvantisTest;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

// One exchange with the service. HOST in a body, the link file or the config stands for this
// test's server; "#L2048" pads a link to that many characters.
struct Exchange
{
    ScriptedResponse status = ScriptedResponse::json(200, "{\"onboardingComplete\":false,\"hasLiveSession\":true}");
    ScriptedResponse link = ScriptedResponse::json(404, {});
    ScriptedResponse setup = ScriptedResponse::json(404, {});
    QByteArray file{}; // the captured link file
    QString held{}; // the token of the link the caller holds
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
const QString setupPath = QStringLiteral("/api/agents/ops-bot/setup");

QStringList logged;
void keepMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    logged.append(message);
}

ScriptedResponse ok(QByteArray body, int status = 200)
{
    return ScriptedResponse::json(status, std::move(body));
}

QByteArray status(bool complete, bool live, const char *expiresAt = nullptr)
{
    json body = {{"onboardingComplete", complete}, {"hasLiveSession", live}};
    if (expiresAt)
        body["expiresAt"] = expiresAt;
    return QByteArray::fromStdString(body.dump());
}

QByteArray linkBody(const char *setupUrl, const char *expiresAt = nullptr)
{
    json body = {{"setupUrl", setupUrl}};
    if (expiresAt)
        body["expiresAt"] = expiresAt;
    return QByteArray::fromStdString(body.dump());
}

ScriptedResponse attempts(const char *list)
{
    return ok("{\"liveAttempts\":" + QByteArray(list) + "}");
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

    std::unique_ptr<QTemporaryDir> m_profile;
    std::unique_ptr<LoopbackHttpServer> m_server;

    QString path(const QString &name) const { return m_profile->filePath(name); }
    QByteArray here(QByteArray text) const
    {
        static const QRegularExpression padded(QStringLiteral("http[^\"]*#L(\\d+)"));
        text.replace("HOST", "localhost:" + QByteArray::number(m_server->port()));
        if (const auto m = padded.match(QString::fromUtf8(text)); m.hasMatch()) {
            const QString start = m.captured(0).chopped(m.captured(1).size() + 1);
            text.replace(m.captured(0).toUtf8(), (start + QString(m.captured(1).toInt() - start.size(), u't')).toUtf8());
        }
        return text;
    }
    void write(const QString &name, const QByteArray &data)
    {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size());
    }
    QByteArray read(const QString &name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QUrl setupLink(const QString &token) const
    {
        return QUrl(QString::fromUtf8(here("http://HOST/api/agents/ops-bot/setup#")) + token);
    }

private Q_SLOTS:
    void initTestCase() { qInstallMessageHandler(keepMessage); }
    void init()
    {
        m_profile = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<LoopbackHttpServer>();
        QVERIFY(m_profile->isValid() && m_server->isListening());
    }
    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        for (const QString &message : std::as_const(logged))
            QVERIFY2(!message.contains(u"qv_key_7f3a9c") && !message.contains(u"tok_"), qPrintable(message));
    }

    void request_data()
    {
        QTest::addColumn<Exchange>("exchange");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("asked"); // G, P: status and link requests; S:token the pending query; >token: file written
        const auto row = [](const char *name, Exchange e, const char *outcome, const char *asked) {
            QTest::newRow(name) << e << outcome << asked;
        };
        const QByteArray captured = "http://HOST/api/agents/ops-bot/setup#tok_captured";
        const auto live = ok(status(false, true, "2026-05-01T10:00:00Z"));
        const auto links = [](const char *url) { return ok(linkBody(url)); };
        const auto away = [](int code) { return ScriptedResponse::json(code, {}).withHeader("Location", "http://HOST/collect"); };
        row("complete", {.status = ok(status(true, true, "2026-05-01T10:00:00Z")), .file = captured, .held = "tok_held"}, "done", "G");
        row("complete, forced", {.status = ok(status(true, false)), .force = true}, "done", "G");
        row("live, nothing held", {.status = live}, "live exp:2026-05-01T10:00:00Z", "G");
        row("not live", {.status = ok(status(false, false)), .file = captured, .held = "tok_held"}, "", "G");
        row("live missing", {.status = ok("{\"onboardingComplete\":false}"), .held = "tok_held"}, "", "G");
        // Expiry dates: RFC 3339 in whole seconds only, kept in UTC.
        row("offset expiry", {.status = ok(status(false, true, "2026-05-01T12:30:00+02:30"))}, "live exp:2026-05-01T10:00:00Z", "G");
        row("fractional expiry", {.status = ok(status(false, true, "2026-05-01T10:00:00.5Z"))}, "live", "G");
        row("expiry without zone", {.status = ok(status(false, true, "2026-05-01T10:00:00"))}, "live", "G");
        row("expiry without seconds", {.status = ok(status(false, true, "2026-05-01T10:00Z"))}, "live", "G");
        row("expiry in month 13", {.status = ok(status(false, true, "2026-13-01T10:00:00Z"))}, "live", "G");
        row("expiry with trailing text", {.status = ok(status(false, true, "2026-05-01T10:00:00Zjunk"))}, "live", "G");
        // While a session is live, the captured link (else the held one) is offered with its pending attempts.
        row("one pending among others", {.status = live, .setup = attempts("[{\"status\":\"bound\"},{\"status\":\"pending\"}]"), .file = captured, .held = "tok_held"}, "url:tok_captured exp:2026-05-01T10:00:00Z pending:1", "G S:tok_captured");
        row("none pending", {.setup = attempts("[{\"status\":\"expired\"},{}]"), .file = captured}, "url:tok_captured pending:0", "G S:tok_captured");
        row("an attempt not an object", {.setup = attempts("[{\"status\":\"pending\"},3]"), .file = captured}, "url:tok_captured", "G S:tok_captured");
        row("no attempt list", {.setup = ok("{\"attempts\":[]}"), .file = captured}, "url:tok_captured", "G S:tok_captured");
        row("pending query fails", {.setup = ok("{\"liveAttempts\":[{\"status\":\"pending\"}]}", 500), .file = captured}, "url:tok_captured", "G S:tok_captured");
        row("captured for another agent", {.setup = attempts("[]"), .file = "http://HOST/api/agents/other/setup#t", .held = "tok_held"}, "url:tok_held pending:0", "G S:tok_held");
        row("captured for another service", {.file = "https://onboarding.example.test/api/agents/ops-bot/setup#t", .held = "tok_held"}, "url:tok_held", "G S:tok_held");
        row("empty link file", {.file = "\n", .held = "tok_held"}, "url:tok_held", "G S:tok_held");
        row("link file with blanks", {.file = "  \n" + captured + "\r\n\t "}, "url:tok_captured", "G S:tok_captured");
        // A forced refresh asks for a new link and keeps it in the link file.
        row("new link", {.status = ok(status(false, true, "2026-04-01T00:00:00Z")).withHeader("Set-Cookie", "s=1; Path=/"), .link = ok(linkBody("http://HOST/api/agents/ops-bot/setup#tok_new", "2026-05-01T10:00:00Z"), 201), .file = captured, .held = "tok_held", .force = true}, "url:tok_new exp:2026-05-01T10:00:00Z", "G P >tok_new");
        row("link of 2048 characters", {.link = links("http://HOST/api/agents/ops-bot/setup#L2048"), .force = true}, "url:2048", "G P >2048");
        row("link of 2049 characters", {.link = links("http://HOST/api/agents/ops-bot/setup#L2049"), .force = true}, "RESPONSE_INVALID", "G P");
        row("link 409", {.link = ok(linkBody("http://HOST/api/agents/ops-bot/setup#t"), 409), .force = true}, "STATE_CHANGED", "G P");
        row("link 500", {.link = ok(linkBody("http://HOST/api/agents/ops-bot/setup#t"), 500), .force = true}, "UNAVAILABLE:page", "G P");
        row("link elsewhere", {.link = links("https://evil.example.test/api/agents/ops-bot/setup#t"), .force = true}, "RESPONSE_INVALID", "G P");
        row("link without token", {.link = links("http://HOST/api/agents/ops-bot/setup"), .force = true}, "RESPONSE_INVALID", "G P");
        row("link of another agent", {.link = links("http://HOST/api/agents/other/setup#t"), .force = true}, "RESPONSE_INVALID", "G P");
        row("link with a user", {.link = links("http://u@HOST/api/agents/ops-bot/setup#t"), .force = true}, "RESPONSE_INVALID", "G P");
        row("no setupUrl", {.link = ok("{\"url\":\"x\"}"), .force = true}, "RESPONSE_INVALID", "G P");
        row("garbage link answer", {.link = ScriptedResponse::text(200, "<html>oops</html>"), .force = true}, "RESPONSE_INVALID", "G P");
        row("enormous link answer", {.link = ok(QByteArray(3 << 20, ' ') + linkBody("http://HOST/api/agents/ops-bot/setup#t")), .force = true}, "RESPONSE_INVALID", "G P");
        row("link redirected", {.link = away(302), .force = true}, "UNAVAILABLE:page", "G P");
        // A status answer that is not a usable 200 means unavailable.
        ScriptedResponse unbounded = ok(QByteArray(2 << 20, ' ') + status(true, false));
        unbounded.sendContentLength = false;
        row("status 500", {.status = ok(status(false, true), 500)}, "UNAVAILABLE:status", "G");
        row("status 201", {.status = ok(status(false, true), 201)}, "UNAVAILABLE:status", "G");
        row("status garbage", {.status = ScriptedResponse::text(200, "\x01\x02garbage{{{")}, "UNAVAILABLE:status", "G");
        row("status array", {.status = ok("[{\"onboardingComplete\":true}]")}, "UNAVAILABLE:status", "G");
        row("flag as text", {.status = ok("{\"onboardingComplete\":\"true\"}")}, "UNAVAILABLE:status", "G");
        row("enormous status", {.status = unbounded}, "UNAVAILABLE:status", "G");
        row("status redirected", {.status = away(307)}, "UNAVAILABLE:status", "G");
        // Transport failures pass through, bounded by the deadlines.
        row("never answers", {.status = ScriptedResponse::neverAnswer(), .timeouts = {300ms, 600ms}}, "timed out", "G");
        row("trickles past the deadline", {.status = ScriptedResponse::trickle(200, status(false, true), 50), .timeouts = {20000ms, 600ms}}, "timed out", "G");
        row("closes mid-answer", {.status = ScriptedResponse::closeMidResponse(200, status(false, true), 4)}, "network", "G");
        row("not HTTP", {.status = ScriptedResponse::raw("SSH-2.0-OpenSSH_9.2\r\n\r\n")}, "network", "*");
        row("refused", {.config = "{\"agentName\":\"a\",\"onboardingServiceUrl\":\"http://localhost:1\",\"quorvantisServiceApiKey\":\"k\"}"}, "network", "");
        // The configuration, read on every request.
        const auto config = [](const char *agent, const char *service, const char *key) {
            json c = {{"agentName", agent}, {"onboardingServiceUrl", service}, {"quorvantisServiceApiKey", key}};
            for (auto item = c.begin(); item != c.end();)
                item = item->get<std::string>().empty() ? c.erase(item) : std::next(item);
            return QByteArray::fromStdString(c.dump());
        };
        row("no agent name", {.config = config("", "http://HOST", "k")}, "CONFIG_INVALID", "");
        row("agent name ..", {.config = config("..", "http://HOST", "k")}, "CONFIG_INVALID", "");
        row("no key", {.config = config("ops-bot", "http://HOST", "")}, "CONFIG_INVALID", "");
        row("key with a line break", {.config = config("ops-bot", "http://HOST", "k\r\nX-Injected: 1")}, "CONFIG_INVALID", "");
        row("plain http elsewhere", {.config = config("ops-bot", "http://onboarding.example.test", "k")}, "CONFIG_INVALID", "");
        row("config not an object", {.config = "[1]"}, "CONFIG_INVALID", "");
        row("no config", {.config = ""}, "file", "");
        row("broken config", {.config = "{\"agentName\": \"ops-bot\","}, "syntax", "");
        row("override", {.config = config("ops-bot", "https://onboarding.example.test", "k"), .override = "http://HOST"}, "live", "G");
        row("override needs a configured service", {.config = config("ops-bot", "", "k"), .override = "http://HOST"}, "CONFIG_INVALID", "");
        row("disallowed override", {.override = "http://127.0.0.1:1"}, "CONFIG_INVALID", "");
        row("service base path", {.config = config("ops-bot", "http://HOST/base/", "k")}, "live", "GET /base/api/agents/ops-bot/owner-provisioning");
    }
    void request()
    {
        QFETCH(Exchange, exchange);
        for (ScriptedResponse *answer : {&exchange.status, &exchange.link, &exchange.setup}) {
            answer->body = here(answer->body);
            for (auto &header : answer->headers)
                header.second = here(header.second);
        }
        m_server->setHandler(provisioning, [e = exchange](const RecordedRequest &r) { return r.method == "POST" ? e.link : e.status; });
        m_server->setResponse(setupPath, exchange.setup);
        m_server->setResponse(QStringLiteral("/base") + provisioning, exchange.status);
        if (!exchange.config.isEmpty())
            write(QStringLiteral("config.json"), here(exchange.config));
        if (!exchange.file.isEmpty())
            write(OwnerSetupClient::linkFileName(), here(exchange.file));
        const auto held = exchange.held.isEmpty() ? std::nullopt : std::optional(setupLink(exchange.held));
        const auto override = exchange.override.isEmpty() ? std::nullopt : std::optional(QUrl(QString::fromUtf8(here(exchange.override.toUtf8()))));
        static const QHash<QString, QString> messages{
            {QStringLiteral("暂时无法获取 Channel 绑定状态"), ":status"}, {QStringLiteral("暂时无法获取 Channel 绑定页面"), ":page"},
            {QStringLiteral("Channel 绑定状态已更新，正在重新检查"), ""}, {QStringLiteral("Channel 绑定页面无效"), ""},
            {QStringLiteral("Channel 绑定配置无效"), ""}};
        QElapsedTimer elapsed;
        elapsed.start();
        QString outcome;
        try {
            OwnerSetupClient client(m_profile->path(), override, exchange.timeouts);
            const OwnerSetupSession s = await(client.request(held, exchange.force));
            outcome = QStringList{s.required ? "" : "done", s.hasLiveSession ? "live" : "", s.url ? "url:" + token(*s.url) : "",
                                  s.expiresAt ? "exp:" + s.expiresAt->toString(Qt::ISODate) : "",
                                  s.hasPendingBinding ? QStringLiteral("pending:%1").arg(int(*s.hasPendingBinding)) : ""}
                          .join(u' ').simplified();
        } catch (const QuorvantisNativeError &error) {
            outcome = error.code.mid(int(strlen("OWNER_SETUP_"))) + messages.value(error.message, "?");
        } catch (const HttpTransportError &error) {
            outcome = error.kind == HttpTransportError::Kind::TimedOut ? "timed out" : "network";
        } catch (const OwnerSetupFileError &) {
            outcome = "file";
        } catch (const json::parse_error &) {
            outcome = "syntax";
        }
        QTEST(outcome, "outcome");
        QStringList asked;
        for (const RecordedRequest &r : m_server->requests()) {
            const bool agentKey = r.header("Authorization") == "Bearer qv_key_7f3a9c" || r.header("Authorization") == "Bearer k";
            QVERIFY(!r.hasHeader("Cookie") && r.body.isEmpty());
            if (r.path == provisioning && agentKey)
                asked << (r.method == "POST" ? "P" : "G");
            else if (r.path == setupPath)
                asked << "S:" + QString::fromUtf8(r.header("Authorization").value_or("").mid(7));
            else
                asked << r.method + ' ' + r.path;
        }
        const QByteArray file = read(OwnerSetupClient::linkFileName());
        if (file != here(exchange.file)) // an unusable link file is left as it is; a failed request leaves it alone
            asked << ">" + token(QUrl(QString::fromUtf8(file.trimmed())));
        if (QByteArray(QTest::currentDataTag()) != "not HTTP") // Qt itself resends a GET that got no status line
            QTEST(asked.join(u' '), "asked");
        if (file != here(exchange.file))
            QCOMPARE((QFile::permissions(path(OwnerSetupClient::linkFileName())) & 0x0077).toInt(), 0); // private
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
        QFETCH(bool, accepted);
        if (b.isEmpty())
            QCOMPARE(OwnerSetupClient::isAllowedServiceURL(QUrl(a)), accepted);
        else
            QVERIFY(OwnerSetupClient::hasSameOrigin(QUrl(a), QUrl(b)) == accepted && OwnerSetupClient::hasSameOrigin(QUrl(b), QUrl(a)) == accepted);
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
        write(QStringLiteral("Info.json"), info);
        Bundle::setResourceDirectory(m_profile->path());
        const auto url = OnboardingServiceConfiguration::bundledOverride();
        Bundle::setResourceDirectory(QString());
        QTEST(url.value_or(QUrl()).toString(), "expected");
    }

    void linkFileAndPendingQuery()
    {
        OwnerSetupClient client(m_profile->path(), std::nullopt, {5000ms, 8000ms});
        const QUrl link = setupLink(QStringLiteral("tok_saved"));
        client.saveCapturedSetupURL(link);
        QCOMPARE(read(OwnerSetupClient::linkFileName()), link.toEncoded() + "\n");
        QCOMPARE(client.capturedSetupURL(QUrl(QString::fromUtf8(here("http://HOST"))), QStringLiteral("ops-bot")), std::optional(link));
        // A missing profile directory is not created, and nothing is reported.
        OwnerSetupClient(path(QStringLiteral("missing/profile")), std::nullopt, {}).saveCapturedSetupURL(link);
        QVERIFY(!QFile::exists(path(QStringLiteral("missing"))));
        // The pending query goes only where the link points, and only with its token.
        QUrl noToken = link;
        noToken.setFragment(QString(""));
        QCOMPARE(await(client.hasPendingBinding(noToken, link.adjusted(QUrl::RemoveFragment))), std::nullopt);
        QCOMPARE(await(client.hasPendingBinding(QUrl(QStringLiteral("https://evil.example.test/api/agents/ops-bot/setup#t")), link)), std::nullopt);
        QCOMPARE(m_server->requestCount(), 0);
        // A request outlives its client.
        write(QStringLiteral("config.json"), here(Exchange{}.config));
        m_server->setResponse(provisioning, ok(status(true, false)).withDelay(50));
        auto client2 = std::make_unique<OwnerSetupClient>(m_profile->path(), std::nullopt, OwnerSetupClient::Timeouts{5000ms, 8000ms});
        auto task = client2->request(std::nullopt, false);
        client2.reset();
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
        QTest::newRow("expiry as text") << QByteArray("{\"url\":\"U\",\"expiresAt\":\"2026-05-01T10:00:00Z\"}") << qint64(-2);
        QTest::newRow("absurd expiry") << QByteArray("{\"url\":\"U\",\"expiresAt\":1e300}") << qint64(-2);
    }
    void storedLink()
    {
        QFETCH(QByteArray, data);
        QFETCH(qint64, expiresAtMSecs);
        const QUrl url(QStringLiteral("https://h.test/api/agents/a/setup?step=1#tok_AbC"));
        const auto link = OwnerSetupLink::fromJson(data.replace("U", url.toEncoded()));
        QCOMPARE(link ? link->expiresAt.value_or(QDateTime::fromMSecsSinceEpoch(-1)).toMSecsSinceEpoch() : -2, expiresAtMSecs);
        if (!link)
            return;
        QCOMPARE(link->url, url);
        // Encoding keeps only what is there, as seconds since 2001-01-01.
        const json encoded = json::parse(link->toJson().toStdString());
        QCOMPARE(encoded.size(), size_t(link->expiresAt ? 2 : 1));
        QCOMPARE(OwnerSetupLink::fromJson(link->toJson()), link);
        if (link->expiresAt)
            QCOMPARE(encoded.at("expiresAt").get<double>(), double(expiresAtMSecs - 978307200000) / 1000);
    }

    void storeIsAddressedByTheStandardisedProfilePath()
    {
        const auto store = OwnerSetupLinkStore::forProfileDirectory(QStringLiteral("/home/u/.quorvantis/profiles/./x/../default/"));
        QCOMPARE(store.service(), QStringLiteral("com.quorvantis.macos.owner-setup"));
        QCOMPARE(store.account(), QStringLiteral("/home/u/.quorvantis/profiles/default"));
    }
};

QTEST_GUILESS_MAIN(OwnerSetupClientTests)
#include "OwnerSetupClientTests.moc"
