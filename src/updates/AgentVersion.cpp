#include "updates/AgentVersion.h"

#include <QChar>

namespace AgentVersion {

namespace {

constexpr qsizetype maxUtf8Bytes = 64;

bool isAsciiDigits(QStringView text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

// A whole decimal integer that fits in 64 bits (ASCII digits only, no blanks).
std::optional<qint64> unsignedNumber(QStringView text)
{
    if (!isAsciiDigits(text))
        return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? std::optional(value) : std::nullopt;
}

// A pre-release identifier counts as numeric with an optional sign, like the version's numbers.
std::optional<qint64> signedNumber(QStringView text)
{
    const QStringView digits = (text.startsWith(u'+') || text.startsWith(u'-')) ? text.mid(1) : text;
    if (!isAsciiDigits(digits))
        return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? std::optional(value) : std::nullopt;
}

bool isAllowedScalar(char32_t scalar)
{
    if (scalar == U'-' || scalar == U'.' || scalar == U'+')
        return true;
    switch (QChar::category(scalar)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Number_DecimalDigit:
    case QChar::Number_Letter:
    case QChar::Number_Other:
        return true;
    default:
        return false;
    }
}

// Negative, zero or positive as the candidate's identifier ranks below, level with or above the
// current one. Numeric identifiers rank by value, so "1" and "01" are level, and below textual ones.
int compareIdentifiers(const QString &candidate, const QString &current)
{
    const auto candidateNumber = signedNumber(candidate);
    const auto currentNumber = signedNumber(current);
    if (candidateNumber && currentNumber)
        return *candidateNumber < *currentNumber ? -1 : *candidateNumber > *currentNumber ? 1 : 0;
    if (candidateNumber)
        return -1;
    if (currentNumber)
        return 1;
    return QString::compare(candidate, current, Qt::CaseSensitive);
}

} // namespace

std::optional<QString> sanitized(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty() || trimmed.toUtf8().size() > maxUtf8Bytes)
        return std::nullopt;
    const QList<uint> scalars = trimmed.toUcs4();
    for (const uint scalar : scalars) {
        if (!isAllowedScalar(char32_t(scalar)))
            return std::nullopt;
    }
    if (!parse(trimmed))
        return std::nullopt;
    return trimmed;
}

std::optional<Parsed> parse(const QString &text)
{
    const qsizetype plus = text.indexOf(u'+');
    const QStringView withoutBuild = plus < 0 ? QStringView(text) : QStringView(text).left(plus);
    const qsizetype hyphen = withoutBuild.indexOf(u'-');
    const QStringView core = hyphen < 0 ? withoutBuild : withoutBuild.left(hyphen);

    const QList<QStringView> pieces = core.split(u'.');
    if (pieces.isEmpty() || pieces.size() > 3)
        return std::nullopt;
    Parsed parsed;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const auto number = unsignedNumber(pieces.at(i));
        if (!number)
            return std::nullopt;
        parsed.numbers[size_t(i)] = *number;
    }

    if (hyphen >= 0) {
        QStringList identifiers;
        for (const QStringView identifier : withoutBuild.mid(hyphen + 1).split(u'.')) {
            if (identifier.isEmpty())
                return std::nullopt;
            identifiers.append(identifier.toString());
        }
        parsed.prerelease = std::move(identifiers);
    }
    return parsed;
}

bool isNewer(const QString &candidate, const QString &current)
{
    const auto next = parse(candidate);
    const auto now = parse(current);
    if (!next || !now)
        return false;

    for (size_t i = 0; i < 3; ++i) {
        if (next->numbers[i] != now->numbers[i])
            return next->numbers[i] > now->numbers[i];
    }

    if (!next->prerelease || !now->prerelease)
        return !next->prerelease && now->prerelease.has_value();

    const QStringList &a = *next->prerelease;
    const QStringList &b = *now->prerelease;
    for (qsizetype i = 0;; ++i) {
        if (i == a.size())
            return false; // candidate ran out first (or both did: identical)
        if (i == b.size())
            return true;
        // Level identifiers go on to the next pair even when written differently: stopping there
        // would make "-1.b" newer than "-1.a" while both tie with "-01.z".
        if (const int order = compareIdentifiers(a.at(i), b.at(i)))
            return order > 0;
    }
}

} // namespace AgentVersion
