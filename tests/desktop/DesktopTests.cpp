// The application among the user's other programs: the desktop's opener, told by its exit status
// (a stand-in script in place of xdg-open); one instance per home, tried with two real
// processes of the real binary; notifications, as a notification service on the session bus
// receives them; and the diagnostics archive, read back with tar.

#include "app/ProfileFiles.h"
#include "platform/Bundle.h"
#include "platform/Desktop.h"
#include "setup/BundleStamp.h"
#include "support/ServedModel.h"
#include "support/Test.h"
#include "ui/DesktopNotifier.h"
#include "ui/DiagnosticsExport.h"
#include "ui/MenuBarContent.h"

#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QPushButton>

#include <csignal>

using namespace QuorvantisTest;
using Event = DesktopNotifier::Event;

namespace {

// The desktop's notification service, recording what this process sends (other tests may
// share the bus).
class NotificationService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call { uint replaces; QString title, body; };
    QString client = QDBusConnection::sessionBus().baseService();
    QList<Call> calls;

public Q_SLOTS:
    uint Notify(const QString &, uint replaces, const QString &, const QString &title, const QString &body,
                const QStringList &, const QVariantMap &, int)
    {
        if (message().service() == client)
            calls.append({replaces, title, body});
        return uint(calls.size()) + 100;
    }
};

// One run of the real application binary in a home of its own under `root`, all sharing one
// runtime directory.
struct AppProcess
{
    QProcess process;
    QByteArray log;

    AppProcess(const QTemporaryDir &root, const QString &home)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), root.filePath(home));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(home + "/.config"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.filePath(QStringLiteral("run")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QDir().mkpath(root.filePath(home));
        process.setProcessEnvironment(environment);
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { log += process.readAllStandardError(); });
        process.start(QStringLiteral(QUORVANTIS_APP_BINARY), QStringList{});
    }
    ~AppProcess()
    {
        process.kill();
        process.waitForFinished();
    }
};

// The instance sockets in a runtime directory.
QStringList sockets(const QString &runtime)
{
    return QDir(runtime).entryList({QStringLiteral("quorvantis-companion-*")}, QDir::System);
}

bool listening(const QString &socket)
{
    const auto connects = [&] {
        QLocalSocket probe;
        probe.connectToServer(socket);
        return probe.waitForConnected(200);
    };
    return spinUntil(connects, 60000);
}

} // namespace

