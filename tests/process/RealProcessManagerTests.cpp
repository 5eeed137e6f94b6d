// Run: QUORVANTIS_REAL_PM=1 [QUORVANTIS_REAL_PM_PACKAGES="pnpm@10 pm2@7"] ctest --test-dir BUILD -R process_real_pm_tests --output-on-failure (needs node, npm and the npm registry).
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ScriptFiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

using namespace QuorvantisTest;

// How a machine looks after the runtime preparation, built with the machine's npm: pnpm and pm2
// as the registry serves them today behind shims in the runtime bin, the package manager's
// settings, and the sandbox's agent package packed as it is published and installed globally
// by that pnpm. (The runtime carries pnpm 10: later majors ignore the private runtime's npmrc
// folders and lay global packages out differently.)
static const char *const preparation = R"(set -euo pipefail
root="$HOME/.quorvantis/mac-app-runtime"; tools="$root/tools"; stage="$HOME/package/quorvantis"; sim="$1"; shift
npm() { env -u NPM_CONFIG_USERCONFIG -u NPM_CONFIG_GLOBALCONFIG HOME="$USER_HOME" npm "$@"; } # the developer's own npm settings
mkdir -p "$tools" "$root/bin" "$root/pnpm-config" "$stage/dist/lib"
npm install --prefix "$tools" --cache "$HOME/npm-cache" --loglevel=error --no-audit --no-fund --no-update-notifier "$@"
printf '%s\n' "$NODE" > "$HOME/.quorvantis/mac-app-node-path"
printf '#!/bin/bash\nexec %q "$@"\n' "$tools/node_modules/.bin/pnpm" > "$root/bin/pnpm"
printf '#!/bin/bash\nexec %q %q "$@"\n' "$NODE" "$tools/node_modules/pm2/bin/pm2" > "$root/bin/pm2"
chmod 755 "$root/bin/pnpm" "$root/bin/pm2"
printf 'global-dir=%s/pnpm-global\nglobal-bin-dir=%s/bin\nstore-dir=%s/pnpm-store\n' "$root" "$root" "$root" > "$root/pnpm-config/npmrc"
cp -R "$sim/agent-package/." "$stage"; cp "$sim/lib/sandbox.cjs" "$sim/lib/png.cjs" "$stage/dist/lib/"; cp "$sim/tools/macos-screenshot.cjs" "$stage/dist/tools/"
tarball=$(cd "$HOME/package" && npm pack --cache "$HOME/npm-cache" --loglevel=error "$stage" | tail -n 1)
"$root/bin/pnpm" add -g "$HOME/package/$tarball"
)";

