#include "core/DateTime.h"
#include "support/Test.h"

class DateTimeTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What a text parses to, with milliseconds and the offset as written; null: rejected. A text
    // with a "." is accepted only where fractions are.
    void parseRFC3339_data()
    {
        QuorvantisTest::columns<QString, QString>({"text", "parsed"});
        QTest::newRow("whole seconds Z") << "2026-01-02T03:04:05Z" << "2026-01-02T03:04:05.000Z";
        QTest::newRow("positive offset") << "2026-01-02T03:04:05+08:00" << "2026-01-02T03:04:05.000+08:00";
        QTest::newRow("largest offset") << "2026-01-02T03:04:05-23:59" << "2026-01-02T03:04:05.000-23:59";
        QTest::newRow("one fraction digit") << "2026-01-02T03:04:05.1Z" << "2026-01-02T03:04:05.100Z";
        QTest::newRow("nanoseconds truncate") << "2026-01-02T03:04:05.123456789Z" << "2026-01-02T03:04:05.123Z";
        QTest::newRow("lower-case t and z") << "2026-01-02t03:04:05z" << "2026-01-02T03:04:05.000Z";
        QTest::newRow("leap day") << "2024-02-29T00:00:00Z" << "2024-02-29T00:00:00.000Z";

        const QString none;
        QTest::newRow("no zone") << "2026-01-02T03:04:05" << none;
        QTest::newRow("space for T") << "2026-01-02 03:04:05Z" << none;
        QTest::newRow("offset without colon") << "2026-01-02T03:04:05+0800" << none;
        QTest::newRow("empty fraction") << "2026-01-02T03:04:05.Z" << none;
        QTest::newRow("no seconds") << "2026-01-02T03:04Z" << none;
        QTest::newRow("hour 24") << "2026-01-02T24:00:00Z" << none;
        QTest::newRow("empty") << "" << none;
        QTest::newRow("February 30") << "2026-02-30T00:00:00Z" << none;
        QTest::newRow("leap second") << "2016-12-31T23:59:60Z" << none;
        QTest::newRow("offset hours 24") << "2026-01-02T03:04:05+24:00" << none;
        QTest::newRow("trailing newline") << "2026-01-02T03:04:05Z\n" << none;
        QTest::newRow("non-ASCII digits") << QString::fromUtf8("٢٠٢٦-01-02T03:04:05Z") << none;
    }
    void parseRFC3339()
    {
        QFETCH(QString, text);
        QFETCH(QString, parsed);
        for (const auto fraction : {DateTime::FractionalSeconds::accepted, DateTime::FractionalSeconds::rejected}) {
            const std::optional<QDateTime> result = DateTime::parseRFC3339(text, fraction);
            const bool refused = fraction == DateTime::FractionalSeconds::rejected && text.contains(u'.');
            QCOMPARE(result ? result->toString(Qt::ISODateWithMs) : QString(), refused ? QString() : parsed);
        }
    }
};

QTEST_GUILESS_MAIN(DateTimeTests)
#include "DateTimeTests.moc"
