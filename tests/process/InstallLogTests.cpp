#include "process/CLIService.h"
#include "process/InstallLog.h"
#include "process/OutputPipeline.h"
#include "process/PlainTextScan.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class InstallLogTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sanitize_data();
    void sanitize();
    void errorCandidate_data();
    void errorCandidate();
    void errorCandidateKeepsUserPerceivedCharacters();
    void cleanAgreesWithTheSeparateSteps_data();
    void cleanAgreesWithTheSeparateSteps();
    void needleSetFindsEveryOccurrence();
    void secretsSplitByEscapesAreMasked();
    void rotatesAboveTwoMebibytes();
    void keepsALogOfExactlyTwoMebibytes();
    void newLogIsPrivate();
    void missingDirectoryIsCreated();
    void unopenableLogGivesNoHandle();
    void writeLogAppendsLines();
    void locations();
    void lineFromBuffer_data();
    void lineFromBuffer();
};

void InstallLogTests::sanitize_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "Installing dependencies" << "Installing dependencies";
    QTest::newRow("colour") << "\x1b[31merror\x1b[0m: boom" << "error: boom";
    QTest::newRow("cursor move") << "a\x1b[2Kb\x1b[1;1Hc" << "abc";
    QTest::newRow("unterminated escape is kept") << "x\x1b[31" << "x\x1b[31";
    QTest::newRow("email") << "Email: someone@example.org" << "Email: [REDACTED]";
    QTest::newRow("email any case, spaces kept") << "EMAIL:   a@b.c rest" << "EMAIL:   [REDACTED] rest";
    QTest::newRow("email label inside sentence") << "Account Email:x@y.z created" << "Account Email:[REDACTED] created";
    QTest::newRow("password keeps label case") << "PASSWORD: x" << "PASSWORD: [REDACTED]";
    QTest::newRow("password with a space is masked whole") << "Password: correct horse" << "Password: [REDACTED]";
    QTest::newRow("label without value") << "Password:" << "Password:";
    QTest::newRow("https url") << "open https://x.example/a?b=c now" << "open [URL REDACTED] now";
    QTest::newRow("http url") << "see http://localhost:3000/p" << "see [URL REDACTED]";
    QTest::newRow("url scheme is case-sensitive") << "HTTPS://x.example/a" << "HTTPS://x.example/a";
    QTest::newRow("setup code in sentence") << "redeeming QVS2-ABCD-EFGH-JKMN now" << "redeeming [SETUP CODE REDACTED] now";
    QTest::newRow("invite code lower case") << "code qvi1-abcd-efgh-2345." << "code [SETUP CODE REDACTED].";
    QTest::newRow("code shape with I is left") << "QVS2-ABCI-EFGH-JKMN" << "QVS2-ABCI-EFGH-JKMN";
    QTest::newRow("code shape with L is left") << "QVS2-ABCD-EFGL-JKMN" << "QVS2-ABCD-EFGL-JKMN";
    QTest::newRow("code shape with O is left") << "QVS2-ABCD-EFGH-JKMO" << "QVS2-ABCD-EFGH-JKMO";
    QTest::newRow("code shape with U is left") << "QVS2-UBCD-EFGH-JKMN" << "QVS2-UBCD-EFGH-JKMN";
    QTest::newRow("code glued to a word is left") << "xQVS2-ABCD-EFGH-JKMN" << "xQVS2-ABCD-EFGH-JKMN";
    QTest::newRow("escape hides a label") << "Pass\x1b[0mword: hunter2" << "Password: [REDACTED]";
    QTest::newRow("json credentials") << R"({"type":"jitAuthorization","email":"a@b.c","password":"p \"q\"","authUrl":"x"})"
                                      << R"({"type":"jitAuthorization","email":"[REDACTED]","password":"[REDACTED]","authUrl":"x"})";
    QTest::newRow("all at once")
        << "\x1b[1mEmail: a@b.c Password: pw https://h/x QVS2-2345-6789-ABCD"
        << "Email: [REDACTED] Password: [REDACTED]";
    QTest::newRow("non-ascii untouched") << "安装失败：网络不可用" << "安装失败：网络不可用";
    // No pattern's match may hide another's.
    QTest::newRow("label after label") << "Email: Password: X" << "Email: [REDACTED] [REDACTED]";
    QTest::newRow("email after email") << "Email: Email: a@b" << "Email: [REDACTED] [REDACTED]";
    QTest::newRow("url in json value") << R"({"email": "https://x", "password": "S"})" << R"({"email": "[REDACTED]" "password": "[REDACTED]"})";
    QTest::newRow("unclosed json value") << R"({"email": "a@b, "password": "S"})" << R"({"email": "[REDACTED]"password": "[REDACTED]"})";
    QTest::newRow("escaped json key") << R"({"p\u0061ssword":"S"})" << R"({"p\u0061ssword":"[REDACTED]"})";
    QTest::newRow("escape ends on a label") << "\x1b[ Email: secret" << "mail: [REDACTED]";
    QTest::newRow("escape left by stripping") << "\x1b[\x1b[ununt" << "unt";
    QTest::newRow("escapes before a token go with it") << "\x1b\x1b\x1bhttps://x" << "[URL REDACTED]";
    QTest::newRow("code inside a code") << "QVS2-QVS2-ABCD-EFGH-JKMN" << "[SETUP CODE REDACTED]";
    QTest::newRow("lone surrogate") << QChar(0xDC00) + QStringLiteral("Password: x") << QChar(0xDC00) + QStringLiteral("Password: [REDACTED]");
}

void InstallLogTests::sanitize()
{
    QFETCH(QString, line);
    QFETCH(QString, expected);
    QCOMPARE(InstallLog::sanitize(line), expected);
}

void InstallLogTests::errorCandidate_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected"); // null: no candidate

    QTest::newRow("empty") << "" << QString();
    QTest::newRow("blank") << "   \t" << QString();
    QTest::newRow("ordinary") << "Installing pnpm" << QString();
    QTest::newRow("json with error") << R"({"type":"progress","error":"x"})" << QString();
    QTest::newRow("json after blanks") << R"(   {"error":1})" << QString();
    QTest::newRow("Failed any case") << "Download FAILED" << "Download FAILED";
    QTest::newRow("trimmed") << "  Error: x  " << "Error: x";
    const char *markers[] = {"error", "failed", "failure", "fatal", "denied", "not found", "unavailable", "invalid",
                             "timed out", "client_upgrade_required", "code_unavailable", "enrollment_unavailable",
                             "agent_name_reserved", "agent_name_too_short", "already exists", "exit code"};
    for (const char *marker : markers) {
        const QString line = QStringLiteral("x %1 y").arg(QString::fromLatin1(marker).toUpper());
        QTest::newRow(marker) << line << line;
    }
    const char16_t *chinese[] = {u"失败", u"无法", u"未完成", u"不完整", u"不可用", u"无效", u"超时"};
    for (const char16_t *marker : chinese) {
        const QString line = QStringLiteral("安装%1了").arg(QString::fromUtf16(marker));
        QTest::newRow(QString::fromUtf16(marker).toUtf8().constData()) << line << line;
    }
    QTest::newRow("near miss") << "time out, fail, deny" << QString();
    const QString longLine = QStringLiteral("error ") + QString(294, QLatin1Char('x'));
    QTest::newRow("cut to 240") << longLine << longLine.left(240);
}

