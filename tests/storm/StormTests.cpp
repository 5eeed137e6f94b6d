// Storms of presses: at every stage of the installation and on the finished dashboard, seeded
// random presses of whatever the window and the tray panel offer at that moment, between which
// virtual time passes and the agent goes away and comes back. Whatever the order, no two
// operations on the agent run at once, no permission row changes without a probe that ran, and
// nothing stays busy. Where each operation ends is its controller's tests' to say.
//
// QUORVANTIS_STORM_SEQUENCES=N runs N sequences per start (default 30); QUORVANTIS_STORM_SEED=S
// replays the one sequence a failure names.
#include "support/ServedModel.h"
#include "support/Test.h"
#include "ui/DiagnosticsExport.h"
#include "ui/MenuBarContent.h"
#include "ui/RootContentView.h"
#include "ui/Views.h"

#include <QAbstractAnimation>
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QRandomGenerator>

using namespace QuorvantisTest;
using namespace std::chrono_literals;

namespace {

// The agent's machine as the effects see it. Every run takes the one runner, as the real one
// does, and counts a refusal; every permission is granted.
struct World
{
    VirtualTime *time = nullptr;
    QString profile;
    bool busy = false;
    int overlaps = 0;
    bool daemon = false; // the agent's daemon is installed and running
    bool away = false;   // its process went away
    QString version = QStringLiteral("1.4.0");
    int bindingRequests = 0;
    QSet<PermissionKind> probed; // kinds whose probe ran to an answer since the last look
};

QCoro::Task<CLIResult> occupy(std::shared_ptr<World> world, std::chrono::milliseconds duration,
                              std::function<void()> done)
{
    if (world->busy) {
        ++world->overlaps;
        throw QuorvantisNativeError(QStringLiteral("OPERATION_ALREADY_RUNNING"), QStringLiteral("busy"));
    }
    world->busy = true;
    co_await world->time->sleep(duration);
    world->busy = false;
    if (done)
        done();
    co_return CLIResult{0, std::nullopt};
}

QCoro::Task<bool> probe(std::shared_ptr<World> world, PermissionKind kind)
{
    co_await occupy(world, 300ms, {});
    world->probed.insert(kind);
    co_return true;
}

QCoro::Task<AgentRuntimeStatus> status(std::shared_ptr<World> world)
{
    if (!world->daemon || world->away)
        throw std::runtime_error("the agent does not answer");
    co_return AgentRuntimeStatus{world->time->now(), QStringLiteral("running"), true, world->version, false,
                                 std::nullopt, 0, 4242, std::nullopt};
}

const QStringList starts{"runtime", "permissions", "setup", "daemon", "channel", "handshake", "finished"};

// One model on the world, with its window and tray panel.
struct Rig
{
    std::shared_ptr<World> world = std::make_shared<World>();
    ModelFixture fixture{ModelFixture::Succeeding};
    AppModel *model = nullptr;
    std::unique_ptr<RootContentView> root;
    std::unique_ptr<MenuBarContent> panel;
    QList<PermissionItem> rows;
    QStringList faults;

    explicit Rig(const QString &start)
    {
        world->time = &fixture.time;
        world->profile = fixture.profileDirectory();
        wire();
        const int at = int(starts.indexOf(start));
        const bool configured = at >= 3;
        if (at >= 2) {
            // The permissions were granted on the way here.
            fixture.writeProfileFile(QStringLiteral("mac-app-permissions-completed"),
                                     "screenRecording\naccessibility\nfullDiskAccess\n");
        }
        world->daemon = at >= 4;
        if (start != u"finished" && start != u"runtime")
            fixture.writeProfileFile(QStringLiteral("mac-app-install-stage"), start.toUtf8() + '\n');
        if (configured)
            fixture.writeProfileFile(QStringLiteral("config.json"), "{}\n");
        model = &fixture.make(true);
        if (start == u"setup")
            model->setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        root = std::make_unique<RootContentView>(model);
        panel = std::make_unique<MenuBarContent>(model, MenuBarContent::Actions{});
        root->show();
        panel->show();
        settle();
        rows = model->permissions().permissions();
    }

