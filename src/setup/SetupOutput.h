#pragma once

#include "model/ModelTypes.h"

#include <QString>

#include <optional>
#include <variant>

// What the application reads of the agent's setup tool: the JSON progress lines in its output and
// its state file "setup-state.json".
namespace SetupOutput {

// {"type":"progress","phase":P,"status":S,"detail":D}. A status other than "running" or
// "complete" arrives as `failed`, which the progress list shows as running.
struct Progress
{
    SetupPhase phase;
    ProgressState state;
    std::optional<QString> detail;
    bool operator==(const Progress &) const = default;
};

// {"type":"packageProgress","completed":C,"total":T}; a count that is not an integer of the
// signed 32-bit range is absent.
struct PackageProgress
{
    std::optional<int> completed;
    std::optional<int> total;
    bool operator==(const PackageProgress &) const = default;
};

using Event = std::variant<Progress, PackageProgress>;

// The event a line carries; nothing for plain text, other JSON, an unknown phase or a missing field.
std::optional<Event> parse(const QString &line);

} // namespace SetupOutput

namespace SetupState {

// A session the tool can resume: non-empty "sessionId" and "resumeToken" texts.
bool hasResumableSession(const QString &path);
// A "setupCode" the tool was issued that is a complete code.
bool hasClaimableCode(const QString &path);

} // namespace SetupState
