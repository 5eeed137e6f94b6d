// The bundled enrolment key: the stamp's layout, where it is looked for, and the packaging tool.
#include "platform/Bundle.h"
#include "setup/BundleStamp.h"
#include "support/Test.h"

#include <QTemporaryDir>

using namespace QuorvantisTest;

class StampTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void revealsOnlyWellFormedStamps_data()
    {
        // expected — null: no key
        columns<QByteArray, QString>({"data", "expected"});
        const QString key32(32, u'k');
        const QString wide(11, QChar(0x94a5)); // 33 bytes in 11 characters
        QByteArray wrongMagic = BundleStamp::conceal(key32);
        wrongMagic[3] = char(wrongMagic[3] ^ 0x80);
        QTest::newRow("exactly 32 key bytes") << BundleStamp::conceal(key32) << key32;
        QTest::newRow("whitespace is trimmed")
            << BundleStamp::conceal(QStringLiteral("\n  ") + key32 + QStringLiteral(" \r\n\t")) << key32;
        QTest::newRow("under 32 bytes after trimming")
            << BundleStamp::conceal(QString(10, u' ') + QString(31, u'k') + QString(5, u' ')) << QString();
        QTest::newRow("multi-byte text counts bytes") << BundleStamp::conceal(wide) << wide;
        QTest::newRow("a different magic") << wrongMagic << QString();
        QTest::newRow("not UTF-8")
            << BundleStamp::conceal(QString(40, u'k')).replace(10, 1, QByteArray(1, char(0xff ^ 6 ^ 0xe2)))
            << QString();
    }
    void revealsOnlyWellFormedStamps()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        QCOMPARE(BundleStamp::reveal(data), expected.isNull() ? std::nullopt : std::optional(expected));
    }

    // Missing, directory and unusable candidates are skipped.
    void firstRevealedKeyWins()
    {
        QTemporaryDir root;
        const auto path = [&root](const char *name) {
            return root.filePath(QString::fromLatin1(name) + QStringLiteral("/stamp"));
        };
        QVERIFY(QDir().mkpath(path("directory")));
        QVERIFY(writeFile(path("broken"), QByteArray(64, 'x')));
        QVERIFY(writeFile(path("first"), BundleStamp::conceal(QString(33, u'1'))));
        QVERIFY(writeFile(path("second"), BundleStamp::conceal(QString(33, u'2'))));
        const QStringList candidates{path("missing"), path("directory"), path("broken"),
                                     path("first"), path("second")};
        QCOMPARE(BundleStamp::enrollmentKey(candidates), QString(33, u'1'));
        QVERIFY(!BundleStamp::enrollmentKey(candidates.mid(0, 3)));
    }

    // The packaging tool's stamp, as the default provider finds it in the main bundle's resources
    // (read afresh on every call: a refused key after an accepted one finds nothing).
    void packagingTool_data()
    {
        // expected — null: the tool refuses
        columns<QByteArray, QString>({"keyFile", "expected"});
        const QString key = QStringLiteral("qvk_live_0123456789abcdefghijklmnopqrstuv");
        QTest::newRow("key file with a line feed") << key.toUtf8() + "\n" << key;
        QTest::newRow("short key") << QByteArray("too-short-key\n") << QString();
        QTest::newRow("not UTF-8") << QByteArray(40, char(0xff)) << QString();
    }
    void packagingTool()
    {
        QFETCH(QByteArray, keyFile);
        QFETCH(QString, expected);
        QTemporaryDir root;
        const QString keyPath = root.filePath(QStringLiteral("key")),
                      output = root.filePath(QStringLiteral("Resources/stamp"));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("Resources"))));
        QVERIFY(writeFile(keyPath, keyFile));
        const Finished tool = runProgram(QUORVANTIS_STAMP_TOOL, {keyPath, output});
        QVERIFY(tool.exitCode >= 0);
        QCOMPARE(tool.exitCode == 0, !expected.isNull());
        QCOMPARE(tool.err.isEmpty(), !expected.isNull()); // a refusal says why
        QCOMPARE(QFile::exists(output), !expected.isNull());
        QVERIFY(expected.isNull() || !BundleStamp::readStampFile(output)->contains(expected.toUtf8())); // scrambled
        Bundle::setResourceDirectory(root.filePath(QStringLiteral("Resources")));
        const std::optional<QString> provided = BundleStamp::defaultEnrollmentKeyProvider();
        Bundle::setResourceDirectory(QString());
        QCOMPARE(provided, expected.isNull() ? std::nullopt : std::optional(expected));
    }
};

QTEST_GUILESS_MAIN(StampTests)
#include "StampTests.moc"
