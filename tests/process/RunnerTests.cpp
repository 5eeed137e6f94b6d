// The runner with real bash: one run at a time, the child's output as lines in write order,
// its input, its environment and the install log it leaves.
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ScriptFiles.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

using namespace QuorvantisTest;

class RunnerTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    QString log() const { return m_home->filePath(QStringLiteral("logs/mac-app-install.log")); }
    QString logText() const { return QString::fromUtf8(readFile(log())); }

    CLIService::Options options(const QString &sessionScript = {}) const
    {
        CLIService::Options options;
        options.installLogPath = log();
        options.homeDirectory = m_home->path();
        options.onboardingOverride = [] { return std::optional<QUrl>(); };
        options.sessionScript = [sessionScript] { return std::optional<QString>(sessionScript); };
        return options;
    }

    // The code of the native error a task fails with; empty when it does not fail.
    template <typename T>
    static QString failureCode(QCoro::Task<T> task, QString *message = nullptr)
    {
        try {
            await(std::move(task));
        } catch (const QuorvantisNativeError &error) {
            if (message)
                *message = error.message;
            return error.code;
        }
        return {};
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
    }

    // Lines starting with "…" match any earlier lines (random bytes); the rest must be exact.
    void runs_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("input"); // null: no standard input
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errorLine");
        QTest::addColumn<QStringList>("taken"); // what the interceptor took ("take:" lines)
        const QString none;
        QTest::newRow("both streams in write order, unterminated last line")
            << "for i in 1 2; do echo out$i; echo err$i >&2; done; printf 'tail'" << none
            << QStringList{"out1", "err1", "out2", "err2", "tail"} << 0 << none << QStringList();
        QTest::newRow("last error-looking line") << "echo 'Error: x'; echo 'fatal: y'; echo '{\"error\":1}'; exit 2" << none
                                                 << QStringList{"Error: x", "fatal: y", "{\"error\":1}"} << 2 << "fatal: y"
                                                 << QStringList();
        QTest::newRow("empty line dropped") << "printf 'a\\n\\nb'" << none << QStringList{"a", "b"} << 0 << none << QStringList();
        QTest::newRow("CR LF") << "printf 'x\\r\\n'" << none << QStringList{"x"} << 0 << none << QStringList();
        QTest::newRow("bare CR stays inside") << "printf 'a\\rb\\n'" << none << QStringList{"a\rb"} << 0 << none << QStringList();
        QTest::newRow("invalid UTF-8") << "printf 'a\\377b\\n'" << none << QStringList{QStringLiteral("a\uFFFDb")} << 0 << none
                                       << QStringList();
        QTest::newRow("UTF-8 split across writes") << "printf '\\345'; sleep 0.05; printf '\\256\\211\\350\\243\\205\\n'" << none
                                                   << QStringList{QStringLiteral("安装")} << 0 << none << QStringList();
        QTest::newRow("overlong line keeps its first 262144 bytes")
            << "head -c 300000 /dev/zero | tr '\\0' a; echo; echo next" << none
            << QStringList{QString(262'144, u'a'), "next"} << 0 << none << QStringList();
        QTest::newRow("binary garbage and NUL bytes")
            << "head -c 300000 /dev/urandom; printf '\\0\\0x\\0\\n\\033[31;'; echo; echo end" << none
            << QStringList{"…", "end"} << 0 << none << QStringList();
        QTest::newRow("input written once, then end of input") << "cat | od -An -c | tr -s ' '" << "abc"
                                                              << QStringList{"a b c"} << 0 << none << QStringList();
        QTest::newRow("no input: end of input at once") << "cat; echo eof" << none << QStringList{"eof"} << 0 << none
                                                        << QStringList();
        QTest::newRow("child that never reads its input") << "echo bye; exit 7" << QString(4 * 1024 * 1024, u'x')
                                                          << QStringList{"bye"} << 7 << none << QStringList();
        QTest::newRow("input secret masked where echoed") << "read -r line; echo \"got $line\"" << "enrol-key-abcdef123\n"
                                                          << QStringList{"got [REDACTED]"} << 0 << none << QStringList();
        QTest::newRow("signal number as status") << "echo before; kill -KILL $$; echo after" << none
                                                 << QStringList{"before"} << 9 << none << QStringList();
        QTest::newRow("a grandchild holding the pipe does not hold the run") << "(sleep 3; echo late) & echo early" << none
                                                                               << QStringList{"early"} << 0 << none
                                                                               << QStringList();
        QTest::newRow("interceptor takes lines out of output and log")
            << "echo keep; echo 'take: Password: s3cret phrase'; echo after" << none << QStringList{"keep", "after"} << 0
            << none << QStringList{"take: Password: s3cret phrase"};
    }

    void runs()
    {
        QFETCH(QString, script);
        QFETCH(QString, input);
        QFETCH(QStringList, lines);
        QFETCH(int, status);
        QFETCH(QString, errorLine);
        QFETCH(QStringList, taken);
        CLIService cli(options());
        QStringList output;
        QStringList intercepted;
        QElapsedTimer timer;
        timer.start();
        const QStringList arguments{QStringLiteral("-c"), script};
        const CLIResult result = await(cli.execute(
            arguments, input.isNull() ? std::nullopt : std::optional(input), [&](const QString &line) { output << line; },
            [&](const QString &line) {
                if (!line.startsWith(u"take:"))
                    return false;
                intercepted << line;
                return true;
            }));
        QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!cli.isRunning());
        QCOMPARE(result, (CLIResult{status, errorLine.isNull() ? std::nullopt : std::optional(errorLine)}));
        QCOMPARE(intercepted, taken);

        // The log: a dated header, exactly the lines the caller got, the exit line.
        static const QRegularExpression header(QStringLiteral("^\\n--- \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ ---\\n"));
        const QString text = logText();
        const QRegularExpressionMatch head = header.match(text);
        QVERIFY2(head.hasMatch(), qPrintable(text.left(80)));
        const QString exitLine = QStringLiteral("Process exited with status %1\n").arg(status);
        if (lines.first() == u"…") {
            QCOMPARE(output.last(), lines.last());
            for (const QString &line : output)
                QVERIFY(line.size() <= 262'144);
            QVERIFY(text.endsWith(lines.last() + u'\n' + exitLine));
        } else {
            QCOMPARE(output, lines);
            QCOMPARE(text.mid(head.capturedLength()), lines.join(u'\n') + u'\n' + exitLine);
        }
    }

    void secondRunIsRefusedWithoutSideEffect()
    {
        CLIService cli(options());
        QStringList lines;
        const QStringList first{QStringLiteral("-c"), QStringLiteral("read -r line; echo \"first $line\"")};
        auto running = cli.execute(first, QStringLiteral("go\n"), [&](const QString &line) { lines << line; });
        QVERIFY(cli.isRunning());
        const QStringList second{QStringLiteral("-c"), QStringLiteral("echo second")};
        QCOMPARE(failureCode(cli.execute(second, std::nullopt, [&](const QString &line) { lines << line; })),
                 QStringLiteral("OPERATION_ALREADY_RUNNING"));
        QCOMPARE(await(std::move(running)).status, 0);
        QCOMPARE(lines, QStringList{QStringLiteral("first go")});
        QCOMPARE(logText().count(QStringLiteral("--- ")), 1);
        QVERIFY(!cli.isRunning());
    }

    // Also: a log above 2 MiB is rotated before the run writes to it.
    void launchFailureIsLoggedAndRaised()
    {
        QVERIFY(writeFile(log(), QByteArray(2'097'153, 'o')));
        CLIService::Options broken = options();
        broken.bashPath = m_home->filePath(QStringLiteral("no-such-shell"));
        CLIService cli(broken);
        QCOMPARE(failureCode(cli.runScript(QStringLiteral("echo never"), {})), QStringLiteral("INSTALL_LAUNCH_FAILED"));
        QVERIFY(!cli.isRunning());
        QVERIFY2(QRegularExpression(QStringLiteral("^\\n--- \\S+ ---\\nINSTALL_LAUNCH_FAILED\\n$")).match(logText()).hasMatch(),
                 qPrintable(logText().left(200)));
        QCOMPARE(QFileInfo(log() + QStringLiteral(".previous")).size(), 2'097'153);
    }

    void environment_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value"); // null: absent
        const QString runtime = QStringLiteral("<home>/.quorvantis/mac-app-runtime");
        for (const char *absent : {"npm_config_prefix", "Pnpm_Home", "NPM_CONFIG_REGISTRY", "quorvantis_enrollment_key",
                                   "QUORVANTIS_ENROLLMENT_KEY", "NVM_DIR", "NVM_BIN"})
            QTest::newRow(absent) << absent << QString();
        QTest::newRow("other variables stay") << "NPMRC_KEPT" << "kept";
        QTest::newRow("inherited onboarding address stays") << "QUORVANTIS_ONBOARDING_SERVICE_URL" << "https://inherited.example";
        QTest::newRow("HOME") << "HOME" << "<home>";
        QTest::newRow("PNPM_HOME") << "PNPM_HOME" << runtime + "/bin";
        QTest::newRow("PM2_HOME") << "PM2_HOME" << runtime + "/pm2";
        QTest::newRow("NPM_CONFIG_USERCONFIG") << "NPM_CONFIG_USERCONFIG" << runtime + "/pnpm-config/npmrc";
        QTest::newRow("NPM_CONFIG_GLOBALCONFIG") << "NPM_CONFIG_GLOBALCONFIG" << "/dev/null";
        QTest::newRow("LANG") << "LANG" << "en_US.UTF-8";
        QTest::newRow("LC_CTYPE") << "LC_CTYPE" << "en_US.UTF-8";
        QTest::newRow("PATH") << "PATH"
                              << runtime + "/bin:/opt/homebrew/bin:/opt/homebrew/sbin:/usr/local/bin:/usr/local/sbin:"
                                           "/usr/bin:/bin:/usr/sbin:/sbin";
    }

    void environment()
    {
        QFETCH(QString, name);
        QFETCH(QString, value);
        const QProcessEnvironment computed = CLIService(withBase()).environment();
        QCOMPARE(computed.contains(name), !value.isNull());
        if (!value.isNull())
            QCOMPARE(computed.value(name), QString(value).replace(QStringLiteral("<home>"), m_home->path()));
    }

    // The child sees exactly what the runner computed, and an onboarding override replaces the
    // inherited address.
    void childGetsTheComputedEnvironment()
    {
        CLIService::Options overridden = withBase();
        overridden.onboardingOverride = [] { return std::optional<QUrl>(QUrl(QStringLiteral("http://localhost:4100/base"))); };
        CLIService cli(overridden);
        QStringList lines;
        // (without its scheme, which the log would mask as an address)
        await(cli.runScript(QStringLiteral("compgen -e; echo \"=${QUORVANTIS_ONBOARDING_SERVICE_URL#http://}\""),
                            [&](const QString &line) { lines << line; }));
        QCOMPARE(lines.takeLast(), QStringLiteral("=localhost:4100/base"));
        for (const char *own : {"PWD", "SHLVL", "OLDPWD"})
            lines.removeAll(QLatin1String(own));
        QStringList expected = cli.environment().keys();
        lines.sort();
        expected.sort();
        QCOMPARE(lines, expected);
    }

    // The session script's operations: its arguments, and the secret given on standard input
    // masked wherever the child echoes it. Without a session script nothing starts.
    void sessionScriptOperations_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("prepare") << "prepare" << QStringList{"args: <--prepare>"};
        QTest::newRow("setup") << "setup" << QStringList{"args: <--setup-only> <Ava>", "in:[REDACTED]"};
        QTest::newRow("resume") << "resume" << QStringList{"args: <--setup-only> <--resume>"};
        QTest::newRow("enroll") << "enroll"
                                << QStringList{"args: <--setup-only> <--enroll> <--workspace> <zoho> <Ava Bot>", "in:[REDACTED]"};
    }

    void sessionScriptOperations()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, lines);
        const QString script = m_home->filePath(QStringLiteral("session.sh"));
        QVERIFY(writeFile(script, "printf 'args:'; printf ' <%s>' \"$@\"; echo; while IFS= read -r l; do echo \"in:$l\"; done\n"));
        for (const bool present : {false, true}) {
            CLIService cli(options(present ? script : QString()));
            QStringList output;
            const auto collect = [&output](const QString &line) { output << line; };
            auto run = operation == u"prepare" ? cli.prepareEnvironment(collect)
                : operation == u"setup"        ? cli.setup(QStringLiteral("QVI1-ABCD-EFGH-JKMN"), QStringLiteral("Ava"), collect, {})
                : operation == u"resume"       ? cli.resumeSetup(collect, {})
                                               : cli.enroll(QStringLiteral("zoho"), QStringLiteral("Ava Bot"),
                                                            QStringLiteral("enrol-key-abcdef123"), collect, {});
            QString message;
            QCOMPARE(failureCode(std::move(run), &message), present ? QString() : QStringLiteral("INSTALL_COMPONENT_MISSING"));
            QCOMPARE(QFileInfo::exists(log()), present);
            if (!present)
                QCOMPARE(message, QStringLiteral("安装组件不完整，请重新安装 Quorvantis"));
            QCOMPARE(output, present ? lines : QStringList());
        }
        for (const char *secret : {"enrol-key", "ABCD-EFGH"})
            QVERIFY2(!logText().contains(QLatin1String(secret)), secret);
    }

private:
    CLIService::Options withBase() const
    {
        QProcessEnvironment base;
        const QStringList entries{"npm_config_prefix=/x", "Pnpm_Home=/y", "NPM_CONFIG_REGISTRY=z", "QUORVANTIS_ENROLLMENT_KEY=s",
                                  "quorvantis_enrollment_key=s", "NVM_DIR=/nvm", "NVM_BIN=/nvm/bin", "PATH=/inherited/bin",
                                  "NPMRC_KEPT=kept", "HOME=/elsewhere",
                                  "QUORVANTIS_ONBOARDING_SERVICE_URL=https://inherited.example"};
        for (const QString &entry : entries)
            base.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        CLIService::Options options = this->options();
        options.baseEnvironment = base;
        return options;
    }
};

QTEST_GUILESS_MAIN(RunnerTests)
#include "RunnerTests.moc"
