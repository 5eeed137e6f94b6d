#include "process/CLIService.h"
#include "process/InstallLog.h"
#include "process/OutputPipeline.h"
#include "process/Redaction.h"
#include "support/Test.h"

#include <QTemporaryDir>

using namespace QuorvantisTest;

class InstallLogTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sanitize_data()
    {
        columns<QString, QString>({"line", "expected"});
        QTest::newRow("plain") << "Installing dependencies" << "Installing dependencies";
        QTest::newRow("colour") << "\x1b[31merror\x1b[0m: boom" << "error: boom";
        QTest::newRow("unterminated escape is kept") << "x\x1b[31" << "x\x1b[31";
        QTest::newRow("email any case, spaces kept") << "EMAIL:   a@b.c rest" << "EMAIL:   [REDACTED] rest";
        QTest::newRow("password with a space is masked whole") << "Password: correct horse" << "Password: [REDACTED]";
        QTest::newRow("label without value") << "Password:" << "Password:";
        QTest::newRow("url") << "open http://localhost:3000/a?b=c now" << "open [URL REDACTED] now";
        QTest::newRow("url scheme is case-sensitive") << "HTTPS://x.example/a" << "HTTPS://x.example/a";
        QTest::newRow("setup code in sentence") << "redeeming QVS2-ABCD-EFGH-JKMN now"
                                                << "redeeming [SETUP CODE REDACTED] now";
        QTest::newRow("invite code lower case") << "code qvi1-abcd-efgh-2345." << "code [SETUP CODE REDACTED].";
        for (const char *shape :
             {"QVS2-ABCI-EFGH-JKMN", "QVS2-ABCD-EFGL-JKMN", "QVS2-ABCD-EFGH-JKMO", "QVS2-UBCD-EFGH-JKMN"})
            QTest::newRow(shape) << shape << shape; // I, L, O and U are no code letters
        QTest::newRow("code glued to a word is left") << "xQVS2-ABCD-EFGH-JKMN" << "xQVS2-ABCD-EFGH-JKMN";
        QTest::newRow("escape hides a label") << "Pass\x1b[0mword: hunter2" << "Password: [REDACTED]";
        QTest::newRow("json credentials")
            << "{\"type\":\"jitAuthorization\",\"email\":\"a@b.c\",\"password\":\"p \\\"q\\\"\",\"authUrl\":\"x\"}"
            << R"({"type":"jitAuthorization","email":"[REDACTED]","password":"[REDACTED]","authUrl":"x"})";
        // No pattern's match may hide another's.
        QTest::newRow("label after label") << "Email: Password: X" << "Email: [REDACTED] [REDACTED]";
        QTest::newRow("url in json value") << R"({"email": "https://x", "password": "S"})"
                                           << R"({"email": "[REDACTED]" "password": "[REDACTED]"})";
        // (Quotes escaped: the meta-object compiler cannot read a raw string with an odd count.)
        QTest::newRow("unclosed json value") << "{\"email\": \"a@b, \"password\": \"S\"}"
                                             << "{\"email\": \"[REDACTED]\"password\": \"[REDACTED]\"}";
        QTest::newRow("escaped json key") << R"({"p\u0061ssword":"S"})" << R"({"p\u0061ssword":"[REDACTED]"})";
        QTest::newRow("escape ends on a label") << "\x1b[ Email: secret" << "mail: [REDACTED]";
        QTest::newRow("escape left by stripping") << "\x1b[\x1b[ununt" << "unt";
        QTest::newRow("escapes before a token go with it") << "\x1b\x1b\x1bhttps://x" << "[URL REDACTED]";
        QTest::newRow("code inside a code") << "QVS2-QVS2-ABCD-EFGH-JKMN" << "[SETUP CODE REDACTED]";
        QTest::newRow("lone surrogate") << QChar(0xDC00) + QStringLiteral("Password: x")
                                        << QChar(0xDC00) + QStringLiteral("Password: [REDACTED]");
    }
    void sanitize()
    {
        QFETCH(QString, line);
        QFETCH(QString, expected);
        QCOMPARE(InstallLog::sanitize(line), expected);
    }

    void errorCandidate_data()
    {
        // expected — null: no candidate
        columns<QString, QString>({"line", "expected"});
        QTest::newRow("ordinary") << "Installing pnpm" << QString();
        QTest::newRow("json after blanks") << R"(   {"error":1})" << QString();
        QTest::newRow("Failed any case") << "Download FAILED" << "Download FAILED";
        QTest::newRow("trimmed") << "  Error: x  " << "Error: x";
        // The last entry of the marker list ("Error" and "FAILED" are above).
        QTest::newRow("exit code") << "x EXIT CODE y" << "x EXIT CODE y";
        const char16_t *chinese[] = {u"失败", u"无法", u"未完成", u"不完整", u"不可用", u"无效", u"超时"};
        for (const char16_t *marker : chinese) {
            const QString line = QStringLiteral("安装%1了").arg(QString::fromUtf16(marker));
            QTest::newRow(QString::fromUtf16(marker).toUtf8().constData()) << line << line;
        }
        QTest::newRow("near miss") << "time out, fail, deny" << QString();
        const QString longLine = QStringLiteral("error ") + QString(294, QLatin1Char('x'));
        QTest::newRow("cut to 240") << longLine << longLine.left(240);
        // Flags of two code points each: the cut falls after the 240th character, never inside one.
        const QString flag = QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3");
        QTest::newRow("cut between flags")
            << QStringLiteral("失败 ") + flag.repeated(250) << QStringLiteral("失败 ") + flag.repeated(237);
    }
    void errorCandidate()
    {
        QFETCH(QString, line);
        QFETCH(QString, expected);
        QCOMPARE(InstallLog::errorCandidate(line), expected.isNull() ? std::nullopt : std::optional(expected));
    }

    void cleanAgreesWithTheSeparateSteps_data()
    {
        sanitize_data();
        QTest::newRow("error after escape") << "\x1b[31mERROR\x1b[0m disk full" << QString();
        QTest::newRow("error word in url only") << "see https://h/error-codes" << QString();
        QTest::newRow("error in masked password") << "Password: failed-on-purpose" << QString();
    }
    void cleanAgreesWithTheSeparateSteps()
    {
        QFETCH(QString, line);
        const InstallLog::CleanedLine cleaned = InstallLog::clean(line);
        QCOMPARE(cleaned.text, InstallLog::sanitize(line));
        QCOMPARE(cleaned.errorCandidate, InstallLog::errorCandidate(InstallLog::sanitize(line)));
    }

    void secretsSplitByEscapesAreMasked()
    {
        QStringList lines;
        OutputPipeline pipeline(nullptr, [&lines](const QString &line) { lines << line; }, {},
                                {QStringLiteral("abcdefgh")});
        pipeline.feed("in:abcd\x1b[0mefgh\nin:abcdefgh!\n");
        QCOMPARE(lines, (QStringList{"in:[REDACTED]", "in:[REDACTED]!"}));
    }

    // Redacting a redacted line changes nothing, whatever the first pass's stretches were; the
    // rows are lines whose first pass used to leave something a second pass would mask.
    void redactionIsItsOwnRedaction_data()
    {
        columns<QString, QStringList, QString>({"line", "secrets", "expected"});
        QTest::newRow("json value across a blank after a label")
            << "Email:\"email\":\" \"}" << QStringList() << "Email:[REDACTED]";
        QTest::newRow("json value ending inside a word after a label")
            << "Email:\"password\":\"a b\"c d" << QStringList() << "Email:[REDACTED] d";
        QTest::newRow("secret across a blank after a label")
            << "Email:ab cdefghij! x" << QStringList{"b cdefghij"} << "Email:[REDACTED] x";
        QTest::newRow("json value across a blank after a url")
            << "http://x\"password\":\"a b\"c" << QStringList() << "[URL REDACTED]c";
        QTest::newRow("token spelled by the secret is masked whole")
            << "x REDACTED y" << QStringList{"REDACTED"} << "[REDACTED]";
    }
    void redactionIsItsOwnRedaction()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, secrets);
        QFETCH(QString, expected);
        const QString once = Redaction::redact(line, secrets);
        QCOMPARE(once, expected);
        QCOMPARE(Redaction::redact(once, secrets), once);
    }

    // The pipeline redacts a line once, secrets and patterns together: with or without a secret
    // on standard input, the caller and the log get the same form.
    void pipelineLogsOneFormOfALine()
    {
        QTemporaryDir home;
        const QString line = QStringLiteral("Email:\"email\":\" \"} abcdefgh");
        for (const QStringList &secrets : {QStringList(), QStringList{QStringLiteral("abcdefgh")}}) {
            const QString path = home.filePath(QString::number(secrets.size()));
            QStringList lines;
            {
                const std::unique_ptr<QFile> log = InstallLog::openLog(path);
                OutputPipeline pipeline(log.get(), [&lines](const QString &shown) { lines << shown; }, {}, secrets);
                pipeline.feed(line.toUtf8() + '\n');
            }
            const QString expected =
                secrets.isEmpty() ? QStringLiteral("Email:[REDACTED] abcdefgh") : QStringLiteral("Email:[REDACTED] [REDACTED]");
            QCOMPARE(lines, QStringList{expected});
            QCOMPARE(readFile(path), (expected + u'\n').toUtf8());
        }
    }

    // A log above 2 MiB becomes the one previous generation before anything is written to it.
    void rotation_data()
    {
        columns<qint64, bool>({"size", "rotated"});
        QTest::newRow("exactly 2 MiB stays") << qint64(2'097'152) << false;
        QTest::newRow("one byte more is rotated") << qint64(2'097'153) << true;
    }
    void rotation()
    {
        QFETCH(qint64, size);
        QFETCH(bool, rotated);
        QTemporaryDir home;
        const QString log = home.filePath(QStringLiteral("mac-app-install.log")),
                      previous = log + QStringLiteral(".previous");
        QVERIFY(writeFile(log, QByteArray(size, 'a')));
        QVERIFY(writeFile(previous, "older"));
        InstallLog::writeLog(QStringLiteral("more"), InstallLog::openLog(log).get());
        QCOMPARE(QFileInfo(log).size(), rotated ? 5 : size + 5);
        QCOMPARE(QFileInfo(previous).size(), rotated ? size : 5);
    }

    // A new log is private, in the directories made for it, and takes the lines of every run.
    void newLog()
    {
        QTemporaryDir home;
        const QString log = home.filePath(QStringLiteral("a/b/mac-app-install.log"));
        InstallLog::writeLog(QStringLiteral("一"), InstallLog::openLog(log).get());
        auto handle = InstallLog::openLog(log);
        InstallLog::writeLog(QStringLiteral("two"), handle.get());
        InstallLog::writeLog(QString(), handle.get());
        handle.reset();
        QCOMPARE(readFile(log), QStringLiteral("一\ntwo\n\n").toUtf8());
        QCOMPARE(QFile::permissions(log) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    // An output line taken from the runner's buffer.
    void lineFromBuffer_data()
    {
        // expected — null: no line
        columns<QByteArray, QString>({"bytes", "expected"});
        QTest::newRow("empty gives nothing") << QByteArray() << QString();
        QTest::newRow("blanks give an empty line") << QByteArray("   \t") << QString("");
        QTest::newRow("carriage return trimmed") << QByteArray("x\r") << QString("x");
        QTest::newRow("invalid utf-8 repaired") << QByteArray("a\xff\xfe"
                                                              "b") << QStringLiteral("a\uFFFD\uFFFDb");
    }
    void lineFromBuffer()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const std::optional<QString> line = CLIService::line(bytes);
        QVERIFY(bytes.isEmpty());
        QCOMPARE(line, expected.isNull() ? std::nullopt : std::optional(expected));
    }
};

QTEST_GUILESS_MAIN(InstallLogTests)
#include "InstallLogTests.moc"
