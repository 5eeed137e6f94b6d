#pragma once

// A model for the views, put into each state through its own operations on scripted effects:
// a profile with a stage marker and config.json, scripted runs, probes and service answers, and
// the agent's status endpoint on loopback. The gallery draws the same states.
#include "support/StatusFixture.h"
#include "ui/Views.h"

using namespace QuorvantisTest;

// Lets every coalesced render run.
inline void settle()
{
    for (int i = 0; i < 4; ++i)
        QCoreApplication::processEvents();
}

class Scene : public StatusFixture
{
public:
    // Every permission probe (check, prepare and both accessibility steps) answers from here.
    Answer probe = std::make_shared<ScriptedAnswer>();
    // The update script (every "-c" script run of the model) and the browser opening the binding page.
    Run script = std::make_shared<ScriptedRun>();
    Answer browser = std::make_shared<ScriptedAnswer>();
    // What a scene holds open (a run, a probe, the update, the browser): one gate each, all
    // opened by release() (at the latest with the scene).
    std::vector<std::shared_ptr<Gate>> gates;
    std::shared_ptr<Gate> gate() { return gates.emplace_back(std::make_shared<Gate>()); }
    void release()
    {
        for (const auto &held : std::exchange(gates, {}))
            held->open();
    }

    Scene()
    {
        effects.permissionCheck = [probe = probe](PermissionKind) { return reply(probe); };
        effects.permissionPrepare = effects.permissionCheck;
        effects.accessibilityPrepare = [probe = probe](AccessibilityStep, bool) { return reply(probe); };
        effects.runScript = [run = script](QString, OutputHandler onOutput) { return play(run, {}, std::move(onOutput), {}); };
        effects.ownerSetupOpen = [browser = browser](QUrl url) { return reply(browser, url); };
        effects.enrollmentKeyProvider = [] { return std::optional<QString>(validEnrollmentKey()); };
    }
    ~Scene()
    {
        // Whatever a scene left held finishes with its model gone.
        reset();
        release();
    }

    // At the channel stage the link captured before a restart is loaded first; nothing may
    // outlive the model waiting for it.
    AppModel &at(const char *stage, bool configured = false)
    {
        AppModel &m = makeAt(stage, configured);
        bool loaded = QByteArrayView(stage) != "channel";
        QObject scope;
        QObject::connect(&m, &AppModel::capturedLinkLoaded, &scope, [&loaded] { loaded = true; });
        spinUntil([&loaded] { return loaded; }, 5000);
        return m;
    }

    // The permission stage with its first `verified` kinds passed by their probes.
    AppModel &permissions(int verified)
    {
        AppModel &m = at("permissions");
        for (int i = 0; i < verified; ++i) {
            await(m.confirmPermissionOnboarding(PermissionKind(i)));
            if (PermissionKind(i) == PermissionKind::accessibility) // node first, then cliclick
                await(m.confirmPermissionOnboarding(PermissionKind(i)));
        }
        return m;
    }

    // A submitted QVS2 code whose run is held open, reporting `authorization` when given.
    AppModel &submitting(std::optional<JITWorkspaceAuthorization> reported = std::nullopt)
    {
        Step step = Step::success();
        step.gate = gate();
        step.authorization = reported;
        setupWithCode->steps = {step};
        AppModel &m = at("setup");
        m.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        Quorvantis::startDetached(m.submitSetupCode(), "scene submission");
        return m;
    }

    // An installed agent whose status endpoint answers (`online`: asked once); at the channel
    // stage, with the service's answer applied.
    AppModel &installed(bool online = true, const char *stage = nullptr)
    {
        writeProfileFile(QStringLiteral("tui-port"), QByteArray::number(server.port()) + "\n");
        writeProfileFile(QStringLiteral("tui-token"), statusToken + "\n");
        AppModel &m = at(stage ? stage : "", true);
        if (stage)
            await(m.refreshOwnerSetup(false));
        else if (online)
            poll();
        return m;
    }

    // The states the tests and the gallery name.
    AppModel &reach(const QString &name)
    {
        if (name == u"submitting" || name == u"authorizing")
            return submitting(name == u"authorizing" ? std::optional(authorization()) : std::nullopt);
        if (name.startsWith(u"permissions "))
            return permissions(name.back().digitValue());
        if (name == u"preparing" || name == u"runtime failed") { // the runtime run, held open or failing
            Step step = name == u"preparing" ? Step::success() : Step::exit(1);
            step.gate = name == u"preparing" ? gate() : nullptr;
            environmentPrepare->steps = {step};
            AppModel &m = at("runtime");
            Quorvantis::startDetached(m.prepareEnvironmentIfNeeded(), "scene preparation");
            return m;
        }
        if (name == u"channel from daemon") { // with the channel stage's own detail
            agentStarted->answers = {true};
            AppModel &m = at("daemon", true);
            await(m.finishDaemonInstallationIfNeeded());
            return m;
        }
        if (name == u"binding") // no link yet
            onboarding->whenExhausted = session(true);
        if (name == u"binding" || name == u"channel")
            return installed(true, "channel");
        if (name == u"offered") // a newer agent than the running 1.4.0
            desktop->offeredVersion = QStringLiteral("1.5.0");
        if (name == u"installed" || name == u"offered" || name == u"installed offline")
            return installed(name != u"installed offline");
        if (name == u"finished" || name == u"daemon" || name == u"configured setup")
            return at(name == u"finished" ? "" : qPrintable(name.section(u' ', -1)), true);
        return at(qPrintable(name));
    }
};
