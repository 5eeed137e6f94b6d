#include "status/AgentRuntimeStatus.h"

#include <QTest>

#include <nlohmann/json.hpp>

using Json = nlohmann::json;

namespace {

Json sampleDocument()
{
    return Json{
        {"sampledAt", "2026-01-02T03:04:05.678Z"},
        {"lifecycle", "running"},
        {"ready", true},
        {"version", "1.4.0-beta.2"},
        {"busy", false},
        {"compacting", true},
        {"queueSize", 3},
        {"pid", 4242},
        {"codingSession", {{"status", "in_progress"}, {"taskSummary", "重构日志模块"}}},
    };
}

QByteArray bytes(const Json &document)
{
    return QByteArray::fromStdString(document.dump());
}

QString decodingFailure(const QByteArray &body)
{
    try {
        AgentRuntimeStatus::decode(body);
    } catch (const AgentRuntimeStatusDecodingError &error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}

} // namespace

class AgentRuntimeStatusTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodesEveryField()
    {
        const AgentRuntimeStatus status = AgentRuntimeStatus::decode(bytes(sampleDocument()));
        QCOMPARE(status.sampledAt, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 678), Qt::UTC));
        QCOMPARE(status.lifecycle, QStringLiteral("running"));
        QVERIFY(status.ready);
        QCOMPARE(status.version, QStringLiteral("1.4.0-beta.2"));
        QVERIFY(!status.busy);
        QCOMPARE(status.compacting, std::optional<bool>(true));
        QCOMPARE(status.queueSize, 3);
        QCOMPARE(status.pid, 4242);
        QVERIFY(status.codingSession.has_value());
        QCOMPARE(status.codingSession->status, QStringLiteral("in_progress"));
        QCOMPARE(status.codingSession->taskSummary, QStringLiteral("重构日志模块"));
    }

    void ignoresUnknownKeysAndKeepsFullIntegers()
    {
        Json document = sampleDocument();
        document["somethingNew"] = Json{{"nested", Json::array({1, 2})}};
        document["queueSize"] = std::numeric_limits<qint64>::max();
        document["pid"] = 0;
        const AgentRuntimeStatus status = AgentRuntimeStatus::decode(bytes(document));
        QCOMPARE(status.queueSize, std::numeric_limits<qint64>::max());
        QCOMPARE(status.pid, 0);
    }

    void optionalFieldsAbsentOrNull_data()
    {
        QTest::addColumn<bool>("asNull");
        QTest::newRow("absent") << false;
        QTest::newRow("null") << true;
    }
    void optionalFieldsAbsentOrNull()
    {
        QFETCH(bool, asNull);
        Json document = sampleDocument();
        if (asNull) {
            document["compacting"] = nullptr;
            document["codingSession"] = nullptr;
        } else {
            document.erase("compacting");
            document.erase("codingSession");
        }
        const AgentRuntimeStatus status = AgentRuntimeStatus::decode(bytes(document));
        QVERIFY(!status.compacting.has_value());
        QVERIFY(!status.codingSession.has_value());
        QCOMPARE(status.pid, 4242);
    }

    // The date rules are DateTimeTests'; here only that the decoder uses them, fractions included.
    void dates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected"); // invalid: the text must be rejected
        QTest::newRow("fraction") << "2026-01-02T11:04:05.678+08:00" << QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 678), Qt::UTC);
        QTest::newRow("no zone") << "2026-01-02T03:04:05" << QDateTime();
        QTest::newRow("trailing newline") << "2026-01-02T03:04:05Z\n" << QDateTime();
    }
    void dates()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);

        const std::optional<QDateTime> parsed = parseInternetDateTime(text);
        Json document = sampleDocument();
        document["sampledAt"] = text.toStdString();
        QCOMPARE(parsed.has_value(), expected.isValid());
        if (expected.isValid()) {
            QCOMPARE(parsed->toUTC(), expected);
            QCOMPARE(AgentRuntimeStatus::decode(bytes(document)).sampledAt.toUTC(), expected);
        } else {
            QCOMPARE(decodingFailure(bytes(document)), QStringLiteral("Invalid ISO-8601 date"));
        }
    }

    void invalidDocuments_data()
    {
        QTest::addColumn<QByteArray>("body");

        const auto without = [](const char *key) {
            Json document = sampleDocument();
            document.erase(key);
            return bytes(document);
        };
        const auto with = [](const char *key, Json value) {
            Json document = sampleDocument();
            document[key] = std::move(value);
            return bytes(document);
        };

        for (const char *key : {"sampledAt", "lifecycle", "ready", "version", "busy", "queueSize", "pid"}) {
            QTest::addRow("without %s", key) << without(key);
            QTest::addRow("%s null", key) << with(key, nullptr);
        }
        QTest::newRow("ready as text") << with("ready", "true");
        QTest::newRow("busy as number") << with("busy", 0);
        QTest::newRow("version as number") << with("version", 1.2);
        QTest::newRow("lifecycle as object") << with("lifecycle", Json::object());
        QTest::newRow("queueSize fractional") << with("queueSize", 1.5);
        QTest::newRow("queueSize whole float") << with("queueSize", 2.0);
        QTest::newRow("queueSize as text") << with("queueSize", "3");
        QTest::newRow("pid beyond 64-bit signed") << with("pid", std::numeric_limits<quint64>::max());
        QTest::newRow("sampledAt as number") << with("sampledAt", 1767322800);
        QTest::newRow("compacting as text") << with("compacting", "yes");
        QTest::newRow("codingSession as text") << with("codingSession", "in_progress");
        QTest::newRow("codingSession without taskSummary") << with("codingSession", Json{{"status", "in_progress"}});
        QTest::newRow("codingSession without status") << with("codingSession", Json{{"taskSummary", "x"}});
        QTest::newRow("codingSession status null")
            << with("codingSession", Json{{"status", nullptr}, {"taskSummary", "x"}});
        QTest::newRow("keys in another case") << QByteArray(R"({"SampledAt":"2026-01-02T03:04:05Z","lifecycle":"x",)"
                                                            R"("ready":true,"version":"1","busy":false,"queueSize":0,"pid":1})");
        QTest::newRow("array") << QByteArray("[]");
        QTest::newRow("empty body") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("<html>502 Bad Gateway</html>");
        QTest::newRow("truncated") << bytes(sampleDocument()).chopped(5);
        QTest::newRow("invalid UTF-8 in a string") << bytes(sampleDocument()).replace("running", "\xff\xfe");
    }
    void invalidDocuments()
    {
        QFETCH(QByteArray, body);
        QVERIFY_THROWS_EXCEPTION(AgentRuntimeStatusDecodingError, AgentRuntimeStatus::decode(body));
    }

    void equalityIsOverEveryField()
    {
        const AgentRuntimeStatus a = AgentRuntimeStatus::decode(bytes(sampleDocument()));
        Json sameInstant = sampleDocument();
        sameInstant["sampledAt"] = "2026-01-02T11:04:05.678+08:00";
        QCOMPARE(AgentRuntimeStatus::decode(bytes(sameInstant)), a);

        AgentRuntimeStatus b = a;
        b.codingSession->taskSummary = QStringLiteral("另一个任务");
        QVERIFY(!(a == b));
        b = a;
        b.compacting.reset();
        QVERIFY(!(a == b));
        b = a;
        b.queueSize += 1;
        QVERIFY(!(a == b));
    }
};

QTEST_GUILESS_MAIN(AgentRuntimeStatusTest)
#include "AgentRuntimeStatusTest.moc"
