// The Debian package as a user gets it: CPack builds it from this build tree, dpkg reads its
// file list and control fields, dpkg -x unpacks it into a throwaway root, and the binary found
// there starts without a display and without options pointing it at its resources.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QString output;
};

Run run(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(program, arguments);
    process.waitForFinished(240000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, QString::fromUtf8(process.readAll())};
}

} // namespace

class PackageTests : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_package;
    QString m_root;
    QStringList m_files;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        const Run packed = run(QStringLiteral(QUORVANTIS_CPACK),
                               {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), m_work.path(),
                                QStringLiteral("--config"), QStringLiteral(QUORVANTIS_BINARY_DIR "/CPackConfig.cmake")});
        QVERIFY2(packed.exitCode == 0, qPrintable(packed.output));
        const QStringList debs = QDir(m_work.path()).entryList({QStringLiteral("*.deb")});
        QCOMPARE(debs.size(), 1);
        m_package = m_work.filePath(debs.first());

        const Run listing = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), m_package});
        QCOMPARE(listing.exitCode, 0);
        static const QRegularExpression path(QStringLiteral("\\s\\.(/\\S*)$"), QRegularExpression::MultilineOption);
        for (auto match = path.globalMatch(listing.output); match.hasNext();)
            m_files.append(match.next().captured(1));

        m_root = m_work.filePath(QStringLiteral("root"));
        QCOMPARE(run(QStringLiteral("dpkg"), {QStringLiteral("-x"), m_package, m_root}).exitCode, 0);
    }

    void fileList_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("present");
        QTest::newRow("binary") << "/usr/bin/quorvantis-companion" << true;
        QTest::newRow("information dictionary") << "/usr/share/quorvantis-companion/Info.json" << true;
        QTest::newRow("logo") << "/usr/share/quorvantis-companion/QuorvantisMark.png" << true;
        QTest::newRow("tray logo") << "/usr/share/quorvantis-companion/QuorvantisMenuBar.png" << true;
        QTest::newRow("desktop entry") << "/usr/share/applications/dev.quorvantis.Companion.desktop" << true;
        QTest::newRow("metainfo") << "/usr/share/metainfo/dev.quorvantis.Companion.metainfo.xml" << true;
        QTest::newRow("small icon") << "/usr/share/icons/hicolor/16x16/apps/dev.quorvantis.Companion.png" << true;
        QTest::newRow("large icon") << "/usr/share/icons/hicolor/512x512/apps/dev.quorvantis.Companion.png" << true;
        QTest::newRow("scalable icon") << "/usr/share/icons/hicolor/scalable/apps/dev.quorvantis.Companion.svg" << true;
        // Built here without a key: a stamp would have come from somewhere else.
        QTest::newRow("no stamp") << "/usr/share/quorvantis-companion/stamp" << false;
        QTest::newRow("no packaging tool") << "/usr/bin/quorvantis-stamp" << false;
        QTest::newRow("no gallery") << "/usr/bin/quorvantis-gallery" << false;
    }

    void fileList()
    {
        QFETCH(QString, path);
        QFETCH(bool, present);
        QVERIFY2(m_files.contains(path) == present, qPrintable(m_files.join(u'\n')));
    }

    void controlFields_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected"); // a regular expression the whole value matches
        const QString arch = run(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")}).output.trimmed();
        QTest::newRow("name") << "Package" << "quorvantis-companion";
        QTest::newRow("version") << "Version" << QRegularExpression::escape(QStringLiteral(QUORVANTIS_PROJECT_VERSION));
        QTest::newRow("architecture") << "Architecture" << arch;
        // The Qt libraries it links, found by dpkg-shlibdeps, and the platform plugins it loads.
        for (const char *library : {"libqt6widgets6", "libqt6network6", "libqt6svg6", "libqt6dbus6", "libqt6keychain1",
                                    "libc6", "qt6-qpa-plugins", "bash"})
            QTest::newRow(library) << "Depends" << QStringLiteral("(.*, )?%1( \\(.*\\))?(, .*)?").arg(QLatin1String(library));
        QTest::newRow("maintainer") << "Maintainer" << ".+@.+";
    }

    void controlFields()
    {
        QFETCH(QString, field);
        QFETCH(QString, expected);
        const Run value = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), m_package, field});
        QCOMPARE(value.exitCode, 0);
        const QRegularExpression whole(QRegularExpression::anchoredPattern(expected));
        QVERIFY2(whole.match(value.output.trimmed()).hasMatch(), qPrintable(field + QStringLiteral(": ") + value.output));
    }

    void installedFilesValidate_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("AppStream metainfo") << "appstreamcli"
            << QStringList{"validate", "--no-net", "/usr/share/metainfo/dev.quorvantis.Companion.metainfo.xml"};
        QTest::newRow("desktop entry") << "desktop-file-validate"
            << QStringList{"/usr/share/applications/dev.quorvantis.Companion.desktop"};
    }

    void installedFilesValidate()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, arguments);
        arguments.last().prepend(m_root);
        const Run validated = run(tool, arguments);
        QVERIFY2(validated.exitCode == 0, qPrintable(validated.output));
    }

    void installedBinaryAnswers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        // The version comes from the installed Info.json, found without --resources.
        QTest::newRow("version") << QStringList{"--version"} << "Quorvantis " QUORVANTIS_PROJECT_VERSION "\n";
        QTest::newRow("help names the resource option") << QStringList{"--help"} << "--resources <DIR>";
        QTest::newRow("another resource directory") << QStringList{"--resources", "@other", "-v"} << "Quorvantis 9.8.7\n";
    }

    void installedBinaryAnswers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QTemporaryDir other;
        QFile info(other.filePath(QStringLiteral("Info.json")));
        QVERIFY(info.open(QIODevice::WriteOnly) && info.write("{\"CFBundleShortVersionString\": \"9.8.7\"}") > 0);
        info.close();
        arguments.replaceInStrings(QStringLiteral("@other"), other.path());

        // No display of any kind.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QLatin1String(name));
        const Run answered = run(m_root + QStringLiteral("/usr/bin/quorvantis-companion"), arguments, environment);
        QCOMPARE(answered.exitCode, 0);
        QVERIFY2(expected.endsWith(u'\n') ? answered.output == expected : answered.output.contains(expected),
                 qPrintable(answered.output));
    }
};

QTEST_GUILESS_MAIN(PackageTests)
#include "PackageTests.moc"
