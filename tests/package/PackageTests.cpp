// The Debian package as a user gets it: CPack builds it from this build tree, dpkg reads its
// file list and control fields, dpkg -x unpacks it into a throwaway root, and the binary found there
// starts without a display and without options pointing it at its resources.

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1; // -1: it crashed
    QString output;
};

// Runs a program to its end, without a display of any kind.
Run run(const QString &program, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    process.waitForFinished(240000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAll())};
}

} // namespace

class PackageTests : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_package;
    QString m_root;
    QString m_listing; // a line per entry, each ending in " ./PATH"

private Q_SLOTS:
    void initTestCase()
    {
        const QString configuration = QStringLiteral(QUORVANTIS_BINARY_DIR "/CPackConfig.cmake");
        const Run packed = run(QUORVANTIS_CPACK, {"-G", "DEB", "-B", m_work.path(), "--config", configuration});
        QVERIFY2(packed.exitCode == 0, qPrintable(packed.output));
        const QStringList debs = QDir(m_work.path()).entryList({QStringLiteral("*.deb")});
        QCOMPARE(debs.size(), 1);
        m_package = m_work.filePath(debs.first());

        const Run listing = run(QStringLiteral("dpkg-deb"), {"--contents", m_package});
        QCOMPARE(listing.exitCode, 0);
        m_listing = listing.output;
        m_root = m_work.filePath(QStringLiteral("root"));
        QCOMPARE(run(QStringLiteral("dpkg"), {"-x", m_package, m_root}).exitCode, 0);
    }

    void fileList_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("present");
        // The binary and the information dictionary are run below.
        QTest::newRow("desktop entry") << "/usr/share/applications/dev.quorvantis.Companion.desktop" << true;
        // Built here without a key: a stamp would have come from somewhere else.
        QTest::newRow("no stamp") << "/usr/share/quorvantis-companion/stamp" << false;
    }

    void fileList()
    {
        QFETCH(QString, path);
        QFETCH(bool, present);
        QVERIFY2(m_listing.contains(" ." + path + '\n') == present, qPrintable(m_listing));
    }

    void controlFields_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected"); // a regular expression the whole value matches
        QTest::newRow("version") << "Version" << QRegularExpression::escape(QStringLiteral(QUORVANTIS_PROJECT_VERSION));
        // The Qt libraries it links, found by dpkg-shlibdeps, and the platform plugins it loads.
        for (const char *library : {"libqt6widgets6", "libqt6keychain1", "qt6-qpa-plugins", "bash"})
            QTest::newRow(library) << "Depends" << QStringLiteral("(.*, )?%1( \\(.*\\))?(, .*)?").arg(library);
    }

    void controlFields()
    {
        QFETCH(QString, field);
        QFETCH(QString, expected);
        const Run value = run(QStringLiteral("dpkg-deb"), {"--field", m_package, field});
        QCOMPARE(value.exitCode, 0);
        const QRegularExpression whole(QRegularExpression::anchoredPattern(expected));
        QVERIFY2(whole.match(value.output.trimmed()).hasMatch(), qPrintable(field + ": " + value.output));
    }

    // The installed binary starts and tells its version, found in the installed Info.json without --resources.
    void installedBinaryVersion()
    {
        const Run answered = run(m_root + "/usr/bin/quorvantis-companion", {"--version"});
        QCOMPARE(answered.exitCode, 0);
        QCOMPARE(answered.output, QStringLiteral("Quorvantis " QUORVANTIS_PROJECT_VERSION "\n"));
    }
};

QTEST_GUILESS_MAIN(PackageTests)
#include "PackageTests.moc"
