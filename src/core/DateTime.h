#pragma once

#include <QDateTime>
#include <QStringView>

#include <optional>

namespace DateTime {

enum class FractionalSeconds { rejected, accepted };

// An RFC 3339 internet date-time and nothing before or after it: "2026-01-02T03:04:05Z" or with
// a "+hh:mm" / "-hh:mm" offset, "T" and "Z" in either case, ASCII digits only. Fractional seconds
// ("…05.678Z") only when accepted, truncated to milliseconds. The result keeps the written
// offset. Besides impossible dates and times and offsets beyond 23:59, a leap second and the
// year 0000 are rejected: QDateTime holds neither.
std::optional<QDateTime> parseRFC3339(QStringView text, FractionalSeconds fraction);

} // namespace DateTime
