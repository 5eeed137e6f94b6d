#include "app/AppModel.h"
#include "platform/Bundle.h"
#include "support/AwaitTask.h"
#include "support/ModelFixture.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/stat.h>

using Stage = AppModel::InstallStage;
using Overall = AppModel::OverallState;
Q_DECLARE_METATYPE(Overall)

namespace {

QString states(const AppModel &model)
{
    QString text;
    for (const auto &item : model.setupProgress())
        text += QStringLiteral("prcf").at(int(item.state));
    return text;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

int posixMode(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

QCoro::Task<bool> answer(bool value)
{
    co_return value;
}

} // namespace

class LaunchTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstLaunchStartsAtRuntime()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        const QString stageFile = fixture.profileFile(QStringLiteral("mac-app-install-stage"));
        QCOMPARE(contents(stageFile), QByteArray("runtime\n"));
        QCOMPARE(posixMode(stageFile), 0600);
        QCOMPARE(model.installStage, Stage::runtime);
        QCOMPARE(model.overallState(), Overall::starting);
        QVERIFY(model.pendingSetupResume());
        QCOMPARE(states(model), QStringLiteral("rppppppppp"));
        QVERIFY(!model.configurationReady());
    }

    void restoresEachStage_data()
    {
        QTest::addColumn<QByteArray>("stageFile");
        QTest::addColumn<bool>("configured");
        QTest::addColumn<QString>("progress");
        QTest::addColumn<Overall>("overall");
        QTest::addColumn<bool>("pendingResume");
        QTest::addColumn<bool>("validated");
        QTest::addColumn<bool>("onboarded");

        QTest::newRow("permissions") << QByteArray("permissions\n") << false << "ccrppppppp" << Overall::starting << true
                                     << false << false;
        QTest::newRow("setup, trimmed") << QByteArray(" setup\n\n") << false << "cccppppppp" << Overall::waitingSetup
                                        << false << false << false;
        QTest::newRow("capitalised is unknown") << QByteArray("Setup\n") << false << "rppppppppp" << Overall::starting
                                                << true << false << false;
        QTest::newRow("daemon configured") << QByteArray("daemon\n") << true << "ccccccrppp" << Overall::starting
                                           << true << false << false;
        QTest::newRow("channel configured") << QByteArray("channel\n") << true << "cccccccrpp" << Overall::starting
                                            << true << true << false;
        QTest::newRow("handshake configured") << QByteArray("handshake\n") << true << "ccccccccrp" << Overall::starting
                                              << true << true << true;
        QTest::newRow("finished") << QByteArray() << true << "cccccccccc" << Overall::starting << false << true << true;
        QTest::newRow("garbage with config") << QByteArray("\xff\xfe\x00garbage") << true << "cccccccccc"
                                             << Overall::starting << false << true << true;
        QTest::newRow("not UTF-8") << QByteArray("set\xffup") << false << "rppppppppp" << Overall::starting << true
                                   << false << false;
    }
    void restoresEachStage()
    {
        QFETCH(QByteArray, stageFile);
        QFETCH(bool, configured);
        QFETCH(QString, progress);
        QFETCH(Overall, overall);
        QFETCH(bool, pendingResume);
        QFETCH(bool, validated);
        QFETCH(bool, onboarded);
        ModelFixture fixture;
        if (!stageFile.isEmpty())
            fixture.writeProfileFile(QStringLiteral("mac-app-install-stage"), stageFile);
        if (configured)
            fixture.writeProfileFile(QStringLiteral("config.json"), "{}");
        AppModel &model = fixture.make();
        QCOMPARE(states(model), progress);
        QCOMPARE(model.overallState(), overall);
        QCOMPARE(model.pendingSetupResume(), pendingResume);
        QCOMPARE(model.installationValidated(), validated);
        QCOMPARE(model.onboardingCompleted(), onboarded);
        QCOMPARE(model.configurationReady(), configured);
    }

