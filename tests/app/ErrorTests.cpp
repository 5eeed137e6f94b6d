#include "app/AppModel.h"
#include "support/ModelFixture.h"

#include <QFile>
#include <QTest>

using Kind = AppModel::RecoveryAction::Kind;
Q_DECLARE_METATYPE(Kind)

namespace {
const QString notSetUp = QStringLiteral("Quorvantis 尚未完成设置。");
}

class ErrorTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mapping_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message"); // "-" for none
        QTest::addColumn<QString>("mappedCode");
        QTest::addColumn<QString>("mappedMessage");
        QTest::addColumn<QString>("impact");
        QTest::addColumn<Kind>("recovery");

        const QString unavailable = QStringLiteral("安装码已失效或不可用，请获取新的安装码后重试。");
        const QString taken = QStringLiteral("该 Agent 名称已被占用，请更换名称后重试。");
        const QString busy = QStringLiteral("安装服务暂时未能完成配置，请稍后重试。");
        QTest::newRow("code unavailable by code") << "SETUP_CODE_UNAVAILABLE" << "-" << "SETUP_CODE_UNAVAILABLE"
                                                  << unavailable << notSetUp << Kind::enterInstallCode;
        QTest::newRow("code unavailable by phrase") << "SETUP_EXIT_1" << "error: code_unavailable"
                                                    << "SETUP_CODE_UNAVAILABLE" << unavailable << notSetUp
                                                    << Kind::enterInstallCode;
        QTest::newRow("no longer available, any case") << "SETUP_EXIT_1" << "This code is No Longer Available"
                                                       << "SETUP_CODE_UNAVAILABLE" << unavailable << notSetUp
                                                       << Kind::enterInstallCode;
        QTest::newRow("enrolment unavailable") << "SETUP_EXIT_1" << "enrollment_unavailable"
                                               << "SETUP_ENROLLMENT_UNAVAILABLE"
                                               << "当前无法通过申请入口创建 Agent，请稍后重试或改用安装码。" << notSetUp
                                               << Kind::retryInstall;
        QTest::newRow("reserved") << "X" << "name is reserved for administrative use" << "SETUP_AGENT_NAME_RESERVED"
                                  << "该 Agent 名称保留给管理用途，请更换名称后重试。" << notSetUp << Kind::retryInstall;
        QTest::newRow("too short") << "X" << "at least 6 characters, not counting hyphens"
                                   << "SETUP_AGENT_NAME_TOO_SHORT"
                                   << "Agent 名称去掉连字符后至少需要 6 个字符，请更换名称后重试。" << notSetUp
                                   << Kind::retryInstall;
        QTest::newRow("taken by pattern") << "SETUP_EXIT_1" << "Error: AGENT \"my-agent\" ALREADY EXISTS"
                                          << "SETUP_AGENT_NAME_TAKEN" << taken << notSetUp << Kind::retryInstall;
        QTest::newRow("taken wins over bootstrap") << "SETUP_EXIT_1" << "agent already exists; bootstrap_failed"
                                                   << "SETUP_AGENT_NAME_TAKEN" << taken << notSetUp
                                                   << Kind::retryInstall;
        QTest::newRow("bootstrap in capitals") << "SETUP_EXIT_7" << "BOOTSTRAP_FAILED" << "SETUP_BOOTSTRAP_FAILED"
                                               << busy << notSetUp << Kind::retryInstall;
        QTest::newRow("runtime without message") << "RUNTIME_PREPARE_FAILED" << "-" << "RUNTIME_PREPARE_FAILED"
                                                 << "运行环境准备未完成，请重试。"
                                                 << "Quorvantis 尚未进入权限配置阶段。" << Kind::retryInstall;
        QTest::newRow("runtime with message") << "RUNTIME_PREPARE_EXIT_2" << "pnpm missing" << "RUNTIME_PREPARE_EXIT_2"
                                              << "pnpm missing" << "Quorvantis 尚未进入权限配置阶段。"
                                              << Kind::retryInstall;
        QTest::newRow("daemon") << "DAEMON_INSTALL_EXIT_3" << "-" << "DAEMON_INSTALL_EXIT_3" << "Agent 启动未完成，请重试。"
                                << "Quorvantis 尚未进入 Channel 绑定阶段。" << Kind::retryInstall;
        QTest::newRow("start timeout") << "AGENT_START_TIMEOUT" << "Agent 已安装，但未能在 15 秒内启动。"
                                       << "AGENT_START_TIMEOUT" << "Agent 已安装，但未能在 15 秒内启动。"
                                       << "Quorvantis 尚未进入 Channel 绑定阶段。" << Kind::retryInstall;
        QTest::newRow("exit status without message") << "SETUP_EXIT_2" << "-" << "SETUP_EXIT_2" << "操作失败：SETUP_EXIT_2"
                                                     << "安装或运行尚未完成。请查看 App 中的安装详情。" << Kind::openLogs;
        QTest::newRow("runtime phrase only in message") << "OTHER" << "RUNTIME_ failure" << "OTHER"
                                                        << "RUNTIME_ failure"
                                                        << "安装或运行尚未完成。请查看 App 中的安装详情。"
                                                        << Kind::openLogs;
    }
    void mapping()
    {
        QFETCH(QString, code);
        QFETCH(QString, message);
        QFETCH(QString, mappedCode);
        QFETCH(QString, mappedMessage);
        QFETCH(QString, impact);
        QFETCH(Kind, recovery);
        const auto error = AppModel::DisplayError::from(code, message == u"-" ? std::nullopt : std::optional(message));
        QCOMPARE(error.code, mappedCode);
        QCOMPARE(error.message, mappedMessage);
        QCOMPARE(error.impact, impact);
        QCOMPARE(error.recovery.kind, recovery);
    }

    void recoveryTitles()
    {
        QCOMPARE(AppModel::RecoveryAction::openSystemSettings(PermissionKind::accessibility).title().value(),
                 QStringLiteral("打开系统设置"));
        QVERIFY(!AppModel::RecoveryAction::make(Kind::none).title());
        QCOMPARE(AppModel::RecoveryAction::make(Kind::enterInstallCode).title().value(), QStringLiteral("输入新安装码"));
        QCOMPARE(AppModel::RecoveryAction::make(Kind::recheckPermissions).title().value(), QStringLiteral("检查权限"));
        QVERIFY(AppModel::RecoveryAction::openSystemSettings(PermissionKind::accessibility)
                != AppModel::RecoveryAction::openSystemSettings(PermissionKind::fullDiskAccess));
    }

    void failWithUnusableCodeForgetsSessionAndFocusesField()
    {
        ModelFixture fixture;
        fixture.writeProfileFile(QStringLiteral("mac-app-install-stage"), "setup\n");
        AppModel &model = fixture.make();
        fixture.writeProfileFile(QStringLiteral("setup-state.json"), R"({"sessionId":"s"})");
        model.isSubmittingSetup = true;
        model.setupAuthorization = JITWorkspaceAuthorization{QStringLiteral("google"), QStringLiteral("a@b.c"),
                                                              QStringLiteral("pw"), QUrl(QStringLiteral("https://x"))};
        model.applyProgress(QStringLiteral("redeem"), QStringLiteral("running"));
        const qint64 revision = model.focusRevision();

        model.fail(QStringLiteral("SETUP_EXIT_1"), QStringLiteral("code_unavailable"));

        QCOMPARE(model.lastError()->code, QStringLiteral("SETUP_CODE_UNAVAILABLE"));
        QCOMPARE(model.lastError()->recovery.title().value(), QStringLiteral("输入新安装码"));
        QCOMPARE(model.overallState(), AppModel::OverallState::error);
        QVERIFY(!model.isSubmittingSetup());
        QVERIFY(!model.setupAuthorization());
        QVERIFY(!QFile::exists(fixture.profileFile(QStringLiteral("setup-state.json"))));
        QCOMPARE(model.focusRevision(), revision + 1);
        QCOMPARE(model.focusTarget(), AppModel::FocusTarget::setupCode());
        QCOMPARE(model.setupProgress()[int(AppModel::SetupPhase::redeem)].state, AppModel::ProgressState::failed);
        QCOMPARE(model.setupProgress()[int(AppModel::SetupPhase::runtime)].state, AppModel::ProgressState::complete);
        QCOMPARE(model.setupProgressCounts(), std::make_pair(3, 10));
    }

    void failKeepsSessionForOtherErrors()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        fixture.writeProfileFile(QStringLiteral("setup-state.json"), "{}");
        const qint64 revision = model.focusRevision();
        model.fail(QStringLiteral("DAEMON_INSTALL_FAILED"));
        QVERIFY(QFile::exists(fixture.profileFile(QStringLiteral("setup-state.json"))));
        QCOMPARE(model.focusRevision(), revision);
        QCOMPARE(model.lastError()->recovery.kind, Kind::retryInstall);
    }

    void failFromThrownErrors()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.fail(std::make_exception_ptr(QuorvantisNativeError(QStringLiteral("INSTALL_LAUNCH_FAILED"),
                                                                 QStringLiteral("无法启动"))),
                   QStringLiteral("SETUP_FAILED"));
        QCOMPARE(model.lastError()->code, QStringLiteral("INSTALL_LAUNCH_FAILED"));
        QCOMPARE(model.lastError()->message, QStringLiteral("无法启动"));
        model.fail(std::make_exception_ptr(std::runtime_error("socket closed by peer")), QStringLiteral("SETUP_FAILED"));
        QCOMPARE(model.lastError()->code, QStringLiteral("SETUP_FAILED"));
        QCOMPARE(model.lastError()->message, QStringLiteral("操作失败：SETUP_FAILED"));
    }

    void safeErrorMessage_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output"); // "-" for absent
        QTest::newRow("spaces") << "   \n " << "-";
        QTest::newRow("redacted") << "token [REDACTED] refused" << "-";
        QTest::newRow("internal") << "  QVAPP_STATE ok" << "-";
        QTest::newRow("internal later is fine") << "see QVAPP_X" << "see QVAPP_X";
        QTest::newRow("trimmed") << "  failed  " << "failed";
        QTest::newRow("cut") << QString(300, u'x') << QString(240, u'x');
        // A character outside the BMP is never split in half.
        QTest::newRow("cut by characters") << QString(239, u'x') + QString::fromUtf8("\xF0\x9F\x98\x80\xF0\x9F\x98\x80")
                                           << QString(239, u'x') + QString::fromUtf8("\xF0\x9F\x98\x80");
    }
    void safeErrorMessage()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QCOMPARE(AppModel::safeErrorMessage(input).value_or(QStringLiteral("-")), output);
        QVERIFY(!AppModel::safeErrorMessage(std::nullopt));
    }

    void activityKeepsTwentyNewestFirst()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        for (int i = 1; i <= 25; ++i) {
            fixture.time.advance(std::chrono::seconds(1));
            model.appendActivity(QStringLiteral("event %1").arg(i));
        }
        QCOMPARE(model.activities().size(), 20);
        QCOMPARE(model.activities().first().summary, QStringLiteral("event 25"));
        QCOMPARE(model.activities().last().summary, QStringLiteral("event 6"));
        QCOMPARE(model.activities().first().occurredAt, fixture.time.now());
        QCOMPARE(model.activities().first().source, AppModel::ActivityEvent::Source::agent);
        QVERIFY(model.activities()[0].id != model.activities()[1].id);
        QCOMPARE(AppModel::ActivityEvent::sourceName(AppModel::ActivityEvent::Source::agent), QStringLiteral("Quorvantis"));
    }

    void everyPublishedWriteAnnouncesItself()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        int seen = 0;
        bool valueWasOld = false;
        connect(&model, &AppModel::willChange, this, [&] {
            ++seen;
            valueWasOld = model.setupAgentName() == u"same";
        });
        model.setupAgentName = QStringLiteral("same");
        model.setupAgentName = QStringLiteral("same");
        QCOMPARE(seen, 2);
        QVERIFY(valueWasOld); // the second notification came before the (equal) write
    }
};

QTEST_GUILESS_MAIN(ErrorTests)
#include "ErrorTests.moc"
