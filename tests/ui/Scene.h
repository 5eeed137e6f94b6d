#pragma once

// A model for the views, put into each state through its own operations on scripted effects:
// a profile with a stage marker and config.json, scripted runs, probes and service answers, and
// the agent's status endpoint on loopback. The gallery draws the same states.
#include "support/StatusFixture.h"
#include "ui/Views.h"

#include <QCoreApplication>

using namespace QuorvantisTest;
using Phase = AppModel::SetupPhase;

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
    // Holds the setup run, the agent's update and the binding page's opening once a scene asks.
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    // The update script (every "-c" script run of the model).
    Run script = std::make_shared<ScriptedRun>();

    Scene()
    {
        statusAnswer = ScriptedResponse::json(200, Sample{}.json());
        effects.permissionCheck = [probe = probe](PermissionKind) { return reply(probe); };
        effects.permissionPrepare = effects.permissionCheck;
        effects.accessibilityPrepare = [probe = probe](AccessibilityStep, bool) { return reply(probe); };
        effects.runScript = [run = script](QString, OutputHandler onOutput) { return play(run, {}, std::move(onOutput), {}); };
        effects.enrollmentKeyProvider = [] { return std::optional<QString>(validEnrollmentKey()); };
    }
    ~Scene()
    {
        // Whatever a scene left held finishes with its model gone.
        reset();
        gate->open();
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
    AppModel &permissions(int verified = 0)
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
        step.gate = gate;
        step.authorization = reported;
        setupWithCode->steps = {step};
        AppModel &m = at("setup");
        m.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        Quorvantis::startDetached(m.submitSetupCode(), "scene submission");
        return m;
    }

    // An installed agent whose status endpoint answers; `online` polls it once.
    AppModel &installed(bool online = true)
    {
        AppModel &m = makeServed();
        if (online)
            poll();
        return m;
    }

    // The runtime being prepared, its run held open after printing `lines`.
    AppModel &preparing(const QStringList &lines)
    {
        Step step = Step::success();
        step.lines = lines;
        step.gate = gate;
        environmentPrepare->steps = {step};
        AppModel &m = at("runtime");
        Quorvantis::startDetached(m.prepareEnvironmentIfNeeded(), "scene preparation");
        return m;
    }

    // The channel stage with the service's answer applied.
    AppModel &channel(OwnerSetupSession answer = session(true, bindingLink()))
    {
        onboarding->whenExhausted = answer;
        writeProfileFile(QStringLiteral("tui-port"), QByteArray::number(server.port()) + "\n");
        writeProfileFile(QStringLiteral("tui-token"), statusToken + "\n");
        AppModel &m = at("channel", true);
        await(m.refreshOwnerSetup(false));
        return m;
    }

    // The agent offers `version` as an update over the running 1.4.0.
    AppModel &updateOffered(const QString &version)
    {
        desktop->offeredVersion = version;
        return installed();
    }
};
