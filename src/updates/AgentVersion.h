#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// Agent version strings: which ones are acceptable and which of two is newer.
// "major[.minor[.patch]][-prerelease][+build]"; build metadata is ignored entirely.
namespace AgentVersion {

struct Parsed
{
    std::array<qint64, 3> numbers{}; // missing trailing parts are 0
    std::optional<QStringList> prerelease; // non-empty identifiers, compared as text or numbers

    bool operator==(const Parsed &) const = default;
};

// The trimmed text when it is an acceptable version: at most 64 UTF-8 bytes, only letters, marks,
// digits, "-", "." and "+", and parse() accepts it. Otherwise nullopt.
std::optional<QString> sanitized(const std::optional<QString> &text);

// The structured form, or nullopt ("v1.2.3", "1.2.3.4", "1.2.3-", "1..2" are rejected).
std::optional<Parsed> parse(const QString &text);

// True only when both parse and the candidate has the higher precedence (a release outranks its
// pre-releases; numeric pre-release identifiers rank below textual ones).
bool isNewer(const QString &candidate, const QString &current);

} // namespace AgentVersion
