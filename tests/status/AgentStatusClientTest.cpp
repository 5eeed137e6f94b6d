#include "process/QuorvantisNativeError.h"
#include "status/AgentStatusClient.h"
#include "status/BoundedHttpGet.h"
#include "support/AwaitTask.h"
#include "support/LoopbackHttpServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using QuorvantisTest::LoopbackHttpServer;
using QuorvantisTest::ScriptedResponse;

Q_DECLARE_METATYPE(QuorvantisTest::ScriptedResponse)

namespace {

const QByteArray statusDocument = R"({"sampledAt":"2026-01-02T03:04:05.678Z","lifecycle":"running","ready":true,)"
                                  R"("version":"1.4.0","busy":true,"queueSize":2,"pid":321,)"
                                  R"("codingSession":{"status":"in_progress","taskSummary":"整理文件"}})";

// Small enough that a hung server costs the suite little, large enough for a loaded machine.
constexpr auto shortTimeout = 400ms;

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
}

// What a failed fetch threw, reduced to something a table can compare.
struct Failure
{
    QString kind; // "native", "transport", "decoding", "file", "none", "other"
    QString code;
    QString message;
    HttpTransportError::Kind transportKind = HttpTransportError::Kind::Network;
};

Failure failureOf(QCoro::Task<AgentRuntimeStatus> task)
{
    try {
        QuorvantisTest::await(std::move(task), 20000);
    } catch (const QuorvantisNativeError &error) {
        return {QStringLiteral("native"), error.code, error.message, {}};
    } catch (const HttpTransportError &error) {
        return {QStringLiteral("transport"), {}, QString::fromUtf8(error.what()), error.kind};
    } catch (const AgentRuntimeStatusDecodingError &error) {
        return {QStringLiteral("decoding"), {}, QString::fromUtf8(error.what()), {}};
    } catch (const AgentStatusFileError &error) {
        return {QStringLiteral("file"), {}, QString::fromUtf8(error.what()), {}};
    } catch (const std::exception &error) {
        return {QStringLiteral("other"), {}, QString::fromUtf8(error.what()), {}};
    }
    return {QStringLiteral("none"), {}, {}, {}};
}

} // namespace

class AgentStatusClientTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_profile;
    std::unique_ptr<LoopbackHttpServer> m_server;

    QString profilePath(const QString &name) const { return m_profile->filePath(name); }
    void pointAt(const LoopbackHttpServer &server, const QByteArray &token = "secret-token")
    {
        writeFile(profilePath("tui-port"), QByteArray::number(server.port()) + "\n");
        writeFile(profilePath("tui-token"), token + "\n");
    }
    AgentStatusClient client(std::chrono::milliseconds timeout = shortTimeout) const
    {
        return AgentStatusClient(m_profile->path(), timeout);
    }

