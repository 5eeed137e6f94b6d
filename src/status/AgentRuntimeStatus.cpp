#include "status/AgentRuntimeStatus.h"

#include "core/DateTime.h"

#include <nlohmann/json.hpp>

#include <limits>
#include <string>

namespace {

using Json = nlohmann::json;

[[noreturn]] void invalid(const std::string &why)
{
    throw AgentRuntimeStatusDecodingError(why);
}

const Json &required(const Json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end())
        invalid(std::string("Missing key \"") + key + "\"");
    return *found;
}

// Absent and null both mean "not given".
const Json *optional(const Json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end() || found->is_null())
        return nullptr;
    return &*found;
}

QString stringValue(const Json &value, const char *key)
{
    if (!value.is_string())
        invalid(std::string("Expected a string for \"") + key + "\"");
    return QString::fromStdString(value.get_ref<const std::string &>());
}

bool boolValue(const Json &value, const char *key)
{
    if (!value.is_boolean())
        invalid(std::string("Expected a bool for \"") + key + "\"");
    return value.get<bool>();
}

qint64 integerValue(const Json &value, const char *key)
{
    // Floats are refused even when whole: the agent writes counts and process ids as integers.
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<qint64>();
    if (value.is_number_unsigned() && value.get<quint64>() <= quint64(std::numeric_limits<qint64>::max()))
        return qint64(value.get<quint64>());
    invalid(std::string("Expected a 64-bit integer for \"") + key + "\"");
}

QDateTime dateValue(const Json &value, const char *key)
{
    const QString text = stringValue(value, key);
    if (auto date = parseInternetDateTime(text))
        return *date;
    invalid("Invalid ISO-8601 date");
}

} // namespace

std::optional<QDateTime> parseInternetDateTime(QStringView text)
{
    return DateTime::parseRFC3339(text, DateTime::FractionalSeconds::accepted);
}

AgentRuntimeStatus AgentRuntimeStatus::decode(const QByteArray &body)
{
    Json document;
    try {
        document = Json::parse(body.cbegin(), body.cend());
    } catch (const Json::exception &error) {
        invalid(std::string("Not JSON: ") + error.what());
    }
    if (!document.is_object())
        invalid("Expected a JSON object");

    AgentRuntimeStatus status;
    status.sampledAt = dateValue(required(document, "sampledAt"), "sampledAt");
    status.lifecycle = stringValue(required(document, "lifecycle"), "lifecycle");
    status.ready = boolValue(required(document, "ready"), "ready");
    status.version = stringValue(required(document, "version"), "version");
    status.busy = boolValue(required(document, "busy"), "busy");
    if (const Json *compacting = optional(document, "compacting"))
        status.compacting = boolValue(*compacting, "compacting");
    status.queueSize = integerValue(required(document, "queueSize"), "queueSize");
    status.pid = integerValue(required(document, "pid"), "pid");
    if (const Json *session = optional(document, "codingSession")) {
        if (!session->is_object())
            invalid("Expected an object for \"codingSession\"");
        status.codingSession = CodingSession{
            stringValue(required(*session, "status"), "status"),
            stringValue(required(*session, "taskSummary"), "taskSummary"),
        };
    }
    return status;
}
