#pragma once

// A model for the views, put into each named state through its own operations on scripted
// effects: a profile with a stage marker and config.json, scripted runs, probes and service
// answers, and the agent's status endpoint on loopback. The gallery draws the same states.
#include "support/ServedModel.h"
#include "ui/Views.h"
#include "support/ModelAccess.h"

using namespace QuorvantisTest;

class Scene : public ServedModel
{
public:
    // Every permission probe (check, prepare and both accessibility steps) answers from here.
    Answer probe = std::make_shared<ScriptedAnswer>();
    // The update script (every "-c" script run of the model) and the browser opening the binding page.
    Run script = std::make_shared<ScriptedRun>();
    Answer browser = std::make_shared<ScriptedAnswer>();
    // The privacy panes the desktop was asked to open.
    QList<std::optional<PermissionKind>> settingsOpened;
    bool settingsOpen = true; // whether a settings pane opens
    bool pagesOpen = true;    // whether a page or folder opens on the desktop
    // What a scene holds open (a run, a probe, the update, the browser): one gate each, all
    // opened by release() (at the latest with the scene).
    std::vector<std::shared_ptr<Gate>> gates;

    Scene()
    {
        effects.permissionCheck = [probe = probe](PermissionKind) { return reply(probe); };
        effects.permissionPrepare = effects.permissionCheck;
        effects.accessibilityPrepare = [probe = probe](AccessibilityStep, bool) { return reply(probe); };
        effects.runScript = [run = script](QString, OutputHandler out) { return play(run, {}, std::move(out), {}); };
        effects.ownerSetupOpen = [browser = browser](QUrl url) { return reply(browser, url); };
        effects.enrollmentKeyProvider = [] { return std::optional<QString>(validEnrollmentKey()); };
        effects.openURL = [this](QUrl) { return value(pagesOpen); };
        effects.openSystemSettings = [this](std::optional<PermissionKind> kind) {
            settingsOpened.append(kind);
            return value(settingsOpen);
        };
    }
    ~Scene()
    {
        // Whatever a scene left held finishes with its model gone.
        reset();
        release();
    }

    std::shared_ptr<Gate> gate() { return gates.emplace_back(std::make_shared<Gate>()); }
    void release()
    {
        for (const auto &held : std::exchange(gates, {}))
            held->open();
    }

    // At the channel stage the link captured before a restart is loaded first; nothing may
    // outlive the model waiting for it.
    AppModel &at(const QString &stage, bool configured = false)
    {
        AppModel &m = makeAt(stage.toUtf8(), configured);
        bool loaded = stage != u"channel";
        QObject scope;
        QObject::connect(&m, &AppModel::capturedLinkLoaded, &scope, [&loaded] { loaded = true; });
        spinUntil([&loaded] { return loaded; }, 5000);
        return m;
    }

    // A stage ("runtime", "setup", ...), "configured setup"; "permissions N" with the first N kinds
    // passed; submitting or authorizing (a QVS2 code's run held open, reporting the workspace
    // account); preparing (the runtime run held open); installed or offered (1.5.0 over the
    // running 1.4.0); channel or binding (no link yet) with the service's answer applied.
    AppModel &reach(const QString &name)
    {
        if (name.startsWith(u"permissions ")) {
            AppModel &m = at(QStringLiteral("permissions"));
            for (int i = 0; i < name.back().digitValue(); ++i) {
                await(m.confirmPermissionOnboarding(PermissionKind(i)));
                if (PermissionKind(i) == PermissionKind::accessibility) // node first, then cliclick
                    await(m.confirmPermissionOnboarding(PermissionKind(i)));
            }
            return m;
        }
        Step held = Step::success().heldAt(gate());
        if (name == u"authorizing")
            held.authorization = authorization();
        if (name == u"submitting" || name == u"authorizing") {
            setupWithCode->steps = {held};
            AppModel &m = at(QStringLiteral("setup"));
            m.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
            Quorvantis::startDetached(m.submitSetupCode(), "scene submission");
            return m;
        }
        if (name == u"preparing") {
            environmentPrepare->steps = {held};
            AppModel &m = at(QStringLiteral("runtime"));
            Quorvantis::startDetached(AppModelAccess{m}.setup().prepareEnvironmentIfNeeded(), "scene preparation");
            return m;
        }
        if (name == u"binding")
            onboarding->whenExhausted = session(true);
        if (name == u"offered")
            offeredVersion = QStringLiteral("1.5.0");
        const bool channel = name == u"channel" || name == u"binding";
        if (channel || name.startsWith(u"installed") || name == u"offered") {
            serveStatus();
            AppModel &m = at(channel ? QStringLiteral("channel") : QString(), true);
            if (channel)
                await(m.refreshOwnerSetup(false));
            else
                poll();
            return m;
        }
        return at(name.section(u' ', -1), name.startsWith(u"configured "));
    }
};