void InstallLogTests::errorCandidate()
{
    QFETCH(QString, line);
    QFETCH(QString, expected);
    const std::optional<QString> candidate = InstallLog::errorCandidate(line);
    QCOMPARE(candidate.has_value(), !expected.isNull());
    if (candidate)
        QCOMPARE(*candidate, expected);
}

void InstallLogTests::errorCandidateKeepsUserPerceivedCharacters()
{
    // 250 flags of two code points each: the cut falls after the 240th flag, never inside one.
    QString line = QStringLiteral("失败 ");
    for (int i = 0; i < 250; ++i)
        line += QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3");
    const std::optional<QString> candidate = InstallLog::errorCandidate(line);
    QVERIFY(candidate);
    QCOMPARE(candidate->size(), 3 + 237 * 4);
    QVERIFY(candidate->endsWith(QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3")));
}

void InstallLogTests::cleanAgreesWithTheSeparateSteps_data()
{
    sanitize_data();
    QTest::newRow("error after escape") << "\x1b[31mERROR\x1b[0m disk full" << QString();
    QTest::newRow("error word in url only") << "see https://h/error-codes" << QString();
    QTest::newRow("error in masked password") << "Password: failed-on-purpose" << QString();
    QTest::newRow("chinese error") << "网络超时" << QString();
    QTest::newRow("json error") << R"({"error":"x"})" << QString();
    QTest::newRow("marker at the very end") << "it was denied" << QString();
}

void InstallLogTests::cleanAgreesWithTheSeparateSteps()
{
    QFETCH(QString, line);
    const InstallLog::CleanedLine cleaned = InstallLog::clean(line);
    QCOMPARE(cleaned.text, InstallLog::sanitize(line));
    QCOMPARE(cleaned.errorCandidate, InstallLog::errorCandidate(InstallLog::sanitize(line)));
}

void InstallLogTests::needleSetFindsEveryOccurrence()
{
    const NeedleSet needles{"ab", "abc", "bc", "zz"};
    QCOMPARE(needles.find("xxabc"), 0b0111u);
    QCOMPARE(needles.find("ab"), 0b0001u);
    QCOMPARE(needles.find("zab"), 0b0001u);
    QCOMPARE(needles.find("a"), 0u);
    QCOMPARE(needles.find("xzz"), 0b1000u);
    QCOMPARE(needles.find("abcbc", /*firstOnly=*/true), 0b0001u);
    QCOMPARE(FoldedText(u"ABCÉz").bytes(), std::string_view("abc\x80z"));
    QVERIFY(FoldedText(u"ABCÉz").hasNonAscii());
    QVERIFY(!FoldedText(u"plain").hasNonAscii());
}

void InstallLogTests::secretsSplitByEscapesAreMasked()
{
    QStringList lines;
    OutputPipeline pipeline(nullptr, [&lines](const QString &line) { lines << line; }, {}, {QStringLiteral("abcdefgh")});
    pipeline.feed("in:abcd\x1b[0mefgh\nin:abcdefgh!\n");
    QCOMPARE(lines, (QStringList{"in:[REDACTED]", "in:[REDACTED]!"}));
}

namespace {

void writeBytes(const QString &path, qint64 size, char fill)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(file.write(QByteArray(size, fill)) == size);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void InstallLogTests::rotatesAboveTwoMebibytes()
{
    QTemporaryDir home;
    const QString log = home.filePath(QStringLiteral("logs/mac-app-install.log"));
    QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("logs"))));
    writeBytes(log, 2'097'153, 'a');
    writeBytes(log + QStringLiteral(".previous"), 10, 'o');
    auto handle = InstallLog::openLog(log);
    QVERIFY(handle);
    InstallLog::writeLog(QStringLiteral("fresh"), handle.get());
    handle.reset();
    QCOMPARE(readAll(log), QByteArray("fresh\n"));
    QCOMPARE(QFileInfo(log + QStringLiteral(".previous")).size(), 2'097'153);
    QCOMPARE(QFile::permissions(log) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void InstallLogTests::keepsALogOfExactlyTwoMebibytes()
{
    QTemporaryDir home;
    const QString log = home.filePath(QStringLiteral("mac-app-install.log"));
    writeBytes(log, 2'097'152, 'a');
    auto handle = InstallLog::openLog(log);
    QVERIFY(handle);
    InstallLog::writeLog(QStringLiteral("more"), handle.get());
    handle.reset();
    QCOMPARE(QFileInfo(log).size(), 2'097'152 + 5);
    QVERIFY(!QFileInfo::exists(log + QStringLiteral(".previous")));
}

void InstallLogTests::newLogIsPrivate()
{
    QTemporaryDir home;
    const QString log = home.filePath(QStringLiteral("mac-app-install.log"));
    auto handle = InstallLog::openLog(log);
    QVERIFY(handle);
    QCOMPARE(QFile::permissions(log) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void InstallLogTests::missingDirectoryIsCreated()
{
    QTemporaryDir home;
    const QString log = home.filePath(QStringLiteral("a/b/c/mac-app-install.log"));
    auto handle = InstallLog::openLog(log);
    QVERIFY(handle);
    QVERIFY(QFileInfo::exists(log));
}

void InstallLogTests::unopenableLogGivesNoHandle()
{
    QTemporaryDir home;
    // A directory where the log should be: nothing can be opened, and nothing is thrown.
    const QString log = home.filePath(QStringLiteral("mac-app-install.log"));
    QVERIFY(QDir().mkpath(log));
    QVERIFY(!InstallLog::openLog(log));
    InstallLog::writeLog(QStringLiteral("ignored"), nullptr);
}

void InstallLogTests::writeLogAppendsLines()
{
    QTemporaryDir home;
    const QString log = home.filePath(QStringLiteral("mac-app-install.log"));
    {
        auto handle = InstallLog::openLog(log);
        InstallLog::writeLog(QStringLiteral("一"), handle.get());
    }
    {
        auto handle = InstallLog::openLog(log);
        InstallLog::writeLog(QStringLiteral("two"), handle.get());
        InstallLog::writeLog(QString(), handle.get());
    }
    QCOMPARE(readAll(log), QStringLiteral("一\ntwo\n\n").toUtf8());
}

void InstallLogTests::locations()
{
    QVERIFY(InstallLog::logsDirectory().endsWith(QStringLiteral("/.quorvantis/profiles/default/logs")));
    QCOMPARE(InstallLog::installLog(), InstallLog::logsDirectory() + QStringLiteral("/mac-app-install.log"));
}

void InstallLogTests::lineFromBuffer_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected"); // null: no line

    QTest::newRow("empty gives nothing") << QByteArray() << QString();
    QTest::newRow("blanks give an empty line") << QByteArray("   \t") << QString("");
    QTest::newRow("carriage return trimmed") << QByteArray("x\r") << QString("x");
    QTest::newRow("utf-8") << QByteArray("  安装  ") << QStringLiteral("安装");
    QTest::newRow("invalid utf-8 repaired") << QByteArray("a\xff\xfe" "b") << QStringLiteral("a\uFFFD\uFFFDb");
    QTest::newRow("nul kept") << QByteArray("a\0b", 3) << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b"));
}

void InstallLogTests::lineFromBuffer()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QByteArray buffer = bytes;
    const std::optional<QString> line = CLIService::line(buffer);
    QVERIFY(buffer.isEmpty());
    QCOMPARE(line.has_value(), !expected.isNull());
    if (line)
        QCOMPARE(*line, expected);
}

QTEST_GUILESS_MAIN(InstallLogTests)
#include "InstallLogTests.moc"
