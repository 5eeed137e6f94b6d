// The runner with real bash: one run at a time, the child's output as lines in write order,
// its input, its environment and the install log it leaves.
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ScriptFiles.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

using namespace QuorvantisTest;

// One run: `lines` starting with "…" match any earlier lines (random bytes); `taken` are the
// lines the interceptor takes (those starting with "take:").
struct Run
{
    QString script{};
    QStringList lines{};
    int status = 0;
    QString input{}; // null: no standard input
    QString error{}; // the last error-looking line; null: none
    QStringList taken{};
};
Q_DECLARE_METATYPE(Run)

class RunnerTests : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QString log() const { return m_home.filePath(QStringLiteral("logs/mac-app-install.log")); }
    QString logText() const { return QString::fromUtf8(readFile(log())); }

    CLIService::Options options(const QString &sessionScript = {}, const QStringList &base = {}) const
    {
        CLIService::Options options;
        options.installLogPath = log();
        options.homeDirectory = m_home.path();
        options.onboardingOverride = [] { return std::optional<QUrl>(); };
        options.sessionScript = [sessionScript] { return std::optional<QString>(sessionScript); };
        if (!base.isEmpty())
            options.baseEnvironment.emplace();
        for (const QString &entry : base)
            options.baseEnvironment->insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        return options;
    }

    // The code of the native error a task fails with; empty when it does not fail.
    static QString failureCode(QCoro::Task<CLIResult> task, QString *message = nullptr) try {
        await(std::move(task));
        return {};
    } catch (const QuorvantisNativeError &error) {
        if (message)
            *message = error.message;
        return error.code;
    }

