#include "BuildConfiguration.h"
#include "platform/Bundle.h"
#include "support/AwaitTask.h"
#include "support/LoopbackHttpServer.h"
#include "updates/AgentUpdateProbe.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using QuorvantisTest::LoopbackHttpServer;
using QuorvantisTest::ScriptedResponse;

Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(QuorvantisTest::ScriptedResponse)

namespace {

const QString betaPath = QStringLiteral("/quorvantis/beta");
const QByteArray betaDocument = R"({"name":"quorvantis","version":" 1.5.0-beta.3\n","dist":{"shasum":"x"}})";

// A valid registry document padded to the given size, so that only the size can refuse it.
QByteArray paddedDocument(qsizetype size)
{
    const QByteArray head = R"({"version":"2.0.0","padding":")";
    const QByteArray tail = "\"}";
    return head + QByteArray(size - head.size() - tail.size(), 'x') + tail;
}

std::optional<QString> probe(const LoopbackHttpServer &server, std::chrono::milliseconds timeout = 5000ms)
{
    return QuorvantisTest::await(AgentUpdateProbe::fetchBetaVersion(server.baseUrl().toString(), timeout), 20000);
}

void writeInfo(const QTemporaryDir &resources, const QByteArray &json)
{
    QFile file(resources.filePath("Info.json"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(json);
}

} // namespace

class AgentUpdateProbeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Bundle::setResourceDirectory({}); }

    void readsTheBetaVersion()
    {
        LoopbackHttpServer registry;
        registry.setResponse(betaPath, ScriptedResponse::json(200, betaDocument));

        QCOMPARE(probe(registry), std::optional<QString>("1.5.0-beta.3"));

        QCOMPARE(registry.requestCount(), 1);
        const auto request = registry.requests().constFirst();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, betaPath.toUtf8());
        QCOMPARE(request.header("Accept"), std::optional<QByteArray>("application/json"));
        QVERIFY(!request.hasHeader("Authorization"));
        QVERIFY(!request.hasHeader("Cookie"));
        QVERIFY(request.body.isEmpty());
    }

    void endpoint_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("endpoint"); // empty: no request at all

        QTest::newRow("host only") << "https://registry.example" << "https://registry.example/quorvantis/beta";
        QTest::newRow("trailing slash") << "https://registry.example/" << "https://registry.example/quorvantis/beta";
        QTest::newRow("path prefix") << "http://127.0.0.1:4873/mirror/" << "http://127.0.0.1:4873/mirror/quorvantis/beta";
        QTest::newRow("blanks around") << "  https://registry.example \n" << "https://registry.example/quorvantis/beta";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("blank") << "  " << "";
        QTest::newRow("not http") << "ftp://registry.example" << "";
        QTest::newRow("relative") << "registry" << "";
        QTest::newRow("no host") << "http://" << "";
        QTest::newRow("with a query") << "https://registry.example/?a=1" << "";
    }
    void endpoint()
    {
        QFETCH(QString, base);
        QFETCH(QString, endpoint);
        QCOMPARE(AgentUpdateProbe::endpoint(base).toString(), endpoint);
    }

    void followsThePathOfTheConfiguredBase()
    {
        LoopbackHttpServer registry;
        registry.setResponse("/mirror" + betaPath, ScriptedResponse::json(200, betaDocument));
        const QString base = registry.url("/mirror/").toString();
        QCOMPARE(QuorvantisTest::await(AgentUpdateProbe::fetchBetaVersion(base)), std::optional<QString>("1.5.0-beta.3"));
    }

    void usesTheConfiguredRegistry()
    {
        if (!QStringLiteral(QUORVANTIS_BUILD_REGISTRY_URL).isEmpty())
            QSKIP("this build has a registry configured at packaging time");
        LoopbackHttpServer registry;
        registry.setResponse(betaPath, ScriptedResponse::json(200, betaDocument));
        QTemporaryDir resources;
        Bundle::setResourceDirectory(resources.path());

        writeInfo(resources, R"({"CFBundleShortVersionString":"1.0"})");
        QCOMPARE(QuorvantisTest::await(AgentUpdateProbe::fetchBetaVersion()), std::nullopt);
        QCOMPARE(registry.requestCount(), 0);

        writeInfo(resources, R"({"QuorvantisRegistryURL":")" + registry.baseUrl().toEncoded() + R"("})");
        QCOMPARE(QuorvantisTest::await(AgentUpdateProbe::fetchBetaVersion()), std::optional<QString>("1.5.0-beta.3"));
        QCOMPARE(registry.requestCount(), 1);
    }

    void failuresYieldNoVersion_data()
    {
        QTest::addColumn<ScriptedResponse>("response");
        QTest::addColumn<int>("maxRequests");

        QTest::newRow("304") << ScriptedResponse::json(304, {}) << 1;
        QTest::newRow("404 with a document") << ScriptedResponse::json(404, betaDocument) << 1;
        QTest::newRow("500 with a document") << ScriptedResponse::json(500, betaDocument) << 1;
        QTest::newRow("203 with a document") << ScriptedResponse::json(203, betaDocument) << 1;
        QTest::newRow("no version") << ScriptedResponse::json(200, R"({"name":"quorvantis"})") << 1;
        QTest::newRow("version not text") << ScriptedResponse::json(200, R"({"version":150})") << 1;
        QTest::newRow("version null") << ScriptedResponse::json(200, R"({"version":null})") << 1;
        QTest::newRow("unacceptable version") << ScriptedResponse::json(200, R"({"version":"v1.5.0"})") << 1;
        QTest::newRow("array") << ScriptedResponse::json(200, R"([{"version":"1.5.0"}])") << 1;
        QTest::newRow("not JSON") << ScriptedResponse::text(200, "version: 1.5.0") << 1;
        QTest::newRow("empty") << ScriptedResponse::json(200, {}) << 1;
        QTest::newRow("600 KiB") << ScriptedResponse::json(200, paddedDocument(600 * 1024)) << 1;
        QTest::newRow("cut off") << ScriptedResponse::closeMidResponse(200, betaDocument, 10) << 1;
        // Qt itself re-sends an idempotent GET (up to three times) when the connection closes
        // without a status line; every attempt stays inside the same deadline.
        QTest::newRow("not HTTP") << ScriptedResponse::raw("garbage\r\n\r\n") << 4;
    }
    void failuresYieldNoVersion()
    {
        QFETCH(ScriptedResponse, response);
        QFETCH(int, maxRequests);
        LoopbackHttpServer registry;
        registry.setResponse(betaPath, response);
        QCOMPARE(probe(registry), std::nullopt);
        QVERIFY(registry.requestCount() >= 1);
        QVERIFY(registry.requestCount() <= maxRequests);
    }

    void aRedirectIsNotFollowed_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("301") << 301;
        QTest::newRow("302") << 302;
        QTest::newRow("307") << 307;
        QTest::newRow("308") << 308;
    }
    void aRedirectIsNotFollowed()
    {
        QFETCH(int, status);
        LoopbackHttpServer registry;
        LoopbackHttpServer elsewhere;
        elsewhere.setFallbackHandler([](const auto &) { return ScriptedResponse::json(200, betaDocument); });
        registry.setResponse("/moved", ScriptedResponse::json(200, betaDocument));

        registry.setResponse(betaPath, ScriptedResponse::redirect(status, elsewhere.url(betaPath)));
        QCOMPARE(probe(registry), std::nullopt);
        registry.setResponse(betaPath, ScriptedResponse::redirect(status, registry.url("/moved")));
        QCOMPARE(probe(registry), std::nullopt);

        QCOMPARE(elsewhere.requestCount(), 0);
        QCOMPARE(registry.requestsFor("/moved").size(), 0);
    }

    void theBodyLimitIsExact()
    {
        QCOMPARE(AgentUpdateProbe::version(paddedDocument(AgentUpdateProbe::maxBodyBytes)), std::optional<QString>("2.0.0"));
        QCOMPARE(AgentUpdateProbe::version(paddedDocument(AgentUpdateProbe::maxBodyBytes + 1)), std::nullopt);

        LoopbackHttpServer registry;
        registry.setResponse(betaPath, ScriptedResponse::json(200, paddedDocument(AgentUpdateProbe::maxBodyBytes)));
        QCOMPARE(probe(registry), std::optional<QString>("2.0.0"));
    }

    void anOversizedBodyIsAbandonedEarly_data()
    {
        QTest::addColumn<bool>("announced");
        QTest::newRow("length announced") << true;
        QTest::newRow("length unannounced") << false;
    }
    void anOversizedBodyIsAbandonedEarly()
    {
        QFETCH(bool, announced);
        // 16 MiB at 64 KiB every 25 ms would take over 6 s to arrive in full.
        ScriptedResponse huge = ScriptedResponse::trickle(200, paddedDocument(16 * 1024 * 1024), 25, 64 * 1024);
        huge.sendContentLength = announced;
        LoopbackHttpServer registry;
        registry.setResponse(betaPath, huge);

        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(probe(registry, 10s), std::nullopt);
        QVERIFY2(elapsed.elapsed() < 4000, qPrintable(QString::number(elapsed.elapsed())));
    }

    void aSlowRegistryIsCutByTheTimeout_data()
    {
        QTest::addColumn<ScriptedResponse>("response");
        QTest::newRow("late answer") << ScriptedResponse::json(200, betaDocument).withDelay(10000);
        QTest::newRow("never answers") << ScriptedResponse::neverAnswer();
        QTest::newRow("trickle") << ScriptedResponse::trickle(200, betaDocument, 60);
    }
    void aSlowRegistryIsCutByTheTimeout()
    {
        QFETCH(ScriptedResponse, response);
        LoopbackHttpServer registry;
        registry.setResponse(betaPath, response);
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(probe(registry, 300ms), std::nullopt);
        // Each of these would take 10 s or more to answer in full.
        QVERIFY2(elapsed.elapsed() < 4000, qPrintable(QString::number(elapsed.elapsed())));
    }

    void anUnreachableRegistryYieldsNoVersion()
    {
        LoopbackHttpServer registry;
        const QString base = registry.baseUrl().toString();
        registry.stop();
        QCOMPARE(QuorvantisTest::await(AgentUpdateProbe::fetchBetaVersion(base, 2s)), std::nullopt);
    }

    void version_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("trimmed") << betaDocument << std::optional<QString>("1.5.0-beta.3");
        QTest::newRow("other members ignored") << QByteArray(R"({"version":"1.0.0","x":[1,{"y":null}]})")
                                               << std::optional<QString>("1.0.0");
        QTest::newRow("inner space") << QByteArray(R"({"version":"1.0 .0"})") << std::optional<QString>();
        QTest::newRow("four numbers") << QByteArray(R"({"version":"1.0.0.1"})") << std::optional<QString>();
        QTest::newRow("object version") << QByteArray(R"({"version":{"v":"1.0.0"}})") << std::optional<QString>();
        QTest::newRow("trailing garbage") << QByteArray(R"({"version":"1.0.0"} x)") << std::optional<QString>();
    }
    void version()
    {
        QFETCH(QByteArray, body);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(AgentUpdateProbe::version(body), expected);
    }
};

QTEST_GUILESS_MAIN(AgentUpdateProbeTest)
#include "AgentUpdateProbeTest.moc"
