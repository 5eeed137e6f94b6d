#include "updates/AgentVersion.h"

#include <QTest>

using AgentVersion::Parsed;

Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<Parsed>)

class AgentVersionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void isNewer_data()
    {
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("newer");

        // Numbers, compared as numbers, major before minor before patch.
        QTest::newRow("patch up") << "1.2.4" << "1.2.3" << true;
        QTest::newRow("same") << "1.2.3" << "1.2.3" << false;
        QTest::newRow("numbers not text") << "1.10.0" << "1.9.9" << true;
        QTest::newRow("minor beats patch") << "1.3.0" << "1.2.99" << true;
        QTest::newRow("major beats minor") << "2.0.0" << "1.99.99" << true;
        QTest::newRow("missing patch is zero") << "1.2" << "1.2.0" << false;
        QTest::newRow("missing patch is zero, reverse") << "1.2.0" << "1.2" << false;
        QTest::newRow("major only") << "2" << "1.9.9" << true;
        QTest::newRow("leading zeros are numbers") << "1.02.0" << "1.1.0" << true;
        QTest::newRow("64-bit numbers") << "9223372036854775807.0.0" << "9223372036854775806.0.0" << true;

        // A release against pre-releases of the same numbers.
        QTest::newRow("release beats its pre-release") << "1.2.3" << "1.2.3-beta.5" << true;
        QTest::newRow("pre-release of a higher patch") << "1.2.4-alpha" << "1.2.3" << true;

        // Pre-release identifiers.
        QTest::newRow("numeric identifiers as numbers") << "1.0.0-beta.10" << "1.0.0-beta.9" << true;
        QTest::newRow("beta after alpha") << "1.0.0-beta" << "1.0.0-alpha" << true;
        QTest::newRow("longer list wins") << "1.0.0-beta.1" << "1.0.0-beta" << true;
        QTest::newRow("text above numeric") << "1.0.0-alpha" << "1.0.0-1" << true;
        QTest::newRow("identical pre-releases") << "1.0.0-rc.1" << "1.0.0-rc.1" << false;
        QTest::newRow("text by code units, case-sensitive") << "1.0.0-beta" << "1.0.0-Beta" << true;
        QTest::newRow("text not numbers inside identifiers") << "1.0.0-rc10" << "1.0.0-rc9" << false;
        QTest::newRow("signed numeric identifier") << "1.0.0-rc.-1" << "1.0.0-rc.-2" << true;
        QTest::newRow("hyphens inside the pre-release") << "1.0.0-x-y.2" << "1.0.0-x-y.1" << true;
        QTest::newRow("numbers before pre-release") << "1.0.1-alpha" << "1.0.0-zzz" << true;
        QTest::newRow("level numeric identifiers go on") << "1.0.0-1.b" << "1.0.0-01.a" << true;
        QTest::newRow("level numeric identifiers, same rest") << "1.0.0-+1.a" << "1.0.0-01.a" << false;

        // Build metadata is ignored.
        QTest::newRow("build metadata ignored") << "1.2.3+build.7" << "1.2.3" << false;
        QTest::newRow("build metadata ignored, reverse") << "1.2.3" << "1.2.3+build.7" << false;
        QTest::newRow("build metadata after pre-release") << "1.2.3-beta.2+sha.1" << "1.2.3-beta.1+sha.9" << true;

        // Anything that does not parse is never newer, and nothing is newer than it (what
        // parses is the parse table's business).
        QTest::newRow("leading v candidate") << "v1.2.4" << "1.2.3" << false;
        QTest::newRow("leading v current") << "1.2.4" << "v1.2.3" << false;
    }
    void isNewer()
    {
        QFETCH(QString, candidate);
        QFETCH(QString, current);
        QFETCH(bool, newer);
        QCOMPARE(AgentVersion::isNewer(candidate, current), newer);
        if (newer) // the order is strict: never both ways
            QVERIFY(!AgentVersion::isNewer(current, candidate));
    }

    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<Parsed>>("expected");

        const auto parsed = [](qint64 a, qint64 b, qint64 c, std::optional<QStringList> pre = std::nullopt) {
            return std::optional<Parsed>(Parsed{{a, b, c}, std::move(pre)});
        };
        const std::optional<Parsed> rejected;

        QTest::newRow("three numbers") << "1.2.3" << parsed(1, 2, 3);
        QTest::newRow("two numbers filled") << "2.1" << parsed(2, 1, 0);
        QTest::newRow("one number filled") << "2" << parsed(2, 0, 0);
        QTest::newRow("pre-release identifiers stay text")
            << "1.0.0-beta.07.x-y" << parsed(1, 0, 0, QStringList{"beta", "07", "x-y"});
        QTest::newRow("build metadata dropped unchecked") << "1.0.0+!!..__" << parsed(1, 0, 0);
        QTest::newRow("empty build metadata") << "1.0.0+" << parsed(1, 0, 0);
        QTest::newRow("hyphen inside build metadata") << "1.0.0+a-b" << parsed(1, 0, 0);

        QTest::newRow("leading v") << "v1.2.3" << rejected;
        QTest::newRow("four numbers") << "1.2.3.4" << rejected;
        QTest::newRow("bare hyphen") << "1.2.3-" << rejected;
        QTest::newRow("empty identifier") << "1.2.3-beta..1" << rejected;
        QTest::newRow("trailing dot in pre-release") << "1.2.3-beta." << rejected;
        QTest::newRow("empty piece") << "1..3" << rejected;
        QTest::newRow("trailing dot") << "1.2." << rejected;
        QTest::newRow("empty") << "" << rejected;
        QTest::newRow("only pre-release") << "-beta" << rejected;
        QTest::newRow("only build") << "+build" << rejected;
        QTest::newRow("letters in a number") << "1.2a.3" << rejected;
        QTest::newRow("blank inside") << "1.2 .3" << rejected;
        QTest::newRow("non-ASCII digit") << QString::fromUtf8("1.٢.3") << rejected;
        QTest::newRow("beyond 64 bits") << "1.99999999999999999999.0" << rejected;
        QTest::newRow("just beyond 64 bits") << "9223372036854775808.0.0" << rejected;
    }
    void parse()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<Parsed>, expected);
        const std::optional<Parsed> actual = AgentVersion::parse(text);
        QCOMPARE(actual.has_value(), expected.has_value());
        if (expected) {
            QCOMPARE(actual->numbers, expected->numbers);
            QCOMPARE(actual->prerelease, expected->prerelease);
        }
    }

    void sanitized_data()
    {
        QTest::addColumn<std::optional<QString>>("input");
        QTest::addColumn<std::optional<QString>>("expected");

        const auto some = [](const QString &text) { return std::optional<QString>(text); };
        const std::optional<QString> none;

        QTest::newRow("absent") << none << none;
        QTest::newRow("plain") << some("1.2.3") << some("1.2.3");
        QTest::newRow("trimmed") << some("  1.2.3-beta.1\n") << some("1.2.3-beta.1");
        QTest::newRow("tabs and carriage return") << some("\t1.2.3\r\n") << some("1.2.3");
        QTest::newRow("not normalised") << some("1.2") << some("1.2");
        QTest::newRow("build metadata kept") << some("1.2.3+build.7") << some("1.2.3+build.7");
        QTest::newRow("letters in identifiers") << some(QString::fromUtf8("1.0.0-测试")) << some(QString::fromUtf8("1.0.0-测试"));
        QTest::newRow("64 bytes") << some("1.0.0-" + QString(58, u'a')) << some("1.0.0-" + QString(58, u'a'));

        QTest::newRow("empty") << some("") << none;
        QTest::newRow("only blanks") << some(" \n ") << none;
        QTest::newRow("65 bytes") << some("1.0.0-" + QString(59, u'a')) << none;
        QTest::newRow("65 bytes counted in UTF-8") << some("1.0.0-" + QString(20, QChar(0x6D4B)) /* 3 bytes each */ ) << none;
        QTest::newRow("inner space") << some("1.2.3 beta") << none;
        QTest::newRow("underscore") << some("1.2.3-beta_1") << none;
        QTest::newRow("allowed characters, not a version") << some("1.2.3.4") << none;
        QTest::newRow("slash") << some("1.2.3/4") << none;
        QTest::newRow("inner newline") << some("1.2.3\n-beta") << none;
        QTest::newRow("symbol in build metadata") << some("1.2.3+b!") << none;
    }
    void sanitized()
    {
        QFETCH(std::optional<QString>, input);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(AgentVersion::sanitized(input), expected);
    }
};

QTEST_GUILESS_MAIN(AgentVersionTest)
#include "AgentVersionTest.moc"
