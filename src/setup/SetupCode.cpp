#include "app/AppModel.h"
#include "setup/SetupCodeRules.h"

namespace {

bool isValidAgentName(const QString &name)
{
    return SetupCodeRules::isValidAgentName(name);
}

} // namespace

QString formattedQuorvantisSetupCodeInput(const QString &text)
{
    return SetupCodeRules::formatted(text);
}

std::optional<QString> canonicalQuorvantisSetupCode(const QString &text)
{
    return SetupCodeRules::canonical(text);
}

QString AppModel::normalizedSetupCode() const
{
    if (const auto canonical = canonicalQuorvantisSetupCode(setupCode()))
        return *canonical;
    return setupCode().trimmed().toUpper();
}

std::optional<QString> AppModel::setupCodeValidationMessage() const
{
    const QString code = normalizedSetupCode();
    if (code.isEmpty() || canonicalQuorvantisSetupCode(code))
        return std::nullopt;
    return QStringLiteral("请输入 QVS2 或 QVI1 格式的安装码。");
}

std::optional<QString> AppModel::setupAgentNameValidationMessage() const
{
    if (setupEntryMode() == SetupEntryMode::paste && !normalizedSetupCode().startsWith(u"QVI1-"))
        return std::nullopt;
    if (isValidAgentName(setupAgentName().trimmed().toLower()))
        return std::nullopt;
    return QStringLiteral("名称需为 6-64 位小写字母、数字或连字符。");
}

bool AppModel::canSubmitSetup() const
{
    if (installStage != InstallStage::setup || configurationReady() || isSubmittingSetup())
        return false;
    if (setupEntryMode() == SetupEntryMode::paste) {
        const auto canonical = canonicalQuorvantisSetupCode(normalizedSetupCode());
        if (!canonical)
            return false;
        return canonical->startsWith(u"QVS2") || !setupAgentNameValidationMessage();
    }
    return effects.enrollmentKeyProvider().has_value() && !setupAgentNameValidationMessage();
}

bool AppModel::canRequestEnrollmentSetup() const
{
    return installStage == InstallStage::setup && !configurationReady() && !isSubmittingSetup()
        && effects.enrollmentKeyProvider().has_value() && setupEntryMode() == SetupEntryMode::paste
        && !pendingSetupResume();
}

bool AppModel::canUseInstallCodeSetup() const
{
    return setupEntryMode() == SetupEntryMode::enroll && !isSubmittingSetup();
}

void AppModel::setSetupCodeInput(const QString &text)
{
    setupCode = formattedQuorvantisSetupCodeInput(text);
}
