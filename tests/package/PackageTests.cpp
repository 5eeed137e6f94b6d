// The Debian package as a user gets it: CPack builds it from this build tree, dpkg reads its
// file list and control fields, dpkg -x unpacks it into a throwaway root, and the binary found there
// answers its command line without a display and without options pointing it at its resources.
// The binary is stripped; its debug symbols are in a package of their own.

#include "support/Test.h"

#include <QRegularExpression>
#include <QTemporaryDir>

using namespace QuorvantisTest;

namespace {

// Runs a program to its end, without a display of any kind.
Finished run(const QString &program, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    return runProgram(program, arguments, environment);
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
        // The binary speaks the system's language; these tests read its Chinese.
        qputenv("LANGUAGE", "zh_CN");
        const QString configuration = QStringLiteral(QUORVANTIS_BINARY_DIR "/CPackConfig.cmake");
        const Finished packed = run(QUORVANTIS_CPACK, {"-G", "DEB", "-B", m_work.path(), "--config", configuration});
        QVERIFY2(packed.exitCode == 0, qPrintable(packed.out + packed.err));
        const QStringList debs = QDir(m_work.path()).entryList({QStringLiteral("*.deb")});
        QCOMPARE(debs.size(), 1);
        m_package = m_work.filePath(debs.first());

        const Finished listing = run(QStringLiteral("dpkg-deb"), {"--contents", m_package});
        QCOMPARE(listing.exitCode, 0);
        m_listing = listing.out;
        m_root = m_work.filePath(QStringLiteral("root"));
        QCOMPARE(run(QStringLiteral("dpkg"), {"-x", m_package, m_root}).exitCode, 0);
    }

    void fileList_data()
    {
        columns<QString, bool>({"path", "present"});
        // The binary and the information dictionary are run below.
        QTest::newRow("desktop entry") << "/usr/share/applications/dev.quorvantis.Companion.desktop" << true;
        // Built here without a key: a stamp would have come from somewhere else.
        QTest::newRow("no stamp") << "/usr/share/quorvantis-companion/stamp" << false;
        QTest::newRow("bash completion") << "/usr/share/bash-completion/completions/quorvantis-companion" << true;
    }

    void fileList()
    {
        QFETCH(QString, path);
        QFETCH(bool, present);
        QVERIFY2(m_listing.contains(" ." + path + '\n') == present, qPrintable(m_listing));
    }

    void controlFields_data()
    {
        // expected — a regular expression the whole value matches
        columns<QString, QString>({"field", "expected"});
        QTest::newRow("version") << "Version" << QRegularExpression::escape(QStringLiteral(QUORVANTIS_PROJECT_VERSION));
        // The Qt libraries it links, found by dpkg-shlibdeps, and the platform plugins it loads.
        for (const char *library : {"libqt6widgets6", "libqt6keychain1", "qt6-qpa-plugins", "bash"})
            QTest::newRow(library) << "Depends" << QStringLiteral("(.*, )?%1( \\(.*\\))?(, .*)?").arg(library);
    }

    void controlFields()
    {
        QFETCH(QString, field);
        QFETCH(QString, expected);
        const Finished value = run(QStringLiteral("dpkg-deb"), {"--field", m_package, field});
        QCOMPARE(value.exitCode, 0);
        const QRegularExpression whole(QRegularExpression::anchoredPattern(expected));
        QVERIFY2(whole.match(value.out.trimmed()).hasMatch(), qPrintable(field + ": " + value.out));
    }

    // The installed binary answers its command line before it needs a display, its resources
    // found without --resources. Built here without the agent's session script, it names what the
    // package lacks; Qt's own options are left to Qt.
    void commandLine_data()
    {
        // output — regular expressions the whole text matches
        columns<QStringList, int, QString, QString>({"arguments", "exitCode", "output", "errors"});
        const QString version = QRegularExpression::escape(QStringLiteral(QUORVANTIS_PROJECT_VERSION));
        const QString lacking = QStringLiteral("(.|\\n)*会话脚本 quorvantis-cli-session\\.sh 未打包（构建时没有提供 "
                                               "QUORVANTIS_SESSION_SCRIPT）(.|\\n)*");
        QTest::newRow("version") << QStringList{"--version"} << 0 << "Quorvantis " + version + "\\n缺少的组件：\\n" + lacking
                                 << "";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "(.|\\n)*--resources <DIR>" + lacking << "";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << ""
                                        << "quorvantis-companion：.*bogus.*\\n.*--help.*\\n";
        QTest::newRow("a Qt option") << QStringList{"-platform", "offscreen", "-v"} << 0 << "Quorvantis " + version + "\\n"
                                     + lacking << "";
        QTest::newRow("a Qt option without its value") << QStringList{"-style"} << 2 << "" << "(.|\\n)*style(.|\\n)*";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        const Finished answered = run(m_root + "/usr/bin/quorvantis-companion", arguments);
        QTEST(answered.exitCode, "exitCode");
        QFETCH(QString, output);
        QFETCH(QString, errors);
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(output)).match(answered.out).hasMatch(),
                 qPrintable(answered.out));
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(errors)).match(answered.err).hasMatch(),
                 qPrintable(answered.err));
    }

    // The installed binary carries no debug information; the debug package holds it under the
    // binary's build id, where debuggers look for it.
    void debugSymbolsApart()
    {
        const QString binary = m_root + "/usr/bin/quorvantis-companion";
        const Finished sections = run(QStringLiteral("readelf"), {"--section-headers", "--wide", binary});
        QCOMPARE(sections.exitCode, 0);
        QVERIFY2(!sections.out.contains(QStringLiteral(".debug_info")), "the installed binary has debug information");
        QVERIFY(!sections.out.contains(QStringLiteral(".symtab")));

        const Finished notes = run(QStringLiteral("readelf"), {"--notes", binary});
        const auto id = QRegularExpression(QStringLiteral("Build ID: ([0-9a-f]{2})([0-9a-f]+)")).match(notes.out);
        QVERIFY2(id.hasMatch(), qPrintable(notes.out));
        const QStringList debugPackages = QDir(m_work.path()).entryList({QStringLiteral("*-dbgsym_*.ddeb")});
        QCOMPARE(debugPackages.size(), 1);
        const Finished contents = run(QStringLiteral("dpkg-deb"), {"--contents", m_work.filePath(debugPackages.first())});
        QCOMPARE(contents.exitCode, 0);
        const QString debugFile = QStringLiteral(" ./usr/lib/debug/.build-id/%1/%2.debug\n").arg(id.captured(1), id.captured(2));
        QVERIFY2(contents.out.contains(debugFile), qPrintable(contents.out));
    }
};

QTEST_GUILESS_MAIN(PackageTests)
#include "PackageTests.moc"
