// The bundled enrolment key: the stamp's layout, where it is looked for, and the packaging tool.
#include "platform/Bundle.h"
#include "setup/BundleStamp.h"
#include "support/ScriptFiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using QuorvantisTest::writeFile;

namespace {

const QString sampleKey = QStringLiteral("qvk_live_0123456789abcdefghijklmnopqrstuv");

QByteArray magicBytes()
{
    return QByteArray(reinterpret_cast<const char *>(BundleStamp::magic.data()), qsizetype(BundleStamp::magic.size()));
}

// The packaging tool's exit code (-1: it did not end normally) and whether it said why.
std::pair<int, bool> runTool(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess tool;
    tool.start(QStringLiteral(QUORVANTIS_STAMP_TOOL), arguments);
    tool.write(input);
    tool.closeWriteChannel();
    const bool ended = tool.waitForFinished(10000) && tool.exitStatus() == QProcess::NormalExit;
    return {ended ? tool.exitCode() : -1, !tool.readAllStandardError().isEmpty()};
}

} // namespace

class StampTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void revealsOnlyWellFormedStamps_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected"); // null: no key
        const QString key32 = QString(32, QLatin1Char('k'));
        QTest::newRow("exactly 32 key bytes") << BundleStamp::conceal(key32) << key32;
        QTest::newRow("long key") << BundleStamp::conceal(sampleKey) << sampleKey;
        QTest::newRow("surrounding whitespace is trimmed") << BundleStamp::conceal(QStringLiteral("\n  ") + sampleKey + QStringLiteral(" \r\n\t")) << sampleKey;
        QTest::newRow("multi-byte text counts bytes, not characters") << BundleStamp::conceal(QString(11, QChar(0x94a5))) << QString(11, QChar(0x94a5));
        QTest::newRow("35 bytes") << BundleStamp::conceal(QString(31, QLatin1Char('k'))) << QString();
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("magic only") << magicBytes() << QString();
        QByteArray wrongMagic = BundleStamp::conceal(sampleKey);
        wrongMagic[0] = char(wrongMagic[0] ^ 0x01);
        QTest::newRow("different first byte") << wrongMagic << QString();
        QByteArray wrongLastMagic = BundleStamp::conceal(sampleKey);
        wrongLastMagic[3] = char(wrongLastMagic[3] ^ 0x80);
        QTest::newRow("different fourth byte") << wrongLastMagic << QString();
        QTest::newRow("unscrambled key after the magic") << magicBytes() + sampleKey.toUtf8() << QString();
        QTest::newRow("under 32 bytes after trimming") << BundleStamp::conceal(QString(10, u' ') + QString(31, u'k') + QString(5, u' ')) << QString();
        QTest::newRow("not UTF-8") << BundleStamp::conceal(QString(40, u'k')).replace(10, 1, QByteArray(1, char(0xff ^ 6 ^ 0xe2))) << QString();
    }

    void revealsOnlyWellFormedStamps()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        QCOMPARE(BundleStamp::reveal(data), expected.isNull() ? std::nullopt : std::optional(expected));
    }

    // Candidates are standardised and each read once, even when two lookups name the same file.
    void candidates()
    {
        QTemporaryDir root;
        const QString resources = root.filePath(QStringLiteral("share/Resources"));
        const QString bundle = root.filePath(QStringLiteral("app"));
        QCOMPARE(BundleStamp::resourceURLs({resources + QStringLiteral("/./x/.."), bundle}),
                 (QStringList{resources + QStringLiteral("/stamp"), bundle + QStringLiteral("/Contents/Resources/stamp")}));
        QCOMPARE(BundleStamp::resourceURLs({QString(), QString()}), QStringList());
        QCOMPARE(BundleStamp::resourceURLs({QString(), bundle}), QStringList{bundle + QStringLiteral("/Contents/Resources/stamp")});

        // The macOS shape: the resource directory is the bundle's Contents/Resources.
        const QString stampPath = root.filePath(QStringLiteral("Contents/Resources/stamp"));
        QVERIFY(writeFile(stampPath, QByteArray("not a stamp at all, but long enough to be read")));
        const QStringList candidates = BundleStamp::resourceURLs({root.filePath(QStringLiteral("Contents/Resources/")), root.path()});
        QCOMPARE(candidates, QStringList{stampPath});
        // An unusable stamp makes the provider look at every candidate, so a duplicate would show.
        QStringList reads;
        QVERIFY(!BundleStamp::enrollmentKey(candidates, [&reads](const QString &path) {
            reads.append(path);
            return BundleStamp::readStampFile(path);
        }));
        QCOMPARE(reads, QStringList{stampPath});
    }

    // Missing, directory, unusable and unreadable candidates are skipped.
    void firstRevealedKeyWins()
    {
        QTemporaryDir root;
        const auto path = [&root](const char *name) { return root.filePath(QString::fromLatin1(name) + QStringLiteral("/stamp")); };
        QVERIFY(QDir().mkpath(path("directory")));
        QVERIFY(writeFile(path("broken"), QByteArray(64, 'x')));
        QVERIFY(writeFile(path("locked"), BundleStamp::conceal(QString(33, u'L'))));
        QVERIFY(QFile::setPermissions(path("locked"), QFileDevice::WriteOwner));
        QVERIFY(writeFile(path("first"), BundleStamp::conceal(QString(33, u'1'))));
        QVERIFY(writeFile(path("second"), BundleStamp::conceal(QString(33, u'2'))));
        const QStringList skipped{path("missing"), path("directory"), path("broken")};
        const bool superuser = ::geteuid() == 0; // permissions do not restrict the superuser
        QCOMPARE(BundleStamp::enrollmentKey(skipped + QStringList{path("locked"), path("first"), path("second")}),
                 QString(33, superuser ? u'L' : u'1'));
        QCOMPARE(BundleStamp::enrollmentKey({path("second"), path("first")}), QString(33, u'2'));
        QVERIFY(!BundleStamp::enrollmentKey(skipped));
        QVERIFY(!BundleStamp::enrollmentKey({}));
    }

    void defaultProviderReadsTheMainBundle()
    {
        QTemporaryDir resources;
        Bundle::setResourceDirectory(resources.path());
        QVERIFY(!BundleStamp::defaultEnrollmentKeyProvider());

        QVERIFY(writeFile(resources.filePath(QStringLiteral("stamp")), BundleStamp::conceal(sampleKey)));
        QCOMPARE(BundleStamp::defaultEnrollmentKeyProvider(), sampleKey);
        // Read afresh on every call: a removed stamp means no key.
        QVERIFY(QFile::remove(resources.filePath(QStringLiteral("stamp"))));
        QVERIFY(!BundleStamp::defaultEnrollmentKeyProvider());
        Bundle::setResourceDirectory(QString());
    }

    void packagingToolRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("keyFile"); // null: no such file
        QTest::addColumn<QString>("input");      // "file", "stdin" or "none" (no arguments)
        QTest::addColumn<QString>("expected");   // null: the tool refuses
        QTest::newRow("key file with a line feed") << sampleKey.toUtf8() + "\n" << "file" << sampleKey;
        QTest::newRow("standard input") << sampleKey.toUtf8() << "stdin" << sampleKey;
        QTest::newRow("non-ASCII key") << QString(12, QChar(0x94a5)).toUtf8() << "file" << QString(12, QChar(0x94a5));
        QTest::newRow("short key") << QByteArray("too-short-key\n") << "file" << QString();
        QTest::newRow("empty key file") << QByteArray("") << "file" << QString();
        QTest::newRow("not UTF-8") << QByteArray(40, char(0xff)) << "file" << QString();
        QTest::newRow("no key file") << QByteArray() << "file" << QString();
        QTest::newRow("no arguments") << QByteArray() << "none" << QString();
    }
    void packagingToolRoundTrip()
    {
        QFETCH(QByteArray, keyFile);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QTemporaryDir root;
        const QString keyPath = root.filePath(QStringLiteral("key")), output = root.filePath(QStringLiteral("Resources/stamp"));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("Resources"))) && (keyFile.isNull() || writeFile(keyPath, keyFile)));
        const auto [exitCode, explained] = input == u"none" ? runTool({}) : input == u"stdin" ? runTool({QStringLiteral("-"), output}, keyFile) : runTool({keyPath, output});
        if (expected.isNull()) {
            QVERIFY(exitCode > 0 && explained);
            QVERIFY(!QFile::exists(output));
            return;
        }
        QCOMPARE(exitCode, 0);
        const auto data = BundleStamp::readStampFile(output);
        QVERIFY(data && data->startsWith(magicBytes()) && !data->contains(expected.toUtf8()));
        QCOMPARE(BundleStamp::reveal(*data), expected);
        QCOMPARE(BundleStamp::enrollmentKey(BundleStamp::resourceURLs({root.filePath(QStringLiteral("Resources")), {}})), expected);
    }
};

QTEST_GUILESS_MAIN(StampTests)
#include "StampTests.moc"
