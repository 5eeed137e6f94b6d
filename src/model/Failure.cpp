#include "model/Failure.h"

#include "core/Text.h"
#include "process/AgentScripts.h"

#include <QCoreApplication>
#include <QLocale>
#include <QRegularExpression>

namespace {

QString notSetUp()
{
    return QCoreApplication::translate("Failure", "Quorvantis 尚未完成设置。");
}

bool contains(const std::optional<QString> &message, QStringView needle)
{
    // Case-insensitive, locale-aware: compare the locale's lower-case forms.
    if (!message)
        return false;
    return QLocale().toLower(*message).contains(QLocale().toLower(needle.toString()));
}

bool mentionsTakenName(const std::optional<QString> &message)
{
    static const QRegularExpression taken(QStringLiteral("Agent \".+\" already exists"),
                                          QRegularExpression::CaseInsensitiveOption
                                              | QRegularExpression::UseUnicodePropertiesOption);
    return message && taken.match(*message).hasMatch();
}

// The rows of the error mapping, in the order they are tried.
enum class Row { codeUnavailable, enrollmentUnavailable, nameReserved, nameTooShort, nameTaken, bootstrapFailed,
                 runtime, daemon, agentRestart, agentUpdate, other };

Row classify(const QString &code, const std::optional<QString> &message)
{
    if (code == u"SETUP_CODE_UNAVAILABLE" || contains(message, u"code_unavailable")
        || contains(message, u"no longer available"))
        return Row::codeUnavailable;
    if (code == u"SETUP_ENROLLMENT_UNAVAILABLE" || contains(message, u"enrollment_unavailable"))
        return Row::enrollmentUnavailable;
    if (code == u"SETUP_AGENT_NAME_RESERVED" || contains(message, u"agent_name_reserved")
        || contains(message, u"reserved for administrative use"))
        return Row::nameReserved;
    if (code == u"SETUP_AGENT_NAME_TOO_SHORT" || contains(message, u"agent_name_too_short")
        || contains(message, u"not counting hyphens"))
        return Row::nameTooShort;
    if (code == u"SETUP_AGENT_NAME_TAKEN" || mentionsTakenName(message) || contains(message, u"agent already exists"))
        return Row::nameTaken;
    if (contains(message, u"bootstrap_failed"))
        return Row::bootstrapFailed;
    if (code.startsWith(u"RUNTIME_"))
        return Row::runtime;
    if (code.startsWith(u"DAEMON_") || code == u"AGENT_START_TIMEOUT")
        return Row::daemon;
    if (code == u"AGENT_RESTART_FAILED")
        return Row::agentRestart;
    if (code == u"AGENT_UPDATE_FAILED")
        return Row::agentUpdate;
    return Row::other;
}

} // namespace

std::optional<QString> RecoveryAction::title() const
{
    switch (kind) {
    case Kind::openSystemSettings: return QCoreApplication::translate("Failure", "打开系统设置");
    case Kind::none: return std::nullopt;
    case Kind::enterInstallCode: return QCoreApplication::translate("Failure", "输入新安装码");
    case Kind::retryInstall: return QCoreApplication::translate("Failure", "重试");
    case Kind::restartAgent: return QCoreApplication::translate("Failure", "重启 Agent");
    case Kind::openLogs: return QCoreApplication::translate("Failure", "打开日志目录");
    case Kind::checkForUpdates: return QCoreApplication::translate("Failure", "检查 App 更新");
    case Kind::recheckPermissions: return QCoreApplication::translate("Failure", "检查权限");
    }
    return std::nullopt;
}

