#include "process/CLIService.h"
#include "support/AwaitTask.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    CLIResult result;
    QStringList lines;
    QList<JITWorkspaceAuthorization> authorizations;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString googleURL = QStringLiteral(
    "https://accounts.google.com/o/oauth2/v2/auth?response_type=code&client_id=abc&state=s1&redirect_uri="
    "https%3A%2F%2Fonboarding.quorvantis.dev%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback");

} // namespace

class RunnerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void bothStreamsArriveInWriteOrder();
    void lineSplitting_data();
    void lineSplitting();
    void overlongLineKeepsItsFirstBytes();
    void standardInputIsWrittenOnceThenClosed();
    void childThatNeverReadsItsInputStillFinishes();
    void signalEndedChildReportsTheSignal_data();
    void signalEndedChildReportsTheSignal();
    void secondRunIsRefusedWithoutSideEffect();
    void launchFailureIsLoggedAndRaised();
    void environmentRules();
    void authorizationLineReachesOnlyTheCallback();
    void lateGrandchildOutputDoesNotHoldTheRun();
    void binaryGarbageAndNulBytes();
    void sessionScriptOperations();
    void missingSessionScriptStartsNothing();

private:
    CLIService::Options options() const;
    Run run(CLIService &cli, const QString &script, std::optional<QString> input = std::nullopt);
    QString logText() const { return QString::fromUtf8(readFile(m_log)); }

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_log;
};

void RunnerTests::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    m_log = m_home->filePath(QStringLiteral("logs/mac-app-install.log"));
}

CLIService::Options RunnerTests::options() const
{
    CLIService::Options options;
    options.installLogPath = m_log;
    options.homeDirectory = m_home->path();
    options.onboardingOverride = [] { return std::optional<QUrl>(); };
    options.sessionScript = [] { return std::optional<QString>(); };
    return options;
}

Run RunnerTests::run(CLIService &cli, const QString &script, std::optional<QString> input)
{
    Run run;
    const QStringList arguments{QStringLiteral("-c"), script};
    run.result = QuorvantisTest::await(cli.execute(
        arguments, std::move(input), [&run](const QString &line) { run.lines << line; },
        [&run](const JITWorkspaceAuthorization &authorization) { run.authorizations << authorization; }));
    return run;
}

void RunnerTests::bothStreamsArriveInWriteOrder()
{
    CLIService cli(options());
    const Run result = run(cli, QStringLiteral("for i in 1 2 3; do echo out$i; echo err$i >&2; done; printf 'tail'"));
    QCOMPARE(result.lines, (QStringList{"out1", "err1", "out2", "err2", "out3", "err3", "tail"}));
    QCOMPARE(result.result.status, 0);
    QVERIFY(!cli.isRunning());

    // The last error-looking line is reported, not the last line.
    const Run failed = run(cli, QStringLiteral("echo 'Error: x'; echo 'fatal: y'; echo '{\"error\":1}'; exit 2"));
    QCOMPARE(failed.result, (CLIResult{2, QStringLiteral("fatal: y")}));
}

void RunnerTests::lineSplitting_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("a LF LF b") << "printf 'a\\n\\nb'" << QStringList{"a", "b"};
    QTest::newRow("CR LF") << "printf 'x\\r\\n'" << QStringList{"x"};
    QTest::newRow("bare CR stays inside") << "printf 'a\\rb\\n'" << QStringList{"a\rb"};
    QTest::newRow("invalid utf-8") << "printf 'a\\377b\\n'" << QStringList{QStringLiteral("a\uFFFDb")};
    QTest::newRow("utf-8 split across writes") << "printf '\\345'; sleep 0.05; printf '\\256\\211\\350\\243\\205\\n'"
                                               << QStringList{QStringLiteral("安装")};
}

void RunnerTests::lineSplitting()
{
    QFETCH(QString, script);
    QFETCH(QStringList, expected);
    CLIService cli(options());
    QCOMPARE(run(cli, script).lines, expected);
}

