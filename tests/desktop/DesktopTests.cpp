// The application among the user's other programs: one instance per home, tried with two real
// processes of the real binary; notifications, as a notification service on the session bus
// receives them; and the diagnostics archive, read back with tar.

#include "app/Diagnostics.h"
#include "app/ProfileFiles.h"
#include "platform/Bundle.h"
#include "setup/BundleStamp.h"
#include "support/ServedModel.h"
#include "ui/DesktopNotifier.h"
#include "ui/DiagnosticsExport.h"
#include "ui/MenuBarContent.h"
#include "ui/Views.h"

#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QPushButton>
#include <QTest>

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
    struct Call
    {
        uint replaces;
        QString title;
        QString body;
    };
    QString client;
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

QCoro::Task<bool> granted(std::shared_ptr<QSet<PermissionKind>> grants, PermissionKind kind)
{
    co_return grants->contains(kind);
}

void settle()
{
    for (int i = 0; i < 4; ++i)
        QCoreApplication::processEvents();
}

// One run of the real application binary.
struct AppProcess
{
    QProcess process;
    QByteArray log;

    explicit AppProcess(const QProcessEnvironment &environment)
    {
        process.setProcessEnvironment(environment);
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] { log += process.readAllStandardError(); });
        process.start(QStringLiteral(QUORVANTIS_APP_BINARY), QStringList{});
    }
    ~AppProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    bool running() const { return process.state() == QProcess::Running; }
};

// The instance sockets in a runtime directory.
QStringList sockets(const QString &runtime)
{
    return QDir(runtime).entryList({QStringLiteral("quorvantis-companion-*")}, QDir::System);
}

bool listening(const QString &socket)
{
    return spinUntil([&] {
        QLocalSocket probe;
        probe.connectToServer(socket);
        return probe.waitForConnected(200);
    }, 60000);
}

} // namespace

class DesktopTests : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QProcess m_bus;

