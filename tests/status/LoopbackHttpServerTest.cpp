// The test server itself, driven with raw sockets so that it is checked independently of the
// clients it serves.
#include "support/AwaitTask.h"
#include "support/LoopbackHttpServer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

using QuorvantisTest::LoopbackHttpServer;
using QuorvantisTest::RecordedRequest;
using QuorvantisTest::ScriptedResponse;
using QuorvantisTest::spinUntil;

namespace {

struct Exchange
{
    QByteArray received;
    bool closedByServer = false;
    int reads = 0;
};

// Sends the request (in the given pieces) and collects everything until the server closes or the
// wait ends.
Exchange exchange(const LoopbackHttpServer &server, const QList<QByteArray> &pieces, int waitMs = 5000)
{
    Exchange result;
    QTcpSocket socket;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
        result.received += socket.readAll();
        ++result.reads;
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] { result.closedByServer = true; });
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    if (!socket.waitForConnected(5000))
        return result;
    for (const QByteArray &piece : pieces) {
        socket.write(piece);
        socket.flush();
        QTest::qWait(5);
    }
    spinUntil([&] { return result.closedByServer; }, waitMs);
    result.received += socket.readAll();
    socket.disconnect(); // closing it below is the client's doing, not the server's
    return result;
}

QByteArray get(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

} // namespace

class LoopbackHttpServerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recordsRequestsAndAnswersAsScripted()
    {
        LoopbackHttpServer server;
        QVERIFY(server.isListening());
        QCOMPARE(server.baseUrl().host(), QStringLiteral("127.0.0.1"));
        server.setResponse("/items", ScriptedResponse::json(201, R"({"ok":true})").withHeader("X-Trace", "7"));
        QSignalSpy received(&server, &LoopbackHttpServer::requestReceived);

        const Exchange result = exchange(server, {
            "POST /items?id=4&x=%20 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer t\r\n",
            "Content-Length: 11\r\n\r\nhello",
            " world",
        });

        QVERIFY(result.closedByServer);
        QCOMPARE(result.received, QByteArray("HTTP/1.1 201 Created\r\nContent-Type: application/json\r\nX-Trace: 7\r\n"
                                             "Content-Length: 11\r\nConnection: close\r\n\r\n{\"ok\":true}"));
        QCOMPARE(received.size(), 1);
        QCOMPARE(server.requestCount(), 1);
        const RecordedRequest request = server.requests().constFirst();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QStringLiteral("/items"));
        QCOMPARE(request.query, QStringLiteral("id=4&x=%20"));
        QCOMPARE(request.body, QByteArray("hello world"));
        QCOMPARE(request.header("authorization"), std::optional<QByteArray>("Bearer t"));
        QVERIFY(!request.hasHeader("Cookie"));
        QCOMPARE(server.requestsFor("/items").size(), 1);
        QCOMPARE(server.requestsFor("/other").size(), 0);
    }

    void unknownPathsGet404AndHandlersSeeTheRequest()
    {
        LoopbackHttpServer server;
        server.setHandler("/echo", [](const RecordedRequest &request) {
            return ScriptedResponse::text(200, request.header("X-Say").value_or("nothing"));
        });
        QVERIFY(exchange(server, {get("/nowhere")}).received.startsWith("HTTP/1.1 404 Not Found\r\n"));
        QVERIFY(exchange(server, {"GET /echo HTTP/1.1\r\nX-Say: hi\r\n\r\n"}).received.endsWith("\r\n\r\nhi"));

        server.setFallbackHandler([](const RecordedRequest &) { return ScriptedResponse::text(418, "teapot"); });
        QVERIFY(exchange(server, {get("/nowhere")}).received.startsWith("HTTP/1.1 418 "));
    }

    void redirectsCarryTheLocation()
    {
        LoopbackHttpServer server;
        server.setResponse("/old", ScriptedResponse::redirect(302, QUrl("http://127.0.0.1:9/new")));
        const QByteArray answer = exchange(server, {get("/old")}).received;
        QVERIFY(answer.startsWith("HTTP/1.1 302 Found\r\n"));
        QVERIFY(answer.contains("\r\nLocation: http://127.0.0.1:9/new\r\n"));
    }

    void delaysTheAnswer()
    {
        LoopbackHttpServer server;
        server.setResponse("/slow", ScriptedResponse::text(200, "late").withDelay(150));
        QElapsedTimer elapsed;
        elapsed.start();
        const Exchange result = exchange(server, {get("/slow")});
        QVERIFY(elapsed.elapsed() >= 150);
        QVERIFY(result.received.endsWith("late"));
    }

    void neverAnswersButKeepsTheConnection()
    {
        LoopbackHttpServer server;
        server.setResponse("/hang", ScriptedResponse::neverAnswer());
        const Exchange result = exchange(server, {get("/hang")}, 200);
        QVERIFY(result.received.isEmpty());
        QVERIFY(!result.closedByServer);
        QCOMPARE(server.requestCount(), 1);
    }

    void tricklesTheWholeAnswer()
    {
        LoopbackHttpServer server;
        const ScriptedResponse trickle = ScriptedResponse::trickle(200, "0123456789", 2, 8);
        server.setResponse("/drip", trickle);
        const Exchange result = exchange(server, {get("/drip")});
        QCOMPARE(result.received, trickle.serialized());
        QVERIFY(result.reads > 3);
    }

    void closesMidResponse()
    {
        LoopbackHttpServer server;
        server.setResponse("/cut", ScriptedResponse::closeMidResponse(200, "0123456789", 4));
        const Exchange result = exchange(server, {get("/cut")});
        QVERIFY(result.closedByServer);
        QVERIFY(result.received.contains("Content-Length: 10\r\n"));
        QVERIFY(result.received.endsWith("\r\n\r\n0123"));
    }

    void writesRawBytes()
    {
        LoopbackHttpServer server;
        server.setResponse("/raw", ScriptedResponse::raw("not http"));
        QCOMPARE(exchange(server, {get("/raw")}).received, QByteArray("not http"));
    }

    void stopRefusesNewConnections()
    {
        LoopbackHttpServer server;
        const quint16 port = server.port();
        server.stop();
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!socket.waitForConnected(2000));
    }
};

QTEST_GUILESS_MAIN(LoopbackHttpServerTest)
#include "LoopbackHttpServerTest.moc"