class DesktopTests : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        // The install log's place is fixed at its first use: in a home of this test's own.
        qputenv("HOME", m_home.path().toUtf8());
        // The application speaks the system's language; these tests read its Chinese.
        qputenv("LANGUAGE", "zh_CN");
    }

    // What the opener is handed and whether its answer counts as opened: only a clean exit, or
    // an opener still running at the hand-over time (a browser in the foreground).
    void openerTellsTheTruth_data()
    {
        // script — run by sh with the target as $1, after recording it
        // handed — what the opener got, "" when it never ran
        // handOverMs — long where the opener ends by itself, so load cannot decide
        columns<QString, QString, QUrl, bool, QString, int>(
            {"program", "script", "url", "opened", "handed", "handOverMs"});
        const QUrl page(QStringLiteral("https://releases.example/quorvantis?tab=beta"));
        const QUrl folder = QUrl::fromLocalFile(QStringLiteral("/tmp/quorvantis logs"));
        const int ends = 60000;
        QTest::newRow("handler took it") << "/bin/sh" << "exit 0" << page << true << page.toString() << ends;
        QTest::newRow("action failed") << "/bin/sh" << "exit 4" << folder << false << "/tmp/quorvantis logs" << ends;
        QTest::newRow("killed") << "/bin/sh" << "kill -9 $$" << page << false << page.toString() << ends;
        QTest::newRow("browser stays in the foreground") << "/bin/sh" << "exec sleep 5" << page << true
                                                         << page.toString() << 200;
        QTest::newRow("no opener installed") << "/nonexistent/xdg-open" << "" << page << false << "" << ends;
        QTest::newRow("no URL") << "/bin/sh" << "exit 0" << QUrl() << false << "" << ends;
    }
    void openerTellsTheTruth()
    {
#ifdef Q_OS_MACOS
        QSKIP("On a Mac the workspace answers for itself.");
#endif
        QFETCH(QString, program);
        QFETCH(QString, script);
        QFETCH(QUrl, url);
        QFETCH(int, handOverMs);
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("handed"));
        Desktop::Opener opener{.program = program,
                               .arguments = {QStringLiteral("-c"),
                                             QStringLiteral("printf %s \"$1\" > '%1'; %2").arg(record, script),
                                             QStringLiteral("opener")},
                               .handOver = std::chrono::milliseconds(handOverMs)};
        QTEST(await(Desktop::openURL(url, opener)), "opened");
        // An opener still running may not have recorded its argument yet.
        QFETCH(QString, handed);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(record)), handed, 10000);
    }

    void oneInstancePerHome_data()
    {
        columns<bool, bool>({"crashFirst", "otherHome"});
        QTest::newRow("second launch hands over") << false << false;
        QTest::newRow("the socket of a crashed instance is taken over") << true << false;
        QTest::newRow("another home runs its own") << false << true;
    }

    void oneInstancePerHome()
    {
        QFETCH(bool, crashFirst);
        QFETCH(bool, otherHome);
        QTemporaryDir root;
        const QString runtime = root.filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        auto first = std::make_unique<AppProcess>(root, QStringLiteral("a"));
        QVERIFY(spinUntil([&] { return sockets(runtime).size() == 1; }, 60000));
        const QString socket = QDir(runtime).filePath(sockets(runtime).constFirst());
        QVERIFY2(listening(socket), first->log.constData());
        if (crashFirst) {
            ::kill(pid_t(first->process.processId()), SIGKILL);
            QVERIFY(first->process.waitForFinished());
            QVERIFY(QFileInfo::exists(socket));
            first = std::make_unique<AppProcess>(root, QStringLiteral("a"));
            QVERIFY2(listening(socket), first->log.constData());
        }

        AppProcess second(root, otherHome ? QStringLiteral("b") : QStringLiteral("a"));
        if (otherHome) {
            QVERIFY(spinUntil([&] { return sockets(runtime).size() == 2; }, 60000));
            QVERIFY(second.process.state() == QProcess::Running);
        } else {
            QVERIFY(second.process.waitForFinished(60000));
            QCOMPARE(second.process.exitCode(), 0);
            const auto handedOver = [&] { return first->log.contains("Another launch asked for the window."); };
            QVERIFY2(spinUntil(handedOver, 10000), first->log.constData());
        }
        QVERIFY(first->process.state() == QProcess::Running);
    }

    // What the notifier tells the desktop as the model changes: each row's steps, then the
    // notices they add (none where a repeat or the change must say nothing).
    void notifications()
    {
        ServedModel fixture;
        auto grants = std::make_shared<QSet<PermissionKind>>();
        fixture.effects.permissionCheck = [grants](PermissionKind kind) { return value(grants->contains(kind)); };
        AppModel &model = fixture.makeServed();
        bool windowActive = false;
        DesktopNotifier notifier(&model, {.tray = nullptr, .windowActive = [&] { return windowActive; }});
        MenuBarContent panel(&model, {});

        NotificationService service;
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("service"));
        const QString name = QStringLiteral("org.freedesktop.Notifications");
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                   QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(name));
        auto cleanup = qScopeGuard([&] {
            bus.unregisterService(name);
            QDBusConnection::disconnectFromBus(QStringLiteral("service"));
        });

        const QString marker = ProfileFiles::notificationsMarkerName();
        const auto act = [&](const QString &step) {
            const QString word = step.section(u' ', 0, 0);
            const QString rest = step.section(u' ', 1);
            if (word == u"grant") {
                *grants
                    = {PermissionKind::screenRecording, PermissionKind::accessibility, PermissionKind::fullDiskAccess};
            } else if (word == u"revoke") {
                grants->remove(*fromRawValue<PermissionKind>(rest));
            } else if (word == u"recheck") {
                using Kind = AppModel::RecoveryAction::Kind;
                await(model.perform(AppModel::RecoveryAction::make(Kind::recheckPermissions)));
            } else if (word == u"agent") { // polled: "up", or "lost" for five failed polls
                const bool lost = rest == u"lost";
                fixture.statusAnswer = ScriptedResponse::json(lost ? 503 : 200, lost ? "{}" : Sample{}.json());
                for (int poll = 0; poll < (lost ? 5 : 1); ++poll)
                    fixture.poll();
            } else if (word == u"window") {
                windowActive = rest == u"active";
            } else if (word == u"toggle") {
                panel.notificationsToggle()->click();
            } else if (step == u"marker off") {
                QCOMPARE(fixture.readProfileFile(marker), QByteArray("off\n"));
            } else {
                QVERIFY2(step == u"marker gone" && !fixture.hasProfileFile(marker), qPrintable(step));
            }
            settle();
        };
        // Each revoked permission is told once; a notice is taken in, not told, while the window is
        // active or notifications are off.
        const QList<std::pair<QString, QList<Event>>> steps{
            {"grant; recheck; agent up", {}},
            {"revoke screenRecording; recheck; recheck", {Event::permissionRevoked}},
            {"agent lost", {Event::agentOffline}},
            {"agent up; agent up", {Event::agentBack}},
            {"window active; revoke accessibility; recheck", {}},
            {"window inactive; recheck", {}}, // what the active window saw is not told later
            {"toggle; marker off; grant; recheck; revoke accessibility; recheck", {}},
            {"toggle; marker gone; grant; recheck; revoke fullDiskAccess; recheck", {Event::permissionRevoked}},
        };
        QList<Event> expected;
        for (const auto &[row, adds] : steps) {
            for (const QString &step : row.split(QStringLiteral("; ")))
                act(step);
            expected += adds;
            QList<Event> shown;
            for (const auto &notice : notifier.shown())
                shown.append(notice.event);
            QVERIFY2(shown == expected, qPrintable(row));
            QTRY_COMPARE(service.calls.size(), notifier.shown().size());
        }
        for (int i = 0; i < service.calls.size(); ++i) {
            QCOMPARE(service.calls.at(i).title, notifier.shown().at(i).title);
            QCOMPARE(service.calls.at(i).body, notifier.shown().at(i).body);
        }
        QVERIFY(service.calls.at(0).body.contains(PermissionKinds::title(PermissionKind::screenRecording)));
        // "Back online" takes the place of "offline" on the desktop.
        QCOMPARE(service.calls.at(1).replaces, 0u);
        QCOMPARE(service.calls.at(2).replaces, 102u);
    }

    // The archive from the tray panel: private, and without a secret of the profile, the log, the
    // bundle or a file a link leads to; the last error's link is redacted in its summary.
    void diagnosticsArchive()
    {
        ServedModel fixture;
        const QString link = QStringLiteral("https://onboarding.example/agents/ada-agent/setup#tok-binding-5150");
        const QStringList secrets{QString::fromLatin1(statusToken), "svc-key-5b1e2d9f4c", "QVS2-ABCD-EFGH-JKMN",
                                  "resume-tok-88aa77", validEnrollmentKey(), link, "tok-binding-5150"};
        AppModel &model = fixture.makeServed();
        fixture.writeProfileFile(QStringLiteral("config.json"), R"({"quorvantisServiceApiKey":"svc-key-5b1e2d9f4c"})");
        fixture.writeProfileFile(QStringLiteral("setup-state.json"),
                                 R"({"setupCode":"QVS2-ABCD-EFGH-JKMN","resumeToken":"resume-tok-88aa77"})");
        fixture.writeProfileFile(QStringLiteral("mac-app-owner-setup-url"), link.toUtf8() + '\n');
        QTemporaryDir elsewhere;
        QVERIFY(writeFile(elsewhere.filePath(QStringLiteral("private")), "PRIVATE-ELSEWHERE\n"));
        QVERIFY(QFile::link(elsewhere.filePath(QStringLiteral("private")), fixture.profileFile("mac-app-elsewhere")));
        QTemporaryDir bundle;
        QVERIFY(writeFile(bundle.filePath(QStringLiteral("stamp")), BundleStamp::conceal(validEnrollmentKey())));
        Bundle::setResourceDirectory(bundle.path());
        auto restore = qScopeGuard([] {
            Bundle::setResourceDirectory({});
            DiagnosticsExport::setPathChooser({});
        });
        QByteArray log;
        for (const QString &secret : secrets)
            log += "seen: " + secret.toUtf8() + " (in a line)\n";
        log += "token \x1b[1mstatus-secret\x1b[0m-7f3a9c split by escapes\nsetup finished\n";
        QVERIFY(writeFile(ProfileFiles::installLog(), log));
        // A failed restart: the last error, with a link.
        fixture.daemonInstall->steps = {Step::exit(2, QStringLiteral("failed, see https://help.example/agent"))};
        await(model.perform(AppModel::RecoveryAction::make(AppModel::RecoveryAction::Kind::restartAgent)));

        QTemporaryDir out;
        const QString archive = out.filePath(QStringLiteral("diagnostics.tar"));
        DiagnosticsExport::setPathChooser([&](QWidget *, const QString &) { return std::optional<QString>(archive); });
        MenuBarContent(&model, {}).diagnosticsButton()->click();
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == u"diagnostics-export-result")
                widget->close();
        }
        QCOMPARE(posixMode(archive), 0600);
        const QByteArray bytes = readFile(archive);
        QVERIFY(bytes.contains("setup finished\n")); // the log is in it, uncompressed
        for (const QString &secret : secrets)
            QVERIFY2(!bytes.contains(secret.toUtf8()), qPrintable(secret));
        QVERIFY(!bytes.contains("PRIVATE-ELSEWHERE"));
        const Finished tar = runProgram("tar", {"-xOf", archive, "quorvantis-diagnostics/summary.json"});
        QCOMPARE(tar.exitCode, 0);
        const QJsonObject summary = QJsonDocument::fromJson(tar.out.toUtf8()).object();
        // The tool's line travels as the error's detail, its address redacted.
        QCOMPARE(summary["lastError"]["detail"].toString(), QStringLiteral("failed, see [URL REDACTED]"));
    }
};

QTEST_MAIN(DesktopTests)
#include "DesktopTests.moc"