private Q_SLOTS:
    void initTestCase()
    {
        // The install log's place is fixed at its first use: in a home of this test's own.
        qputenv("HOME", m_home.path().toUtf8());
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
            m_bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                        QStringLiteral("--print-address=1")});
            QVERIFY(m_bus.waitForReadyRead(10000));
            qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        }
    }

    void cleanupTestCase()
    {
        m_bus.kill();
        m_bus.waitForFinished();
    }

    void oneInstancePerHome_data()
    {
        QTest::addColumn<bool>("crashFirst");
        QTest::addColumn<bool>("otherHome");
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
        auto environmentFor = [&](const QString &home) {
            QDir().mkpath(root.filePath(home));
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("HOME"), root.filePath(home));
            environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(home + QStringLiteral("/.config")));
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            return environment;
        };

        auto first = std::make_unique<AppProcess>(environmentFor(QStringLiteral("a")));
        QVERIFY(spinUntil([&] { return sockets(runtime).size() == 1; }, 60000));
        const QString socket = QDir(runtime).filePath(sockets(runtime).constFirst());
        QVERIFY2(listening(socket), first->log.constData());
        if (crashFirst) {
            ::kill(pid_t(first->process.processId()), SIGKILL);
            QVERIFY(first->process.waitForFinished());
            QVERIFY(QFileInfo::exists(socket));
            first = std::make_unique<AppProcess>(environmentFor(QStringLiteral("a")));
            QVERIFY2(listening(socket), first->log.constData());
        }

        AppProcess second(environmentFor(otherHome ? QStringLiteral("b") : QStringLiteral("a")));
        if (otherHome) {
            QVERIFY(spinUntil([&] { return sockets(runtime).size() == 2; }, 60000));
            QVERIFY(second.running());
        } else {
            QVERIFY(second.process.waitForFinished(60000));
            QCOMPARE(second.process.exitCode(), 0);
            QVERIFY2(spinUntil([&] { return first->log.contains("Another launch asked for the window."); }, 10000),
                     first->log.constData());
        }
        QVERIFY(first->running());
    }

    void notifications()
    {
        ServedModel fixture;
        auto grants = std::make_shared<QSet<PermissionKind>>();
        fixture.effects.permissionCheck = [grants](PermissionKind kind) { return granted(grants, kind); };
        AppModel &model = fixture.makeServed();
        bool windowActive = false;
        DesktopNotifier notifier(&model, {.tray = nullptr, .windowActive = [&] { return windowActive; }});
        MenuBarContent panel(&model, {});

        NotificationService service;
        service.client = QDBusConnection::sessionBus().baseService();
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("service"));
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                   QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
        auto cleanup = qScopeGuard([&] {
            bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
            QDBusConnection::disconnectFromBus(QStringLiteral("service"));
        });

        using Kind = AppModel::RecoveryAction::Kind;
        auto recheck = [&] { await(model.perform(AppModel::RecoveryAction::make(Kind::recheckPermissions))); };
        auto restart = [&] { await(model.perform(AppModel::RecoveryAction::make(Kind::restartAgent))); };
        auto answer = [&](int code, const QString &version = QStringLiteral("1.4.0")) {
            Sample sample;
            sample.version = version;
            fixture.statusAnswer = ScriptedResponse::json(code, code == 200 ? sample.json() : QByteArray("{}"));
        };
        struct Change
        {
            const char *what;
            std::function<void()> act;
            QList<Event> expected;
        };
        const QList<Change> changes{
            {"agent online with every permission",
             [&] {
                 *grants = {PermissionKind::screenRecording, PermissionKind::accessibility, PermissionKind::fullDiskAccess};
                 recheck();
                 fixture.poll();
             },
             {}},
            {"a permission revoked, then checked again",
             [&] {
                 grants->remove(PermissionKind::screenRecording);
                 recheck();
                 settle();
                 recheck();
             },
             {Event::permissionRevoked}},
            {"the agent stops answering (three failed polls), twice more",
             [&] {
                 answer(503);
                 for (int i = 0; i < 5; ++i)
                     fixture.poll();
             },
             {Event::agentOffline}},
            {"the agent is back, twice", [&] { answer(200); fixture.poll(); settle(); fixture.poll(); }, {Event::agentBack}},
            {"the same error twice",
             [&] {
                 fixture.daemonInstall->steps = {Step::exit(2)};
                 restart();
                 settle();
                 restart();
             },
             {Event::errorNeedsUser}},
            {"nothing while the window is active",
             [&] {
                 windowActive = true;
                 grants->remove(PermissionKind::accessibility);
                 recheck();
             },
             {}},
            {"what the active window saw is not told later", [&] { windowActive = false; recheck(); }, {}},
            {"turned off in the panel", [&] {
                 panel.notificationsToggle()->click();
                 fixture.desktop->offeredVersion = QStringLiteral("9.0.0");
                 answer(200, QStringLiteral("1.5.0"));
                 fixture.poll();
             }, {}},
            {"turned on again", [&] {
                 const QString marker = fixture.profileFile(ProfileFiles::notificationsMarkerName());
                 QCOMPARE(fixture.readProfileFile(ProfileFiles::notificationsMarkerName()), QByteArray("off\n"));
                 QCOMPARE(QFile::permissions(marker) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
                 panel.notificationsToggle()->click();
                 fixture.desktop->offeredVersion = QStringLiteral("9.1.0");
                 answer(200, QStringLiteral("1.6.0"));
                 fixture.poll();
             }, {Event::updateOffered}},
        };
        QList<Event> expected;
        for (const Change &step : changes) {
            step.act();
            settle();
            expected += step.expected;
            QList<Event> shown;
            for (const auto &notice : notifier.shown())
                shown.append(notice.event);
            QVERIFY2(shown == expected, step.what);
            QTRY_COMPARE(service.calls.size(), notifier.shown().size());
        }
        QVERIFY(!QFileInfo::exists(fixture.profileFile(ProfileFiles::notificationsMarkerName())));
        for (int i = 0; i < service.calls.size(); ++i) {
            QCOMPARE(service.calls.at(i).title, notifier.shown().at(i).title);
            QCOMPARE(service.calls.at(i).body, notifier.shown().at(i).body);
        }
        QVERIFY(service.calls.at(0).body.contains(PermissionKinds::title(PermissionKind::screenRecording)));
        // "Back online" takes the place of "offline" on the desktop.
        QCOMPARE(service.calls.at(1).replaces, 0u);
        QCOMPARE(service.calls.at(2).replaces, 102u);
        QCOMPARE(service.calls.at(3).body, model.lastError()->message);
        QVERIFY(service.calls.at(4).body.contains(QStringLiteral("9.1.0")));
    }

    void diagnosticsArchive_data()
    {
        QTest::addColumn<bool>("fromPanel");
        QTest::newRow("tray panel") << true;
        QTest::newRow("error section") << false;
    }

    void diagnosticsArchive()
    {
        QFETCH(bool, fromPanel);
        ServedModel fixture;
        const QString link = QStringLiteral("https://onboarding.example/agents/ada-agent/setup#tok-binding-5150");
        const QStringList secrets{QString::fromLatin1(statusToken), QStringLiteral("svc-key-5b1e2d9f4c"),
                                  QStringLiteral("QVS2-ABCD-EFGH-JKMN"), QStringLiteral("resume-tok-88aa77"),
                                  validEnrollmentKey(), link, QStringLiteral("tok-binding-5150")};
        AppModel &model = fixture.makeServed();
        fixture.writeProfileFile(QStringLiteral("config.json"), "{\"quorvantisServiceApiKey\":\"svc-key-5b1e2d9f4c\"}");
        fixture.writeProfileFile(QStringLiteral("setup-state.json"),
                                 "{\"setupCode\":\"QVS2-ABCD-EFGH-JKMN\",\"resumeToken\":\"resume-tok-88aa77\"}");
        fixture.writeProfileFile(QStringLiteral("mac-app-owner-setup-url"), link.toUtf8() + '\n');
        fixture.writeProfileFile(QStringLiteral("mac-app-permissions-completed"), "screenRecording\n");
        QTemporaryDir elsewhere;
        QFile privateFile(elsewhere.filePath(QStringLiteral("private")));
        QVERIFY(privateFile.open(QIODevice::WriteOnly) && privateFile.write("PRIVATE-ELSEWHERE\n") > 0);
        privateFile.close();
        QVERIFY(QFile::link(privateFile.fileName(), fixture.profileFile(QStringLiteral("mac-app-elsewhere"))));

        QTemporaryDir bundle;
        QFile stamp(bundle.filePath(QStringLiteral("stamp")));
        QVERIFY(stamp.open(QIODevice::WriteOnly) && stamp.write(BundleStamp::conceal(validEnrollmentKey())) > 0);
        stamp.close();
        Bundle::setResourceDirectory(bundle.path());
        auto restore = qScopeGuard([] {
            Bundle::setResourceDirectory({});
            DiagnosticsExport::setPathChooser({});
        });

        QVERIFY(QDir().mkpath(QFileInfo(ProfileFiles::installLog()).path()));
        QFile log(ProfileFiles::installLog());
        QVERIFY(log.open(QIODevice::WriteOnly));
        for (const QString &secret : secrets)
            log.write(QStringLiteral("seen: %1 (in a line)\n").arg(secret).toUtf8());
        log.write("token \x1b[1mstatus-secret\x1b[0m-7f3a9c split by escapes\nsetup finished\n");
        log.close();

        Sample busy;
        busy.queueSize = 1;
        fixture.poll();
        fixture.statusAnswer = ScriptedResponse::json(200, busy.json());
        fixture.poll();
        QCOMPARE(model.activities().size(), 1);
        fixture.daemonInstall->steps = {Step::exit(2, QStringLiteral("failed, see https://help.example/agent"))};
        await(model.perform(AppModel::RecoveryAction::make(AppModel::RecoveryAction::Kind::restartAgent)));

        QTemporaryDir out;
        const QString archive = out.filePath(QStringLiteral("diagnostics.tar"));
        QString suggested;
        DiagnosticsExport::setPathChooser([&](QWidget *, const QString &name) {
            suggested = name;
            return std::optional<QString>(archive);
        });
        if (fromPanel) {
            MenuBarContent panel(&model, {});
            panel.diagnosticsButton()->click();
        } else {
            ErrorSection section(&model, true);
            section.diagnosticsButton()->click();
        }
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == u"diagnostics-export-result")
                widget->close();
        }
        QVERIFY(QRegularExpression(QStringLiteral("/quorvantis-diagnostics-\\d{8}-\\d{6}\\.tar$")).match(suggested).hasMatch());
        QCOMPARE(QFile::permissions(archive) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

        QFile written(archive);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray bytes = written.readAll();
        for (const QString &secret : secrets)
            QVERIFY2(!bytes.contains(secret.toUtf8()), qPrintable(secret));
        QVERIFY(!bytes.contains("PRIVATE-ELSEWHERE"));

        auto tar = [&](const QStringList &arguments) {
            QProcess process;
            process.start(QStringLiteral("tar"), arguments);
            process.waitForFinished();
            return process.exitCode() == 0 ? process.readAllStandardOutput() : QByteArray("tar failed");
        };
        const QString dir = QStringLiteral("quorvantis-diagnostics/");
        const QList<QByteArray> entries = tar({QStringLiteral("-tf"), archive}).split('\n');
        QCOMPARE(entries, (QList<QByteArray>{"quorvantis-diagnostics/summary.json", "quorvantis-diagnostics/activity.txt",
                                            "quorvantis-diagnostics/logs/mac-app-install.log",
                                            "quorvantis-diagnostics/profile/mac-app-owner-setup-url",
                                            "quorvantis-diagnostics/profile/mac-app-permissions-completed", ""}));
        const QJsonObject summary = QJsonDocument::fromJson(tar({QStringLiteral("-xOf"), archive, dir + "summary.json"})).object();
        QCOMPARE(summary.value(QStringLiteral("appVersion")).toString(), model.appVersion());
        QCOMPARE(summary.value(QStringLiteral("status")).toObject().value(QStringLiteral("queueSize")).toInt(), 1);
        QCOMPARE(summary.value(QStringLiteral("lastError")).toObject().value(QStringLiteral("message")).toString(),
                 QStringLiteral("failed, see [URL REDACTED]"));
        QVERIFY(tar({QStringLiteral("-xOf"), archive, dir + "activity.txt"}).contains(model.activities().first().summary.toUtf8()));
        QCOMPARE(tar({QStringLiteral("-xOf"), archive, dir + "profile/mac-app-permissions-completed"}), QByteArray("screenRecording\n"));
        QVERIFY(tar({QStringLiteral("-xOf"), archive, dir + "logs/mac-app-install.log"}).endsWith("setup finished\n"));
    }
};

QTEST_MAIN(DesktopTests)
#include "DesktopTests.moc"
