#include "process/InstallLog.h"
#include "process/OutputPipeline.h"
#include "support/Test.h"

#include <QTemporaryDir>

using namespace QuorvantisTest;

class InstallLogTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What every output line becomes, given the texts the child got on standard input: redacted
    // (a redacted line redacted again stays as it is), and the error it reads like (null: none).
    // The common line takes a shortcut past the redaction; both ways must agree with the table.
    void clean_data()
    {
        columns<QString, QString, QString, QStringList>({"line", "text", "error", "secrets"});
        const auto row = [](const char *name, const QString &line, const QString &text, const QString &error = {},
                            const QStringList &secrets = {}) { QTest::newRow(name) << line << text << error << secrets; };
        const auto error = [&row](const char *name, const QString &line, const QString &error) {
            row(name, line, line, error);
        };
        row("plain", "Installing dependencies", "Installing dependencies");
        row("colour", "\x1b[31merror\x1b[0m: boom", "error: boom", "error: boom");
        row("unterminated escape is kept", "x\x1b[31", "x\x1b[31");
        row("email any case, spaces kept", "EMAIL:   a@b.c rest", "EMAIL:   [REDACTED] rest");
        row("password with a space is masked whole", "Password: correct horse", "Password: [REDACTED]");
        row("label without value", "Password:", "Password:");
        row("url", "open http://localhost:3000/a?b=c now", "open [URL REDACTED] now");
        row("url scheme is case-sensitive", "HTTPS://x.example/a", "HTTPS://x.example/a");
        row("setup code in sentence", "redeeming QVS2-ABCD-EFGH-JKMN now", "redeeming [SETUP CODE REDACTED] now");
        row("invite code lower case", "code qvi1-abcd-efgh-2345.", "code [SETUP CODE REDACTED].");
        for (const char *shape :
             {"QVS2-ABCI-EFGH-JKMN", "QVS2-ABCD-EFGL-JKMN", "QVS2-ABCD-EFGH-JKMO", "QVS2-UBCD-EFGH-JKMN"})
            row(shape, shape, shape); // I, L, O and U are no code letters
        row("code glued to a word is left", "xQVS2-ABCD-EFGH-JKMN", "xQVS2-ABCD-EFGH-JKMN");
        row("escape hides a label", "Pass\x1b[0mword: hunter2", "Password: [REDACTED]");
        row("json credentials",
            "{\"type\":\"jitAuthorization\",\"email\":\"a@b.c\",\"password\":\"p \\\"q\\\"\",\"authUrl\":\"x\"}",
            R"({"type":"jitAuthorization","email":"[REDACTED]","password":"[REDACTED]","authUrl":"x"})");
        // No pattern's match may hide another's.
        row("label after label", "Email: Password: X", "Email: [REDACTED] [REDACTED]");
        row("url in json value", R"({"email": "https://x", "password": "S"})",
            R"({"email": "[REDACTED]" "password": "[REDACTED]"})");
        // (Quotes escaped: the meta-object compiler cannot read a raw string with an odd count.)
        row("unclosed json value", "{\"email\": \"a@b, \"password\": \"S\"}",
            "{\"email\": \"[REDACTED]\"password\": \"[REDACTED]\"}");
        row("escaped json key", R"({"p\u0061ssword":"S"})", R"({"p\u0061ssword":"[REDACTED]"})");
        row("escape ends on a label", "\x1b[ Email: secret", "mail: [REDACTED]");
        row("escape left by stripping", "\x1b[\x1b[ununt", "unt");
        row("escapes before a token go with it", "\x1b\x1b\x1bhttps://x", "[URL REDACTED]");
        row("code inside a code", "QVS2-QVS2-ABCD-EFGH-JKMN", "[SETUP CODE REDACTED]");
        row("lone surrogate", QChar(0xDC00) + QStringLiteral("Password: x"),
            QChar(0xDC00) + QStringLiteral("Password: [REDACTED]"));
        // Lines whose first pass used to leave something a second pass would mask.
        row("json value across a blank after a label", "Email:\"email\":\" \"}", "Email:[REDACTED]");
        row("json value ending inside a word after a label", "Email:\"password\":\"a b\"c d", "Email:[REDACTED] d");
        row("secret across a blank after a label", "Email:ab cdefghij! x", "Email:[REDACTED] x", {}, {"b cdefghij"});
        row("json value across a blank after a url", "http://x\"password\":\"a b\"c", "[URL REDACTED]c");
        row("token spelled by the secret is masked whole", "x REDACTED y", "[REDACTED]", {}, {"REDACTED"});
        // The error a line reads like, judged on what is left once it is redacted.
        row("error word in url only", "see https://h/error-codes", "see [URL REDACTED]");
        row("error in masked password", "Password: failed-on-purpose", "Password: [REDACTED]");
        error("ordinary", "Installing pnpm", {});
        error("json after blanks", R"(   {"error":1})", {});
        error("Failed any case", "Download FAILED", "Download FAILED");
        error("trimmed", "  Error: x  ", "Error: x");
        // The last entry of the marker list ("Error" and "FAILED" are above).
        error("exit code", "x EXIT CODE y", "x EXIT CODE y");
        for (const char16_t *marker : {u"失败", u"无法", u"未完成", u"不完整", u"不可用", u"无效", u"超时"}) {
            const QString line = QStringLiteral("安装%1了").arg(QString::fromUtf16(marker));
            error(QString::fromUtf16(marker).toUtf8().constData(), line, line);
        }
        error("near miss", "time out, fail, deny", {});
        const QString longLine = QStringLiteral("error ") + QString(294, QLatin1Char('x'));
        error("cut to 240", longLine, longLine.left(240));
        // Flags of two code points each: the cut falls after the 240th character, never inside one.
        const QString flag = QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3");
        const QString failed = QStringLiteral("失败 ");
        error("cut between flags", failed + flag.repeated(250), failed + flag.repeated(237));
    }
    void clean()
    {
        QFETCH(QString, line);
        QFETCH(QString, text);
        QFETCH(QString, error);
        QFETCH(QStringList, secrets);
        const InstallLog::CleanedLine cleaned = InstallLog::clean(line, secrets);
        QCOMPARE(cleaned.text, text);
        QCOMPARE(cleaned.errorCandidate, error.isNull() ? std::nullopt : std::optional(error));
        QCOMPARE(InstallLog::clean(text, secrets).text, text);
        if (secrets.isEmpty())
            QCOMPARE(InstallLog::sanitize(line), text);
    }

    // The pipeline redacts a line once, the secrets given on standard input and the patterns
    // together (an escape inside a secret cannot hide it): the caller and the log get one form.
    void pipelineLogsOneFormOfALine_data()
    {
        columns<QString, QStringList, QString>({"line", "secrets", "shown"});
        const QString line = QStringLiteral("Email:\"email\":\" \"} abcdefgh");
        QTest::newRow("patterns") << line << QStringList() << "Email:[REDACTED] abcdefgh";
        QTest::newRow("patterns and a secret") << line << QStringList{"abcdefgh"} << "Email:[REDACTED] [REDACTED]";
        QTest::newRow("a secret split by an escape") << "in:abcd\x1b[0mefgh!" << QStringList{"abcdefgh"}
                                                     << "in:[REDACTED]!";
    }
    void pipelineLogsOneFormOfALine()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, secrets);
        QFETCH(QString, shown);
        QTemporaryDir home;
        const QString path = home.filePath(QStringLiteral("log"));
        QStringList lines;
        {
            const std::unique_ptr<QFile> log = InstallLog::openLog(path);
            OutputPipeline pipeline(log.get(), [&lines](const QString &text) { lines << text; }, {}, secrets);
            pipeline.feed(line.toUtf8() + '\n');
        }
        QCOMPARE(lines, QStringList{shown});
        QCOMPARE(readFile(path), (shown + u'\n').toUtf8());
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
};

QTEST_GUILESS_MAIN(InstallLogTests)
#include "InstallLogTests.moc"
