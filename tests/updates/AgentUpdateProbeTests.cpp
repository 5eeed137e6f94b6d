// The registry probe against a real loopback server, and the order of agent versions.
#include "BuildConfiguration.h"
#include "platform/Bundle.h"
#include "support/StatusFixture.h"
#include "updates/AgentUpdateProbe.h"
#include "updates/AgentVersion.h"

#include <QElapsedTimer>
#include <QTest>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(QuorvantisTest::ScriptedResponse)

namespace {

const QString beta = QStringLiteral("/quorvantis/beta");
const QByteArray betaDocument = "{\"name\":\"quorvantis\",\"version\":\" 1.5.0-beta.3\\n\",\"dist\":{\"shasum\":\"x\"}}";

// A registry document of exactly `size` bytes, so that only the size can refuse it.
QByteArray padded(qsizetype size)
{
    const QByteArray head = "{\"version\":\"2.0.0\",\"padding\":\"";
    return head + QByteArray(size - head.size() - 2, 'x') + "\"}";
}

} // namespace

class AgentUpdateProbeTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void probe_data()
    {
        QTest::addColumn<ScriptedResponse>("answer"); // ELSEWHERE, HERE: the other / this server in a Location
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("version"); // empty: none
        const auto json = [](int status, QByteArray body) { return ScriptedResponse::json(status, std::move(body)); };
        QTest::newRow("the beta document, trimmed") << json(200, betaDocument) << 5000 << "1.5.0-beta.3";
        QTest::newRow("other members ignored") << json(200, "{\"version\":\"1.0.0\",\"x\":[1,{\"y\":null}]}") << 5000 << "1.0.0";
        QTest::newRow("inner space") << json(200, "{\"version\":\"1.0 .0\"}") << 5000 << "";
        QTest::newRow("four numbers") << json(200, "{\"version\":\"1.0.0.1\"}") << 5000 << "";
        QTest::newRow("object version") << json(200, "{\"version\":{\"v\":\"1.0.0\"}}") << 5000 << "";
        QTest::newRow("trailing garbage") << json(200, "{\"version\":\"1.0.0\"} x") << 5000 << "";
        QTest::newRow("exactly at the size limit") << json(200, padded(AgentUpdateProbe::maxBodyBytes)) << 5000 << "2.0.0";
        QTest::newRow("one byte over the limit") << json(200, padded(AgentUpdateProbe::maxBodyBytes + 1)) << 5000 << "";
        for (const int status : {304, 404, 500, 203})
            QTest::addRow("%d with a document", status) << json(status, betaDocument) << 5000 << "";
        QTest::newRow("no version") << json(200, "{\"name\":\"quorvantis\"}") << 5000 << "";
        QTest::newRow("version not text") << json(200, "{\"version\":150}") << 5000 << "";
        QTest::newRow("version null") << json(200, "{\"version\":null}") << 5000 << "";
        QTest::newRow("unacceptable version") << json(200, "{\"version\":\"v1.5.0\"}") << 5000 << "";
        QTest::newRow("array") << json(200, "[{\"version\":\"1.5.0\"}]") << 5000 << "";
        QTest::newRow("not JSON") << ScriptedResponse::text(200, "version: 1.5.0") << 5000 << "";
        QTest::newRow("empty") << json(200, {}) << 5000 << "";
        QTest::newRow("600 KiB") << json(200, padded(600 * 1024)) << 5000 << "";
        QTest::newRow("cut off") << ScriptedResponse::closeMidResponse(200, betaDocument, 10) << 5000 << "";
        QTest::newRow("not HTTP") << ScriptedResponse::raw("garbage\r\n\r\n") << 5000 << "";
        for (const int status : {301, 302, 307, 308}) {
            QTest::addRow("%d elsewhere", status) << json(status, {}).withHeader("Location", "http://ELSEWHERE/quorvantis/beta") << 5000 << "";
            QTest::addRow("%d here", status) << json(status, {}).withHeader("Location", "http://HERE/moved") << 5000 << "";
        }
        // 16 MiB at 64 KiB every 25 ms would take over 6 s in full; each slow answer 10 s or more.
        ScriptedResponse huge = ScriptedResponse::trickle(200, padded(16 << 20), 25, 64 << 10), hugeUnannounced = huge;
        hugeUnannounced.sendContentLength = false;
        QTest::newRow("oversized, length announced") << huge << 10000 << "";
        QTest::newRow("oversized, length unannounced") << hugeUnannounced << 10000 << "";
        QTest::newRow("late answer") << json(200, betaDocument).withDelay(10000) << 300 << "";
        QTest::newRow("never answers") << ScriptedResponse::neverAnswer() << 300 << "";
        QTest::newRow("trickle") << ScriptedResponse::trickle(200, betaDocument, 60) << 300 << "";
    }
    void probe()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(int, timeoutMs);
        LoopbackHttpServer registry, elsewhere;
        for (auto &[name, value] : answer.headers)
            value.replace("ELSEWHERE", elsewhere.baseUrl().authority().toUtf8()).replace("HERE", registry.baseUrl().authority().toUtf8());
        registry.setResponse(beta, answer);
        registry.setResponse(QStringLiteral("/moved"), ScriptedResponse::json(200, betaDocument));
        elsewhere.setResponse(beta, ScriptedResponse::json(200, betaDocument));
        QElapsedTimer elapsed;
        elapsed.start();
        QTEST(await(AgentUpdateProbe::fetchBetaVersion(registry.baseUrl().toString(), std::chrono::milliseconds(timeoutMs))).value_or(QString()), "version");
        if (answer.status == 200 && answer.mode == ScriptedResponse::Mode::Normal && answer.delayMs == 0) // the document on its own
            QTEST(AgentUpdateProbe::version(answer.body).value_or(QString()), "version");
        QVERIFY2(elapsed.elapsed() < 4000, qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(elsewhere.requestCount() + registry.requestsFor(QStringLiteral("/moved")).size(), 0);
        // Qt itself sends a GET again (three times at most) when no status line came back.
        QVERIFY(registry.requestCount() >= 1 && registry.requestCount() <= (answer.mode == ScriptedResponse::Mode::Raw ? 4 : 1));
        const RecordedRequest request = registry.requests().constFirst();
        QCOMPARE(request.method + ' ' + request.path.toUtf8() + ' ' + request.header("Accept").value_or("-"), QByteArray("GET /quorvantis/beta application/json"));
        QVERIFY(!request.hasHeader("Authorization") && !request.hasHeader("Cookie") && request.body.isEmpty());
    }

    void registryOfTheBundle()
    {
        Served served;
        served.server.setResponse(QStringLiteral("/mirror") + beta, ScriptedResponse::json(200, betaDocument));
        // The base's path is followed.
        const QString mirror = served.server.url(QStringLiteral("/mirror/")).toString();
        QCOMPARE(await(AgentUpdateProbe::fetchBetaVersion(mirror)), std::optional<QString>("1.5.0-beta.3"));
        if (QStringLiteral(QUORVANTIS_BUILD_REGISTRY_URL).isEmpty()) {
            // Without a registry in the bundle (or the build) there is no version and no request.
            Bundle::setResourceDirectory(served.profile.path());
            served.write(QStringLiteral("Info.json"), "{\"CFBundleShortVersionString\":\"1.0\"}");
            QCOMPARE(await(AgentUpdateProbe::fetchBetaVersion()), std::nullopt);
            served.write(QStringLiteral("Info.json"), "{\"QuorvantisRegistryURL\":\"" + mirror.toUtf8() + "\"}");
            QCOMPARE(await(AgentUpdateProbe::fetchBetaVersion()), std::optional<QString>("1.5.0-beta.3"));
            Bundle::setResourceDirectory({});
            QCOMPARE(served.server.requestCount(), 2);
        }
        served.server.stop(); // an unreachable registry
        QCOMPARE(await(AgentUpdateProbe::fetchBetaVersion(mirror, 2s)), std::nullopt);
    }

    void endpoint_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("endpoint"); // empty: no request at all
        QTest::newRow("host only") << "https://registry.example" << "https://registry.example/quorvantis/beta";
        QTest::newRow("trailing slash") << "https://registry.example/" << "https://registry.example/quorvantis/beta";
        QTest::newRow("path prefix") << "http://127.0.0.1:4873/mirror/" << "http://127.0.0.1:4873/mirror/quorvantis/beta";
        QTest::newRow("blanks around") << "  https://registry.example \n" << "https://registry.example/quorvantis/beta";
        for (const char *refused : {"", "  ", "ftp://registry.example", "registry", "http://", "https://registry.example/?a=1"})
            QTest::addRow("refused: %s", refused) << refused << "";
    }
    void endpoint()
    {
        QFETCH(QString, base);
        QTEST(AgentUpdateProbe::endpoint(base).toString(), "endpoint");
    }

    void isNewer_data()
    {
        QTest::addColumn<QStringList>("pairs"); // "candidate > current"
        QTest::addColumn<bool>("newer");
        QTest::newRow("numbers, major before minor before patch") << QStringList{"1.2.4>1.2.3", "1.10.0>1.9.9", "1.3.0>1.2.99", "2.0.0>1.99.99", "2>1.9.9", "1.02.0>1.1.0",
                                                                             "9223372036854775807.0.0>9223372036854775806.0.0"} << true;
        QTest::newRow("a release against pre-releases") << QStringList{"1.2.3>1.2.3-beta.5", "1.2.4-alpha>1.2.3", "1.0.1-alpha>1.0.0-zzz"} << true;
        QTest::newRow("pre-release identifiers") << QStringList{"1.0.0-beta.10>1.0.0-beta.9", "1.0.0-beta>1.0.0-alpha", "1.0.0-beta.1>1.0.0-beta", "1.0.0-alpha>1.0.0-1",
                                                                "1.0.0-beta>1.0.0-Beta", "1.0.0-rc.-1>1.0.0-rc.-2", "1.0.0-x-y.2>1.0.0-x-y.1", "1.2.3-beta.2+sha.1>1.2.3-beta.1+sha.9",
                                                                "1.0.0-1.b>1.0.0-01.a"} << true;
        QTest::newRow("not newer") << QStringList{"1.2.3>1.2.3", "1.2>1.2.0", "1.2.0>1.2", "1.0.0-rc.1>1.0.0-rc.1", "1.0.0-rc10>1.0.0-rc9", "1.2.3+build.7>1.2.3",
                                                  "1.2.3>1.2.3+build.7", "v1.2.4>1.2.3", "1.2.4>v1.2.3", "1.0.0-+1.a>1.0.0-01.a"} << false;
    }
    void isNewer()
    {
        QFETCH(QStringList, pairs);
        QFETCH(bool, newer);
        for (const QString &pair : pairs) {
            const QString candidate = pair.section(u'>', 0, 0), current = pair.section(u'>', 1);
            QVERIFY2(AgentVersion::isNewer(candidate, current) == newer, qPrintable(pair));
            QVERIFY2(!AgentVersion::isNewer(current, candidate) || !newer, qPrintable(pair)); // a strict order
        }
    }

    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parsed"); // numbers, then pre-release identifiers; empty: refused
        QTest::newRow("three numbers") << "1.2.3" << "1 2 3";
        QTest::newRow("two numbers filled") << "2.1" << "2 1 0";
        QTest::newRow("one number filled") << "2" << "2 0 0";
        QTest::newRow("pre-release identifiers stay text") << "1.0.0-beta.07.x-y" << "1 0 0 beta 07 x-y";
        QTest::newRow("build metadata dropped unchecked") << "1.0.0+!!..__" << "1 0 0";
        QTest::newRow("empty build metadata") << "1.0.0+" << "1 0 0";
        QTest::newRow("hyphen inside build metadata") << "1.0.0+a-b" << "1 0 0";
        for (const char *refused : {"v1.2.3", "1.2.3.4", "1.2.3-", "1.2.3-beta..1", "1.2.3-beta.", "1..3", "1.2.", "", "-beta", "+build", "1.2a.3",
                                    "1.2 .3", "1.٢.3", "1.99999999999999999999.0", "9223372036854775808.0.0"})
            QTest::addRow("refused: %s", refused) << QString::fromUtf8(refused) << "";
    }
    void parse()
    {
        QFETCH(QString, text);
        const auto parsed = AgentVersion::parse(text);
        QStringList words;
        for (const qint64 number : parsed ? parsed->numbers : std::array<qint64, 3>{})
            words << QString::number(number);
        QTEST(parsed ? (words + parsed->prerelease.value_or(QStringList())).join(u' ') : QString(), "parsed");
    }

    void sanitized_data()
    {
        QTest::addColumn<QString>("input"); // null: absent
        QTest::addColumn<QString>("sanitized"); // empty: refused
        QTest::newRow("absent") << QString() << "";
        QTest::newRow("plain") << "1.2.3" << "1.2.3";
        QTest::newRow("trimmed") << "  1.2.3-beta.1\n" << "1.2.3-beta.1";
        QTest::newRow("tabs and carriage return") << "\t1.2.3\r\n" << "1.2.3";
        QTest::newRow("not normalised") << "1.2" << "1.2";
        QTest::newRow("build metadata kept") << "1.2.3+build.7" << "1.2.3+build.7";
        QTest::newRow("letters in identifiers") << "1.0.0-测试" << "1.0.0-测试";
        QTest::newRow("64 bytes") << "1.0.0-" + QString(58, u'a') << "1.0.0-" + QString(58, u'a');
        QTest::newRow("65 bytes") << "1.0.0-" + QString(59, u'a') << "";
        QTest::newRow("65 bytes counted in UTF-8") << "1.0.0-" + QString(20, QChar(0x6D4B)) << "";
        for (const char *refused : {"", " \n ", "1.2.3 beta", "1.2.3-beta_1", "1.2.3.4", "1.2.3/4", "1.2.3\n-beta", "1.2.3+b!"})
            QTest::addRow("refused: %s", refused) << refused << "";
    }
    void sanitized()
    {
        QFETCH(QString, input);
        QTEST(AgentVersion::sanitized(input.isNull() ? std::nullopt : std::optional(input)).value_or(QString()), "sanitized");
    }
};

QTEST_GUILESS_MAIN(AgentUpdateProbeTests)
#include "AgentUpdateProbeTests.moc"