    void wire()
    {
        const std::shared_ptr<World> w = world;
        ModelEffects &e = fixture.effects;
        const auto run = [w](std::chrono::milliseconds duration, std::function<void()> done = {}) {
            return occupy(w, duration, std::move(done));
        };
        e.environmentPrepare = [run](OutputHandler) { return run(1000ms); };
        const auto configure = [w] {
            QFile config(w->profile + QStringLiteral("/config.json"));
            if (config.open(QIODevice::WriteOnly))
                config.write("{}");
        };
        e.setupWithCode = [run, configure](QString, std::optional<QString>, OutputHandler, AuthorizationHandler) {
            return run(1500ms, configure);
        };
        e.setupEnroll = [run, configure](QString, QString, QString, OutputHandler, AuthorizationHandler) {
            return run(1500ms, configure);
        };
        e.setupResume = [run, configure](OutputHandler, AuthorizationHandler) { return run(1500ms, configure); };
        // Installing the daemon starts the agent, and a restart brings back one that went away.
        e.daemonInstall = [run, w](OutputHandler) {
            return run(800ms, [w] {
                w->daemon = true;
                w->away = false;
            });
        };
        e.runScript = [run, w](QString, OutputHandler) { return run(1200ms, [w] { w->version = QStringLiteral("1.5.0"); }); };
        e.agentStarted = [w] { return value(w->daemon && !w->away); };
        e.permissionCheck = [w](PermissionKind kind) { return probe(w, kind); };
        e.permissionPrepare = e.permissionCheck;
        e.accessibilityPrepare = [w](AccessibilityStep, bool) { return probe(w, PermissionKind::accessibility); };
        e.agentUpdateVersion = [] { return value(std::optional<QString>(QStringLiteral("1.5.0"))); };
        // The owner binds the channel by the third look at the binding.
        e.ownerSetupRequest = [w](std::optional<QUrl>, bool) {
            return value(++w->bindingRequests >= 3 ? session(false) : session(true, bindingLink()));
        };
        fixture.fetchStatus = [w] { return status(w); };
        // No binding link was captured before (and the keychain is not asked, which takes real time).
        fixture.ownerSetupLinkLoad = [] { return value(std::optional<OwnerSetupLink>()); };
    }

    // Every press the window and the tray panel offer now, by a name a failure can report: where
    // it is, its title, and which of the buttons of that title it is.
    QMap<QString, QAbstractButton *> offered() const
    {
        QMap<QString, QAbstractButton *> buttons;
        const QStringList leftOut{QStringLiteral("退出 Quorvantis"), QStringLiteral("打开 Quorvantis"),
                                  QStringLiteral("打开日志目录"), DiagnosticsExport::actionTitle()};
        for (QWidget *top : {static_cast<QWidget *>(root.get()), static_cast<QWidget *>(panel.get())}) {
            QHash<QString, int> seen;
            for (QAbstractButton *button : top->findChildren<QAbstractButton *>()) {
                const QString name = QStringLiteral("%1:%2#%3").arg(top == panel.get() ? "panel" : "window",
                                                                   button->text()).arg(seen[button->text()]++);
                if (button->isVisible() && button->isEnabled() && !qobject_cast<QCheckBox *>(button)
                    && !leftOut.contains(button->text()))
                    buttons.insert(name, button);
            }
        }
        return buttons;
    }

    void press(QAbstractButton *button)
    {
        button->click();
        look();
    }

    void advance(std::chrono::milliseconds by)
    {
        for (auto step = 0ms; step < by; step += 100ms) {
            fixture.time.advance(std::min(100ms, by - step));
            look();
        }
    }

