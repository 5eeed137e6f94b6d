// The recovery actions, through their controller: what each one asks of the rest of the model,
// the desktop and the daemon, and the line that tells how it ended.
#include "recovery/RecoveryController.h"
#include "support/ControllerHarness.h"

using namespace QuorvantisTest;
using Kind = RecoveryAction::Kind;

Q_DECLARE_METATYPE(RecoveryAction)

class RecoveryControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void perform_data()
    {
        // launch — the stage ("" finished), then "unconfigured", "noopen"
        // shown — what was asked, then error, focus and notice
        columns<QString, RecoveryAction, int, QString>({"launch", "action", "restartStatus", "shown"});
        const auto action = [](Kind kind) { return RecoveryAction::make(kind); };
        QTest::newRow("settings of a permission") << "" << RecoveryAction::openSystemSettings(PermissionKind::fullDiskAccess)
                                                  << 0 << "prompt:fullDiskAccess error";
        QTest::newRow("settings") << "" << RecoveryAction::openSystemSettings(std::nullopt) << 0 << "settings error";
        QTest::newRow("enter the code") << "" << action(Kind::enterInstallCode) << 0 << "error focus";
        QTest::newRow("retry a stage") << "daemon" << action(Kind::retryInstall) << 0 << "resume error";
        QTest::newRow("retry, configured") << "" << action(Kind::retryInstall) << 0 << "recover error";
        // A restart clears the error shown; a failed one reports its own.
        QTest::newRow("restart") << "" << action(Kind::restartAgent) << 0 << "daemon status notice:已重启 Agent";
        QTest::newRow("restart exits") << "" << action(Kind::restartAgent) << 4
                                       << "daemon error:AGENT_RESTART_FAILED:npm ERR! boom";
        QTest::newRow("logs that do not open") << "noopen" << action(Kind::openLogs) << 0
                                               << "logs error notice:无法打开日志目录，请在文件管理器中打开";
        QTest::newRow("releases that do not open") << "noopen" << action(Kind::checkForUpdates) << 0
                                                   << "https error notice:无法打开浏览器，请复制链接在浏览器中打开";
        QTest::newRow("recheck permissions") << "" << action(Kind::recheckPermissions) << 0
                                             << "recheck error notice:已重新检查权限";
    }
    void perform()
    {
        QFETCH(QString, launch);
        QFETCH(RecoveryAction, action);
        QFETCH(int, restartStatus);
        ControllerHarness h;
        h.launchAt(fromRawValue<InstallStage>(launch.section(u' ', 0, 0)), !launch.contains(u"unconfigured"));
        const auto daemon = std::make_shared<ScriptedRun>();
        daemon->steps = {Step::exit(restartStatus, QStringLiteral("npm ERR! boom"))};
        h.daemonEffects.daemonInstall = runEffect(daemon);
        QStringList asked;
        QStringList *l = &asked;
        const bool opens = !launch.contains(u"noopen");
        RecoveryController c(
            h.context(),
            {.openURL =
                 [l, opens](QUrl url) {
                     *l << (url.isLocalFile() ? url.fileName() : url.scheme());
                     return value(opens);
                 }},
            {.presentPermissionPrompt = [l](PermissionKind kind) { *l << "prompt:" + rawValue(kind); },
             .openSystemSettings = [l] { return *l << "settings", nothing(); },
             .resumeInstallation = [l] { return *l << "resume", nothing(); },
             .recoverExistingConfiguration = [l] { return *l << "recover", nothing(); },
             .refreshExistingPermissions = [l] { return *l << "recheck", nothing(); },
             .refreshAgentStatus = [l] { return *l << "status", nothing(); }});
        h.attention().showError(DisplayError::from(QStringLiteral("OLD"), std::nullopt));
        await(c.perform(action));

        if (!daemon->calls.isEmpty())
            asked.prepend(QStringLiteral("daemon"));
        const auto &error = h.attention().lastError();
        if (error)
            asked << (error->code == u"OLD" ? QStringLiteral("error")
                                            : "error:" + error->code + ":" + error->detail.value_or(error->message));
        if (h.attention().focusRevision() > 0) {
            QCOMPARE(h.attention().focusTarget(), FocusTarget::setupCode());
            asked << QStringLiteral("focus");
        }
        if (const auto &notice = h.attention().notice())
            asked << "notice:" + notice->section(u'：', 0, 0);
        QTEST(asked.join(u' '), "shown");
    }
};

QTEST_GUILESS_MAIN(RecoveryControllerTests)
#include "RecoveryControllerTests.moc"
