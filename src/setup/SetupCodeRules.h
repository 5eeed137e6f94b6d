#pragma once

#include <QString>

#include <optional>

// The text rules of setup codes and agent names, counted in user-perceived characters (grapheme
// clusters): a character that is not exactly one letter of the code alphabet is dropped or
// rejected whole, never kept without its marks.
namespace SetupCodeRules {

// What the setup-code field shows for what was typed or pasted: upper case, only code-alphabet
// characters and "I", at most 16, in groups of four joined by hyphens.
QString formatted(const QString &text);

// The canonical "QVS2-XXXX-XXXX-XXXX" / "QVI1-…" form, ignoring case, hyphens and white space;
// absent for anything that is not a setup code.
std::optional<QString> canonical(const QString &text);

// 6 to 64 characters of lower-case ASCII letters, digits and inner hyphens, nothing else (the
// caller trims and lower-cases first).
bool isValidAgentName(const QString &name);

} // namespace SetupCodeRules