class RealProcessManagerTests : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_node;
    QString path(const QString &relative) const { return m_home->filePath(relative); }

    // The runner in the temporary home: every XDG directory there, and no process-manager,
    // package-manager or sandbox setting of the developer's leaking in.
    CLIService::Options options() const
    {
        QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
        for (const QString &name : base.keys()) {
            if (QRegularExpression(QStringLiteral("^(XDG|PM2|NPM|QUORVANTIS)_"), QRegularExpression::CaseInsensitiveOption).match(name).hasMatch())
                base.remove(name);
        }
        for (const char *xdg : {"CONFIG_HOME=.config", "DATA_HOME=.local/share", "STATE_HOME=.local/state", "CACHE_HOME=.cache"})
            base.insert(QStringLiteral("XDG_") + QString::fromLatin1(xdg).section(u'=', 0, 0), path(QString::fromLatin1(xdg).section(u'=', 1)));
        base.insert(QStringLiteral("NODE"), m_node);
        base.insert(QStringLiteral("USER_HOME"), QDir::homePath());
        CLIService::Options options;
        options.installLogPath = path(QStringLiteral("install.log"));
        options.homeDirectory = m_home->path();
        options.baseEnvironment = base;
        options.onboardingOverride = [] { return std::optional<QUrl>(); };
        return options;
    }

    // A script run by the runner with the prepared node first on PATH; its status and output.
    std::pair<int, QString> run(const QString &script, const QStringList &arguments = {}, int timeoutMs = 60000)
    {
        CLIService cli(options());
        QStringList lines;
        const QStringList bashArguments = QStringList{QStringLiteral("-c"), QStringLiteral("PATH=\"$(dirname \"$NODE\"):$PATH\"; ") + script, "bash"} + arguments;
        const int status = await(cli.execute(bashArguments, std::nullopt, [&lines](const QString &line) { lines << line; }), timeoutMs).status;
        return {status, lines.join(u'\n')};
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariable("QUORVANTIS_REAL_PM") != QLatin1String("1"))
            QSKIP("Installs pnpm and pm2 from the package registry: set QUORVANTIS_REAL_PM=1 to run it.");
        m_node = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("node"))).canonicalFilePath();
        QVERIFY2(!m_node.isEmpty() && !QStandardPaths::findExecutable(QStringLiteral("npm")).isEmpty(), "node and npm are needed on PATH");
        // A short path: the process manager's sockets live under the home and socket paths are limited.
        m_home = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/qv-realpm-XXXXXX"));
        QVERIFY(m_home->isValid());
    }

    // The process manager's daemon outlives every command: stop it (and the agent with it)
    // before its home goes away; whatever a failed kill left goes by its recorded id.
    void cleanupTestCase()
    {
        if (!m_home)
            return;
        run(QStringLiteral("[ ! -x \"$HOME/.quorvantis/mac-app-runtime/bin/pm2\" ] || \"$HOME/.quorvantis/mac-app-runtime/bin/pm2\" kill"));
        bool ok = false;
        const qint64 daemon = readFile(path(QStringLiteral(".quorvantis/mac-app-runtime/pm2/pm2.pid"))).trimmed().toLongLong(&ok);
        if (ok && daemon > 1 && ::kill(pid_t(daemon), 0) == 0)
            ::kill(pid_t(daemon), SIGKILL);
    }

    void daemonInstallRunsUnderTheRealProcessManager()
    {
        const QStringList packages = qEnvironmentVariable("QUORVANTIS_REAL_PM_PACKAGES", QStringLiteral("pnpm@10 pm2@7")).split(u' ', Qt::SkipEmptyParts);
        const auto prepared = run(QString::fromUtf8(preparation), QStringList{QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim")} + packages, 200000);
        QVERIFY2(prepared.first == 0, qPrintable(prepared.second));

        // The script, as the application runs it.
        const auto installed = run(CLIService::daemonInstallScript(), {}, 90000);
        QVERIFY2(installed.first == 0, qPrintable(installed.second));

        // The real process manager, asked in the script's private home, runs the agent online
        // from the stable launcher with the prepared node.
        QCOMPARE(QFile::permissions(path(QStringLiteral(".quorvantis/pm2-ecosystem.config.cjs"))) & 0x0077, QFileDevice::Permissions());
        const auto jlist = run(QStringLiteral("\"$HOME/.quorvantis/mac-app-runtime/bin/pm2\" jlist"));
        QJsonObject agent;
        // The manager may print notices around its list: the list is the line that parses as an array.
        for (const QString &line : jlist.second.split(u'\n')) {
            for (const QJsonValue &entry : QJsonDocument::fromJson(line.toUtf8()).array())
                agent = entry["name"].toString() == u"quorvantis" ? entry.toObject() : agent;
        }
        const QJsonObject pm2Env = agent["pm2_env"].toObject();
        QVERIFY2(jlist.first == 0 && pm2Env["status"].toString() == u"online", qPrintable(jlist.second));
        QCOMPARE(pm2Env["exec_interpreter"].toString(), m_node);
        QCOMPARE(pm2Env["pm_exec_path"].toString(), path(QStringLiteral(".quorvantis/launcher.cjs")));
        const qint64 agentPid = agent["pid"].toInteger();
        QVERIFY(agentPid > 1 && ::kill(pid_t(agentPid), 0) == 0);

        // The daemon that pm2 started really serves: it writes its port and answers its own command.
        QVERIFY2(spinUntil([&] { return QFileInfo::exists(path(QStringLiteral(".quorvantis/profiles/default/tui-port"))); }, 20000),
                 readFile(path(QStringLiteral(".quorvantis/mac-app-runtime/pm2/logs/quorvantis-error.log"))).constData());
        const auto status = run(QStringLiteral("\"$HOME/.quorvantis/mac-app-runtime/bin/quorvantis\" status"));
        QCOMPARE(QJsonDocument::fromJson(status.second.toUtf8())["pid"].toInteger(), agentPid);
        QVERIFY(QString::fromUtf8(readFile(path(QStringLiteral(".config/autostart/dev.quorvantis.agent.desktop"))))
                    .contains(QStringLiteral("\nExec=/bin/bash \"%1\"\n").arg(path(QStringLiteral(".quorvantis/start.sh")))));
    }
};

QTEST_GUILESS_MAIN(RealProcessManagerTests)
#include "RealProcessManagerTests.moc"
