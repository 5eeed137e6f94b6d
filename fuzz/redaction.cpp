// The redaction of one line: a planted password, e-mail address, URL token, setup code, JSON
// credential or stdin secret never survives whatever surrounds it; each pattern's matcher finds
// exactly what its documented regular expression finds from every start; redacting twice
// changes nothing, with secrets or without; and the combined clean step agrees with the
// separate ones.

#include "FuzzSupport.h"
#include "Targets.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

using Product::RedactionPattern;
constexpr auto unicode = QRegularExpression::UseUnicodePropertiesOption;

struct Reference
{
    RedactionPattern pattern;
    QRegularExpression expression;
    // Where a match may start; the masked stretch is after capture 1 (or the whole match).
    char16_t first;
};

const std::vector<Reference> &references()
{
    static const std::vector<Reference> all{
        {RedactionPattern::emailLabel, QRegularExpression(QStringLiteral("(?i)(Email:\\s*)\\S+"), unicode), u'e'},
        // The password runs to the end of the text, line breaks included.
        {RedactionPattern::passwordLabel, QRegularExpression(QStringLiteral("(?is)(Password:\\s*)\\S.*"), unicode), u'p'},
        {RedactionPattern::url, QRegularExpression(QStringLiteral("https?://\\S+"), unicode), u'h'},
        {RedactionPattern::setupCode,
         QRegularExpression(QStringLiteral("(?i)\\b(?:QVS2|QVI1)-[0-9A-HJKMNP-TV-Z]{4}-[0-9A-HJKMNP-TV-Z]{4}-[0-9A-HJKMNP-TV-Z]{4}\\b"),
                            unicode),
         u'q'},
        {RedactionPattern::jsonCredential,
         QRegularExpression(QStringLiteral("(?i)(\"(?:email|password)\"\\s*:\\s*)\"(?:[^\"\\\\]|\\\\.)*\""), unicode), u'"'},
    };
    return all;
}

bool covered(const std::vector<Redaction::Match> &matches, qsizetype start, qsizetype end)
{
    return std::any_of(matches.cbegin(), matches.cend(), [&](const auto &m) { return m.start <= start && end <= m.end; });
}

void compareWithReferences(const QString &text)
{
    for (const Reference &reference : references()) {
        const std::vector<Redaction::Match> mine = Product::redactionMatches(text, reference.pattern);
        std::vector<Redaction::Match> theirs;
        for (qsizetype at = 0; at < text.size(); ++at) {
            if (text[at].toCaseFolded() != QChar(reference.first) && text[at].toLower() != QChar(reference.first))
                continue;
            const auto match = reference.expression.match(text, at, QRegularExpression::NormalMatch,
                                                          QRegularExpression::AnchorAtOffsetMatchOption);
            if (match.hasMatch()) {
                const qsizetype start = match.lastCapturedIndex() >= 1 ? match.capturedEnd(1) : match.capturedStart(0);
                theirs.push_back({start, match.capturedEnd(0), reference.pattern});
            }
        }
        for (const auto &match : theirs)
            FUZZ_CHECK(covered(mine, match.start, match.end), text);
        switch (reference.pattern) {
        case RedactionPattern::passwordLabel:
            // Later labels lie inside the first one's stretch, which is all that is reported.
            FUZZ_CHECK(mine.size() == std::min<size_t>(theirs.size(), 1) && (mine.empty() || mine.front() == theirs.front()), text);
            break;
        case RedactionPattern::jsonCredential:
            // Escaped keys and unterminated values are masked beyond what the expression sees.
            for (const auto &match : theirs)
                FUZZ_CHECK(std::find(mine.cbegin(), mine.cend(), match) != mine.cend(), text);
            break;
        default:
            FUZZ_CHECK(mine == theirs, text);
        }
    }
}

// A secret in the form a child prints it, and the part of it that must not survive.
struct Planted
{
    QString written;
    QString secret;
    bool onStandardInput = false;
};

Planted plant(FuzzedDataProvider &data, const QString &secret)
{
    switch (data.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return {QStringLiteral("Password: ") + secret, secret};
    case 1:
        return {QStringLiteral("Email: ") + secret + QStringLiteral("@example.test"), secret + QStringLiteral("@example.test")};
    case 2:
        return {QStringLiteral("https://h.test/p?token=") + secret, secret};
    case 3: {
        // Sixteen characters of the code alphabet from the secret's letters and digits.
        QString code = QStringLiteral("QVS2");
        for (qsizetype i = 0; code.size() < 16; ++i)
            code += QChar(u"0123456789ABCDEFGHJKMNPQRSTVWXYZ"[secret[i % secret.size()].unicode() % 32]);
        code = code.left(4) + u'-' + code.mid(4, 4) + u'-' + code.mid(8, 4) + u'-' + code.mid(12, 4);
        return {u' ' + code + u' ', code.mid(5)};
    }
    case 4:
        return {QStringLiteral("{\"password\": \"") + secret + QStringLiteral("\"}"), secret};
    default:
        return {secret, secret, true};
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const bool raw = data.ConsumeBool();
    const QString secret = Fuzz::plantedSecret(data);
    const Planted planted = plant(data, secret);
    const QString before = Fuzz::text(data, raw);
    const QString after = Fuzz::remainingText(data, raw);
    const QString line = before + planted.written + after;

    const QStringList secrets = planted.onStandardInput ? QStringList{secret} : QStringList{};
    const QString redacted = Product::redact(line, secrets);
    // The planted secret only, not one the surrounding text happens to spell as well.
    if (line.count(planted.secret) + Product::stripEscapes(line, nullptr).count(planted.secret) <= 2)
        FUZZ_CHECK(!redacted.contains(planted.secret), line + QStringLiteral(" -> ") + redacted);
    // A redacted line is its own redaction, secrets or not: the log holds one form of it.
    FUZZ_CHECK(Product::redact(redacted, secrets) == redacted, line + QStringLiteral(" -> ") + redacted);
    FUZZ_CHECK(Product::clean(line, secrets).text == redacted, line);

    const QString text = before + after;
    const QString sanitized = Product::sanitize(text);
    FUZZ_CHECK(Product::sanitize(sanitized) == sanitized, text + QStringLiteral(" -> ") + sanitized);
    const Product::CleanedLine cleaned = Product::clean(text);
    FUZZ_CHECK(cleaned.text == sanitized, text);
    FUZZ_CHECK(cleaned.errorCandidate == Product::errorCandidate(sanitized), text);
    if (!Fuzz::hasLoneSurrogate(text))
        compareWithReferences(text);
    return 0;
}