private Q_SLOTS:
    void init()
    {
        m_profile = std::make_unique<QTemporaryDir>();
        QVERIFY(m_profile->isValid());
        m_server = std::make_unique<LoopbackHttpServer>();
        QVERIFY(m_server->isListening());
        m_server->setResponse("/tui/status", ScriptedResponse::json(200, statusDocument));
    }

    void cleanup()
    {
        m_server.reset();
        m_profile.reset();
    }

    void fetchesWithTrimmedPortAndTokenRereadEachTime()
    {
        writeFile(profilePath("tui-port"), QByteArray::number(m_server->port()) + "\n");
        writeFile(profilePath("tui-token"), "  secret-token \n");
        auto client = this->client(2s);

        QCOMPARE(QuorvantisTest::await(client.fetch()), AgentStatusClient::decode(statusDocument));
        QCOMPARE(m_server->requestCount(), 1);
        const auto request = m_server->requests().constFirst();
        QCOMPARE(request.target, QByteArray("/tui/status"));
        QCOMPARE(request.header("Authorization"), std::optional<QByteArray>("Bearer secret-token"));

        // The agent restarted on another port with another token.
        LoopbackHttpServer restarted;
        restarted.setResponse("/tui/status", ScriptedResponse::json(200, statusDocument));
        pointAt(restarted, "second");
        QuorvantisTest::await(client.fetch());
        QCOMPARE(m_server->requestCount(), 1);
        QCOMPARE(restarted.requests().constFirst().header("Authorization"), std::optional<QByteArray>("Bearer second"));
    }

    void parsePort_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port"); // 0: rejected

        QTest::newRow("blanks around") << " \t8080 \r\n" << 8080;
        QTest::newRow("highest") << "65535" << 65535;
        QTest::newRow("plus sign") << "+8080" << 8080;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("above range") << "65536" << 0;
        QTest::newRow("negative") << "-1" << 0;
        QTest::newRow("letters") << "abc" << 0;
        QTest::newRow("blank") << " \n" << 0;
        QTest::newRow("two numbers") << "80 80" << 0;
        QTest::newRow("hexadecimal") << "0x50" << 0;
        QTest::newRow("huge") << "99999999999999999999999" << 0;
        QTest::newRow("non-ASCII digits") << QString::fromUtf8("٨٠٨٠") << 0;
    }
    void parsePort()
    {
        QFETCH(QString, text);
        QFETCH(int, port);
        const auto parsed = AgentStatusClient::parsePort(text);
        QCOMPARE(parsed.has_value(), port != 0);
        if (parsed)
            QCOMPARE(int(*parsed), port);
    }

    void invalidConfiguration_data()
    {
        QTest::addColumn<QByteArray>("port"); // null: no file
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QString>("kind"); // "native": invalid configuration; "file": unreadable

        QTest::newRow("port 0") << QByteArray("0") << QByteArray("t") << "native";
        QTest::newRow("empty port file") << QByteArray("") << QByteArray("t") << "native";
        QTest::newRow("empty token file") << QByteArray("8080") << QByteArray("") << "native";
        QTest::newRow("blank token") << QByteArray("8080") << QByteArray(" \n\t") << "native";
        QTest::newRow("token with an inner line break")
            << QByteArray("8080") << QByteArray("abc\r\nX-Injected: 1") << "native";
        QTest::newRow("no port file") << QByteArray() << QByteArray("t") << "file";
        QTest::newRow("no token file") << QByteArray("8080") << QByteArray() << "file";
        QTest::newRow("token not UTF-8") << QByteArray("8080") << QByteArray("\xff\xfe") << "file";
    }
    void invalidConfiguration()
    {
        QFETCH(QByteArray, port);
        QFETCH(QByteArray, token);
        QFETCH(QString, kind);
        if (!port.isNull())
            writeFile(profilePath("tui-port"), port);
        if (!token.isNull())
            writeFile(profilePath("tui-token"), token);
        auto client = this->client();

        const Failure failure = failureOf(client.fetch());
        QCOMPARE(failure.kind, kind);
        if (kind == u"native") {
            QCOMPARE(failure.code, QStringLiteral("AGENT_STATUS_CONFIG_INVALID"));
            QCOMPARE(failure.message, QStringLiteral("Agent 状态通道配置无效"));
        }
        QCOMPARE(m_server->requestCount(), 0);
    }

    void nonSuccessAnswersAreUnavailable_data()
    {
        QTest::addColumn<ScriptedResponse>("response");
        // A valid document in the body must not rescue a non-200 answer.
        for (const int status : {401, 500, 204})
            QTest::addRow("%d", status) << ScriptedResponse::json(status, statusDocument).withHeader("WWW-Authenticate", "Bearer");
        // Nor is a slow error body awaited.
        ScriptedResponse slowBody = ScriptedResponse::trickle(500, QByteArray(4096, 'x'), 50);
        slowBody.trickleBodyOnly = true;
        QTest::newRow("500, slow body") << slowBody;
    }
    void nonSuccessAnswersAreUnavailable()
    {
        QFETCH(ScriptedResponse, response);
        m_server->setResponse("/tui/status", response);
        pointAt(*m_server);
        auto client = this->client();

        const Failure failure = failureOf(client.fetch());
        QCOMPARE(failure.kind, QStringLiteral("native"));
        QCOMPARE(failure.code, QStringLiteral("AGENT_STATUS_UNAVAILABLE"));
        QCOMPARE(failure.message, QStringLiteral("Agent 状态通道不可用"));
        QCOMPARE(m_server->requestCount(), 1);
    }

    void redirectsAreNotFollowedAndTheTokenStaysHome()
    {
        LoopbackHttpServer elsewhere;
        elsewhere.setFallbackHandler([](const auto &) { return ScriptedResponse::json(200, statusDocument); });
        m_server->setResponse("/tui/status", ScriptedResponse::redirect(302, elsewhere.url("/tui/status")));
        m_server->setResponse("/moved", ScriptedResponse::json(200, statusDocument));
        pointAt(*m_server);
        auto client = this->client();

        QCOMPARE(failureOf(client.fetch()).code, QStringLiteral("AGENT_STATUS_UNAVAILABLE"));
        m_server->setResponse("/tui/status", ScriptedResponse::redirect(307, m_server->url("/moved")));
        QCOMPARE(failureOf(client.fetch()).code, QStringLiteral("AGENT_STATUS_UNAVAILABLE"));

        QCOMPARE(elsewhere.requestCount(), 0);
        QCOMPARE(m_server->requestsFor("/moved").size(), 0);
        QCOMPARE(m_server->requestCount(), 2);
    }

    void brokenAnswersFailWithoutHanging_data()
    {
        QTest::addColumn<ScriptedResponse>("response");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("transportKind");

        const int network = int(HttpTransportError::Kind::Network);
        const int timedOut = int(HttpTransportError::Kind::TimedOut);
        const int tooLarge = int(HttpTransportError::Kind::BodyTooLarge);
        const QByteArray huge(AgentStatusClient::maxBodyBytes + 1, ' ');

        QTest::newRow("never answers") << ScriptedResponse::neverAnswer() << "transport" << timedOut;
        QTest::newRow("trickle") << ScriptedResponse::trickle(200, statusDocument, 50) << "transport" << timedOut;
        // Qt's own transfer timeout only notices inactivity; a steady trickle of body bytes never is.
        ScriptedResponse bodyTrickle = ScriptedResponse::trickle(200, statusDocument, 50);
        bodyTrickle.trickleBodyOnly = true;
        QTest::newRow("trickled body") << bodyTrickle << "transport" << timedOut;
        QTest::newRow("close mid-response")
            << ScriptedResponse::closeMidResponse(200, statusDocument, 40) << "transport" << network;
        QTest::newRow("not HTTP") << ScriptedResponse::raw("SSH-2.0-OpenSSH_9.2\r\n\r\n") << "transport" << network;
        QTest::newRow("huge body") << ScriptedResponse::json(200, huge) << "transport" << tooLarge;
        ScriptedResponse hugeUnannounced = ScriptedResponse::json(200, huge);
        hugeUnannounced.sendContentLength = false;
        QTest::newRow("huge body without length") << hugeUnannounced << "transport" << tooLarge;
        QTest::newRow("garbage body") << ScriptedResponse::json(200, "garbage{") << "decoding" << 0;
        QTest::newRow("document without pid")
            << ScriptedResponse::json(200, QByteArray(statusDocument).replace("\"pid\":321,", ""))
            << "decoding" << 0;
        QTest::newRow("date without zone")
            << ScriptedResponse::json(200, QByteArray(statusDocument).replace(".678Z", ""))
            << "decoding" << 0;
    }
    void brokenAnswersFailWithoutHanging()
    {
        QFETCH(ScriptedResponse, response);
        QFETCH(QString, kind);
        QFETCH(int, transportKind);
        m_server->setResponse("/tui/status", response);
        pointAt(*m_server);
        auto client = this->client();

        QElapsedTimer elapsed;
        elapsed.start();
        const Failure failure = failureOf(client.fetch());
        QCOMPARE(failure.kind, kind);
        if (kind == u"transport")
            QCOMPARE(int(failure.transportKind), transportKind);
        // The deadline holds for the whole exchange, whatever the server does: the slow answers
        // above would each take 10 s or more to complete.
        QVERIFY2(elapsed.elapsed() < 4000, qPrintable(QString::number(elapsed.elapsed())));
    }

    void refusedConnectionFails()
    {
        pointAt(*m_server);
        m_server->stop();
        auto client = this->client();
        const Failure failure = failureOf(client.fetch());
        QCOMPARE(failure.kind, QStringLiteral("transport"));
        QCOMPARE(failure.transportKind, HttpTransportError::Kind::Network);
    }

    void destroyingTheClientEndsItsFetch()
    {
        m_server->setResponse("/tui/status", ScriptedResponse::neverAnswer());
        pointAt(*m_server);
        auto client = std::make_unique<AgentStatusClient>(m_profile->path(), 10s);
        auto fetch = client->fetch();
        QVERIFY(QuorvantisTest::spinUntil([&] { return m_server->requestCount() == 1; }));
        client.reset();
        QElapsedTimer elapsed;
        elapsed.start();
        const Failure failure = failureOf(std::move(fetch));
        QCOMPARE(failure.kind, QStringLiteral("transport"));
        QVERIFY(elapsed.elapsed() < 5000);
    }

    void keptConnectionClosedByTheServerStartsOver()
    {
        // A daemon that keeps connections open between requests, then closes an idle one before
        // the client has noticed: the next fetch finds it dead and asks again on a new one.
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
                    socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(statusDocument.size())
                                  + "\r\n\r\n" + statusDocument);
                });
            }
        });
        writeFile(profilePath("tui-port"), QByteArray::number(daemon.serverPort()) + "\n");
        writeFile(profilePath("tui-token"), "secret-token\n");
        auto client = this->client();

        QCOMPARE(QuorvantisTest::await(client.fetch()).pid, 321);
        QCOMPARE(QuorvantisTest::await(client.fetch()).pid, 321);
        QCOMPARE(connections.size(), 1); // kept
        connections.first()->close();
        QCOMPARE(QuorvantisTest::await(client.fetch()).pid, 321);
        QCOMPARE(connections.size(), 2);
        QCOMPARE(requests, 3);
    }

    void concurrentFetchesAreIndependent()
    {
        m_server->setHandler("/tui/status", [](const QuorvantisTest::RecordedRequest &request) {
            return request.header("Authorization") == "Bearer slow"
                ? ScriptedResponse::neverAnswer()
                : ScriptedResponse::json(200, statusDocument);
        });
        pointAt(*m_server, "slow");
        auto client = this->client();
        auto hanging = client.fetch();
        pointAt(*m_server, "fast");
        QCOMPARE(QuorvantisTest::await(client.fetch()).pid, 321);
        QCOMPARE(failureOf(std::move(hanging)).transportKind, HttpTransportError::Kind::TimedOut);
    }
};

QTEST_GUILESS_MAIN(AgentStatusClientTest)
#include "AgentStatusClientTest.moc"
