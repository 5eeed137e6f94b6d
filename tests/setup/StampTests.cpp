#include "platform/Bundle.h"
#include "setup/BundleStamp.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

const QString sampleKey = QStringLiteral("qvk_live_0123456789abcdefghijklmnopqrstuv");

QByteArray magicBytes()
{
    return QByteArray(reinterpret_cast<const char *>(BundleStamp::magic.data()), qsizetype(BundleStamp::magic.size()));
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

struct ToolRun
{
    int exitCode = -1;
    QByteArray errorOutput;
};

ToolRun runTool(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess tool;
    tool.start(QStringLiteral(QUORVANTIS_STAMP_TOOL), arguments);
    if (!tool.waitForStarted(10000))
        return {};
    tool.write(input);
    tool.closeWriteChannel();
    tool.waitForFinished(10000);
    return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1, tool.readAllStandardError()};
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
        QTest::newRow("surrounding whitespace is trimmed")
            << BundleStamp::conceal(QStringLiteral("\n  ") + sampleKey + QStringLiteral(" \r\n\t")) << sampleKey;
        QTest::newRow("multi-byte text counts bytes, not characters")
            << BundleStamp::conceal(QString(11, QChar(0x94a5))) << QString(11, QChar(0x94a5));
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
        QTest::newRow("under 32 bytes after trimming")
            << BundleStamp::conceal(QStringLiteral("          ") + QString(31, QLatin1Char('k')) + QStringLiteral("     "))
            << QString();
        QTest::newRow("not UTF-8")
            << BundleStamp::conceal(QString(40, QLatin1Char('k'))).replace(10, 1, QByteArray(1, char(0xff ^ 6 ^ 0xe2)))
            << QString();
    }

    void revealsOnlyWellFormedStamps()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        const auto key = BundleStamp::reveal(data);
        if (expected.isNull()) {
            QVERIFY2(!key, qPrintable(key.value_or(QString())));
        } else {
            QVERIFY(key);
            QCOMPARE(*key, expected);
        }
    }

    void concealedKeyIsNotPlainText()
    {
        const QByteArray stamp = BundleStamp::conceal(sampleKey);
        QVERIFY(stamp.startsWith(magicBytes()));
        QCOMPARE(stamp.size(), magicBytes().size() + sampleKey.toUtf8().size());
        QVERIFY(!stamp.contains(sampleKey.toUtf8().left(8)));
    }

    void candidatesAreOrderedAndStandardised()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString resources = root.filePath(QStringLiteral("share/Resources"));
        const QString bundle = root.filePath(QStringLiteral("app"));

        const QStringList withoutFile = BundleStamp::resourceURLs({resources + QStringLiteral("/./x/.."), bundle});
        QCOMPARE(withoutFile, (QStringList{resources + QStringLiteral("/stamp"),
                                           bundle + QStringLiteral("/Contents/Resources/stamp")}));

        // With the file present the two resource lookups name the first candidate again.
        QVERIFY(writeFile(resources + QStringLiteral("/stamp"), BundleStamp::conceal(sampleKey)));
        QCOMPARE(BundleStamp::resourceURLs({resources, bundle}).size(), 2);

        QCOMPARE(BundleStamp::resourceURLs({QString(), QString()}), QStringList());
        QCOMPARE(BundleStamp::resourceURLs({QString(), bundle}),
                 QStringList{bundle + QStringLiteral("/Contents/Resources/stamp")});
    }

    void duplicateCandidatesAreReadOnce()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        // The macOS shape: the resource directory is the bundle's Contents/Resources.
        const QString resources = root.filePath(QStringLiteral("Contents/Resources"));
        const QString stampPath = resources + QStringLiteral("/stamp");
        QVERIFY(writeFile(stampPath, BundleStamp::conceal(QString(40, QLatin1Char('a')))));

        const QStringList candidates = BundleStamp::resourceURLs({resources + QStringLiteral("/"), root.path()});
        QCOMPARE(candidates, QStringList{stampPath});

        // An unusable stamp makes the provider look at every candidate, so a duplicate would show.
        QVERIFY(writeFile(stampPath, QByteArray("not a stamp at all, but long enough to be read")));
        QStringList reads;
        const auto key = BundleStamp::enrollmentKey(candidates, [&reads](const QString &path) {
            reads.append(path);
            return BundleStamp::readStampFile(path);
        });
        QVERIFY(!key);
        QCOMPARE(reads, QStringList{stampPath});
    }

    void firstRevealedKeyWins()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString missing = root.filePath(QStringLiteral("missing/stamp"));
        const QString directory = root.filePath(QStringLiteral("directory/stamp"));
        const QString broken = root.filePath(QStringLiteral("broken/stamp"));
        const QString first = root.filePath(QStringLiteral("first/stamp"));
        const QString second = root.filePath(QStringLiteral("second/stamp"));
        QVERIFY(QDir().mkpath(directory));
        QVERIFY(writeFile(broken, QByteArray(64, 'x')));
        QVERIFY(writeFile(first, BundleStamp::conceal(QString(33, QLatin1Char('1')))));
        QVERIFY(writeFile(second, BundleStamp::conceal(QString(33, QLatin1Char('2')))));

        QCOMPARE(BundleStamp::enrollmentKey({missing, directory, broken, first, second}), QString(33, QLatin1Char('1')));
        QCOMPARE(BundleStamp::enrollmentKey({second, first}), QString(33, QLatin1Char('2')));
        QVERIFY(!BundleStamp::enrollmentKey({missing, directory, broken}));
        QVERIFY(!BundleStamp::enrollmentKey({}));
    }

    void unreadableStampIsSkipped()
    {
        if (::geteuid() == 0)
            QSKIP("permissions do not restrict the superuser");
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString locked = root.filePath(QStringLiteral("locked/stamp"));
        const QString open = root.filePath(QStringLiteral("open/stamp"));
        QVERIFY(writeFile(locked, BundleStamp::conceal(QString(33, QLatin1Char('L')))));
        QVERIFY(writeFile(open, BundleStamp::conceal(QString(33, QLatin1Char('O')))));
        QVERIFY(QFile::setPermissions(locked, QFileDevice::WriteOwner));
        QCOMPARE(BundleStamp::enrollmentKey({locked, open}), QString(33, QLatin1Char('O')));
    }

    void defaultProviderReadsTheMainBundle()
    {
        QTemporaryDir resources;
        QVERIFY(resources.isValid());
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
        QTest::addColumn<QByteArray>("keyFile");
        QTest::addColumn<bool>("fromStandardInput");
        QTest::addColumn<QString>("expected"); // null: the tool refuses

        QTest::newRow("key file with a line feed") << sampleKey.toUtf8() + "\n" << false << sampleKey;
        QTest::newRow("standard input") << sampleKey.toUtf8() << true << sampleKey;
        QTest::newRow("non-ASCII key") << QString(12, QChar(0x94a5)).toUtf8() << false << QString(12, QChar(0x94a5));
        QTest::newRow("short key") << QByteArray("too-short-key\n") << false << QString();
        QTest::newRow("empty key file") << QByteArray() << false << QString();
        QTest::newRow("not UTF-8") << QByteArray(40, char(0xff)) << false << QString();
    }

    void packagingToolRoundTrip()
    {
        QFETCH(QByteArray, keyFile);
        QFETCH(bool, fromStandardInput);
        QFETCH(QString, expected);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString keyPath = root.filePath(QStringLiteral("key"));
        const QString output = root.filePath(QStringLiteral("Resources/stamp"));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("Resources"))));
        QVERIFY(writeFile(keyPath, keyFile));

        const ToolRun run = fromStandardInput ? runTool({QStringLiteral("-"), output}, keyFile)
                                              : runTool({keyPath, output});
        if (expected.isNull()) {
            QVERIFY(run.exitCode != 0);
            QVERIFY(!run.errorOutput.isEmpty());
            QVERIFY(!QFile::exists(output));
            return;
        }
        QCOMPARE(run.exitCode, 0);
        const auto data = BundleStamp::readStampFile(output);
        QVERIFY(data);
        QVERIFY(!data->contains(expected.toUtf8()));
        QCOMPARE(BundleStamp::reveal(*data), expected);
        QCOMPARE(BundleStamp::enrollmentKey(BundleStamp::resourceURLs({root.filePath(QStringLiteral("Resources")), {}})),
                 expected);
    }

    void packagingToolNeedsBothArguments()
    {
        QVERIFY(runTool({}).exitCode != 0);
        QVERIFY(runTool({QStringLiteral("/nonexistent/key"), QStringLiteral("/tmp/unused-stamp")}).exitCode != 0);
    }
};

QTEST_GUILESS_MAIN(StampTests)
#include "StampTests.moc"
