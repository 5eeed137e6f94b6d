#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringView>

#include <optional>
#include <stdexcept>

// The agent's answer on its local status endpoint: one sample of what the daemon is doing.
struct AgentRuntimeStatus
{
    struct CodingSession
    {
        QString status; // "in_progress" marks an active session
        QString taskSummary;

        bool operator==(const CodingSession &) const = default;
    };

    QDateTime sampledAt;
    QString lifecycle;
    bool ready = false;
    QString version;
    bool busy = false;
    std::optional<bool> compacting;
    qint64 queueSize = 0;
    qint64 pid = 0;
    std::optional<CodingSession> codingSession;

    // Dates compare as instants: the same moment written with another offset is equal.
    bool operator==(const AgentRuntimeStatus &) const = default;

    // Decodes a status document (a JSON object; unknown keys are ignored). Throws
    // AgentRuntimeStatusDecodingError when it is not JSON, a required key is missing, a value has
    // the wrong type or a date does not parse.
    static AgentRuntimeStatus decode(const QByteArray &body);
};

class AgentRuntimeStatusDecodingError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// An RFC 3339 internet date-time: "2026-01-02T03:04:05Z", with optional fractional seconds
// ("…05.678Z") and either Z or a ±hh:mm offset. A missing zone, a space instead of the T or an
// impossible date is rejected. Fractions finer than milliseconds are truncated.
std::optional<QDateTime> parseInternetDateTime(QStringView text);
