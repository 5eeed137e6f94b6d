#include "app/AppModel.h"
#include "app/Text.h"

#include <QFile>
#include <QRegularExpression>

namespace {

const QString notSetUp = QStringLiteral("Quorvantis 尚未完成设置。");

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

} // namespace

std::optional<QString> AppModel::RecoveryAction::title() const
{
    switch (kind) {
    case Kind::openSystemSettings: return QStringLiteral("打开系统设置");
    case Kind::none: return std::nullopt;
    case Kind::enterInstallCode: return QStringLiteral("输入新安装码");
    case Kind::retryInstall: return QStringLiteral("重试");
    case Kind::restartAgent: return QStringLiteral("重启 Agent");
    case Kind::openLogs: return QStringLiteral("打开日志目录");
    case Kind::checkForUpdates: return QStringLiteral("检查 App 更新");
    case Kind::recheckPermissions: return QStringLiteral("检查权限");
    }
    return std::nullopt;
}

AppModel::DisplayError AppModel::DisplayError::from(const QString &code, const std::optional<QString> &message)
{
    using Kind = RecoveryAction::Kind;
    const auto retry = RecoveryAction::make(Kind::retryInstall);

    if (code == u"SETUP_CODE_UNAVAILABLE" || contains(message, u"code_unavailable")
        || contains(message, u"no longer available")) {
        return {QStringLiteral("SETUP_CODE_UNAVAILABLE"), QStringLiteral("安装码已失效或不可用，请获取新的安装码后重试。"),
                notSetUp, RecoveryAction::make(Kind::enterInstallCode)};
    }
    if (code == u"SETUP_ENROLLMENT_UNAVAILABLE" || contains(message, u"enrollment_unavailable")) {
        return {QStringLiteral("SETUP_ENROLLMENT_UNAVAILABLE"),
                QStringLiteral("当前无法通过申请入口创建 Agent，请稍后重试或改用安装码。"), notSetUp, retry};
    }
    if (code == u"SETUP_AGENT_NAME_RESERVED" || contains(message, u"agent_name_reserved")
        || contains(message, u"reserved for administrative use")) {
        return {QStringLiteral("SETUP_AGENT_NAME_RESERVED"), QStringLiteral("该 Agent 名称保留给管理用途，请更换名称后重试。"),
                notSetUp, retry};
    }
    if (code == u"SETUP_AGENT_NAME_TOO_SHORT" || contains(message, u"agent_name_too_short")
        || contains(message, u"not counting hyphens")) {
        return {QStringLiteral("SETUP_AGENT_NAME_TOO_SHORT"),
                QStringLiteral("Agent 名称去掉连字符后至少需要 6 个字符，请更换名称后重试。"), notSetUp, retry};
    }
    if (code == u"SETUP_AGENT_NAME_TAKEN" || mentionsTakenName(message) || contains(message, u"agent already exists")) {
        return {QStringLiteral("SETUP_AGENT_NAME_TAKEN"), QStringLiteral("该 Agent 名称已被占用，请更换名称后重试。"),
                notSetUp, retry};
    }
    if (contains(message, u"bootstrap_failed")) {
        return {QStringLiteral("SETUP_BOOTSTRAP_FAILED"), QStringLiteral("安装服务暂时未能完成配置，请稍后重试。"), notSetUp,
                retry};
    }
    if (code.startsWith(u"RUNTIME_")) {
        return {code, message.value_or(QStringLiteral("运行环境准备未完成，请重试。")),
                QStringLiteral("Quorvantis 尚未进入权限配置阶段。"), retry};
    }
    if (code.startsWith(u"DAEMON_") || code == u"AGENT_START_TIMEOUT") {
        return {code, message.value_or(QStringLiteral("Agent 启动未完成，请重试。")),
                QStringLiteral("Quorvantis 尚未进入 Channel 绑定阶段。"), retry};
    }
    return {code, message.value_or(QStringLiteral("操作失败：") + code),
            QStringLiteral("安装或运行尚未完成。请查看 App 中的安装详情。"), RecoveryAction::make(Kind::openLogs)};
}

QString AppModel::ActivityEvent::sourceName(Source source)
{
    return source == Source::agent ? QStringLiteral("Quorvantis") : QStringLiteral("系统");
}

void AppModel::fail(const QString &code, const std::optional<QString> &message)
{
    isSubmittingSetup = false;
    setupAuthorization = std::nullopt;
    overallState = OverallState::error;
    lastError = DisplayError::from(code, message);
    if (lastError()->recovery.kind == RecoveryAction::Kind::enterInstallCode) {
        // The code can no longer be redeemed: forget the tool's half-finished session.
        QFile::remove(profileFile(QStringLiteral("setup-state.json")));
        requestFocus(FocusTarget::setupCode());
    }
    setupProgress.mutate([](QList<SetupProgressItem> &items) {
        for (auto &item : items) {
            if (item.state == ProgressState::running)
                item.state = ProgressState::failed;
        }
    });
}

void AppModel::fail(const std::exception_ptr &error, const QString &fallbackCode)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuorvantisNativeError &coded) {
        fail(coded.code, coded.message);
    } catch (...) {
        // Other errors (files, transport, decoding) carry no text meant for the user.
        fail(fallbackCode);
    }
}

std::optional<QString> AppModel::safeErrorMessage(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty() || trimmed.contains(u"REDACTED") || trimmed.startsWith(u"QVAPP_"))
        return std::nullopt;
    return Text::graphemePrefix(trimmed, 240);
}

void AppModel::appendActivity(const QString &summary)
{
    ActivityEvent event{QUuid::createUuid(), now(), ActivityEvent::Source::agent, summary};
    activities.mutate([&](QList<ActivityEvent> &list) {
        list.prepend(std::move(event));
        while (list.size() > 20)
            list.removeLast();
    });
}

void AppModel::requestFocus(FocusTarget target)
{
    focusTarget = target;
    focusRevision = focusRevision() + 1;
}
