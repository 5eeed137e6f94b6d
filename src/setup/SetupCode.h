#pragma once

#include <QString>

#include <optional>

// The text rules of setup codes and agent names, counted in user-perceived characters.

// What the setup-code field keeps of the user's text: code characters (and "I") upper-cased, at
// most 16, grouped in fours with hyphens.
QString formattedQuorvantisSetupCodeInput(const QString &text);
// The canonical form of a complete "QVS2" or "QVI1" code; absent for anything else.
std::optional<QString> canonicalQuorvantisSetupCode(const QString &text);
// 6 to 64 lower-case letters, digits or inner hyphens, nothing else (the caller trims and
// lower-cases first).
bool isValidAgentName(const QString &name);
