#include "core/DateTime.h"

#include <QTest>

using DateTime::FractionalSeconds;

class DateTimeTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parseRFC3339_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected"); // invalid: rejected; texts with a "." only where fractions are accepted

        const QDateTime none;
        const auto utc = [](int h, int m, int s, int ms = 0) { return QDateTime(QDate(2026, 1, 2), QTime(h, m, s, ms), Qt::UTC); };
        QTest::newRow("fraction Z") << "2026-01-02T03:04:05.678Z" << utc(3, 4, 5, 678);
        QTest::newRow("whole seconds Z") << "2026-01-02T03:04:05Z" << utc(3, 4, 5);
        QTest::newRow("positive offset") << "2026-01-02T03:04:05+08:00" << QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::OffsetFromUTC, 8 * 3600);
        QTest::newRow("largest offset") << "2026-01-02T03:04:05-23:59" << QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::OffsetFromUTC, -(23 * 3600 + 59 * 60));
        QTest::newRow("one fraction digit") << "2026-01-02T03:04:05.1Z" << utc(3, 4, 5, 100);
        QTest::newRow("nanoseconds truncate") << "2026-01-02T03:04:05.123456789Z" << utc(3, 4, 5, 123);
        QTest::newRow("lower-case t and z") << "2026-01-02t03:04:05z" << utc(3, 4, 5);
        QTest::newRow("leap day") << "2024-02-29T00:00:00Z" << QDateTime(QDate(2024, 2, 29), QTime(0, 0), Qt::UTC);

        QTest::newRow("no zone") << "2026-01-02T03:04:05" << none;
        QTest::newRow("space for T") << "2026-01-02 03:04:05Z" << none;
        QTest::newRow("no seconds") << "2026-01-02T03:04Z" << none;
        QTest::newRow("short month") << "2026-1-02T03:04:05Z" << none;
        QTest::newRow("offset without colon") << "2026-01-02T03:04:05+0800" << none;
        QTest::newRow("empty fraction") << "2026-01-02T03:04:05.Z" << none;
        QTest::newRow("February 30") << "2026-02-30T00:00:00Z" << none;
        QTest::newRow("hour 24") << "2026-01-02T24:00:00Z" << none;
        QTest::newRow("minute 60") << "2026-01-02T03:60:00Z" << none;
        QTest::newRow("leap second") << "2016-12-31T23:59:60Z" << none;
        QTest::newRow("offset hours 24") << "2026-01-02T03:04:05+24:00" << none;
        QTest::newRow("offset minutes 60") << "2026-01-02T03:04:05+08:60" << none;
        QTest::newRow("leading blank") << " 2026-01-02T03:04:05Z" << none;
        QTest::newRow("trailing newline") << "2026-01-02T03:04:05Z\n" << none;
        QTest::newRow("trailing newline after offset") << "2026-01-02T03:04:05+08:00\n" << none;
        QTest::newRow("non-ASCII digits") << QString::fromUtf8("٢٠٢٦-01-02T03:04:05Z") << none;
        QTest::newRow("empty") << "" << none;
    }
    // The instant, with the offset as written.
    void parseRFC3339()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        for (const FractionalSeconds fraction : {FractionalSeconds::accepted, FractionalSeconds::rejected}) {
            const bool accepted = expected.isValid() && (fraction == FractionalSeconds::accepted || !text.contains(u'.'));
            const std::optional<QDateTime> parsed = DateTime::parseRFC3339(text, fraction);
            QCOMPARE(parsed.has_value(), accepted);
            if (accepted)
                QCOMPARE(parsed->toString(Qt::ISODateWithMs), expected.toString(Qt::ISODateWithMs));
        }
    }
};

QTEST_GUILESS_MAIN(DateTimeTests)
#include "DateTimeTests.moc"
