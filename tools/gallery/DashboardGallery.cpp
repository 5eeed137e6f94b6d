#include "DashboardGallery.h"

#include "ui/ChannelBindingSessionSheet.h"
#include "ui/RootContentView.h"
#include "ui/Scene.h"
#include "support/ModelAccess.h"

#include <QDir>

#include <functional>

namespace DashboardGallery {

namespace {

using namespace std::chrono_literals;

// The running agent as its status endpoint describes it, sampled a second ago.
QByteArray sample(const Scene &s, bool busy, qint64 queue)
{
    Sample document;
    document.sampledAt = s.time.now().addSecs(-1).toString(Qt::ISODate);
    document.busy = busy;
    document.queueSize = queue;
    document.version = QStringLiteral("1.4.2");
    document.pid = 48213;
    return document.json();
}

// Recent activity, one entry a little after the other on the scene's clock.
void activity(Scene &s, AppModel &model, const QStringList &summaries)
{
    for (const QString &summary : summaries) {
        AppModelAccess{model}.attention().appendActivity(summary);
        s.time.advance(37s);
    }
}

struct State
{
    QString name;
    QString scene;
    std::function<void(Scene &, AppModel &)> prepare;
};

const QStringList sampleActivity{QStringLiteral("Received new messages — 3 waiting"), QStringLiteral("Started coding"), QStringLiteral("Organizing context"),
                                 QStringLiteral("Task complete"), QStringLiteral("Received a new message"), QStringLiteral("Started working")};

QList<State> dashboardStates()
{
    return {
        {QStringLiteral("dashboard-online"), QStringLiteral("installed"), {}},
        {QStringLiteral("dashboard-working"), QStringLiteral("installed"),
         [](Scene &s, AppModel &model) {
             activity(s, model, sampleActivity);
             s.statusAnswer = ScriptedResponse::json(200, sample(s, true, 1));
             s.poll();
         }},
        {QStringLiteral("dashboard-disconnected"), QStringLiteral("installed"),
         [](Scene &s, AppModel &model) {
             activity(s, model, sampleActivity.mid(2));
             // Three polls of a status endpoint that no longer answers.
             s.statusAnswer = ScriptedResponse::text(503, "unavailable");
             for (int poll = 0; poll < 3; ++poll)
                 s.poll();
         }},
        {QStringLiteral("dashboard-error-recovery"), QStringLiteral("installed"),
         [](Scene &, AppModel &model) { model.fail(QStringLiteral("AGENT_START_TIMEOUT"), QStringLiteral("Agent 已安装，但未能在 15 秒内启动。")); }},
        {QStringLiteral("dashboard-permission-missing"), QStringLiteral("installed"),
         [](Scene &s, AppModel &model) {
             s.probe->answers = {true, false, true};
             await(AppModelAccess{model}.permissions().refreshExistingPermissions());
         }},
        {QStringLiteral("dashboard-channel-unbound"), QStringLiteral("channel"), {}},
        {QStringLiteral("update-banner-idle"), QStringLiteral("offered"), {}},
        {QStringLiteral("update-banner-updating"), QStringLiteral("offered"),
         [](Scene &s, AppModel &model) {
             Step held = Step::success();
             held.gate = s.gate();
             s.script->steps = {held};
             Quorvantis::startDetached(model.updateAgent(), "gallery update");
         }},
    };
}

// The binding sheet at the channel stage, after the service's answers and the browser's doing.
QList<State> sheetStates()
{
    const auto answers = [](const QString &steps) {
        return [steps](Scene &s, AppModel &model) {
            for (const QChar step : steps) {
                if (step == u'O' || step == u'F') { // the browser opens the page, or fails to
                    s.browser->answers = {step == u'O'};
                    await(model.openOwnerSetup());
                } else if (step == u'H') { // the browser is still being asked
                    s.browser->gate = s.gate();
                    Quorvantis::startDetached(model.openOwnerSetup(), "gallery open");
                } else if (step == u'S') { // a fresh link asked of the service, not answered yet
                    s.onboarding->latency = std::chrono::seconds(1);
                    s.onboarding->whenExhausted = session(true, bindingLink());
                    Quorvantis::startDetached(model.refreshOwnerSetup(true), "gallery refresh");
                } else if (step == u'C') {
                    model.copyOwnerSetupLink();
                } else {
                    if (step == u'E')
                        s.onboarding->fail(std::runtime_error("unreachable"));
                    else
                        s.onboarding->answer(step == u'A' ? session(true, std::nullopt, std::nullopt, true)
                                                          : session(true, bindingLink(), step == u'P' ? std::optional(true) : step == u'N' ? std::optional(false) : std::nullopt));
                    await(model.refreshOwnerSetup(false));
                }
            }
        };
    };
    return {
        {QStringLiteral("sheet-no-link"), QStringLiteral("binding"), answers(QString())},
        {QStringLiteral("sheet-fetching"), QStringLiteral("binding"), answers(QStringLiteral("LS"))},
        {QStringLiteral("sheet-waiting"), QStringLiteral("binding"), answers(QStringLiteral("L"))},
        {QStringLiteral("sheet-opening"), QStringLiteral("binding"), answers(QStringLiteral("LH"))},
        {QStringLiteral("sheet-open-failed"), QStringLiteral("binding"), answers(QStringLiteral("LFC"))},
        {QStringLiteral("sheet-opened-by-agent"), QStringLiteral("binding"), answers(QStringLiteral("A"))},
        {QStringLiteral("sheet-verified"), QStringLiteral("binding"), answers(QStringLiteral("POPN"))},
        {QStringLiteral("sheet-refresh-error"), QStringLiteral("binding"), answers(QStringLiteral("LOE"))},
    };
}

} // namespace

QStringList writeAll(const QString &directory)
{
    QDir().mkpath(directory);
    // Still spinners and no page animation: the pictures do not depend on timing.
    Motion::setReducedMotionOverride(true);
    QStringList written;
    const auto keep = [&](QWidget &widget, const QString &name) {
        const QString path = QDir(directory).filePath(name + QStringLiteral(".png"));
        if (widget.grab().save(path))
            written.append(path);
    };

    for (const State &state : dashboardStates()) {
        Scene scene;
        scene.statusAnswer = ScriptedResponse::json(200, sample(scene, false, 0));
        AppModel &model = scene.reach(state.scene);
        if (state.prepare)
            state.prepare(scene, model);
        RootContentView window(&model);
        window.resize(RootContentView::defaultSize);
        window.show();
        settle();
        keep(window, state.name);
    }

    // A wait shows as busy once it outlasts the busy delay; here at once, so the picture does
    // not depend on timing.
    BusyDelay::setDelayForTesting(std::chrono::milliseconds(0));
    for (const State &state : sheetStates()) {
        Scene scene;
        AppModel &model = scene.reach(state.scene);
        state.prepare(scene, model);
        ChannelBindingSessionSheet sheet(&model);
        sheet.resize(560, sheet.sizeHint().height());
        sheet.show();
        settle();
        sheet.resize(560, sheet.sizeHint().height());
        settle();
        keep(sheet, state.name);
    }
    BusyDelay::setDelayForTesting(std::nullopt);
    return written;
}

} // namespace DashboardGallery
