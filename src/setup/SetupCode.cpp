#include "setup/SetupCode.h"

#include "core/Text.h"

#include <QRegularExpression>
#include <QTextBoundaryFinder>

#include <algorithm>

// User text is counted and filtered in user-perceived characters (grapheme clusters): a
// character that is not exactly one letter of the code alphabet is dropped or rejected whole,
// never kept without its marks.

namespace {

// Crockford's base-32 digits: no I, L, O or U.
constexpr QStringView setupCodeAlphabet = u"0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr qsizetype significantLength = 16;

bool isCodeCharacter(QChar c)
{
    return setupCodeAlphabet.contains(c);
}

// Calls `visit` with each user-perceived character of `text` while it returns true.
template <typename Visit>
void forEachCharacter(const QString &text, Visit visit)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) {
        if (!visit(QStringView(text).mid(start, end - start)))
            return;
        start = end;
    }
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
    // Upper case first, as typed letters are shown: "ß" becomes "SS", two characters.
    forEachCharacter(text.toUpper(), [&kept](QStringView character) {
        if (character.size() == 1 && (isCodeCharacter(character.front()) || character.front() == u'I'))
            kept.append(character.front());
        return kept.size() < significantLength;
    });
    return groupedInFours(kept);
}

std::optional<QString> canonicalQuorvantisSetupCode(const QString &text)
{
    QString compact;
    bool usable = true;
    forEachCharacter(text.toUpper(), [&](QStringView character) {
        if (character == u"-" || std::all_of(character.begin(), character.end(), [](QChar c) { return c.isSpace(); }))
            return true;
        usable = character.size() == 1 && compact.size() < significantLength;
        if (usable)
            compact.append(character.front());
        return usable;
    });
    if (!usable || compact.size() != significantLength)
        return std::nullopt;
    if (!compact.startsWith(u"QVS2") && !compact.startsWith(u"QVI1"))
        return std::nullopt;
    if (!std::all_of(compact.cbegin() + 4, compact.cend(), isCodeCharacter))
        return std::nullopt;
    return formattedQuorvantisSetupCodeInput(compact);
}

bool isValidAgentName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\\z"));
    const qsizetype length = Text::graphemeCount(name);
    return length >= 6 && length <= 64 && pattern.match(name).hasMatch();
}
