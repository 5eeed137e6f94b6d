#include "app/AppModel.h"
#include "app/Text.h"

#include <QRegularExpression>

namespace {

// Crockford's base-32 digits: no I, L, O or U.
constexpr QStringView setupCodeAlphabet = u"0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr qsizetype significantLength = 16;

bool isCodeCharacter(QChar c)
{
    return setupCodeAlphabet.contains(c);
}

bool isValidAgentName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9](?:[a-z0-9-]*[a-z0-9])?$"));
    const qsizetype length = Text::graphemeCount(name);
    return length >= 6 && length <= 64 && pattern.match(name).hasMatch();
}

QString groupedInFours(const QString &characters)
{
    QString grouped;
    grouped.reserve(characters.size() + characters.size() / 4);
    for (qsizetype i = 0; i < characters.size(); ++i) {
        if (i > 0 && i % 4 == 0)
            grouped.append(u'-');
        grouped.append(characters.at(i));
    }
    return grouped;
}

} // namespace

QString formattedQuorvantisSetupCodeInput(const QString &text)
{
    QString kept;
    kept.reserve(significantLength);
    for (const QChar c : text.toUpper()) {
        if (kept.size() == significantLength)
            break;
        if (isCodeCharacter(c) || c == u'I')
            kept.append(c);
    }
    return groupedInFours(kept);
}

std::optional<QString> canonicalQuorvantisSetupCode(const QString &text)
{
    QString compact;
    for (const QChar c : text.toUpper()) {
        if (c != u'-' && !c.isSpace())
            compact.append(c);
    }
    if (compact.size() != significantLength)
        return std::nullopt;
    if (!compact.startsWith(u"QVS2") && !compact.startsWith(u"QVI1"))
        return std::nullopt;
    for (qsizetype i = 4; i < compact.size(); ++i) {
        if (!isCodeCharacter(compact.at(i)))
            return std::nullopt;
    }
    return formattedQuorvantisSetupCodeInput(compact);
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
