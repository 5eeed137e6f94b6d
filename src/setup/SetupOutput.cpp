#include "setup/SetupOutput.h"

#include "setup/SetupCode.h"

#include <QFile>

#include <nlohmann/json.hpp>

#include <limits>

namespace {

using json = nlohmann::json;

// The tool's state file is a few hundred bytes; anything far bigger is not a state file.
constexpr qint64 setupStateSizeLimit = 1024 * 1024;

// The state file as a JSON object; anything else (missing, unreadable, malformed, not an
// object) reads as no state.
std::optional<json> readSetupState(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(setupStateSizeLimit + 1);
    if (bytes.size() > setupStateSizeLimit)
        return std::nullopt;
    json document = json::parse(bytes.cbegin(), bytes.cend(), nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return std::nullopt;
    return document;
}

std::optional<QString> stringMember(const json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return std::nullopt;
    return QString::fromStdString(found->get_ref<const std::string &>());
}

// A count from a progress line: only integers that fit count; anything else is absent.
std::optional<int> integerMember(const json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer())
        return std::nullopt;
    if (found->is_number_unsigned()) {
        const auto value = found->get<std::uint64_t>();
        if (value > std::uint64_t(std::numeric_limits<int>::max()))
            return std::nullopt;
        return int(value);
    }
    const auto value = found->get<std::int64_t>();
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(value);
}

} // namespace

namespace SetupOutput {

std::optional<Event> parse(const QString &line)
{
    // Most output is plain text; only a line that can be a JSON object is parsed.
    const QString trimmed = line.trimmed();
    if (!trimmed.startsWith(u'{'))
        return std::nullopt;
    const QByteArray bytes = trimmed.toUtf8();
    const json object = json::parse(bytes.cbegin(), bytes.cend(), nullptr, false);
    if (object.is_discarded() || !object.is_object())
        return std::nullopt;
    const auto type = stringMember(object, "type");
    if (!type)
        return std::nullopt;

    if (*type == u"progress") {
        const auto phaseText = stringMember(object, "phase");
        const auto status = stringMember(object, "status");
        if (!phaseText || !status)
            return std::nullopt;
        const auto phase = fromRawValue<SetupPhase>(*phaseText);
        if (!phase)
            return std::nullopt;
        const ProgressState state = *status == u"running"    ? ProgressState::running
                                    : *status == u"complete" ? ProgressState::complete
                                                             : ProgressState::failed;
        return Progress{*phase, state, stringMember(object, "detail")};
    }
    if (*type == u"packageProgress")
        return PackageProgress{integerMember(object, "completed"), integerMember(object, "total")};
    return std::nullopt;
}

} // namespace SetupOutput

namespace SetupState {

bool hasResumableSession(const QString &path)
{
    const auto state = readSetupState(path);
    if (!state)
        return false;
    const auto sessionID = stringMember(*state, "sessionId");
    const auto resumeToken = stringMember(*state, "resumeToken");
    return sessionID && !sessionID->isEmpty() && resumeToken && !resumeToken->isEmpty();
}

bool hasClaimableCode(const QString &path)
{
    const auto state = readSetupState(path);
    if (!state)
        return false;
    const auto code = stringMember(*state, "setupCode");
    return code && canonicalQuorvantisSetupCode(*code).has_value();
}

} // namespace SetupState
