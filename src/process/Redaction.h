#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

// The masking every output line passes before it is shown or logged.
//
// Each pattern is matched from every position it can start at, both in the line as written and
// in the line with its terminal escapes stripped, and every stretch any of them covers is masked.
// So no pattern's match can hide another's: a label cannot swallow the next label, a replaced URL
// cannot shift which quotes pair up, and an escape sequence cannot eat part of a label. The
// matching is plain code rather than regular expressions, which would match nothing at all in a
// string holding a lone surrogate.
namespace Redaction {

// In the order the patterns are applied; where stretches of several overlap, the one starting
// first names the masked run (on a tie the longer, then the earlier pattern).
enum class Pattern : std::uint8_t {
    // A text the child was given on standard input; first, since it was once masked before any
    // pattern ran.
    secret,
    // "(?i)(Email:\s*)\S+": the word after the label.
    emailLabel,
    // "(?i)(Password:\s*)\S.*": everything after the label (the workspace password may hold spaces).
    passwordLabel,
    // "https?://\S+", case-sensitive.
    url,
    // "(?i)\b(?:QVS2|QVI1)-XXXX-XXXX-XXXX\b" over the setup-code alphabet.
    setupCode,
    // The string value of a JSON key "email" or "password" (any case, escapes decoded); an
    // unterminated value runs to the end of the line.
    jsonCredential,
};

// A masked stretch [start, end) of the text it was found in.
struct Match
{
    qsizetype start = 0;
    qsizetype end = 0;
    Pattern pattern = Pattern::secret;

    bool operator==(const Match &) const = default;
};

// Needles of the folded text (PlainTextScan.h) without which no pattern but a secret can match;
// the line's needle scan looks for them together with the error markers. Bit i of a scan result
// stands for needles[i].
inline constexpr std::array<std::string_view, 7> needles = {"mail:", "word:", "mail\"", "word\"", "\\u", "http", "qv"};
inline constexpr std::uint32_t needleBits = (1u << needles.size()) - 1;

// Removes terminal control sequences (ESC "[" parameter bytes, intermediate bytes, a final byte)
// until none is left, so that removing one never leaves a new one behind. When `origins` is given
// it receives, for every unit kept, its index in `text`.
QString stripEscapes(QStringView text, std::vector<qsizetype> *origins = nullptr);

// Every stretch of `text` that `pattern` masks, from every position a match can start at, in
// order of their start. `secrets` are used only by Pattern::secret.
std::vector<Match> matches(QStringView text, Pattern pattern, const QStringList &secrets = {});

// The line with escapes stripped and every stretch masked that a pattern or a secret covers.
// The result is its own redaction: redacting it again (with the same secrets) changes nothing.
QString redact(const QString &line, const QStringList &secrets = {});

// What replaces a masked run.
QStringView token(Pattern pattern);

} // namespace Redaction