private Q_SLOTS:
    void init() { QFile::remove(log()); QFile::remove(log() + QStringLiteral(".previous")); }

    void runs_data()
    {
        QTest::addColumn<Run>("run");
        QTest::newRow("both streams in write order, unterminated last line")
            << Run{.script = "for i in 1 2; do echo out$i; echo err$i >&2; done; printf 'tail'", .lines = {"out1", "err1", "out2", "err2", "tail"}};
        QTest::newRow("last error-looking line") << Run{.script = "echo 'Error: x'; echo 'fatal: y'; echo '{\"error\":1}'; exit 2",
                                                        .lines = {"Error: x", "fatal: y", "{\"error\":1}"}, .status = 2, .error = "fatal: y"};
        QTest::newRow("empty line dropped") << Run{.script = "printf 'a\\n\\nb'", .lines = {"a", "b"}};
        QTest::newRow("CR LF") << Run{.script = "printf 'x\\r\\n'", .lines = {"x"}};
        QTest::newRow("bare CR stays inside") << Run{.script = "printf 'a\\rb\\n'", .lines = {"a\rb"}};
        QTest::newRow("invalid UTF-8") << Run{.script = "printf 'a\\377b\\n'", .lines = {QStringLiteral("a\uFFFDb")}};
        QTest::newRow("UTF-8 split across writes")
            << Run{.script = "printf '\\345'; sleep 0.05; printf '\\256\\211\\350\\243\\205\\n'", .lines = {QStringLiteral("安装")}};
        QTest::newRow("overlong line keeps its first 262144 bytes")
            << Run{.script = "head -c 300000 /dev/zero | tr '\\0' a; echo; echo next", .lines = {QString(262'144, u'a'), "next"}};
        QTest::newRow("binary garbage and NUL bytes")
            << Run{.script = "head -c 300000 /dev/urandom; printf '\\0\\0x\\0\\n\\033[31;'; echo; echo end", .lines = {"…", "end"}};
        QTest::newRow("input written once, then end of input") << Run{.script = "cat | od -An -c | tr -s ' '", .lines = {"a b c"}, .input = "abc"};
        QTest::newRow("no input: end of input at once") << Run{.script = "cat; echo eof", .lines = {"eof"}};
        QTest::newRow("child that never reads its input")
            << Run{.script = "echo bye; exit 7", .lines = {"bye"}, .status = 7, .input = QString(4 * 1024 * 1024, u'x')};
        QTest::newRow("input secret masked where echoed")
            << Run{.script = "read -r line; echo \"got $line\"", .lines = {"got [REDACTED]"}, .input = "enrol-key-abcdef123\n"};
        QTest::newRow("signal number as status") << Run{.script = "echo before; kill -KILL $$; echo after", .lines = {"before"}, .status = 9};
        QTest::newRow("a grandchild holding the pipe does not hold the run") << Run{.script = "(sleep 3; echo late) & echo early", .lines = {"early"}};
        QTest::newRow("interceptor takes lines out of output and log")
            << Run{.script = "echo keep; echo 'take: Password: s3cret'; echo after", .lines = {"keep", "after"}, .taken = {"take: Password: s3cret"}};
    }

    void runs()
    {
        QFETCH(Run, run);
        CLIService cli(options());
        QStringList output, intercepted;
        QElapsedTimer timer;
        timer.start();
        const QStringList arguments{QStringLiteral("-c"), run.script};
        const CLIResult result = await(cli.execute(arguments, run.input.isNull() ? std::nullopt : std::optional(run.input),
                                                   [&](const QString &line) { output << line; },
                                                   [&](const QString &line) {
                                                       if (line.startsWith(u"take:"))
                                                           intercepted << line;
                                                       return line.startsWith(u"take:");
                                                   }));
        QVERIFY2(timer.elapsed() < 2500 && !cli.isRunning(), qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(result, (CLIResult{run.status, run.error.isNull() ? std::nullopt : std::optional(run.error)}));
        QCOMPARE(intercepted, run.taken);

        // The log: a dated header, exactly the lines the caller got, the exit line.
        static const QRegularExpression header(QStringLiteral("^\\n--- \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ ---\\n"));
        const QString text = logText();
        const QRegularExpressionMatch head = header.match(text);
        const QString tail = QStringLiteral("\nProcess exited with status %1\n").arg(run.status);
        QVERIFY2(head.hasMatch(), qPrintable(text.left(80)));
        if (run.lines.first() != u"…") {
            QCOMPARE(output, run.lines);
            QCOMPARE(text.mid(head.capturedLength()), run.lines.join(u'\n') + tail);
        }
        QCOMPARE(output.value(output.size() - 1), run.lines.last());
        QVERIFY(text.endsWith(run.lines.last() + tail));
        for (const QString &line : output)
            QVERIFY(line.size() <= 262'144);
    }

    void secondRunIsRefusedWithoutSideEffect()
    {
        CLIService cli(options());
        QStringList lines;
        const QStringList first{QStringLiteral("-c"), QStringLiteral("read -r line; echo \"first $line\"")}, second{"-c", "echo second"};
        auto running = cli.execute(first, QStringLiteral("go\n"), [&](const QString &line) { lines << line; });
        QVERIFY(cli.isRunning());
        QCOMPARE(failureCode(cli.execute(second, std::nullopt, [&](const QString &line) { lines << line; })), QStringLiteral("OPERATION_ALREADY_RUNNING"));
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
        broken.bashPath = m_home.filePath(QStringLiteral("no-such-shell"));
        CLIService cli(broken);
        QCOMPARE(failureCode(cli.runScript(QStringLiteral("echo never"), {})), QStringLiteral("INSTALL_LAUNCH_FAILED"));
        QVERIFY(!cli.isRunning());
        QVERIFY2(QRegularExpression(QStringLiteral("^\\n--- \\S+ ---\\nINSTALL_LAUNCH_FAILED\\n$")).match(logText()).hasMatch(), qPrintable(logText()));
        QCOMPARE(QFileInfo(log() + QStringLiteral(".previous")).size(), 2'097'153);
    }

    void environment_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value"); // null: absent
        const QString runtime = QStringLiteral("<home>/.quorvantis/mac-app-runtime");
        for (const char *absent : {"npm_config_prefix", "Pnpm_Home", "NPM_CONFIG_REGISTRY", "quorvantis_enrollment_key", "QUORVANTIS_ENROLLMENT_KEY",
                                   "NVM_DIR", "NVM_BIN"})
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
        QTest::newRow("PATH") << "PATH" << runtime + "/bin:/opt/homebrew/bin:/opt/homebrew/sbin:/usr/local/bin:/usr/local/sbin:/usr/bin:/bin:/usr/sbin:/sbin";
    }

    void environment()
    {
        QFETCH(QString, name);
        QFETCH(QString, value);
        const QProcessEnvironment computed = CLIService(options({}, inherited())).environment();
        QCOMPARE(computed.contains(name), !value.isNull());
        QCOMPARE(computed.value(name), QString(value).replace(QStringLiteral("<home>"), m_home.path()));
    }

    // The child sees exactly what the runner computed; an onboarding override replaces the
    // inherited address (echoed without its scheme, which the log would mask as an address).
    void childGetsTheComputedEnvironment()
    {
        CLIService::Options overridden = options({}, inherited());
        overridden.onboardingOverride = [] { return std::optional<QUrl>(QUrl(QStringLiteral("http://localhost:4100/base"))); };
        CLIService cli(overridden);
        QStringList lines;
        await(cli.runScript(QStringLiteral("compgen -e; echo \"=${QUORVANTIS_ONBOARDING_SERVICE_URL#http://}\""), [&](const QString &line) { lines << line; }));
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
        QTest::newRow("enroll") << "enroll" << QStringList{"args: <--setup-only> <--enroll> <--workspace> <zoho> <Ava Bot>", "in:[REDACTED]"};
    }

    void sessionScriptOperations()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, lines);
        const QString script = m_home.filePath(QStringLiteral("session.sh"));
        QVERIFY(writeFile(script, "printf 'args:'; printf ' <%s>' \"$@\"; echo; while IFS= read -r l; do echo \"in:$l\"; done\n"));
        for (const bool present : {false, true}) {
            CLIService cli(options(present ? script : QString()));
            QStringList output;
            const auto collect = [&output](const QString &line) { output << line; };
            auto run = operation == u"prepare" ? cli.prepareEnvironment(collect)
                : operation == u"setup"        ? cli.setup(QStringLiteral("QVI1-ABCD-EFGH-JKMN"), QStringLiteral("Ava"), collect, {})
                : operation == u"resume"       ? cli.resumeSetup(collect, {})
                                               : cli.enroll(QStringLiteral("zoho"), QStringLiteral("Ava Bot"), QStringLiteral("enrol-key-abcdef123"), collect, {});
            QString message;
            QCOMPARE(failureCode(std::move(run), &message), present ? QString() : QStringLiteral("INSTALL_COMPONENT_MISSING"));
            QCOMPARE(message, present ? QString() : QStringLiteral("安装组件不完整，请重新安装 Quorvantis"));
            QCOMPARE(QFileInfo::exists(log()), present);
            QCOMPARE(output, present ? lines : QStringList());
        }
        QVERIFY(!logText().contains(QStringLiteral("enrol-key")) && !logText().contains(QStringLiteral("ABCD-EFGH")));
    }

private:
    static QStringList inherited()
    {
        return {"npm_config_prefix=/x", "Pnpm_Home=/y", "NPM_CONFIG_REGISTRY=z", "QUORVANTIS_ENROLLMENT_KEY=s", "quorvantis_enrollment_key=s",
                "NVM_DIR=/nvm", "NVM_BIN=/nvm/bin", "PATH=/inherited/bin", "NPMRC_KEPT=kept", "HOME=/elsewhere",
                "QUORVANTIS_ONBOARDING_SERVICE_URL=https://inherited.example"};
    }
};

QTEST_GUILESS_MAIN(RunnerTests)
#include "RunnerTests.moc"
