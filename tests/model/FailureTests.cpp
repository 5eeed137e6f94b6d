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

struct Mapping
{
    QString code, message, mappedCode, mappedMessage, impact;
    Kind recovery;
};

} // namespace

Q_DECLARE_METATYPE(Mapping)
Q_DECLARE_METATYPE(std::exception_ptr)

class FailureTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mapping_data()
    {
        QTest::addColumn<Mapping>("row");
        const QString beforePermissions = QStringLiteral("Quorvantis 尚未进入权限配置阶段。");
        const QString beforeChannel = QStringLiteral("Quorvantis 尚未进入 Channel 绑定阶段。");
        const QString unfinished = QStringLiteral("安装或运行尚未完成。请查看 App 中的安装详情。");
        const QString unavailable = QStringLiteral("安装码已失效或不可用，请获取新的安装码后重试。");
        const QString enrolment = QStringLiteral("当前无法通过申请入口创建 Agent，请稍后重试或改用安装码。");
        const QString reserved = QStringLiteral("该 Agent 名称保留给管理用途，请更换名称后重试。");
        const QString tooShort = QStringLiteral("Agent 名称去掉连字符后至少需要 6 个字符，请更换名称后重试。");
        const QString taken = QStringLiteral("该 Agent 名称已被占用，请更换名称后重试。");
        const QString busy = QStringLiteral("安装服务暂时未能完成配置，请稍后重试。");
        const QString none;
        const auto row = [&](const char *name, const char *code, const QString &message, const char *mappedCode, const QString &mappedMessage) {
            const Kind recovery = mappedCode == QStringLiteral("SETUP_CODE_UNAVAILABLE") ? Kind::enterInstallCode : Kind::retryInstall;
            QTest::newRow(name) << Mapping{code, message, mappedCode, mappedMessage, QStringLiteral("Quorvantis 尚未完成设置。"), recovery};
        };
        row("code unavailable by code", "SETUP_CODE_UNAVAILABLE", none, "SETUP_CODE_UNAVAILABLE", unavailable);
        row("no longer available, any case", "SETUP_EXIT_1", "This code is No Longer Available", "SETUP_CODE_UNAVAILABLE", unavailable);
        row("unavailable wins over every later row", "SETUP_AGENT_NAME_TAKEN", "code_unavailable; bootstrap_failed", "SETUP_CODE_UNAVAILABLE", unavailable);
        row("enrolment by code", "SETUP_ENROLLMENT_UNAVAILABLE", none, "SETUP_ENROLLMENT_UNAVAILABLE", enrolment);
        row("enrolment by phrase", "SETUP_EXIT_1", "ENROLLMENT_UNAVAILABLE", "SETUP_ENROLLMENT_UNAVAILABLE", enrolment);
        row("reserved by code", "SETUP_AGENT_NAME_RESERVED", none, "SETUP_AGENT_NAME_RESERVED", reserved);
        row("reserved by phrase", "X", "name is reserved for administrative use", "SETUP_AGENT_NAME_RESERVED", reserved);
        row("reserved wins over taken", "X", "agent_name_reserved: agent already exists", "SETUP_AGENT_NAME_RESERVED", reserved);
        row("too short by code", "SETUP_AGENT_NAME_TOO_SHORT", none, "SETUP_AGENT_NAME_TOO_SHORT", tooShort);
        row("too short by phrase", "X", "at least 6 characters, not counting hyphens", "SETUP_AGENT_NAME_TOO_SHORT", tooShort);
        row("taken by code", "SETUP_AGENT_NAME_TAKEN", none, "SETUP_AGENT_NAME_TAKEN", taken);
        row("taken by pattern, any case", "SETUP_EXIT_1", "Error: AGENT \"my-agent\" ALREADY EXISTS", "SETUP_AGENT_NAME_TAKEN", taken);
        row("taken wins over bootstrap", "SETUP_EXIT_1", "agent already exists; bootstrap_failed", "SETUP_AGENT_NAME_TAKEN", taken);
        row("bootstrap in capitals", "SETUP_EXIT_7", "  BOOTSTRAP_FAILED: service busy", "SETUP_BOOTSTRAP_FAILED", busy);
        row("bootstrap wins over a runtime code", "RUNTIME_PREPARE_EXIT_1", "bootstrap_failed", "SETUP_BOOTSTRAP_FAILED", busy);
        QTest::newRow("runtime without message") << Mapping{"RUNTIME_PREPARE_FAILED", none, "RUNTIME_PREPARE_FAILED", "运行环境准备未完成，请重试。", beforePermissions, Kind::retryInstall};
        QTest::newRow("runtime with message") << Mapping{"RUNTIME_PREPARE_EXIT_2", "pnpm missing", "RUNTIME_PREPARE_EXIT_2", "pnpm missing", beforePermissions, Kind::retryInstall};
        QTest::newRow("daemon") << Mapping{"DAEMON_INSTALL_EXIT_3", none, "DAEMON_INSTALL_EXIT_3", "Agent 启动未完成，请重试。", beforeChannel, Kind::retryInstall};
        QTest::newRow("start timeout") << Mapping{"AGENT_START_TIMEOUT", "已超时", "AGENT_START_TIMEOUT", "已超时", beforeChannel, Kind::retryInstall};
        QTest::newRow("exit status without message") << Mapping{"SETUP_EXIT_2", none, "SETUP_EXIT_2", "操作失败：SETUP_EXIT_2", unfinished, Kind::openLogs};
        QTest::newRow("runtime phrase only in message") << Mapping{"OTHER", "RUNTIME_ failure", "OTHER", "RUNTIME_ failure", unfinished, Kind::openLogs};
    }
    void mapping()
    {
        QFETCH(Mapping, row);
        const DisplayError error = DisplayError::from(row.code, opt(row.message));
        QCOMPARE(error, (DisplayError{row.mappedCode, row.mappedMessage, row.impact, RecoveryAction::make(row.recovery)}));
        // The setup run retries exactly what the panel shows as the service's passing trouble.
        QCOMPARE(Failure::isTransient({row.code, opt(row.message)}), row.mappedCode == u"SETUP_BOOTSTRAP_FAILED");
    }

    // The button titles of the error panel.
    void recoveryTitles()
    {
        const std::pair<Kind, const char *> titles[] = {
            {Kind::openSystemSettings, "打开系统设置"}, {Kind::enterInstallCode, "输入新安装码"}, {Kind::retryInstall, "重试"},
            {Kind::restartAgent, "重启 Agent"}, {Kind::openLogs, "打开日志目录"}, {Kind::checkForUpdates, "检查 App 更新"},
            {Kind::recheckPermissions, "检查权限"}};
        for (const auto &[kind, title] : titles)
            QCOMPARE(RecoveryAction::make(kind).title(), std::optional(QString::fromUtf8(title)));
        QCOMPARE(RecoveryAction::make(Kind::none).title(), std::nullopt);
    }

    void fromException_data()
    {
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        const QString code = QStringLiteral("INSTALL_LAUNCH_FAILED");
        QTest::newRow("coded") << std::make_exception_ptr(QuorvantisNativeError(code, QStringLiteral("无法启动"))) << code << "无法启动";
        QTest::newRow("coded, empty message") << std::make_exception_ptr(QuorvantisNativeError(code, QString())) << code << QString();
        QTest::newRow("any other") << std::make_exception_ptr(std::runtime_error("socket closed")) << "FALLBACK" << QString();
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
        QTest::newRow("a character outside the BMP is not split") << QString(239, u'x') + emoji + emoji << QString(239, u'x') + emoji;
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
