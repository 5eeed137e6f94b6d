// The agent's status endpoint against a real loopback server, and its document.
#include "status/AgentStatusClient.h"
#include "support/StatusFixture.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
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

// The document with one key changed ("-": removed).
QByteArray with(const char *key, Json value)
{
    Json changed = Json::parse(document.toStdString());
    if (value == "-")
        changed.erase(key);
    else
        changed[key] = value;
    return QByteArray::fromStdString(changed.dump());
}

QString outcomeOf(QCoro::Task<AgentRuntimeStatus> task)
{
    try {
        await(std::move(task), 20000);
        return QStringLiteral("ok");
    } catch (const AgentRuntimeStatusDecodingError &) {
        return QStringLiteral("decoding");
    } catch (const AgentStatusFileError &) {
        return QStringLiteral("file");
    } catch (...) {
        return failureWord(std::current_exception());
    }
}

} // namespace

class AgentStatusClientTests : public QObject
{
    Q_OBJECT


private Q_SLOTS:
    void initTestCase() { loggedMessages(); }
    void cleanupTestCase() { QVERIFY(loggedMessages().filter(QStringLiteral("secret-token")).isEmpty()); } // the token is never logged

    void fetch_data()
    {
        QTest::addColumn<QByteArray>("port"); // "SERVER": this test's server
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("outcome");
        const QByteArray huge(AgentStatusClient::maxBodyBytes + 1, ' ');
        const auto json = [](int status, QByteArray body) { return ScriptedResponse::json(status, std::move(body)); };
        ScriptedResponse hugeUnannounced = json(200, huge), slowError = ScriptedResponse::trickle(500, QByteArray(4096, 'x'), 50),
                         bodyTrickle = ScriptedResponse::trickle(200, document, 50);
        hugeUnannounced.sendContentLength = false;
        slowError.trickleBodyOnly = bodyTrickle.trickleBodyOnly = true;
        const QByteArray token = "  secret-token \n";
        const QString unavailable = QStringLiteral("AGENT_STATUS_UNAVAILABLE");
        QTest::newRow("200") << QByteArray("SERVER") << token << json(200, document) << "ok";
        // A valid document does not rescue another status, nor is a slow error body awaited.
        for (const int status : {401, 500, 204})
            QTest::addRow("%d", status) << QByteArray("SERVER") << token << json(status, document).withHeader("WWW-Authenticate", "Bearer") << unavailable;
        QTest::newRow("500, slow body") << QByteArray("SERVER") << token << slowError << unavailable;
        // Redirects are not followed: the token stays home.
        QTest::newRow("redirect elsewhere") << QByteArray("SERVER") << token << ScriptedResponse::redirect(302, QUrl(QStringLiteral("http://localhost:1/tui/status"))) << unavailable;
        QTest::newRow("redirect here") << QByteArray("SERVER") << token << ScriptedResponse::redirect(307, QUrl(QStringLiteral("/moved"))) << unavailable;
        // Whatever the server does, the deadline holds for the whole exchange.
        QTest::newRow("never answers") << QByteArray("SERVER") << token << ScriptedResponse::neverAnswer() << "timed out";
        QTest::newRow("trickle") << QByteArray("SERVER") << token << ScriptedResponse::trickle(200, document, 50) << "timed out";
        QTest::newRow("trickled body") << QByteArray("SERVER") << token << bodyTrickle << "timed out"; // never idle long enough for Qt's own timeout
        QTest::newRow("close mid-response") << QByteArray("SERVER") << token << ScriptedResponse::closeMidResponse(200, document, 40) << "network";
        QTest::newRow("not HTTP") << QByteArray("SERVER") << token << ScriptedResponse::raw("SSH-2.0-OpenSSH_9.2\r\n\r\n") << "network";
        QTest::newRow("huge body") << QByteArray("SERVER") << token << json(200, huge) << "too large";
        QTest::newRow("huge body without length") << QByteArray("SERVER") << token << hugeUnannounced << "too large";
        QTest::newRow("garbage body") << QByteArray("SERVER") << token << json(200, "garbage{") << "decoding";
        QTest::newRow("document without pid") << QByteArray("SERVER") << token << json(200, with("pid", "-")) << "decoding";
        // A bad port or token file: no request at all.
        const QString invalid = QStringLiteral("AGENT_STATUS_CONFIG_INVALID");
        QTest::newRow("port 0") << QByteArray("0") << token << json(200, document) << invalid;
        QTest::newRow("empty port file") << QByteArray("") << token << json(200, document) << invalid;
        QTest::newRow("empty token file") << QByteArray("SERVER") << QByteArray("") << json(200, document) << invalid;
        QTest::newRow("blank token") << QByteArray("SERVER") << QByteArray(" \n\t") << json(200, document) << invalid;
        QTest::newRow("token with an inner line break") << QByteArray("SERVER") << QByteArray("abc\r\nX-Injected: 1") << json(200, document) << invalid;
        QTest::newRow("no port file") << QByteArray() << token << json(200, document) << "file";
        QTest::newRow("no token file") << QByteArray("SERVER") << QByteArray() << json(200, document) << "file";
        QTest::newRow("token not UTF-8") << QByteArray("SERVER") << QByteArray("\xff\xfe") << json(200, document) << "file";
    }
    void fetch()
    {
        QFETCH(QByteArray, port);
        QFETCH(QByteArray, token);
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, outcome);
        Served s;
        s.server.setResponse(QStringLiteral("/tui/status"), answer);
        s.server.setResponse(QStringLiteral("/moved"), ScriptedResponse::json(200, document));
        if (!port.isNull())
            s.write(QStringLiteral("tui-port"), port.replace("SERVER", QByteArray::number(s.server.port())));
        if (!token.isNull())
            s.write(QStringLiteral("tui-token"), token);
        AgentStatusClient client(s.profile.path(), 400ms);
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(outcomeOf(client.fetch()), outcome);
        QVERIFY2(elapsed.elapsed() < 4000, qPrintable(QString::number(elapsed.elapsed()))); // each slow answer takes 10 s or more
        QVERIFY(s.server.requestsFor(QStringLiteral("/moved")).isEmpty());
        const bool asked = outcome != u"AGENT_STATUS_CONFIG_INVALID" && outcome != u"file";
        QCOMPARE(s.server.requestCount() > 0, asked);
        const auto request = s.server.requests().value(0);
        if (asked)
            QCOMPARE(request.method + ' ' + request.path.toUtf8() + ' ' + request.header("Authorization").value_or("-"), QByteArray("GET /tui/status Bearer secret-token"));
    }

    void portAndTokenAreReadAfresh()
    {
        Served s, restarted; // the agent restarted on another port with another token
        for (Served *served : {&s, &restarted}) {
            served->server.setHandler(QStringLiteral("/tui/status"), [](const RecordedRequest &r) {
                return r.header("Authorization") == "Bearer slow" ? ScriptedResponse::neverAnswer() : ScriptedResponse::json(200, document);
            });
        }
        const auto pointAt = [&s](const Served &to, const QByteArray &token) {
            s.write(QStringLiteral("tui-port"), QByteArray::number(to.server.port()));
            s.write(QStringLiteral("tui-token"), token);
        };
        AgentStatusClient client(s.profile.path(), 400ms);
        pointAt(s, "first");
        QCOMPARE(await(client.fetch()), AgentRuntimeStatus::decode(document));
        pointAt(restarted, "second");
        await(client.fetch());
        QCOMPARE(s.server.requestCount(), 1);
        QCOMPARE(restarted.server.requests().constFirst().header("Authorization"), std::optional<QByteArray>("Bearer second"));
        // Fetches are independent: a hanging one does not hold the next.
        pointAt(restarted, "slow");
        auto hanging = client.fetch();
        pointAt(restarted, "fast");
        QCOMPARE(await(client.fetch()).pid, 4242);
        QCOMPARE(outcomeOf(std::move(hanging)), QStringLiteral("timed out"));
        // Destroying the client ends its fetch; a stopped server refuses.
        auto doomed = std::make_unique<AgentStatusClient>(s.profile.path(), 10s);
        pointAt(restarted, "slow");
        hanging = doomed->fetch();
        QVERIFY(spinUntil([&] { return restarted.server.requestCount() == 4; }));
        doomed.reset();
        QCOMPARE(outcomeOf(std::move(hanging)), QStringLiteral("network"));
        restarted.server.stop();
        QCOMPARE(outcomeOf(client.fetch()), QStringLiteral("network"));
    }

    // The connection to the daemon is kept between polls; one the daemon closed meanwhile is found
    // dead at the next fetch, which asks again on a new one.
    void keptConnectionClosedByTheDaemon()
    {
        QTcpServer daemon;
        QVERIFY(daemon.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> connections;
        int requests = 0;
        QObject::connect(&daemon, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *socket = daemon.nextPendingConnection()) {
                connections.append(socket);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [&requests, socket] {
                    if (!socket->readAll().contains("\r\n\r\n"))
                        return;
                    ++requests;
                    socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(document.size()) + "\r\n\r\n" + document);
                });
            }
        });
        Served s;
        s.write(QStringLiteral("tui-port"), QByteArray::number(daemon.serverPort()) + "\n");
        s.write(QStringLiteral("tui-token"), "secret-token\n");
        AgentStatusClient client(s.profile.path(), 400ms);
        QCOMPARE(outcomeOf(client.fetch()), QStringLiteral("ok"));
        QCOMPARE(outcomeOf(client.fetch()), QStringLiteral("ok"));
        QCOMPARE(connections.size(), 1);
        connections.first()->close();
        QCOMPARE(outcomeOf(client.fetch()), QStringLiteral("ok"));
        QCOMPARE(connections.size(), 2);
        QCOMPARE(requests, 3);
    }

    void port_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port"); // 0: refused
        QTest::newRow("blanks around") << " \t8080 \r\n" << 8080;
        QTest::newRow("highest") << "65535" << 65535;
        QTest::newRow("plus sign") << "+8080" << 8080;
        for (const char *refused : {"0", "65536", "-1", "abc", " \n", "80 80", "0x50", "99999999999999999999999", "٨٠٨٠"})
            QTest::addRow("refused: %s", refused) << QString::fromUtf8(refused) << 0;
    }
    void port()
    {
        QFETCH(QString, text);
        QTEST(int(AgentStatusClient::parsePort(text).value_or(0)), "port");
    }

    void documents_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("decoded"); // queue size, pid, compacting, coding; empty: refused
        QTest::newRow("full") << document << "3 4242 1 1";
        QTest::newRow("unknown keys, full integers") << with("queueSize", INT64_MAX).replace("\"pid\":4242", "\"pid\":0,\"new\":{\"n\":[1]}") << "9223372036854775807 0 1 1";
        const QByteArray coding = "{\"status\":\"in_progress\",\"taskSummary\":\"重构日志模块\"}";
        QTest::newRow("optional fields absent") << QByteArray(document).replace(",\"compacting\":true", "").replace(",\"codingSession\":" + coding, "") << "3 4242 - -";
        QTest::newRow("optional fields null") << QByteArray(document).replace(":true,\"queue", ":null,\"queue").replace(coding, "null") << "3 4242 - -";
        for (const char *key : {"sampledAt", "lifecycle", "ready", "version", "busy", "queueSize", "pid"}) {
            QTest::addRow("without %s", key) << with(key, "-") << "";
            QTest::addRow("%s null", key) << with(key, nullptr) << "";
        }
        const std::pair<const char *, Json> wrong[] = {{"ready", "true"}, {"busy", 0}, {"version", 1.2}, {"lifecycle", Json::object()}, {"queueSize", 1.5},
                                                       {"queueSize", 2.0}, {"queueSize", "3"}, {"pid", UINT64_MAX}, {"sampledAt", 1767322800}, {"compacting", "yes"},
                                                       {"codingSession", "in_progress"}, {"codingSession", Json{{"status", "in_progress"}}},
                                                       {"codingSession", Json{{"taskSummary", "x"}}}, {"codingSession", Json{{"status", nullptr}, {"taskSummary", "x"}}}};
        for (const auto &[key, value] : wrong)
            QTest::addRow("%s: %s", key, value.dump().c_str()) << with(key, value) << "";
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
            decoded = QStringLiteral("%1 %2 %3 %4").arg(s.queueSize).arg(s.pid).arg(s.compacting ? "1" : "-").arg(s.codingSession ? "1" : "-");
        } catch (const AgentRuntimeStatusDecodingError &) {
        }
        QTEST(decoded, "decoded");
    }

    void everyFieldCounts()
    {
        const AgentRuntimeStatus status = AgentRuntimeStatus::decode(document);
        QCOMPARE(status, (AgentRuntimeStatus{QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 678), Qt::UTC), "running", true, "1.4.0-beta.2", false, true, 3, 4242,
                                             AgentRuntimeStatus::CodingSession{"in_progress", QStringLiteral("重构日志模块")}}));
        AgentRuntimeStatus noSummary = status, noCompacting = status;
        noSummary.codingSession->taskSummary.clear();
        noCompacting.compacting.reset();
        QVERIFY(!(noSummary == status) && !(noCompacting == status));
        // The same instant written with another offset is the same; the offset written is kept.
        QCOMPARE(AgentRuntimeStatus::decode(with("sampledAt", "2026-01-02T11:04:05.678+08:00")), status);
        QCOMPARE(parseInternetDateTime(u"2026-01-02T03:04:05+08:00")->offsetFromUtc(), 8 * 3600);
    }

    void dates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("utc"); // empty: refused
        // The date rules are DateTimeTests'; here only that the document uses them, fractions included.
        QTest::newRow("fraction with offset") << "2026-01-02T11:04:05.5+08:00" << "2026-01-02T03:04:05.500Z";
        QTest::newRow("no zone") << "2026-01-02T03:04:05" << "";
        QTest::newRow("trailing line feed") << "2026-01-02T03:04:05Z\n" << "";
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
