// The one failure mapper: exceptions to reports, reports to what the error panel shows, and
// which failures the setup run retries.
#include "model/Failure.h"

#include <QTest>

#include <stdexcept>

using Kind = RecoveryAction::Kind;

namespace {

// A null text stands for "no message".
std::optional<QString> opt(const QString &text)
{
    return text.isNull() ? std::nullopt : std::optional(text);
}

} // namespace

Q_DECLARE_METATYPE(DisplayError)
Q_DECLARE_METATYPE(std::exception_ptr)

class FailureTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A code and a message (null: none), and what the error panel shows for them.
    void mapping_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<DisplayError>("shown");
        const auto error = [](const char *code, const QString &message, const char *impact, Kind recovery,
                              std::optional<QString> detail = std::nullopt) {
            return DisplayError{code, message, QString::fromUtf8(impact), RecoveryAction::make(recovery), detail};
        };
        // The setup service's refusals: the installation is not set up yet.
        const auto refusal = [&](const char *code, const char *message, Kind recovery = Kind::retryInstall) {
            return error(code, QString::fromUtf8(message), "Quorvantis 尚未完成设置。", recovery);
        };
        const auto unavailable =
            refusal("SETUP_CODE_UNAVAILABLE", "安装码已失效或不可用，请获取新的安装码后重试。", Kind::enterInstallCode);
        const auto enrolment =
            refusal("SETUP_ENROLLMENT_UNAVAILABLE", "当前无法通过申请入口创建 Agent，请稍后重试或改用安装码。");
        const auto reserved = refusal("SETUP_AGENT_NAME_RESERVED", "该 Agent 名称保留给管理用途，请更换名称后重试。");
        const auto tooShort =
            refusal("SETUP_AGENT_NAME_TOO_SHORT", "Agent 名称去掉连字符后至少需要 6 个字符，请更换名称后重试。");
        const auto taken = refusal("SETUP_AGENT_NAME_TAKEN", "该 Agent 名称已被占用，请更换名称后重试。");
        const auto busy = refusal("SETUP_BOOTSTRAP_FAILED", "安装服务暂时未能完成配置，请稍后重试。");
        const QString none;
        QTest::newRow("no longer available") << "SETUP_EXIT_1" << "Code Is No Longer Available" << unavailable;
        QTest::newRow("unavailable wins over all") << "SETUP_AGENT_NAME_TAKEN"
                                                   << "code_unavailable; bootstrap_failed" << unavailable;
        QTest::newRow("enrolment by code") << "SETUP_ENROLLMENT_UNAVAILABLE" << none << enrolment;
        QTest::newRow("enrolment by phrase") << "SETUP_EXIT_1" << "ENROLLMENT_UNAVAILABLE" << enrolment;
        QTest::newRow("reserved by phrase") << "X" << "name is reserved for administrative use" << reserved;
        QTest::newRow("reserved wins over taken") << "X" << "agent_name_reserved: agent already exists" << reserved;
        QTest::newRow("too short by phrase") << "X" << "at least 6 characters, not counting hyphens" << tooShort;
        QTest::newRow("taken by pattern, any case") << "SETUP_EXIT_1" << "Error: AGENT \"a-b\" ALREADY EXISTS" << taken;
        QTest::newRow("taken wins over bootstrap") << "X" << "agent already exists; bootstrap_failed" << taken;
        QTest::newRow("bootstrap wins over a runtime code") << "RUNTIME_PREPARE_EXIT_1" << "bootstrap_failed" << busy;
        // Other failures keep their code and message, with a text for none.
        const char *beforePermissions = "Quorvantis 尚未进入权限配置阶段。";
        const char *beforeChannel = "Quorvantis 尚未进入 Channel 绑定阶段。";
        const char *unfinished = "安装或运行尚未完成。请查看 App 中的安装详情。";
        QTest::newRow("runtime without message") << "RUNTIME_PREPARE_FAILED" << none
            << error("RUNTIME_PREPARE_FAILED", "运行环境准备未完成，请重试。", beforePermissions, Kind::retryInstall);
        QTest::newRow("daemon") << "DAEMON_INSTALL_EXIT_3" << none
                                << error("DAEMON_INSTALL_EXIT_3", "Agent 启动未完成，请重试。", beforeChannel,
                                         Kind::retryInstall);
        QTest::newRow("start timeout") << "AGENT_START_TIMEOUT" << "已超时"
                                       << error("AGENT_START_TIMEOUT", "已超时", beforeChannel, Kind::retryInstall);
        QTest::newRow("exit status without message")
            << "SETUP_EXIT_2" << none << error("SETUP_EXIT_2", "操作失败：SETUP_EXIT_2", unfinished, Kind::openLogs);
        // A failure of the installed agent speaks of the agent, offers a restart and keeps the tool's line as detail.
        const QString pm2 = "Error: Quorvantis is not online in PM2";
        QTest::newRow("restart failed") << "AGENT_RESTART_FAILED" << pm2
            << error("AGENT_RESTART_FAILED", "Agent 没有重启成功。", "Agent 当前没有运行，新的消息暂时不会被处理。",
                     Kind::restartAgent, pm2);
        QTest::newRow("update failed, no line") << "AGENT_UPDATE_FAILED" << none
            << error("AGENT_UPDATE_FAILED", "Agent 更新没有完成。", "Agent 可能仍是原来的版本，或没有在运行。", Kind::restartAgent);
        QTest::newRow("runtime phrase only in message") << "OTHER"
            << "RUNTIME_ failure" << error("OTHER", "RUNTIME_ failure", unfinished, Kind::openLogs);
    }
    void mapping()
    {
        QFETCH(QString, code);
        QFETCH(QString, message);
        QFETCH(DisplayError, shown);
        QCOMPARE(DisplayError::from(code, opt(message)), shown);
        // The setup run retries exactly what the panel shows as the service's passing trouble.
        QCOMPARE(Failure::isTransient({code, opt(message)}), shown.code == u"SETUP_BOOTSTRAP_FAILED");
    }

    void fromException_data()
    {
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        const QString code = QStringLiteral("INSTALL_LAUNCH_FAILED");
        const auto coded = [&code](const QString &message) {
            return std::make_exception_ptr(QuorvantisNativeError(code, message));
        };
        QTest::newRow("coded") << coded(QStringLiteral("无法启动")) << code << QStringLiteral("无法启动");
        QTest::newRow("coded, empty message") << coded(QString()) << code << QString();
        QTest::newRow("any other") << std::make_exception_ptr(std::runtime_error("closed")) << "FALLBACK" << QString();
    }
    void fromException()
    {
        QFETCH(std::exception_ptr, error);
        QFETCH(QString, code);
        QFETCH(QString, message);
        QCOMPARE(Failure::from(error, QStringLiteral("FALLBACK")), (Failure::Report{code, opt(message)}));
    }

    void safeErrorMessage_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output"); // null: absent
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
        QTest::newRow("absent") << QString() << QString();
        QTest::newRow("spaces") << "   \n " << QString();
        QTest::newRow("redacted") << "token [REDACTED] refused" << QString();
        QTest::newRow("internal") << "  QVAPP_STATE ok" << QString();
        QTest::newRow("internal later is fine") << "see QVAPP_X" << "see QVAPP_X";
        QTest::newRow("trimmed") << "  failed  " << "failed";
        QTest::newRow("cut") << QString(300, u'x') << QString(240, u'x');
        QTest::newRow("no character split") << QString(239, u'x') + emoji + emoji << QString(239, u'x') + emoji;
    }
    void safeErrorMessage()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QCOMPARE(Failure::safeErrorMessage(opt(input)), opt(output));
    }
};

QTEST_GUILESS_MAIN(FailureTests)
#include "FailureTests.moc"