void RunnerTests::overlongLineKeepsItsFirstBytes()
{
    CLIService cli(options());
    const Run result = run(cli, QStringLiteral("head -c 300000 /dev/zero | tr '\\0' a; echo; echo next"));
    QCOMPARE(result.lines.size(), 2);
    QCOMPARE(result.lines[0], QString(262'144, QLatin1Char('a')));
    QCOMPARE(result.lines[1], QStringLiteral("next"));
}

void RunnerTests::standardInputIsWrittenOnceThenClosed()
{
    CLIService cli(options());
    // The child sees exactly three bytes and then end of input.
    const Run result = run(cli, QStringLiteral("cat | od -An -c | tr -s ' '"), QStringLiteral("abc"));
    QCOMPARE(result.lines, QStringList{QStringLiteral("a b c")});
    // Without input the child sees end of input at once.
    QCOMPARE(run(cli, QStringLiteral("cat; echo eof")).lines, QStringList{QStringLiteral("eof")});
}

void RunnerTests::childThatNeverReadsItsInputStillFinishes()
{
    CLIService cli(options());
    const Run result = run(cli, QStringLiteral("echo bye; exit 7"), QString(4 * 1024 * 1024, QLatin1Char('x')));
    QCOMPARE(result.result.status, 7);
    QCOMPARE(result.lines, QStringList{QStringLiteral("bye")});
}

void RunnerTests::signalEndedChildReportsTheSignal_data()
{
    QTest::addColumn<QString>("signal");
    QTest::addColumn<int>("status");
    QTest::newRow("KILL") << "KILL" << 9;
}

void RunnerTests::signalEndedChildReportsTheSignal()
{
    QFETCH(QString, signal);
    QFETCH(int, status);
    CLIService cli(options());
    const Run result = run(cli, QStringLiteral("echo before; kill -%1 $$; echo after").arg(signal));
    QCOMPARE(result.result.status, status);
    QCOMPARE(result.lines, QStringList{QStringLiteral("before")});
    QVERIFY(logText().endsWith(QStringLiteral("Process exited with status %1\n").arg(status)));
}

void RunnerTests::secondRunIsRefusedWithoutSideEffect()
{
    CLIService cli(options());
    QStringList firstLines;
    const QStringList firstArguments{QStringLiteral("-c"), QStringLiteral("read -r line; echo \"first $line\"")};
    auto first = cli.execute(firstArguments, QStringLiteral("go\n"), [&](const QString &line) { firstLines << line; });
    QVERIFY(cli.isRunning());
    bool secondStarted = false;
    try {
        const QStringList secondArguments{QStringLiteral("-c"), QStringLiteral("echo second")};
        QuorvantisTest::await(cli.execute(secondArguments, std::nullopt, [&](const QString &) { secondStarted = true; }));
        QFAIL("the second run was not refused");
    } catch (const QuorvantisNativeError &error) {
        QCOMPARE(error.code, QStringLiteral("OPERATION_ALREADY_RUNNING"));
    }
    const CLIResult result = QuorvantisTest::await(std::move(first));
    QCOMPARE(result.status, 0);
    QCOMPARE(firstLines, QStringList{QStringLiteral("first go")});
    QVERIFY(!secondStarted);
    QCOMPARE(logText().count(QStringLiteral("--- ")), 1);
    QVERIFY(!cli.isRunning());
}

void RunnerTests::launchFailureIsLoggedAndRaised()
{
    CLIService::Options broken = options();
    broken.bashPath = m_home->filePath(QStringLiteral("no-such-shell"));
    CLIService cli(broken);
    try {
        run(cli, QStringLiteral("echo never"));
        QFAIL("launch did not fail");
    } catch (const QuorvantisNativeError &error) {
        QCOMPARE(error.code, QStringLiteral("INSTALL_LAUNCH_FAILED"));
    }
    QVERIFY(!cli.isRunning());
    QVERIFY(logText().endsWith(QStringLiteral(" ---\nINSTALL_LAUNCH_FAILED\n")));
    QVERIFY(!logText().contains(QStringLiteral("Process exited")));
}

void RunnerTests::environmentRules()
{
    QProcessEnvironment base;
    base.insert(QStringLiteral("npm_config_prefix"), QStringLiteral("/x"));
    base.insert(QStringLiteral("Pnpm_Home"), QStringLiteral("/y"));
    base.insert(QStringLiteral("NPM_CONFIG_REGISTRY"), QStringLiteral("z"));
    base.insert(QStringLiteral("QUORVANTIS_ENROLLMENT_KEY"), QStringLiteral("secret"));
    base.insert(QStringLiteral("NVM_DIR"), QStringLiteral("/nvm"));
    base.insert(QStringLiteral("NVM_BIN"), QStringLiteral("/nvm/bin"));
    base.insert(QStringLiteral("PATH"), QStringLiteral("/inherited/bin"));
    base.insert(QStringLiteral("NPMRC_KEPT"), QStringLiteral("kept"));
    base.insert(QStringLiteral("QUORVANTIS_ONBOARDING_SERVICE_URL"), QStringLiteral("https://inherited.example"));
    CLIService::Options withBase = options();
    withBase.baseEnvironment = base;
    CLIService cli(withBase);
    const QProcessEnvironment environment = cli.environment();
    const QString home = m_home->path();
    const QString runtime = home + QStringLiteral("/.quorvantis/mac-app-runtime");

    for (const char *absent : {"npm_config_prefix", "Pnpm_Home", "NPM_CONFIG_REGISTRY", "QUORVANTIS_ENROLLMENT_KEY",
                               "NVM_DIR", "NVM_BIN"})
        QVERIFY2(!environment.contains(QString::fromLatin1(absent)), absent);
    QCOMPARE(environment.value(QStringLiteral("NPMRC_KEPT")), QStringLiteral("kept"));
    QCOMPARE(environment.value(QStringLiteral("HOME")), home);
    QCOMPARE(environment.value(QStringLiteral("PNPM_HOME")), runtime + QStringLiteral("/bin"));
    QCOMPARE(environment.value(QStringLiteral("PM2_HOME")), runtime + QStringLiteral("/pm2"));
    QCOMPARE(environment.value(QStringLiteral("NPM_CONFIG_USERCONFIG")), runtime + QStringLiteral("/pnpm-config/npmrc"));
    QCOMPARE(environment.value(QStringLiteral("NPM_CONFIG_GLOBALCONFIG")), QStringLiteral("/dev/null"));
    QCOMPARE(environment.value(QStringLiteral("LANG")), QStringLiteral("en_US.UTF-8"));
    QCOMPARE(environment.value(QStringLiteral("LC_CTYPE")), QStringLiteral("en_US.UTF-8"));
    QCOMPARE(environment.value(QStringLiteral("PATH")),
             runtime + QStringLiteral("/bin:/opt/homebrew/bin:/opt/homebrew/sbin:/usr/local/bin:/usr/local/sbin:"
                                      "/usr/bin:/bin:/usr/sbin:/sbin"));
    // Without an override the inherited address stays; an override replaces it.
    QCOMPARE(environment.value(QStringLiteral("QUORVANTIS_ONBOARDING_SERVICE_URL")), QStringLiteral("https://inherited.example"));

    // The child sees exactly what the runner computed.
    QStringList names = run(cli, QStringLiteral("compgen -e")).lines;
    QStringList expected = environment.keys();
    names.removeAll(QStringLiteral("PWD")); // bash's own
    names.removeAll(QStringLiteral("SHLVL"));
    names.removeAll(QStringLiteral("OLDPWD"));
    names.sort();
    expected.sort();
    QCOMPARE(names, expected);

    withBase.onboardingOverride = [] { return std::optional<QUrl>(QUrl(QStringLiteral("http://localhost:4100/base"))); };
    CLIService overridden(withBase);
    // (without its scheme, which the log would mask as an address)
    QCOMPARE(run(overridden, QStringLiteral("echo \"${QUORVANTIS_ONBOARDING_SERVICE_URL#http://}\"")).lines,
             QStringList{QStringLiteral("localhost:4100/base")});
}

void RunnerTests::authorizationLineReachesOnlyTheCallback()
{
    CLIService cli(options());
    const QString script = QStringLiteral(
        "echo 'Workspace account created (Google):'; echo 'Email:  agent@corp.example'; "
        "echo 'Password: s3cret phrase'; echo '  %1  '; echo after")
                               .arg(googleURL);
    const Run result = run(cli, script);
    QCOMPARE(result.authorizations.size(), 1);
    QCOMPARE(result.authorizations[0].email, QStringLiteral("agent@corp.example"));
    QCOMPARE(result.authorizations[0].password, QStringLiteral("s3cret phrase"));
    QCOMPARE(result.lines, (QStringList{"Workspace account created (Google):", "Email:  [REDACTED]",
                                        "Password: [REDACTED]", "after"}));
    const QString log = logText();
    for (const char *secret : {"agent@corp.example", "s3cret", "phrase", "accounts.google.com", "client_id"})
        QVERIFY2(!log.contains(QLatin1String(secret)), secret);
    QVERIFY(log.contains(QStringLiteral("Password: [REDACTED]\nafter\n")));
}

void RunnerTests::lateGrandchildOutputDoesNotHoldTheRun()
{
    CLIService cli(options());
    QElapsedTimer timer;
    timer.start();
    const Run result = run(cli, QStringLiteral("(sleep 2; echo late) & echo early"));
    // The run ends with the child; a background process keeping the pipe open does not hold it.
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(result.lines, QStringList{QStringLiteral("early")});
    QVERIFY(!cli.isRunning());
}

void RunnerTests::binaryGarbageAndNulBytes()
{
    CLIService cli(options());
    const Run result = run(cli, QStringLiteral("head -c 300000 /dev/urandom; printf '\\0\\0x\\0\\n\\033[31;'; echo; echo end"));
    QCOMPARE(result.result.status, 0);
    QCOMPARE(result.lines.last(), QStringLiteral("end"));
    for (const QString &line : result.lines)
        QVERIFY(line.size() <= 262'144);
    QVERIFY(logText().endsWith(QStringLiteral("end\nProcess exited with status 0\n")));
}

void RunnerTests::sessionScriptOperations()
{
    const QString script = m_home->filePath(QStringLiteral("session.sh"));
    {
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("printf 'args:'; printf ' <%s>' \"$@\"; echo; while IFS= read -r line; do echo \"in:$line\"; done\n");
    }
    CLIService::Options withScript = options();
    withScript.sessionScript = [script] { return std::optional<QString>(script); };
    CLIService cli(withScript);

    QStringList lines;
    const auto collect = [&lines](const QString &line) { lines << line; };

    QCOMPARE(QuorvantisTest::await(cli.prepareEnvironment(collect)).status, 0);
    QCOMPARE(lines, QStringList{QStringLiteral("args: <--prepare>")});

    lines.clear();
    QuorvantisTest::await(cli.setup(QStringLiteral("QVI1-ABCD-EFGH-JKMN"), QStringLiteral("Ava"), collect, {}));
    // A secret given on the input is masked wherever the child echoes it, before any other
    // pattern sees it.
    QCOMPARE(lines, (QStringList{"args: <--setup-only> <Ava>", "in:[REDACTED]"}));

    lines.clear();
    QuorvantisTest::await(cli.resumeSetup(collect, {}));
    QCOMPARE(lines, QStringList{QStringLiteral("args: <--setup-only> <--resume>")});

    lines.clear();
    QuorvantisTest::await(cli.enroll(QStringLiteral("zoho"), QStringLiteral("Ava Bot"), QStringLiteral("enrol-key-abcdef123"), collect, {}));
    QCOMPARE(lines, (QStringList{"args: <--setup-only> <--enroll> <--workspace> <zoho> <Ava Bot>", "in:[REDACTED]"}));

    const QString log = logText();
    QVERIFY(!log.contains(QStringLiteral("enrol-key")));
    QVERIFY(!log.contains(QStringLiteral("ABCD-EFGH")));
}

void RunnerTests::missingSessionScriptStartsNothing()
{
    CLIService cli(options());
    const auto expectMissing = [](QCoro::Task<CLIResult> task) {
        try {
            QuorvantisTest::await(std::move(task));
            QFAIL("no failure");
        } catch (const QuorvantisNativeError &error) {
            QCOMPARE(error.code, QStringLiteral("INSTALL_COMPONENT_MISSING"));
            QCOMPARE(error.message, QStringLiteral("安装组件不完整，请重新安装 Quorvantis"));
        }
    };
    expectMissing(cli.prepareEnvironment({}));
    expectMissing(cli.enroll(QStringLiteral("none"), QStringLiteral("Ava"), QStringLiteral("k"), {}, {}));
    QVERIFY(!QFileInfo::exists(m_log));
    QVERIFY(!cli.isRunning());
}

QTEST_GUILESS_MAIN(RunnerTests)
#include "RunnerTests.moc"
