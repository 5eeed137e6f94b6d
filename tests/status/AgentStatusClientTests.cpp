// The agent's status endpoint against a real loopback server, and its document. The limits of the
// loopback exchange (deadline, size cap, no redirect, transport failures) are checked here, once;
// those of the exchange the registry and onboarding clients share, in their suites.
#include "status/AgentStatusClient.h"
#include "support/StatusFixture.h"
#include "support/Test.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <nlohmann/json.hpp>

#include <cstdio>

using namespace QuorvantisTest;
using namespace std::chrono_literals;
using Json = nlohmann::json;

Q_DECLARE_METATYPE(QuorvantisTest::ScriptedResponse)

namespace {

const QByteArray document = "{\"sampledAt\":\"2026-01-02T03:04:05.678Z\",\"lifecycle\":\"running\",\"ready\":true,"
                            "\"version\":\"1.4.0-beta.2\",\"busy\":false,\"compacting\":true,\"queueSize\":3,"
                            "\"pid\":4242,\"codingSession\":"
                            "{\"status\":\"in_progress\",\"taskSummary\":\"重构日志模块\"}}";

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
    } catch (...) {
        return failureWord(std::current_exception());
    }
}

// "SERVER" in the port file: this test's server.
void row(const char *name, ScriptedResponse answer, const char *outcome, QByteArray port = "SERVER",
         QByteArray token = "  secret-token \n")
{
    QTest::newRow(name) << port << token << answer << QString(outcome);
}

} // namespace

class AgentStatusClientTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { loggedMessages(); }
    // The token is never logged.
    void cleanupTestCase() { QVERIFY(loggedMessages().filter(QStringLiteral("secret-token")).isEmpty()); }

    void fetch_data()
    {
        columns<QByteArray, QByteArray, ScriptedResponse, QString>({"port", "token", "answer", "outcome"});
        const auto json = [](int status, QByteArray body) { return ScriptedResponse::json(status, std::move(body)); };
        ScriptedResponse hugeUnannounced = json(200, QByteArray(AgentStatusClient::maxBodyBytes + 1, ' '));
        hugeUnannounced.sendContentLength = false;
        row("200", json(200, document), "ok");
        // A valid document does not rescue another status, nor is a slow error body awaited.
        row("204", json(204, document), "AGENT_STATUS_UNAVAILABLE");
        row("500, slow body", ScriptedResponse::trickle(500, QByteArray(4096, 'x')), "AGENT_STATUS_UNAVAILABLE");
        // Redirects are not followed, not even to the same server: the token stays home (one request).
        row("redirect", {.status = 307, .headers = {{"Location", "/moved"}}}, "AGENT_STATUS_UNAVAILABLE");
        // Whatever the server does, the deadline holds for the whole exchange.
        row("never answers", ScriptedResponse::neverAnswer(), "timed out");
        row("trickled body", ScriptedResponse::trickle(200, document), "timed out"); // never idle long enough for Qt's own timeout
        row("huge body", json(200, hugeUnannounced.body), "too large");
        row("huge body without length", hugeUnannounced, "too large");
        row("garbage body", json(200, "garbage{"), "decoding");
        // A bad port or token file: no request at all.
        row("blank token", json(200, document), "AGENT_STATUS_CONFIG_INVALID", "SERVER", " \n\t");
        row("token with a line break", json(200, document), "AGENT_STATUS_CONFIG_INVALID", "SERVER", "a\r\nX-Bad: 1");
        row("port 0", json(200, document), "AGENT_STATUS_CONFIG_INVALID", "0");
    }
    void fetch()
    {
        QFETCH(QByteArray, port);
        QFETCH(QByteArray, token);
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, outcome);
        Served s;
        s.server.setResponse(QStringLiteral("/tui/status"), answer);
        s.writeProfileFile(QStringLiteral("tui-port"), port.replace("SERVER", QByteArray::number(s.server.port())));
        s.writeProfileFile(QStringLiteral("tui-token"), token);
        AgentStatusClient client(s.profileDirectory(), 400ms);
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(outcomeOf(client.fetch()), outcome);
        // Each slow answer would take 10 s or more.
        QVERIFY2(elapsed.elapsed() < 4000, qPrintable(QString::number(elapsed.elapsed())));
        const bool asked = outcome != u"AGENT_STATUS_CONFIG_INVALID";
        QCOMPARE(s.server.requestCount(), asked ? 1 : 0);
        if (asked) // the token trimmed
            QCOMPARE(s.server.requests().constFirst().header("Authorization"), "Bearer secret-token");
    }

    void portAndTokenAreReadAfresh()
    {
        Served s;
        Served restarted; // the agent restarted on another port with another token
        const ScriptedResponse withCookie{.status = 200, .headers = {{"Set-Cookie", "s=1; Path=/"}}, .body = document};
        for (Served *served : {&s, &restarted}) // the cookie is never sent back
            served->server.setResponse(QStringLiteral("/tui/status"), withCookie);
        const auto pointAt = [&s](const Served &to, const QByteArray &token) {
            s.writeProfileFile(QStringLiteral("tui-port"), QByteArray::number(to.server.port()));
            s.writeProfileFile(QStringLiteral("tui-token"), token);
        };
        AgentStatusClient client(s.profileDirectory(), 400ms);
        pointAt(s, "first");
        // Every field of the document, as it was sent.
        const QDateTime sampledAt(QDate(2026, 1, 2), QTime(3, 4, 5, 678), Qt::UTC);
        const AgentRuntimeStatus::CodingSession coding{"in_progress", QStringLiteral("重构日志模块")};
        const AgentRuntimeStatus status{sampledAt, "running", true, "1.4.0-beta.2", false, true, 3, 4242, coding};
        QCOMPARE(await(client.fetch()), status);
        pointAt(restarted, "second");
        await(client.fetch());
        QCOMPARE(s.server.requestCount(), 1);
        QCOMPARE(restarted.server.requests().constFirst().header("Authorization"), "Bearer second");
        QVERIFY(!restarted.server.requests().constFirst().header("Cookie"));
        // Destroying the client ends its fetch rather than leaving it waiting.
        restarted.server.setResponse(QStringLiteral("/tui/status"), ScriptedResponse::neverAnswer());
        auto doomed = std::make_unique<AgentStatusClient>(s.profileDirectory(), 10s);
        auto hanging = doomed->fetch();
        QVERIFY(spinUntil([&] { return restarted.server.requestCount() == 2; }));
        doomed.reset();
        QCOMPARE(outcomeOf(std::move(hanging)), QStringLiteral("network"));
    }

    // A settled file's text is kept between fetches; a file written since, or replaced by one of
    // the same size and times, is read again.
    void changedTokenIsReadAgain_data()
    {
        QTest::addColumn<bool>("replaced");
        QTest::newRow("rewritten in place") << false;
        QTest::newRow("replaced, same size and times") << true;
    }
    void changedTokenIsReadAgain()
    {
        QFETCH(bool, replaced);
        Served s;
        s.server.setResponse(QStringLiteral("/tui/status"), ScriptedResponse::json(200, document));
        const QDateTime past = QDateTime::currentDateTimeUtc().addSecs(-3600);
        const auto writeSettled = [&](const QString &path, const QByteArray &content) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size()
                && file.flush() && file.setFileTime(past, QFileDevice::FileModificationTime);
        };
        const QString portPath = s.profileDirectory() + QStringLiteral("/tui-port");
        const QString tokenPath = s.profileDirectory() + QStringLiteral("/tui-token");
        QVERIFY(writeSettled(portPath, QByteArray::number(s.server.port())));
        QVERIFY(writeSettled(tokenPath, "first-token"));
        AgentStatusClient client(s.profileDirectory(), 400ms);
        await(client.fetch());
        await(client.fetch());
        if (replaced) {
            QVERIFY(writeSettled(tokenPath + QStringLiteral(".new"), "other-token"));
            QCOMPARE(::rename(QFile::encodeName(tokenPath + QStringLiteral(".new")).constData(),
                              QFile::encodeName(tokenPath).constData()), 0);
        } else {
            s.writeProfileFile(QStringLiteral("tui-token"), "other-token");
        }
        await(client.fetch());
        const auto requests = s.server.requests();
        QCOMPARE(requests.size(), 3);
        QCOMPARE(requests.at(1).header("Authorization"), "Bearer first-token");
        QCOMPARE(requests.at(2).header("Authorization"), "Bearer other-token");
    }

    // The connection to the daemon is kept between polls; one the daemon closed meanwhile is found
    // dead at the next fetch, which asks again on a new one.
    void keptConnectionClosedByTheDaemon()
    {
        QTcpServer daemon;
        QVERIFY(daemon.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> connections;
        QObject::connect(&daemon, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *socket = daemon.nextPendingConnection()) {
                connections.append(socket);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    if (socket->readAll().contains("\r\n\r\n"))
                        socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(document.size()) + "\r\n\r\n" + document);
                });
            }
        });
        TemporaryProfile profile;
        profile.writeProfileFile(QStringLiteral("tui-port"), QByteArray::number(daemon.serverPort()) + "\n");
        profile.writeProfileFile(QStringLiteral("tui-token"), "secret-token\n");
        AgentStatusClient client(profile.profileDirectory(), 400ms);
        QCOMPARE(outcomeOf(client.fetch()), QStringLiteral("ok"));
        QCOMPARE(outcomeOf(client.fetch()), QStringLiteral("ok"));
        QCOMPARE(connections.size(), 1);
        connections.first()->close();
        QCOMPARE(outcomeOf(client.fetch()), QStringLiteral("ok"));
        QCOMPARE(connections.size(), 2);
    }

    void port_data()
    {
        // port — 0: refused
        columns<QString, int>({"text", "port"});
        QTest::newRow("blanks around") << " \t8080 \r\n" << 8080;
        QTest::newRow("highest") << "65535" << 65535;
        for (const char *refused : {"0", "65536", "-1", "abc", " \n", "80 80", "0x50", "99999999999999999999", "٨٠٨٠"})
            QTest::addRow("refused: %s", refused) << QString::fromUtf8(refused) << 0;
    }
    void port()
    {
        QFETCH(QString, text);
        QTEST(int(AgentStatusClient::parsePort(text).value_or(0)), "port");
    }

    void documents_data()
    {
        // decoded — queue size, pid, compacting, coding; empty: refused
        columns<QByteArray, QString>({"body", "decoded"});
        const QByteArray coding = "{\"status\":\"in_progress\",\"taskSummary\":\"重构日志模块\"}";
        QByteArray fullIntegers = with("queueSize", INT64_MAX);
        fullIntegers.replace("\"pid\":4242", "\"pid\":0,\"new\":{\"n\":[1]}");
        QByteArray absent = document;
        absent.replace(",\"compacting\":true", "").replace(",\"codingSession\":" + coding, "");
        QTest::newRow("unknown keys, full integers") << fullIntegers << "9223372036854775807 0 1 1";
        QTest::newRow("optional fields absent") << absent << "3 4242 - -";
        for (const char *key : {"sampledAt", "lifecycle", "ready", "version", "busy", "queueSize", "pid"}) {
            QTest::addRow("without %s", key) << with(key, "-") << "";
            QTest::addRow("%s null", key) << with(key, nullptr) << "";
        }
        // One wrong value of each kind; the date rules are DateTimeTests', here only that the document uses
        // them.
        const std::pair<const char *, Json> wrong[] = {
            {"ready", "true"}, {"version", 1.2}, {"queueSize", 2.0}, {"pid", UINT64_MAX}, {"compacting", "yes"},
            {"sampledAt", "2026-01-02T03:04:05"}, {"sampledAt", "2026-01-02T03:04:05Z\n"},
            {"codingSession", Json{{"status", nullptr}, {"taskSummary", "x"}}}};
        for (const auto &[key, value] : wrong)
            QTest::addRow("%s: %s", key, value.dump().c_str()) << with(key, value) << "";
        QTest::newRow("invalid UTF-8 in a string") << QByteArray(document).replace("running", "\xff\xfe") << "";
    }
    void documents()
    {
        QFETCH(QByteArray, body);
        QString decoded;
        try {
            const AgentRuntimeStatus s = AgentRuntimeStatus::decode(body);
            decoded = QStringLiteral("%1 %2 %3 %4").arg(s.queueSize).arg(s.pid);
            decoded = decoded.arg(s.compacting ? "1" : "-", s.codingSession ? "1" : "-");
        } catch (const AgentRuntimeStatusDecodingError &) {
        }
        QTEST(decoded, "decoded");
    }
};

QTEST_GUILESS_MAIN(AgentStatusClientTests)
#include "AgentStatusClientTests.moc"