DisplayError DisplayError::from(const QString &code, const std::optional<QString> &message)
{
    using Kind = RecoveryAction::Kind;
    const auto retry = RecoveryAction::make(Kind::retryInstall);

    switch (classify(code, message)) {
    case Row::codeUnavailable:
        return {QStringLiteral("SETUP_CODE_UNAVAILABLE"), QCoreApplication::translate("Failure", "安装码已失效或不可用，请获取新的安装码后重试。"),
                notSetUp(), RecoveryAction::make(Kind::enterInstallCode)};
    case Row::enrollmentUnavailable:
        return {QStringLiteral("SETUP_ENROLLMENT_UNAVAILABLE"),
                QCoreApplication::translate("Failure", "当前无法通过申请入口创建 Agent，请稍后重试或改用安装码。"), notSetUp(), retry};
    case Row::nameReserved:
        return {QStringLiteral("SETUP_AGENT_NAME_RESERVED"), QCoreApplication::translate("Failure", "该 Agent 名称保留给管理用途，请更换名称后重试。"),
                notSetUp(), retry};
    case Row::nameTooShort:
        return {QStringLiteral("SETUP_AGENT_NAME_TOO_SHORT"),
                QCoreApplication::translate("Failure", "Agent 名称去掉连字符后至少需要 6 个字符，请更换名称后重试。"), notSetUp(), retry};
    case Row::nameTaken:
        return {QStringLiteral("SETUP_AGENT_NAME_TAKEN"), QCoreApplication::translate("Failure", "该 Agent 名称已被占用，请更换名称后重试。"),
                notSetUp(), retry};
    case Row::bootstrapFailed:
        return {QStringLiteral("SETUP_BOOTSTRAP_FAILED"), QCoreApplication::translate("Failure", "安装服务暂时未能完成配置，请稍后重试。"), notSetUp(),
                retry};
    case Row::runtime:
        return {code, message.value_or(QCoreApplication::translate("Failure", "运行环境准备未完成，请重试。")),
                QCoreApplication::translate("Failure", "Quorvantis 尚未进入权限配置阶段。"), retry};
    case Row::daemon:
        return {code, message.value_or(QCoreApplication::translate("Failure", "Agent 启动未完成，请重试。")),
                QCoreApplication::translate("Failure", "Quorvantis 尚未进入 Channel 绑定阶段。"), retry};
    case Row::agentRestart:
        // The agent was installed: what matters is that it is not running, and a restart may help.
        return {code, QCoreApplication::translate("Failure", "Agent 没有重启成功。"), QCoreApplication::translate("Failure", "Agent 当前没有运行，新的消息暂时不会被处理。"),
                RecoveryAction::make(Kind::restartAgent), message};
    case Row::agentUpdate:
        return {code, QCoreApplication::translate("Failure", "Agent 更新没有完成。"), QCoreApplication::translate("Failure", "Agent 可能仍是原来的版本，或没有在运行。"),
                RecoveryAction::make(Kind::restartAgent), message};
    case Row::other:
        break;
    }
    return {code, message.value_or(QCoreApplication::translate("Failure", "操作失败：%1").arg(code)),
            QCoreApplication::translate("Failure", "安装或运行尚未完成。请查看 App 中的安装详情。"), RecoveryAction::make(Kind::openLogs)};
}

QString ActivityEvent::sourceName(Source source)
{
    return source == Source::agent ? QStringLiteral("Quorvantis") : QCoreApplication::translate("Failure", "系统");
}

namespace Failure {

Report from(const std::exception_ptr &error, const QString &fallbackCode)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuorvantisNativeError &coded) {
        return {coded.code, coded.message.isEmpty() ? std::nullopt : std::optional<QString>(coded.message)};
    } catch (...) {
        return {fallbackCode, std::nullopt};
    }
}

Report forExit(const QString &code, const CLIResult &result)
{
    const auto message = safeErrorMessage(result.lastErrorLine);
    return {code, message ? std::optional(AgentScripts::translatedFailureLine(*message)) : std::nullopt};
}

bool isTransient(const Report &report)
{
    return classify(report.code, report.message) == Row::bootstrapFailed;
}

std::optional<QString> safeErrorMessage(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty() || trimmed.contains(u"REDACTED") || trimmed.startsWith(u"QVAPP_"))
        return std::nullopt;
    return Text::graphemePrefix(trimmed, 240);
}

} // namespace Failure
