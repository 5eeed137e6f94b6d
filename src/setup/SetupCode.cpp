#include "setup/SetupCode.h"

#include "core/Text.h"

#include <QRegularExpression>

namespace {

// Crockford's base-32 digits: no I, L, O or U.
constexpr QStringView setupCodeAlphabet = u"0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr qsizetype significantLength = 16;

bool isCodeCharacter(QChar c)
{
    return setupCodeAlphabet.contains(c);
}

} // namespace

bool isValidAgentName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9](?:[a-z0-9-]*[a-z0-9])?$"));
    const qsizetype length = Text::graphemeCount(name);
    return length >= 6 && length <= 64 && pattern.match(name).hasMatch();
}

namespace {

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
