// Update offers and the update itself, through their controller.
#include "model/Attention.h"
#include "model/InstallJourney.h"
#include "process/CLIService.h"
#include "support/ControllerHarness.h"
#include "updates/RegistryLocator.h"
#include "updates/UpdateController.h"

using namespace QuorvantisTest;

namespace {

// How the runs end, in order: ok, exit (a non-zero status), busy (a coded failure); "exit>ok": the first
// run exits, the next one ends ok.
std::deque<Step> endings(const QString &words)
{
    std::deque<Step> steps;
    for (const QString &word : words.split(u'>')) {
        if (word == u"exit")
            steps.push_back(Step::exit(4, QStringLiteral("npm ERR! boom\n")));
        else if (word == u"busy")
            steps.push_back(Step::throwing(QuorvantisNativeError(QStringLiteral("OPERATION_ALREADY_RUNNING"), {})));
        else
            steps.push_back(Step::success());
    }
    return steps;
}

struct Rig
{
    ControllerHarness h;
    std::optional<QString> offer; // by the registry
    int asked = 0; // the registry
    std::shared_ptr<ScriptedRun> script = std::make_shared<ScriptedRun>();
    std::shared_ptr<ScriptedRun> daemon = std::make_shared<ScriptedRun>();
    QStringList links; // the other subsystems and the desktop asked
    std::unique_ptr<UpdateController> c; // after the harness: destroyed before it

    // The stage ("" finished), "unconfigured".
    explicit Rig(const QString &setup)
    {
        h.launchAt(fromRawValue<InstallStage>(setup.section(u' ', 0, 0)), !setup.contains(u"unconfigured"));
        h.daemonEffects.daemonInstall = runEffect(daemon);
        UpdateController::Effects effects{
            .agentUpdateVersion =
                [this] {
                    ++asked;
                    // "busy": the registry could not be looked up now
                    return offer == u"busy" ? failing<std::optional<QString>>(RegistryLookupDeferred("busy")) : value(offer);
                },
            .runScript = [s = script](QString text, OutputHandler out) { return play(s, {text}, std::move(out), {}); },
        };
        QStringList *l = &links;
        UpdateController::Links to{
            .recoverExistingConfiguration = [l] { return *l << "recover", nothing(); },
            .allowExistingPermissionRecheck = [l] { *l << "allow"; },
            .refreshAgentStatus = [l] { return *l << "status", nothing(); },
        };
        c = std::make_unique<UpdateController>(h.context(), effects, to);
    }

    // Only what differs from a fresh controller.
    QString state()
    {
        const Attention &attention = h.attention();
        const qsizetype runs = script->calls.size() + daemon->calls.size();
        const QStringList words{
            asked ? QStringLiteral("asked:%1").arg(asked) : "",
            c->availableAgentVersion() ? "offer:" + *c->availableAgentVersion() : "",
            c->showsAgentUpdateBanner() ? "banner" : "",
            c->dismissedAgentVersion() ? "dismissed:" + *c->dismissedAgentVersion() : "",
            c->agentVersionChecked() ? "checked:" + *c->agentVersionChecked() : "",
            runs ? QStringLiteral("runs:%1/%2").arg(script->calls.size()).arg(daemon->calls.size()) : "",
            h.failures.isEmpty() ? "" : "fail:" + h.failures.last().code + ":" + h.failures.last().message.value_or("-"),
            attention.lastError() ? "error" : "",
            links.join(u','),
            attention.notice() ? "notice:" + *attention.notice() : ""};
        return words.join(u' ').simplified();
    }
};

void row(const char *name, const char *setup, const char *steps, const char *state, const char *runs = "ok ok")
{
    QTest::newRow(name) << QString(setup) << QString(runs) << QString(steps) << QString(state);
}

} // namespace

class UpdateControllerTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void steps_data()
    {
        // runs — how the update script and the daemon reinstall end
        // steps — check:1.3.0>1.4.0: the agent at 1.3.0 and 1.4.0 offered ("-" none, "_" an empty version, "busy"
        // the registry could not be looked up now); dismiss; update; hold / free the update script;
        // running: whether an update runs.
        columns<QString, QString, QString, QString>({"setup", "runs", "steps", "state"});
        row("one question per version", "", "check:1.3.0>1.4.0; check:1.3.0>1.5.0", "asked:1 offer:1.4.0 banner checked:1.3.0");
        row("moved on to the offer", "", "check:1.3.0>1.4.0; check:1.4.0>1.4.0", "asked:2 checked:1.4.0");
        row("unusable running versions", "", "check:_>1.4.0; check:->1.4.0; check:v1.3.0>1.4.0", "");
        row("no answer clears the offer", "", "check:1.0.0>2.0.0; check:1.0.1>-", "asked:2 checked:1.0.1");
        // Nothing was asked: the next sample asks again, and an earlier offer stands meanwhile.
        row("a put-off question is asked again", "", "check:1.3.0>busy; check:1.3.0>1.4.0", "asked:2 offer:1.4.0 banner checked:1.3.0");
        row("the offer stands while put off", "", "check:1.3.0>1.4.0; check:1.3.1>busy; check:1.3.1>1.4.0",
            "asked:3 offer:1.4.0 banner checked:1.3.1");
        row("put off for a new version", "", "check:1.3.0>1.4.0; check:1.3.1>busy", "asked:2 offer:1.4.0 banner checked:1.3.0");
        row("unconfigured never asks", "unconfigured", "check:1.0.0>9.0.0; update", "");
        row("dismissed", "", "check:1.3.0>1.4.0; dismiss", "asked:1 offer:1.4.0 dismissed:1.4.0 checked:1.3.0");
        row("dismissal hides only that version", "", "check:1.3.0>1.4.0; dismiss; check:1.3.1>1.5.0",
            "asked:2 offer:1.5.0 banner dismissed:1.4.0 checked:1.3.1");
        // The update, then the daemon reinstalled; the installed version stays hidden even while the agent
        // still reports the old one.
        row("updated", "", "check:1.3.0>1.4.0; update",
            "asked:1 dismissed:1.4.0 runs:1/1 allow,recover,status notice:已更新 Agent");
        row("a second press while updating", "", "hold; update~; running; update; free",
            "runs:1/1 updating,allow,recover,status notice:已更新 Agent");
        // A failed step keeps the offer, so the user can try again; a coded failure keeps its code.
        row("update exits", "", "check:1.3.0>1.4.0; update",
            "asked:1 offer:1.4.0 banner checked:1.3.0 runs:1/0 fail:AGENT_UPDATE_FAILED:npm ERR! boom error", "exit ok");
        row("a coded failure keeps its code", "", "update", "runs:1/0 fail:OPERATION_ALREADY_RUNNING:- error", "busy ok");
        row("reinstall exits", "", "check:1.3.0>1.4.0; update",
            "asked:1 offer:1.4.0 banner checked:1.3.0 runs:1/1 fail:AGENT_UPDATE_FAILED:npm ERR! boom error", "ok exit");
    }
    void steps()
    {
        QFETCH(QString, setup);
        QFETCH(QString, runs);
        QFETCH(QString, steps);
        Rig r(setup);
        r.script->steps = endings(runs.section(u' ', 0, 0));
        r.daemon->steps = endings(runs.section(u' ', 1, 1));
        std::optional<QCoro::Task<void>> pending; // update~: started, not awaited
        playSteps(steps, {{"check", [&](const QString &versions) {
                               const QString running = versions.section(u'>', 0, 0), offered = versions.section(u'>', 1);
                               r.offer = offered == u"-" ? std::nullopt : std::optional(offered);
                               await(r.c->checkAgentUpdate(running == u"-" ? std::nullopt
                                                           : std::optional(running == u"_" ? QString() : running)));
                           }},
                           {"dismiss", [&](const QString &) { r.c->dismissAgentUpdate(); }},
                           {"update", [&](const QString &) { await(r.c->updateAgent()); }},
                           {"update~", [&](const QString &) { pending = r.c->updateAgent(); }},
                           {"hold", [&](const QString &) { r.script->steps.front().gate = std::make_shared<Gate>(); }},
                           {"running", [&](const QString &) { r.links << (r.c->isUpdatingAgent() ? "updating" : "idle"); }},
                           {"free", [&](const QString &) {
                                r.script->steps.front().gate->open();
                                await(std::move(*pending));
                            }}});
        QTEST(r.state(), "state");
        QVERIFY(!r.c->isUpdatingAgent());
        for (const QStringList &call : std::as_const(r.script->calls))
            QCOMPARE(call, QStringList{CLIService::agentUpdateScript()});
    }
};

QTEST_GUILESS_MAIN(UpdateControllerTests)
#include "UpdateControllerTests.moc"