    void oversizedMarkerReadsAsAbsent()
    {
        QTemporaryDir dir;
        QFile file(QDir(dir.path()).filePath(QStringLiteral("mac-app-install-stage")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(1 << 20, ' ') + "setup");
        file.close();
        QVERIFY(!AppModel::readInstallStage(dir.path()));
        QVERIFY(!AppModel::readInstallStage(dir.filePath(QStringLiteral("missing"))));
    }

    void completedPermissionsRoundTrip()
    {
        ModelFixture fixture;
        fixture.writeProfileFile(QStringLiteral("mac-app-permissions-completed"),
                                 "accessibility\n\nbogus\nscreenRecording");
        AppModel &model = fixture.make();
        QCOMPARE(model.cachedCompletedPermissions,
                 (QSet<PermissionKind>{PermissionKind::accessibility, PermissionKind::screenRecording}));
        model.persistCompletedPermissions();
        const QString path = fixture.profileFile(QStringLiteral("mac-app-permissions-completed"));
        QCOMPARE(contents(path), QByteArray("screenRecording\naccessibility\n"));
        QCOMPARE(posixMode(path), 0600);
        model.cachedCompletedPermissions.clear();
        model.persistCompletedPermissions();
        QVERIFY(!QFile::exists(path));
    }

    void awaitingPermissionAndProbeOutcome()
    {
        ModelFixture fixture;
        fixture.writeProfileFile(QStringLiteral("mac-app-permission-awaiting"), "  fullDiskAccess\n");
        fixture.writeProfileFile(QStringLiteral("mac-app-accessibility-probe"), "mismatch\n");
        AppModel &model = fixture.make();
        QCOMPARE(model.permissionAwaitingReturn, PermissionKind::fullDiskAccess);
        QCOMPARE(AppModel::readAccessibilityProbeOutcome(fixture.profileDirectory()), AccessibilityProbeOutcome::mismatch);
        model.persistAwaitingPermission(PermissionKind::accessibility);
        QCOMPARE(contents(fixture.profileFile(QStringLiteral("mac-app-permission-awaiting"))), QByteArray("accessibility\n"));
        model.persistAwaitingPermission(std::nullopt);
        QVERIFY(!QFile::exists(fixture.profileFile(QStringLiteral("mac-app-permission-awaiting"))));
    }

    void unwritableProfileKeepsModelRunning()
    {
        ModelFixture fixture;
        // A file where the profile directory should be: nothing can be created below it.
        QTemporaryDir dir;
        const QString blocked = dir.filePath(QStringLiteral("blocked"));
        QFile block(blocked);
        QVERIFY(block.open(QIODevice::WriteOnly));
        block.close();
        AppModel model(AppModel::Options{.profileDirectory = blocked + QStringLiteral("/profile"),
                                         .effects = fixture.effects,
                                         .bootstrapRetryDelays = {},
                                         .autoResume = false,
                                         .sleeper = [&](std::chrono::milliseconds d) { return fixture.time.sleep(d); },
                                         .clock = [&] { return fixture.time.now(); }});
        QCOMPARE(model.installStage, Stage::runtime);
        model.persistInstallStage(Stage::setup);
        QCOMPARE(model.overallState(), Overall::starting);
    }

    void resumeAtSetupFocusesTheCode()
    {
        ModelFixture fixture;
        fixture.writeProfileFile(QStringLiteral("mac-app-install-stage"), "setup\n");
        AppModel &model = fixture.make();
        model.lastError = AppModel::DisplayError::from(QStringLiteral("X"), std::nullopt);
        const qint64 revision = model.focusRevision();
        QuorvantisTest::await(model.resumeInstalledConfiguration());
        QVERIFY(!model.lastError());
        QCOMPARE(model.overallState(), Overall::waitingSetup);
        QCOMPARE(model.focusRevision(), revision + 1);
        QCOMPARE(model.focusTarget(), AppModel::FocusTarget::setupCode());
    }

    void finishedInstallationRechecksPermissionsOnce()
    {
        ModelFixture fixture;
        fixture.writeProfileFile(QStringLiteral("config.json"), "{}");
        AppModel &model = fixture.make();
        QuorvantisTest::await(model.recheckExistingPermissionsOnLaunchIfNeeded());
        QVERIFY(model.didRecheckExistingPermissions);
        QuorvantisTest::await(model.sceneDidBecomeActive());
        QuorvantisTest::await(model.sceneDidBecomeActive());
        QVERIFY(model.didRecheckExistingPermissions);
    }

    void revokedPermissionReturnsToPermissionStage()
    {
        ModelFixture fixture;
        fixture.writeProfileFile(QStringLiteral("config.json"), "{}");
        fixture.effects.permissionCheck = [](PermissionKind kind) { return answer(kind != PermissionKind::accessibility); };
        AppModel &model = fixture.make();
        QuorvantisTest::await(model.recoverExistingConfigurationIfNeeded());
        QCOMPARE(model.installStage, Stage::permissions);
        QCOMPARE(contents(fixture.profileFile(QStringLiteral("mac-app-install-stage"))), QByteArray("permissions\n"));
        QCOMPARE(states(model), QStringLiteral("ccrppppppp"));
        QVERIFY(!model.installationValidated());
        QVERIFY(!model.onboardingCompleted());
        QVERIFY(model.pendingSetupResume());
    }

    void appVersionFromTheBundle_data()
    {
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<QString>("version");
        QTest::newRow("text") << QByteArray(R"({"CFBundleShortVersionString": "1.2.3"})") << "1.2.3";
        QTest::newRow("not text") << QByteArray(R"({"CFBundleShortVersionString": 3})") << "--";
        QTest::newRow("missing key") << QByteArray("{}") << "--";
        QTest::newRow("no dictionary") << QByteArray() << "--";
    }
    void appVersionFromTheBundle()
    {
        QFETCH(QByteArray, info);
        QFETCH(QString, version);
        QTemporaryDir resources;
        if (!info.isEmpty()) {
            QFile file(resources.filePath(QStringLiteral("Info.json")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(info);
        }
        Bundle::setResourceDirectory(resources.path());
        ModelFixture fixture;
        const QString shown = fixture.make().appVersion();
        Bundle::setResourceDirectory(QString());
        QCOMPARE(shown, version);
    }
};

QTEST_GUILESS_MAIN(LaunchTests)
#include "LaunchTests.moc"