    // Lets the views render, and checks that every permission row that changed to an answer
    // had a probe of its kind answer since the last look.
    void look()
    {
        settle();
        // The window's slides run on the wall clock, the storm on virtual time: each look ends
        // them, so what is offered follows from the presses alone, however loaded the machine.
        for (QAbstractAnimation *slide : root->findChildren<QAbstractAnimation *>()) {
            if (slide->state() == QAbstractAnimation::Running)
                slide->setCurrentTime(slide->totalDuration());
        }
        settle();
        const QList<PermissionItem> now = model->permissions().permissions();
        for (qsizetype i = 0; i < now.size(); ++i) {
            const PermissionItem &item = now[i];
            const bool answered = item.verified || item.nativeState == PermissionNativeState::notGranted;
            if (item != rows[i] && answered && !world->probed.contains(item.rule.kind))
                faults << QStringLiteral("the %1 row changed without a probe").arg(rawValue(item.rule.kind));
        }
        rows = now;
        world->probed.clear();
    }

    bool quiet() const
    {
        const AppModel &m = *model;
        return !m.operations().operation() && !world->busy && !m.setup().isSubmittingSetup() && !m.setup().isPreparingEnvironment()
            && !m.permissions().permissionOperationInFlight() && !m.permissions().isCheckingPermission() && !m.updates().isUpdatingAgent();
    }

    // Lets whatever runs run to its end, then five seconds of quiet looks a quarter of a second
    // apart (long enough for two status polls).
    void drain()
    {
        for (int quietLooks = 0, round = 0; quietLooks < 20 && round < 400; ++round) {
            advance(250ms);
            quietLooks = quiet() ? quietLooks + 1 : 0;
        }
    }

    // Nothing left busy, no two runs at once.
    void checkSettled()
    {
        if (!quiet())
            faults << QStringLiteral("still busy: ") + (model->operations().operation() ? AgentOperations::runningTitle(model->operations().operation()->kind) : QString());
        if (world->overlaps > 0)
            faults << QStringLiteral("%1 runs collided").arg(world->overlaps);
    }
};

} // namespace

class StormTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { BusyDelay::setDelayForTesting(0ms); }

    void storm_data()
    {
        columns<QString, quint32>({"start", "seed"});
        const int sequences = qEnvironmentVariableIsSet("QUORVANTIS_STORM_SEQUENCES")
            ? qEnvironmentVariableIntValue("QUORVANTIS_STORM_SEQUENCES")
            : 30;
        const bool one = qEnvironmentVariableIsSet("QUORVANTIS_STORM_SEED");
        const quint32 only = quint32(qEnvironmentVariableIntValue("QUORVANTIS_STORM_SEED"));
        for (qsizetype at = 0; at < starts.size(); ++at) {
            for (int n = 0; n < sequences; ++n) {
                const quint32 seed = quint32(at * 100000 + n);
                if (!one || seed == only)
                    QTest::addRow("%s, seed %u", qPrintable(starts[at]), seed) << starts[at] << seed;
            }
        }
    }
    void storm()
    {
        QFETCH(QString, start);
        QFETCH(quint32, seed);
        QRandomGenerator dice(seed);
        QStringList events; // what was pressed, and when the agent went away or came back
        Rig storm(start);
        for (int step = 0; step < 12; ++step) {
            const int roll = int(dice.bounded(100));
            if (roll < 12) {
                storm.world->away = !storm.world->away;
                events << (storm.world->away ? QStringLiteral("away") : QStringLiteral("back"));
            } else if (roll < 45) {
                storm.advance(std::chrono::milliseconds(dice.bounded(100, 1500)));
            } else if (const auto buttons = storm.offered(); !buttons.isEmpty()) {
                const QString name = buttons.keys().at(int(dice.bounded(int(buttons.size()))));
                events << name;
                storm.press(buttons.value(name));
            }
        }
        storm.world->away = false;
        storm.drain();
        storm.checkSettled();
        const QString replay = QStringLiteral(" (replay: QUORVANTIS_STORM_SEED=%1)").arg(seed);
        QVERIFY2(storm.faults.isEmpty(), qPrintable(storm.faults.join(u"; ") + "; after " + events.join(u", ") + replay));
    }
};

QTEST_MAIN(StormTests)
#include "StormTests.moc"
