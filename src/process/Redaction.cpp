#include "process/Redaction.h"

#include "process/PlainTextScan.h"

#include <QChar>

#include <algorithm>

namespace Redaction {

namespace {

constexpr char16_t escape = 0x1B;

// White space as the patterns' "\s" understands it with Unicode properties: horizontal and
// vertical space characters and every separator.
bool isBlank(char16_t c)
{
    if (c == u' ' || (c >= 0x09 && c <= 0x0D))
        return true;
    if (c < 0x85)
        return false;
    if (c == 0x85 || c == 0x180E)
        return true;
    switch (QChar::category(char32_t(c))) {
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// A "\w" character with Unicode properties: a letter, a number or the underscore.
bool isWordCharacter(char32_t c)
{
    if (c < 0x80)
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
    switch (QChar::category(c)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Number_DecimalDigit:
    case QChar::Number_Letter:
    case QChar::Number_Other:
        return true;
    default:
        return false;
    }
}

// Case-insensitive comparison the way the patterns' "(?i)" compares: by simple case folding, so
// that the long s and the Kelvin sign stand for "s" and "k" as they do there.
char16_t folded(char16_t c)
{
    if (c < 0x80)
        return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    return QChar::toCaseFolded(c);
}

bool foldedEquals(QStringView text, qsizetype at, std::u16string_view lowerAscii)
{
    if (at < 0 || text.size() - at < qsizetype(lowerAscii.size()))
        return false;
    for (std::size_t i = 0; i < lowerAscii.size(); ++i) {
        if (folded(text[at + qsizetype(i)].unicode()) != lowerAscii[i])
            return false;
    }
    return true;
}

// The code point that ends just before `at`, and the one that starts at `at` (a lone surrogate
// stands for itself).
char32_t codePointBefore(QStringView text, qsizetype at)
{
    const QChar last = text[at - 1];
    if (last.isLowSurrogate() && at >= 2 && text[at - 2].isHighSurrogate())
        return QChar::surrogateToUcs4(text[at - 2], last);
    return last.unicode();
}

char32_t codePointAt(QStringView text, qsizetype at)
{
    const QChar first = text[at];
    if (first.isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate())
        return QChar::surrogateToUcs4(first, text[at + 1]);
    return first.unicode();
}

// Where the run of non-blank units that `from` lies in ends. Matches are found in order, so a
// start inside the run found last reuses its end instead of walking the run again.
class RunEnds
{
public:
    explicit RunEnds(QStringView text) : m_text(text) {}

    qsizetype from(qsizetype start)
    {
        if (start >= m_start && start < m_end)
            return m_end;
        qsizetype end = start;
        while (end < m_text.size() && !isBlank(m_text[end].unicode()))
            ++end;
        m_start = start;
        m_end = end;
        return end;
    }

private:
    QStringView m_text;
    qsizetype m_start = 0;
    qsizetype m_end = 0;
};

qsizetype skipBlanks(QStringView text, qsizetype at)
{
    while (at < text.size() && isBlank(text[at].unicode()))
        ++at;
    return at;
}

void labelMatches(QStringView text, bool email, bool password, std::vector<Match> &out)
{
    RunEnds runs(text);
    bool passwordDone = !password;
    for (qsizetype colon = text.indexOf(u':'); colon >= 0; colon = text.indexOf(u':', colon + 1)) {
        const bool isEmail = email && foldedEquals(text, colon - 5, u"email");
        const bool isPassword = !passwordDone && foldedEquals(text, colon - 8, u"password");
        if (!isEmail && !isPassword)
            continue;
        const qsizetype value = skipBlanks(text, colon + 1);
        if (value == text.size())
            continue;
        if (isEmail) {
            out.push_back({value, runs.from(value), Pattern::emailLabel});
        } else {
            // Every later password value lies inside this one.
            out.push_back({value, text.size(), Pattern::passwordLabel});
            passwordDone = true;
        }
    }
}

void urlMatches(QStringView text, std::vector<Match> &out)
{
    RunEnds runs(text);
    for (qsizetype at = text.indexOf(u"http"); at >= 0; at = text.indexOf(u"http", at + 1)) {
        qsizetype rest = at + 4;
        if (rest < text.size() && text[rest] == u's')
            ++rest;
        if (!text.mid(rest).startsWith(u"://"))
            continue;
        rest += 3;
        if (rest < text.size() && !isBlank(text[rest].unicode()))
            out.push_back({at, runs.from(rest), Pattern::url});
    }
}

bool isCodeCharacter(char16_t c)
{
    if (c >= 0x80)
        return c == 0x017F || c == 0x212A; // the long s and the Kelvin sign fold to "s" and "k"
    const char16_t lower = folded(c);
    return (lower >= u'0' && lower <= u'9')
        || (lower >= u'a' && lower <= u'z' && lower != u'i' && lower != u'l' && lower != u'o' && lower != u'u');
}

constexpr qsizetype codeLength = 19;

// Where a stretch of the setup-code shape starts, whatever stands around it.
std::vector<qsizetype> codeShapes(QStringView text)
{
    std::vector<qsizetype> starts;
    for (qsizetype at = 0; at + codeLength <= text.size(); ++at) {
        // Only "q" and "Q" fold to "q".
        if ((text[at].unicode() | 0x20) != u'q')
            continue;
        if (!foldedEquals(text, at, u"qvs2-") && !foldedEquals(text, at, u"qvi1-"))
            continue;
        bool shaped = true;
        for (qsizetype i = 5; i < codeLength && shaped; ++i)
            shaped = (i % 5 == 4) ? text[at + i] == u'-' : isCodeCharacter(text[at + i].unicode());
        if (shaped)
            starts.push_back(at);
    }
    return starts;
}

// Units already masked; they become the brackets or quotes of a token, never word characters.
using Masked = std::vector<bool>;

bool isBoundedCode(QStringView text, qsizetype at, const Masked *masked)
{
    const qsizetype end = at + codeLength;
    const bool before = at == 0 || (masked && (*masked)[std::size_t(at - 1)])
        || !isWordCharacter(codePointBefore(text, at));
    const bool after = end == text.size() || (masked && (*masked)[std::size_t(end)])
        || !isWordCharacter(codePointAt(text, end));
    return before && after;
}

// The codes "\b" admits. With `masked`, a neighbour masked by another pattern counts as a
// boundary, as it will in the redacted line; and a code taken this way can make the codes
// right next to it codes in turn, so the redacted line holds no code left to find.
void setupCodeMatches(QStringView text, std::vector<Match> &out, Masked *masked = nullptr)
{
    const std::vector<qsizetype> shapes = codeShapes(text);
    std::vector<bool> taken(shapes.size(), false);
    std::vector<std::size_t> pending(shapes.size());
    for (std::size_t i = 0; i < shapes.size(); ++i)
        pending[i] = shapes.size() - 1 - i;
    while (!pending.empty()) {
        const std::size_t index = pending.back();
        pending.pop_back();
        const qsizetype at = shapes[index];
        if (taken[index] || !isBoundedCode(text, at, masked))
            continue;
        taken[index] = true;
        out.push_back({at, at + codeLength, Pattern::setupCode});
        if (!masked)
            continue;
        std::fill(masked->begin() + at, masked->begin() + at + codeLength, true);
        for (const qsizetype neighbour : {at - codeLength, at + codeLength}) {
            const auto found = std::lower_bound(shapes.cbegin(), shapes.cend(), neighbour);
            if (found != shapes.cend() && *found == neighbour && !taken[std::size_t(found - shapes.cbegin())])
                pending.push_back(std::size_t(found - shapes.cbegin()));
        }
    }
}

int hexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Whether the JSON string that starts with the quote at `at` decodes to a credential key, in any
// case and whatever escapes spell it; `end` is set past its closing quote.
bool isCredentialKey(QStringView text, qsizetype at, qsizetype &end)
{
    constexpr std::size_t longestKey = 8;
    char16_t key[longestKey];
    std::size_t length = 0;
    qsizetype p = at + 1;
    while (p < text.size() && text[p] != u'"') {
        char16_t unit = text[p].unicode();
        if (unit == u'\\') {
            if (p + 1 >= text.size())
                return false;
            const char16_t escaped = text[p + 1].unicode();
            if (escaped == u'u') {
                if (p + 6 > text.size())
                    return false;
                int value = 0;
                for (qsizetype i = p + 2; i < p + 6; ++i) {
                    const int digit = hexValue(text[i].unicode());
                    if (digit < 0)
                        return false;
                    value = value * 16 + digit;
                }
                unit = char16_t(value);
                p += 6;
            } else {
                static constexpr std::u16string_view from = u"\"\\/bfnrt";
                static constexpr std::u16string_view to = u"\"\\/\b\f\n\r\t";
                const std::size_t index = from.find(escaped);
                if (index == std::u16string_view::npos)
                    return false;
                unit = to[index];
                p += 2;
            }
        } else {
            ++p;
        }
        if (length == longestKey)
            return false;
        key[length++] = folded(unit);
    }
    if (p >= text.size())
        return false;
    end = p + 1;
    const std::u16string_view name(key, length);
    return name == u"email" || name == u"password";
}

void jsonCredentialMatches(QStringView text, std::vector<Match> &out)
{
    for (qsizetype quote = text.indexOf(u'"'); quote >= 0; quote = text.indexOf(u'"', quote + 1)) {
        qsizetype at = 0;
        if (!isCredentialKey(text, quote, at))
            continue;
        at = skipBlanks(text, at);
        if (at >= text.size() || text[at] != u':')
            continue;
        at = skipBlanks(text, at + 1);
        if (at >= text.size() || text[at] != u'"')
            continue;
        qsizetype end = at + 1;
        while (end < text.size() && text[end] != u'"')
            end += text[end] == u'\\' ? 2 : 1;
        out.push_back({at, std::min(end + 1, text.size()), Pattern::jsonCredential});
    }
}

void secretMatches(QStringView text, const QStringList &secrets, std::vector<Match> &out)
{
    for (const QString &secret : secrets) {
        if (secret.isEmpty())
            continue;
        for (qsizetype at = text.indexOf(secret); at >= 0; at = text.indexOf(secret, at + 1))
            out.push_back({at, at + secret.size(), Pattern::secret});
    }
}

const NeedleSet &needleSet()
{
    static const NeedleSet set(std::vector<std::string_view>(needles.begin(), needles.end()));
    return set;
}

enum : std::uint32_t {
    emailNeedle = 1u << 0,
    passwordNeedle = 1u << 1,
    jsonNeedles = 0b11100u,
    urlNeedle = 1u << 5,
    codeNeedle = 1u << 6,
};

// Every pattern's stretches but the codes'; returns whether the text may hold a code.
bool collect(QStringView text, const QStringList &secrets, std::vector<Match> &out)
{
    const std::uint32_t found = needleSet().find(FoldedText(text).bytes());
    if (found & (emailNeedle | passwordNeedle))
        labelMatches(text, found & emailNeedle, found & passwordNeedle, out);
    if (found & urlNeedle)
        urlMatches(text, out);
    if (found & jsonNeedles)
        jsonCredentialMatches(text, out);
    secretMatches(text, secrets, out);
    return found & codeNeedle;
}

Masked maskedUnits(qsizetype size, std::vector<Match> matches)
{
    std::sort(matches.begin(), matches.end(), [](const Match &a, const Match &b) { return a.start < b.start; });
    Masked masked(std::size_t(size), false);
    qsizetype marked = 0;
    for (const Match &match : matches) {
        for (qsizetype i = std::max(marked, match.start); i < match.end; ++i)
            masked[std::size_t(i)] = true;
        marked = std::max(marked, match.end);
    }
    return masked;
}

// Where an unfinished control sequence ends just before `at` begins ("ESC", "ESC[", "ESC[1;"),
// or `at` when none does.
qsizetype unfinishedSequenceStart(QStringView text, qsizetype at)
{
    if (at > 0 && text[at - 1] == QChar(escape))
        return at - 1;
    qsizetype i = at;
    while (i > 0 && text[i - 1] >= u' ' && text[i - 1] <= u'/')
        --i;
    while (i > 0 && text[i - 1] >= u'0' && text[i - 1] <= u'?')
        --i;
    return i >= 2 && text[i - 1] == u'[' && text[i - 2] == QChar(escape) ? i - 2 : at;
}

QString render(QStringView text, std::vector<Match> &masked)
{
    std::sort(masked.begin(), masked.end(), [](const Match &a, const Match &b) {
        if (a.start != b.start)
            return a.start < b.start;
        if (a.end != b.end)
            return a.end > b.end;
        return a.pattern < b.pattern;
    });
    QString out;
    out.reserve(text.size());
    qsizetype written = 0;
    for (auto it = masked.cbegin(); it != masked.cend();) {
        const Match &first = *it;
        qsizetype end = first.end;
        for (++it; it != masked.cend() && it->start < end; ++it)
            end = std::max(end, it->end);
        // A token's opening bracket or quote would finish a sequence left unfinished before it
        // (and taking that one in may leave another before it, as in "ESC ESC[").
        qsizetype start = first.start;
        while (start > written) {
            const qsizetype earlier = std::max(written, unfinishedSequenceStart(text, start));
            if (earlier == start)
                break;
            start = earlier;
        }
        out += text.mid(written, start - written);
        out += token(first.pattern);
        written = end;
    }
    out += text.mid(written);
    return out;
}

} // namespace

QStringView token(Pattern pattern)
{
    switch (pattern) {
    case Pattern::url:
        return u"[URL REDACTED]";
    case Pattern::setupCode:
        return u"[SETUP CODE REDACTED]";
    case Pattern::jsonCredential:
        return u"\"[REDACTED]\"";
    case Pattern::emailLabel:
    case Pattern::passwordLabel:
    case Pattern::secret:
        break;
    }
    return u"[REDACTED]";
}

QString stripEscapes(QStringView text, std::vector<qsizetype> *origins)
{
    // A stack machine: each kept unit records the state after it, so that removing a completed
    // sequence from the end restores the state before it, and what comes next can complete a
    // sequence that began before the removed one. Every unit is pushed and popped at most once.
    enum class Phase : std::uint8_t { outside, escape, parameters, intermediates };
    struct State
    {
        qsizetype start;
        Phase phase;
    };
    QString out;
    out.reserve(text.size());
    // Reused: a line with escapes is common, and fresh pages for a long one cost more than the work.
    thread_local std::vector<State> states;
    states.clear();
    if (origins)
        origins->clear();
    State state{0, Phase::outside};
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        bool complete = false;
        if (c == escape) {
            state = {out.size(), Phase::escape};
        } else if (state.phase == Phase::escape) {
            state.phase = c == u'[' ? Phase::parameters : Phase::outside;
        } else if (state.phase == Phase::parameters || state.phase == Phase::intermediates) {
            const bool parameter = c >= 0x30 && c <= 0x3F && state.phase == Phase::parameters;
            if (c >= 0x20 && c <= 0x2F)
                state.phase = Phase::intermediates;
            else if (c >= 0x40 && c <= 0x7E)
                complete = true;
            else if (!parameter)
                state.phase = Phase::outside;
        }
        if (complete) {
            out.truncate(state.start);
            states.resize(std::size_t(state.start));
            if (origins)
                origins->resize(std::size_t(state.start));
            state = states.empty() ? State{0, Phase::outside} : states.back();
            continue;
        }
        out.append(QChar(c));
        states.push_back(state);
        if (origins)
            origins->push_back(i);
    }
    return out;
}

std::vector<Match> matches(QStringView text, Pattern pattern, const QStringList &secrets)
{
    std::vector<Match> out;
    switch (pattern) {
    case Pattern::emailLabel:
    case Pattern::passwordLabel:
        labelMatches(text, pattern == Pattern::emailLabel, pattern == Pattern::passwordLabel, out);
        break;
    case Pattern::url:
        urlMatches(text, out);
        break;
    case Pattern::setupCode:
        setupCodeMatches(text, out);
        std::sort(out.begin(), out.end(), [](const Match &a, const Match &b) { return a.start < b.start; });
        break;
    case Pattern::jsonCredential:
        jsonCredentialMatches(text, out);
        break;
    case Pattern::secret:
        secretMatches(text, secrets, out);
        break;
    }
    return out;
}

namespace {

// One pass: every stretch the patterns and secrets cover in the line is masked. `masked` tells
// whether anything was.
QString redactOnce(const QString &line, const QStringList &secrets, bool &masked)
{
    const bool hasEscapes = line.contains(QChar(escape));
    thread_local std::vector<qsizetype> origins;
    const QString stripped = hasEscapes ? stripEscapes(line, &origins) : line;

    std::vector<Match> found;
    const bool mayHoldCode = collect(stripped, secrets, found);
    if (hasEscapes) {
        // What the line says as written counts too: a sequence's final byte may be the first
        // letter of a label. Its stretches cover the units that survived stripping.
        std::vector<Match> written;
        if (collect(line, secrets, written))
            setupCodeMatches(line, written);
        for (const Match &match : written) {
            const auto start = std::lower_bound(origins.cbegin(), origins.cend(), match.start);
            const auto end = std::lower_bound(start, origins.cend(), match.end);
            if (start != end)
                found.push_back({start - origins.cbegin(), end - origins.cbegin(), match.pattern});
        }
    }
    if (mayHoldCode) {
        Masked units = maskedUnits(stripped.size(), found);
        setupCodeMatches(stripped, found, &units);
    }
    masked = !found.empty();
    if (!masked)
        return stripped;
    return render(stripped, found);
}

} // namespace

QString redact(const QString &line, const QStringList &secrets)
{
    // One pass is not always the last word on its own output: the union of overlapping stretches
    // can end inside a word, and a label's or a URL's value in the redacted line then runs on
    // past the token ("Email:\"email\":\" \"}" gives "Email:[REDACTED]}", whose value is
    // "[REDACTED]}"). Instead of foreseeing every such interplay, the passes go on until one
    // changes nothing, so the result is its own redaction and a line is logged in one form.
    // A pass only ever masks, so no pass can bring a secret back. Two passes settle every line
    // seen so far; a line that has not settled after a few is masked whole, which settles too.
    constexpr int passes = 6;
    bool masked = false;
    QString current = redactOnce(line, secrets, masked);
    // Stripping escapes is idempotent, and a pass that masked nothing finds nothing the next time.
    if (!masked)
        return current;
    for (int pass = 1; pass < passes; ++pass) {
        QString next = redactOnce(current, secrets, masked);
        if (next == current)
            return current;
        current = std::move(next);
    }
    return token(Pattern::secret).toString();
}

} // namespace Redaction
