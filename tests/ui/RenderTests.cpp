// What makes a view render: only a change of something it shows, published per group. A status
// sample that brings nothing new changes nothing but the heartbeat; views kept current through
// their subscriptions show what views built afresh on the same model show.
#include "Scene.h"

#include "support/Test.h"
#include "ui/MenuBarContent.h"
#include "ui/RootContentView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>

using namespace std::chrono_literals;

namespace {

QString groupNames(ModelChanges changes)
{
    static const QStringList names{"setup",  "authorization", "journey",   "permissions", "channel", "status",
                                   "heartbeat", "attention", "activity", "operations", "updates"};
    QStringList seen;
    for (int bit = 0; bit < names.size(); ++bit) {
        if (changes.testFlag(ModelChange(1u << bit)))
            seen << names.at(bit);
    }
    return seen.join(u' ');
}

// Every label and button a user sees in a window: its text, and whether a button is off.
QStringList seen(const QWidget *window)
{
    QStringList lines;
    for (const QWidget *widget : window->findChildren<QWidget *>()) {
        if (!widget->isVisible())
            continue;
        if (const auto *label = qobject_cast<const QLabel *>(widget); label && !label->text().isEmpty())
            lines << label->text();
        else if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
            lines << button->text() + (button->isEnabled() ? QString() : QStringLiteral(" (off)"));
    }
    return lines;
}

} // namespace

class RenderTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // No banner or page still on its way in or out.
    void initTestCase() { Motion::setReducedMotionOverride(true); }

    // What one more status sample changes, after a first one (busy = false, queue 0, 1.4.0, at the
    // start of the virtual clock).
    void whatASampleChanges_data()
    {
        columns<bool, qint64, QString, int, QString>({"busy", "queue", "version", "later", "changes"});
        // Every sample moves the sequence, which counts with the heartbeats.
        QTest::newRow("nothing new") << false << qint64(0) << "1.4.0" << 2 << "heartbeat";
        QTest::newRow("work starts") << true << qint64(0) << "1.4.0" << 2 << "status heartbeat activity";
        QTest::newRow("a queue") << false << qint64(3) << "1.4.0" << 2 << "status heartbeat activity";
        QTest::newRow("another version") << false << qint64(0) << "1.5.0" << 0 << "status heartbeat";
    }
    void whatASampleChanges()
    {
        QFETCH(bool, busy);
        QFETCH(qint64, queue);
        QFETCH(QString, version);
        QFETCH(int, later);
        QFETCH(QString, changes);
        Scene s;
        AppModel &m = s.reach(QStringLiteral("installed"));
        // A view of everything but the heartbeat, and one of the heartbeat alone.
        QWidget owner;
        int renders = 0;
        int beats = 0;
        new ModelObserver(&m, &owner, [&renders] { ++renders; });
        new ModelObserver(&m, &owner, [&beats] { ++beats; }, ModelChange::heartbeat);
        settle();
        QSignalSpy spy(&m, &AppModel::changed);
        renders = beats = 0;

        s.time.advance(std::chrono::seconds(later));
        const Sample sample{.busy = busy, .queueSize = queue, .version = version,
                            .sampledAt = s.time.now().toString(Qt::ISODate)};
        s.statusAnswer = ScriptedResponse::json(200, sample.json());
        s.poll();
        settle();

        ModelChanges all;
        for (const auto &emitted : spy)
            all |= emitted.at(0).value<ModelChanges>();
        QCOMPARE(groupNames(all), changes);
        QVERIFY(spy.size() <= 1); // one emission per turn
        QCOMPARE(renders, changes == u"heartbeat" ? 0 : 1);
        QCOMPARE(beats, 1);
    }

    // A window and a tray panel kept current while the model moves on show, after each step,
    // what a window and a panel built afresh on the model show.
    void keptCurrentLikeAfresh_data()
    {
        columns<QString, QStringList>({"scene", "steps"});
        QTest::newRow("permissions") << "permissions"
                                     << QStringList{"confirm", "confirm", "confirm", "confirm", "code", "fail"};
        QTest::newRow("installed") << "installed" << QStringList{"busy", "idle", "fail", "offered", "newer", "dismiss"};
        QTest::newRow("channel") << "channel" << QStringList{"link", "present", "bound"};
    }
    void keptCurrentLikeAfresh()
    {
        QFETCH(QString, scene);
        QFETCH(QStringList, steps);
        Scene s;
        s.probe->answers = {true};
        AppModel &m = s.reach(scene);
        RootContentView root(&m);
        MenuBarContent panel(&m, {});
        root.show();
        panel.show();
        settle();
        for (const QString &step : steps) {
            if (step == u"confirm") {
                await(m.confirmPermissionOnboarding(m.permissions().currentPermissionOnboardingKind()));
            } else if (step == u"code") {
                m.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
            } else if (step == u"fail") {
                m.fail(QStringLiteral("AGENT_START_FAILED"));
            } else if (step == u"busy" || step == u"idle") {
                s.time.advance(2s);
                const Sample sample{.busy = step == u"busy", .sampledAt = s.time.now().toString(Qt::ISODate)};
                s.statusAnswer = ScriptedResponse::json(200, sample.json());
                s.poll();
            } else if (step == u"offered" || step == u"newer") { // another version asks the registry again
                const bool newer = step == u"newer"; // while the banner shows the first offer
                s.offeredVersion = newer ? QStringLiteral("1.6.0") : QStringLiteral("1.5.0");
                const Sample sample{.version = newer ? QStringLiteral("1.4.2") : QStringLiteral("1.4.1"),
                                    .sampledAt = s.time.now().toString(Qt::ISODate)};
                s.statusAnswer = ScriptedResponse::json(200, sample.json());
                s.poll();
            } else if (step == u"dismiss") {
                m.dismissAgentUpdate();
            } else if (step == u"link") {
                s.onboarding->answer(session(true, bindingLink()));
                await(m.refreshOwnerSetup(true));
            } else if (step == u"present") {
                m.setChannelBindingSheetPresented(true);
            } else if (step == u"bound") {
                s.onboarding->answer(session(false));
                await(m.refreshOwnerSetup(false));
            }
            settle();
            RootContentView freshRoot(&m);
            MenuBarContent freshPanel(&m, {});
            freshRoot.show();
            freshPanel.show();
            settle();
            // The kept window may still be sliding its banner (150 ms with reduced motion).
            QTRY_COMPARE(seen(&root), seen(&freshRoot));
            QCOMPARE(seen(&panel), seen(&freshPanel));
        }
    }
};

QTEST_MAIN(RenderTests)
#include "RenderTests.moc"
