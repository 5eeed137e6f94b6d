// The agent's status endpoint against a real loopback server, and its document.
#include "net/BoundedHttp.h"
#include "process/QuorvantisNativeError.h"
#include "status/AgentStatusClient.h"
#include "support/AwaitTask.h"
#include "support/LoopbackHttpServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace QuorvantisTest;
using namespace std::chrono_literals;
using Json = nlohmann::json;

Q_DECLARE_METATYPE(QuorvantisTest::ScriptedResponse)

namespace {

const QByteArray document = "{\"sampledAt\":\"2026-01-02T03:04:05.678Z\",\"lifecycle\":\"running\",\"ready\":true,\"version\":\"1.4.0-beta.2\","
                            "\"busy\":false,\"compacting\":true,\"queueSize\":3,\"pid\":4242,"
                            "\"codingSession\":{\"status\":\"in_progress\",\"taskSummary\":\"重构日志模块\"}}";

QStringList logged;
void keepMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    logged.append(message);
}

// The document with one key changed ("null": null, "-": removed).
QByteArray with(const char *key, Json value)
{
    Json changed = Json::parse(document.toStdString());
    if (value == "-")
        changed.erase(key);
    else
        changed[key] = value == "null" ? Json() : value;
    return QByteArray::fromStdString(changed.dump());
}

// What a fetch ended with: "ok", a code, or the kind of error that passed through.
QString outcomeOf(QCoro::Task<AgentRuntimeStatus> task)
{
    try {
        await(std::move(task), 20000);
        return QStringLiteral("ok");
    } catch (const QuorvantisNativeError &error) {
        return error.code;
    } catch (const HttpTransportError &error) {
        return QStringList{"network", "timed out", "too large"}.at(int(error.kind));
    } catch (const AgentRuntimeStatusDecodingError &) {
        return QStringLiteral("decoding");
    } catch (const AgentStatusFileError &) {
        return QStringLiteral("file");
    }
}

} // namespace

class AgentStatusClientTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_profile;
    std::unique_ptr<LoopbackHttpServer> m_server;

    void write(const char *name, const QByteArray &content)
    {
        QFile file(m_profile->filePath(QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size());
    }
    void pointAt(const LoopbackHttpServer &server, const QByteArray &token)
    {
        write("tui-port", QByteArray::number(server.port()) + "\n");
        write("tui-token", token);
    }

private Q_SLOTS:
    void initTestCase() { qInstallMessageHandler(keepMessage); }
    void init()
    {
        m_profile = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<LoopbackHttpServer>();
        m_server->setResponse(QStringLiteral("/tui/status"), ScriptedResponse::json(200, document));
    }
    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        for (const QString &message : std::as_const(logged))
            QVERIFY2(!message.contains(u"secret-token"), qPrintable(message)); // the token is never logged
    }

    void fetch_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("outcome");
        const QByteArray huge(AgentStatusClient::maxBodyBytes + 1, ' ');
        ScriptedResponse hugeUnannounced = ScriptedResponse::json(200, huge), slowError = ScriptedResponse::trickle(500, QByteArray(4096, 'x'), 50),
                         bodyTrickle = ScriptedResponse::trickle(200, document, 50);
        hugeUnannounced.sendContentLength = false;
        slowError.trickleBodyOnly = bodyTrickle.trickleBodyOnly = true;
        QTest::newRow("200") << ScriptedResponse::json(200, document) << "ok";
        // A valid document does not rescue another status, nor is a slow error body awaited.
        for (const int status : {401, 500, 204})
            QTest::addRow("%d", status) << ScriptedResponse::json(status, document).withHeader("WWW-Authenticate", "Bearer") << "AGENT_STATUS_UNAVAILABLE";
        QTest::newRow("500, slow body") << slowError << "AGENT_STATUS_UNAVAILABLE";
        // Redirects are not followed: the token stays home.
        QTest::newRow("redirect elsewhere") << ScriptedResponse::redirect(302, QUrl(QStringLiteral("http://localhost:1/tui/status"))) << "AGENT_STATUS_UNAVAILABLE";
        QTest::newRow("redirect here") << ScriptedResponse::redirect(307, QUrl(QStringLiteral("/moved"))) << "AGENT_STATUS_UNAVAILABLE";
        // Whatever the server does, the deadline holds for the whole exchange.
        QTest::newRow("never answers") << ScriptedResponse::neverAnswer() << "timed out";
        QTest::newRow("trickle") << ScriptedResponse::trickle(200, document, 50) << "timed out";
        QTest::newRow("trickled body") << bodyTrickle << "timed out"; // never idle long enough for Qt's own timeout
        QTest::newRow("close mid-response") << ScriptedResponse::closeMidResponse(200, document, 40) << "network";
        QTest::newRow("not HTTP") << ScriptedResponse::raw("SSH-2.0-OpenSSH_9.2\r\n\r\n") << "network";
        QTest::newRow("huge body") << ScriptedResponse::json(200, huge) << "too large";
        QTest::newRow("huge body without length") << hugeUnannounced << "too large";
        QTest::newRow("garbage body") << ScriptedResponse::json(200, "garbage{") << "decoding";
        QTest::newRow("document without pid") << ScriptedResponse::json(200, with("pid", "-")) << "decoding";
    }
    void fetch()
    {
        QFETCH(ScriptedResponse, answer);
        m_server->setResponse(QStringLiteral("/tui/status"), answer);
        m_server->setResponse(QStringLiteral("/moved"), ScriptedResponse::json(200, document));
        pointAt(*m_server, "  secret-token \n");
        AgentStatusClient client(m_profile->path(), 400ms);
        QElapsedTimer elapsed;
        elapsed.start();
        QTEST(outcomeOf(client.fetch()), "outcome");
        QVERIFY2(elapsed.elapsed() < 4000, qPrintable(QString::number(elapsed.elapsed()))); // each slow answer takes 10 s or more
        QVERIFY(m_server->requestCount() >= 1 && m_server->requestsFor(QStringLiteral("/moved")).isEmpty());
        const auto request = m_server->requests().constFirst();
        QCOMPARE(request.method + ' ' + request.path.toUtf8(), QByteArray("GET /tui/status"));
        QCOMPARE(request.header("Authorization"), std::optional<QByteArray>("Bearer secret-token"));
    }

    void portAndTokenAreReadAfresh()
    {
        AgentStatusClient client(m_profile->path(), 400ms);
        pointAt(*m_server, "first");
        QCOMPARE(await(client.fetch()), AgentRuntimeStatus::decode(document));
        LoopbackHttpServer restarted; // on another port with another token
        restarted.setResponse(QStringLiteral("/tui/status"), ScriptedResponse::json(200, document));
        pointAt(restarted, "second");
        await(client.fetch());
        QCOMPARE(m_server->requestCount(), 1);
        QCOMPARE(restarted.requests().constFirst().header("Authorization"), std::optional<QByteArray>("Bearer second"));
        // Fetches are independent: a hanging one does not hold the next.
        restarted.setHandler(QStringLiteral("/tui/status"), [](const RecordedRequest &r) {
            return r.header("Authorization") == "Bearer slow" ? ScriptedResponse::neverAnswer() : ScriptedResponse::json(200, document);
        });
        pointAt(restarted, "slow");
        auto hanging = client.fetch();
        pointAt(restarted, "fast");
        QCOMPARE(await(client.fetch()).pid, 4242);
        QCOMPARE(outcomeOf(std::move(hanging)), QStringLiteral("timed out"));
        // Destroying the client ends its fetch; a stopped server refuses.
        auto client2 = std::make_unique<AgentStatusClient>(m_profile->path(), 10s);
        pointAt(restarted, "slow");
        hanging = client2->fetch();
        QVERIFY(spinUntil([&] { return restarted.requestCount() == 4; }));
        client2.reset();
        QCOMPARE(outcomeOf(std::move(hanging)), QStringLiteral("network"));
        restarted.stop();
        QCOMPARE(outcomeOf(client.fetch()), QStringLiteral("network"));
    }

    void configuration_data()
    {
        QTest::addColumn<QByteArray>("port"); // null: no file
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QString>("outcome");
        const QString invalid = QStringLiteral("AGENT_STATUS_CONFIG_INVALID");
        QTest::newRow("port 0") << QByteArray("0") << QByteArray("t") << invalid;
        QTest::newRow("empty port file") << QByteArray("") << QByteArray("t") << invalid;
        QTest::newRow("empty token file") << QByteArray("8080") << QByteArray("") << invalid;
        QTest::newRow("blank token") << QByteArray("8080") << QByteArray(" \n\t") << invalid;
        QTest::newRow("token with an inner line break") << QByteArray("8080") << QByteArray("abc\r\nX-Injected: 1") << invalid;
        QTest::newRow("no port file") << QByteArray() << QByteArray("t") << "file";
        QTest::newRow("no token file") << QByteArray("8080") << QByteArray() << "file";
        QTest::newRow("token not UTF-8") << QByteArray("8080") << QByteArray("\xff\xfe") << "file";
    }
    void configuration()
    {
        QFETCH(QByteArray, port);
        QFETCH(QByteArray, token);
        if (!port.isNull())
            write("tui-port", port);
        if (!token.isNull())
            write("tui-token", token);
        AgentStatusClient client(m_profile->path(), 400ms);
        QTEST(outcomeOf(client.fetch()), "outcome");
        QCOMPARE(m_server->requestCount(), 0);
    }

    void port_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port"); // 0: rejected
        QTest::newRow("blanks around") << " \t8080 \r\n" << 8080;
        QTest::newRow("highest") << "65535" << 65535;
        QTest::newRow("plus sign") << "+8080" << 8080;
        for (const char *rejected : {"0", "65536", "-1", "abc", " \n", "80 80", "0x50", "99999999999999999999999", "٨٠٨٠"})
            QTest::addRow("refused: %s", rejected) << QString::fromUtf8(rejected) << 0;
    }
    void port()
    {
        QFETCH(QString, text);
        QTEST(int(AgentStatusClient::parsePort(text).value_or(0)), "port");
    }

    void decodesEveryField()
    {
        const AgentRuntimeStatus status = AgentRuntimeStatus::decode(document);
        const AgentRuntimeStatus expected{QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 678), Qt::UTC), "running", true, "1.4.0-beta.2", false, true, 3, 4242,
                                          AgentRuntimeStatus::CodingSession{"in_progress", QStringLiteral("重构日志模块")}};
        QCOMPARE(status, expected);
        // Every field counts for equality; the same instant at another offset is the same.
        AgentRuntimeStatus other = status;
        other.codingSession->taskSummary.clear();
        QVERIFY(!(other == status));
        other = status;
        other.compacting.reset();
        QVERIFY(!(other == status));
        QCOMPARE(AgentRuntimeStatus::decode(with("sampledAt", "2026-01-02T11:04:05.678+08:00")), status);
        QCOMPARE(parseInternetDateTime(u"2026-01-02T03:04:05+08:00")->offsetFromUtc(), 8 * 3600);
    }

    void documents_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("decoded"); // queue size, pid, compacting, coding; empty: refused
        QTest::newRow("full") << document << "3 4242 1 1";
        QTest::newRow("unknown keys, full integers") << with("queueSize", INT64_MAX).replace("\"pid\":4242", "\"pid\":0,\"new\":{\"n\":[1]}") << "9223372036854775807 0 1 1";
        QTest::newRow("optional fields absent") << with("compacting", "-").replace(",\"codingSession\":{\"status\":\"in_progress\",\"taskSummary\":\"重构日志模块\"}", "") << "3 4242 - -";
        QTest::newRow("optional fields null") << with("compacting", "null").replace("{\"status\":\"in_progress\",\"taskSummary\":\"重构日志模块\"}", "null") << "3 4242 - -";
        for (const char *key : {"sampledAt", "lifecycle", "ready", "version", "busy", "queueSize", "pid"}) {
            QTest::addRow("without %s", key) << with(key, "-") << "";
            QTest::addRow("%s null", key) << with(key, "null") << "";
        }
        QTest::newRow("ready as text") << with("ready", "true") << "";
        QTest::newRow("busy as number") << with("busy", 0) << "";
        QTest::newRow("version as number") << with("version", 1.2) << "";
        QTest::newRow("lifecycle as object") << with("lifecycle", Json::object()) << "";
        QTest::newRow("queueSize fractional") << with("queueSize", 1.5) << "";
        QTest::newRow("queueSize whole float") << with("queueSize", 2.0) << "";
        QTest::newRow("queueSize as text") << with("queueSize", "3") << "";
        QTest::newRow("pid beyond 64-bit signed") << with("pid", UINT64_MAX) << "";
        QTest::newRow("sampledAt as number") << with("sampledAt", 1767322800) << "";
        QTest::newRow("compacting as text") << with("compacting", "yes") << "";
        QTest::newRow("codingSession as text") << with("codingSession", "in_progress") << "";
        QTest::newRow("codingSession without taskSummary") << with("codingSession", Json{{"status", "in_progress"}}) << "";
        QTest::newRow("codingSession without status") << with("codingSession", Json{{"taskSummary", "x"}}) << "";
        QTest::newRow("codingSession status null") << with("codingSession", Json{{"status", nullptr}, {"taskSummary", "x"}}) << "";
        QTest::newRow("keys in another case") << QByteArray(document).replace("sampledAt", "SampledAt") << "";
        QTest::newRow("array") << QByteArray("[]") << "";
        QTest::newRow("empty body") << QByteArray() << "";
        QTest::newRow("not JSON") << QByteArray("<html>502 Bad Gateway</html>") << "";
        QTest::newRow("truncated") << document.chopped(5) << "";
        QTest::newRow("invalid UTF-8 in a string") << QByteArray(document).replace("running", "\xff\xfe") << "";
    }
    void documents()
    {
        QFETCH(QByteArray, body);
        QString decoded;
        try {
            const AgentRuntimeStatus s = AgentRuntimeStatus::decode(body);
            decoded = QStringLiteral("%1 %2 %3 %4").arg(s.queueSize).arg(s.pid).arg(s.compacting ? "1" : "-", s.codingSession ? "1" : "-");
        } catch (const AgentRuntimeStatusDecodingError &) {
        }
        QTEST(decoded, "decoded");
    }

    void dates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("utc"); // empty: refused
        QTest::newRow("fraction Z") << "2026-01-02T03:04:05.678Z" << "2026-01-02T03:04:05.678Z";
        QTest::newRow("whole seconds Z") << "2026-01-02T03:04:05Z" << "2026-01-02T03:04:05.000Z";
        QTest::newRow("positive offset") << "2026-01-02T03:04:05+08:00" << "2026-01-01T19:04:05.000Z";
        QTest::newRow("negative offset with minutes") << "2026-01-02T03:04:05-05:30" << "2026-01-02T08:34:05.000Z";
        QTest::newRow("one fraction digit") << "2026-01-02T03:04:05.1Z" << "2026-01-02T03:04:05.100Z";
        QTest::newRow("nanoseconds truncate") << "2026-01-02T03:04:05.123456789Z" << "2026-01-02T03:04:05.123Z";
        QTest::newRow("fraction with offset") << "2026-01-02T11:04:05.5+08:00" << "2026-01-02T03:04:05.500Z";
        QTest::newRow("lower-case t and z") << "2026-01-02t03:04:05z" << "2026-01-02T03:04:05.000Z";
        QTest::newRow("leap day") << "2024-02-29T00:00:00Z" << "2024-02-29T00:00:00.000Z";
        for (const char *refused : {"2026-01-02 03:04:05", "2026-01-02T03:04:05", "2026-01-02T03:04:05.678", "2026-01-02 03:04:05Z",
                                    "2026-01-02T03:04Z", "2026-01-02", "2026-01-02T03:04:05+0800", "2026-01-02T03:04:05+08",
                                    "2026-01-02T03:04:05.Z", "2026-01-02T03:04:05,678Z", "2026-1-02T03:04:05Z", "20260102T030405Z",
                                    "2026-02-30T00:00:00Z", "2026-13-01T00:00:00Z", "2026-01-02T24:00:00Z", "2026-01-02T03:60:00Z",
                                    "2026-01-02T03:04:05+08:60", " 2026-01-02T03:04:05Z", "2026-01-02T03:04:05Z\n", "٢٠٢٦-01-02T03:04:05Z", ""})
            QTest::addRow("refused: %s", refused) << QString::fromUtf8(refused) << "";
    }
    void dates()
    {
        QFETCH(QString, text);
        const auto parsed = parseInternetDateTime(text);
        QTEST(parsed ? parsed->toUTC().toString(Qt::ISODateWithMs) : QString(), "utc");
        // The document takes the same dates and refuses the same texts.
        QString decoded;
        try {
            decoded = AgentRuntimeStatus::decode(with("sampledAt", text.toStdString())).sampledAt.toUTC().toString(Qt::ISODateWithMs);
        } catch (const AgentRuntimeStatusDecodingError &error) {
            QCOMPARE(QString::fromUtf8(error.what()), QStringLiteral("Invalid ISO-8601 date"));
        }
        QTEST(decoded, "utc");
    }
};

QTEST_GUILESS_MAIN(AgentStatusClientTests)
#include "AgentStatusClientTests.moc"
