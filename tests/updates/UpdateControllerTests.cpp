// Update offers, the update itself and the recovery actions, through their controller.
#include "model/Attention.h"
#include "model/InstallJourney.h"
#include "process/CLIService.h"
#include "support/AwaitTask.h"
#include "support/ControllerHarness.h"
#include "support/Scripted.h"
#include "updates/UpdateController.h"

#include <QTest>

using namespace QuorvantisTest;

namespace {

struct Registry
{
    std::optional<QString> offer;
    bool fails = false;
    int asked = 0;
};

QCoro::Task<std::optional<QString>> ask(std::shared_ptr<Registry> registry)
{
    ++registry->asked;
    if (registry->fails)
        throw std::runtime_error("registry down");
    co_return registry->offer;
}

QCoro::Task<void> note(QStringList *links, QString link)
{
    co_return void(links->append(link));
}

// How a process run ends: ok, exit (status 4 with a last error line), internal (a line the user
// must not see), busy (a coded failure), other (any other failure).
Step ending(const QString &word)
{
    if (word == u"exit") return Step::exit(4, QStringLiteral("npm ERR! boom"));
    if (word == u"internal") return Step::exit(2, QStringLiteral("QVAPP_INTERNAL detail"));
    if (word == u"busy") return Step::throwing(QuorvantisNativeError(QStringLiteral("OPERATION_ALREADY_RUNNING"), QStringLiteral("已有操作正在进行")));
    if (word == u"other") return Step::throwing(std::runtime_error("pipe closed"));
    return Step::success();
}

struct Rig
{
    ControllerHarness h;
    std::shared_ptr<Registry> registry = std::make_shared<Registry>();
    std::shared_ptr<ScriptedRun> script = std::make_shared<ScriptedRun>(), daemon = std::make_shared<ScriptedRun>();
    QStringList links, opened;
    std::unique_ptr<UpdateController> c; // after the harness: destroyed before it

    explicit Rig(const QString &setup)
    {
        h.launchAt(fromRawValue<InstallStage>(setup.section(u' ', 0, 0)), !setup.contains(u"unconfigured"));
        using L = QStringList *;
        c = std::make_unique<UpdateController>(
            h.context(),
            UpdateController::Effects{[r = registry] { return ask(r); },
                                      [s = script](QString text, OutputHandler out) { return play(s, {text}, std::move(out), {}); },
                                      [d = daemon](OutputHandler out) { return play(d, {}, std::move(out), {}); },
                                      [this, opens = !setup.contains(u"noopen")](QUrl url) {
                                          return opened << (url.isLocalFile() ? url.fileName() : url.scheme()), opens;
                                      },
                                      [this](std::optional<PermissionKind> kind) { links << "settings:" + (kind ? rawValue(*kind) : "-"); },
                                      // "queued": a refused run waits for the runner and tries again.
                                      setup.contains(u"queued") ? std::function<QCoro::Task<void>()>([] { return nothing(); })
                                                                : std::function<QCoro::Task<void>()>()},
            UpdateController::Links{[this](PermissionKind kind) { links << "prompt:" + rawValue(kind); },
                                    [l = L(&links)] { return note(l, "resume"); }, [l = L(&links)] { return note(l, "recover"); },
                                    [l = L(&links)] { return note(l, "recheck"); }, [this] { links << "allow"; },
                                    [l = L(&links)] { return note(l, "status"); }});
    }

    qint64 focus = 0; // the focus requests before the steps
    QString state()
    {
        const std::optional<QString> offer = c->availableAgentVersion();
        const Failure::Report failure = h.failures.value(h.failures.size() - 1);
        return QStringList{QStringLiteral("asked:%1").arg(registry->asked), "offer:" + offer.value_or("-"), c->showsAgentUpdateBanner() ? "banner" : "",
                           "dismissed:" + c->dismissedAgentVersion().value_or("-"), "checked:" + c->agentVersionChecked().value_or("-"),
                           QStringLiteral("runs:%1/%2").arg(script->calls.size()).arg(daemon->calls.size()),
                           failure.code.isEmpty() ? "" : "fail:" + failure.code + ":" + failure.message.value_or("-"),
                           h.attention().lastError() ? "error" : "", QStringLiteral("focus:%1").arg(h.attention().focusRevision() - focus),
                           links.join(u','), opened.join(u','),
                           c->actionNotice() ? "notice:" + c->actionNotice()->section(u'：', 0, 0) : "",
                           h.attention().activities().isEmpty() ? "" : "activity:" + h.attention().activities().first().summary}
            .join(u' ')
            .simplified();
    }
};

} // namespace

class UpdateControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void steps_data()
    {
        QTest::addColumn<QString>("setup"); // the stage, "unconfigured"
        QTest::addColumn<QString>("runs");  // how the update script and the daemon reinstall end
        // 1.3.0>1.4.0: a check with the agent at 1.3.0 and 1.4.0 offered ("-" none, "!" a failed probe,
        // "_" an empty version); dismiss, update (~: not awaited), hold / free the update script, finish
        // (the installation), ?: whether an update runs; the recovery actions.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("state");
        QTest::newRow("offered") << "finished" << "ok ok" << "1.3.0>1.4.0" << "asked:1 offer:1.4.0 banner dismissed:- checked:1.3.0 runs:0/0 focus:0";
        QTest::newRow("one question per version") << "finished" << "ok ok" << "1.3.0>1.4.0 1.3.0>1.5.0" << "asked:1 offer:1.4.0 banner dismissed:- checked:1.3.0 runs:0/0 focus:0";
        QTest::newRow("moved on to the offer") << "finished" << "ok ok" << "1.3.0>1.4.0 1.4.0>1.4.0" << "asked:2 offer:- dismissed:- checked:1.4.0 runs:0/0 focus:0";
        QTest::newRow("unusable running versions") << "finished" << "ok ok" << "_>1.4.0 ->1.4.0 v1.3.0>1.4.0" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0";
        QTest::newRow("no answer clears the offer") << "finished" << "ok ok" << "1.0.0>2.0.0 1.0.1>-" << "asked:2 offer:- dismissed:- checked:1.0.1 runs:0/0 focus:0";
        QTest::newRow("older answer clears the offer") << "finished" << "ok ok" << "1.0.0>2.0.0 1.0.2>1.0.0" << "asked:2 offer:- dismissed:- checked:1.0.2 runs:0/0 focus:0";
        QTest::newRow("failed probe clears the offer") << "finished" << "ok ok" << "1.0.0>2.0.0 1.0.3>!" << "asked:2 offer:- dismissed:- checked:1.0.3 runs:0/0 focus:0";
        QTest::newRow("a second press while updating") << "finished" << "ok ok" << "hold update~ ? update free" << "asked:0 offer:- dismissed:- checked:- runs:1/1 focus:0 updating,allow,recover,status notice:已更新 Agent activity:Agent 已更新";
        QTest::newRow("unconfigured never asks") << "finished unconfigured" << "ok ok" << "1.0.0>9.0.0 update" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0";
        QTest::newRow("dismissed") << "finished" << "ok ok" << "1.3.0>1.4.0 dismiss" << "asked:1 offer:1.4.0 dismissed:1.4.0 checked:1.3.0 runs:0/0 focus:0";
        QTest::newRow("dismissal hides only that version") << "finished" << "ok ok" << "1.3.0>1.4.0 dismiss 1.3.1>1.5.0" << "asked:2 offer:1.5.0 banner dismissed:1.4.0 checked:1.3.1 runs:0/0 focus:0";
        // The update, then the daemon reinstalled; the installed version stays hidden even while the agent still reports the old one.
        QTest::newRow("updated") << "finished" << "ok ok" << "1.3.0>1.4.0 update" << "asked:1 offer:- dismissed:1.4.0 checked:- runs:1/1 focus:0 allow,recover,status notice:已更新 Agent activity:Agent 已更新到 1.4.0";
        QTest::newRow("updated, old version reported") << "finished" << "ok ok" << "1.3.0>1.4.0 update 1.3.0>1.4.0" << "asked:2 offer:1.4.0 dismissed:1.4.0 checked:1.3.0 runs:1/1 focus:0 allow,recover,status notice:已更新 Agent activity:Agent 已更新到 1.4.0";
        // A run another part holds is waited for, a bounded number of times.
        QTest::newRow("update waits for the runner") << "finished queued" << "busy>ok busy>ok" << "1.3.0>1.4.0 update" << "asked:1 offer:- dismissed:1.4.0 checked:- runs:2/2 focus:0 allow,recover,status notice:已更新 Agent activity:Agent 已更新到 1.4.0";
        QTest::newRow("runner never free") << "finished queued" << "busy ok" << "update" << "asked:0 offer:- dismissed:- checked:- runs:20/0 fail:OPERATION_ALREADY_RUNNING:已有操作正在进行 error focus:0";
        // A failed step keeps the offer, so the user can try again.
        QTest::newRow("update exits") << "finished" << "exit ok" << "1.3.0>1.4.0 update" << "asked:1 offer:1.4.0 banner dismissed:- checked:1.3.0 runs:1/0 fail:AGENT_UPDATE_FAILED:npm ERR! boom error focus:0";
        QTest::newRow("update busy") << "finished" << "busy ok" << "1.3.0>1.4.0 update" << "asked:1 offer:1.4.0 banner dismissed:- checked:1.3.0 runs:1/0 fail:OPERATION_ALREADY_RUNNING:已有操作正在进行 error focus:0";
        QTest::newRow("update fails otherwise") << "finished" << "other ok" << "1.3.0>1.4.0 update" << "asked:1 offer:1.4.0 banner dismissed:- checked:1.3.0 runs:1/0 fail:AGENT_UPDATE_FAILED:- error focus:0";
        QTest::newRow("reinstall exits") << "finished" << "ok exit" << "1.3.0>1.4.0 update" << "asked:1 offer:1.4.0 banner dismissed:- checked:1.3.0 runs:1/1 fail:AGENT_UPDATE_FAILED:npm ERR! boom error focus:0";
        QTest::newRow("reinstall busy") << "finished" << "ok busy" << "1.3.0>1.4.0 update" << "asked:1 offer:1.4.0 banner dismissed:- checked:1.3.0 runs:1/1 fail:OPERATION_ALREADY_RUNNING:已有操作正在进行 error focus:0";
        QTest::newRow("reinstall fails otherwise") << "finished" << "ok other" << "1.3.0>1.4.0 update" << "asked:1 offer:1.4.0 banner dismissed:- checked:1.3.0 runs:1/1 fail:AGENT_UPDATE_FAILED:- error focus:0";
        // The recovery actions.
        QTest::newRow("settings of a permission") << "finished" << "ok ok" << "settings:fullDiskAccess" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0 prompt:fullDiskAccess";
        QTest::newRow("settings") << "finished" << "ok ok" << "settings" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0 settings:-";
        QTest::newRow("none") << "finished" << "ok ok" << "none" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0";
        QTest::newRow("enter the code") << "finished" << "ok ok" << "code" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:1";
        QTest::newRow("retry a stage") << "daemon" << "ok ok" << "retry" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0 resume";
        QTest::newRow("retry, configured") << "finished" << "ok ok" << "retry" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0 recover";
        QTest::newRow("retry, nothing to retry") << "runtime unconfigured" << "ok ok" << "finish retry" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:1";
        QTest::newRow("restart") << "finished" << "ok ok" << "restart" << "asked:0 offer:- dismissed:- checked:- runs:0/1 focus:0 status notice:已重启 Agent activity:Agent 已重启";
        QTest::newRow("restart waits for the runner") << "finished queued" << "ok busy>ok" << "restart" << "asked:0 offer:- dismissed:- checked:- runs:0/2 focus:0 status notice:已重启 Agent activity:Agent 已重启";
        QTest::newRow("restart exits") << "finished" << "ok internal" << "restart" << "asked:0 offer:- dismissed:- checked:- runs:0/1 fail:AGENT_RESTART_FAILED:- error focus:0";
        QTest::newRow("restart busy") << "finished" << "ok busy" << "restart" << "asked:0 offer:- dismissed:- checked:- runs:0/1 fail:OPERATION_ALREADY_RUNNING:已有操作正在进行 error focus:0";
        QTest::newRow("restart fails otherwise") << "finished" << "ok other" << "restart" << "asked:0 offer:- dismissed:- checked:- runs:0/1 fail:AGENT_RESTART_FAILED:- error focus:0";
        QTest::newRow("logs and releases") << "finished" << "ok ok" << "logs releases" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0 logs,https";
        QTest::newRow("logs that do not open") << "finished noopen" << "ok ok" << "logs" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0 logs notice:无法打开日志目录，请在文件管理器中打开";
        QTest::newRow("releases that do not open") << "finished noopen" << "ok ok" << "releases" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0 https notice:无法打开浏览器，请访问";
        QTest::newRow("recheck permissions") << "finished" << "ok ok" << "recheck" << "asked:0 offer:- dismissed:- checked:- runs:0/0 focus:0 recheck notice:已重新检查权限";
    }
    void steps()
    {
        QFETCH(QString, setup);
        QFETCH(QString, runs);
        QFETCH(QString, steps);
        Rig r(setup);
        // "busy>ok": the first run is refused, the next one ends ok.
        const auto endings = [](const QString &words) {
            std::deque<Step> steps;
            for (const QString &word : words.split(u'>'))
                steps.push_back(ending(word));
            return steps;
        };
        r.script->steps = endings(runs.section(u' ', 0, 0));
        r.daemon->steps = endings(runs.section(u' ', 1, 1));
        if (steps.contains(u"restart")) // which clears the error shown
            r.h.attention().showError(DisplayError::from(QStringLiteral("OLD"), std::nullopt));
        using Kind = RecoveryAction::Kind;
        const QHash<QString, RecoveryAction> actions{
            {"settings", RecoveryAction::openSystemSettings(std::nullopt)}, {"settings:fullDiskAccess", RecoveryAction::openSystemSettings(PermissionKind::fullDiskAccess)},
            {"none", RecoveryAction::make(Kind::none)}, {"code", RecoveryAction::make(Kind::enterInstallCode)}, {"retry", RecoveryAction::make(Kind::retryInstall)},
            {"restart", RecoveryAction::make(Kind::restartAgent)}, {"logs", RecoveryAction::make(Kind::openLogs)},
            {"releases", RecoveryAction::make(Kind::checkForUpdates)}, {"recheck", RecoveryAction::make(Kind::recheckPermissions)}};
        r.focus = r.h.attention().focusRevision();
        std::optional<QCoro::Task<void>> pending; // update~: started, not awaited
        for (const QString &step : steps.split(u' ')) {
            const QString running = step.section(u'>', 0, 0), offered = step.section(u'>', 1);
            r.registry->offer = offered == u"-" ? std::nullopt : std::optional(offered);
            r.registry->fails = offered == u"!";
            if (step.contains(u'>'))
                await(r.c->checkAgentUpdate(running == u"-" ? std::nullopt : std::optional(running == u"_" ? QString() : running)));
            if (step == u"dismiss") r.c->dismissAgentUpdate();
            if (step == u"update") await(r.c->updateAgent());
            if (step == u"update~") pending = r.c->updateAgent();
            if (step == u"hold") r.script->steps.front().gate = std::make_shared<Gate>();
            if (step == u"?") r.links << (r.c->isUpdatingAgent() ? "updating" : "idle");
            if (step == u"free") r.script->steps.front().gate->open(), await(std::move(*pending));
            if (step == u"finish") r.h.journey().moveTo(std::nullopt);
            if (actions.contains(step)) await(r.c->perform(actions.value(step)));
        }
        QTEST(r.state(), "state");
        QVERIFY(!r.c->isUpdatingAgent());
        const std::optional<QString> offer = r.c->availableAgentVersion();
        QCOMPARE(r.c->agentUpdateBannerText(), offer ? "Agent " + *offer + " 可更新" : QString());
        for (const QStringList &call : std::as_const(r.script->calls))
            QCOMPARE(call, QStringList{CLIService::agentUpdateScript()});
        if (steps.contains(u"code") || steps.contains(u"retry"))
            QCOMPARE(r.h.attention().focusTarget(), FocusTarget::setupCode());
    }
};

QTEST_GUILESS_MAIN(UpdateControllerTests)
#include "UpdateControllerTests.moc"
