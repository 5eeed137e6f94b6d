#include "core/DateTime.h"

namespace DateTime {

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The number written with exactly `count` ASCII digits at `at`; -1 for anything else.
int number(QStringView text, qsizetype at, qsizetype count)
{
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (qsizetype i = at; i < at + count; ++i) {
        if (!isDigit(text[i]))
            return -1;
        value = value * 10 + (text[i].unicode() - u'0');
    }
    return value;
}

bool hasAt(QStringView text, qsizetype at, char16_t c)
{
    return at < text.size() && text[at] == c;
}

} // namespace

std::optional<QDateTime> parseRFC3339(QStringView text, FractionalSeconds fraction)
{
    const int year = number(text, 0, 4);
    const int month = number(text, 5, 2);
    const int day = number(text, 8, 2);
    const int hour = number(text, 11, 2);
    const int minute = number(text, 14, 2);
    const int second = number(text, 17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 || !hasAt(text, 4, u'-')
        || !hasAt(text, 7, u'-') || !(hasAt(text, 10, u'T') || hasAt(text, 10, u't')) || !hasAt(text, 13, u':')
        || !hasAt(text, 16, u':'))
        return std::nullopt;

    qsizetype at = 19;
    int millis = 0;
    if (hasAt(text, at, u'.')) {
        if (fraction == FractionalSeconds::rejected)
            return std::nullopt;
        const qsizetype first = ++at;
        while (at < text.size() && isDigit(text[at])) {
            if (at - first < 3)
                millis += (text[at].unicode() - u'0') * (at == first ? 100 : at == first + 1 ? 10 : 1);
            ++at;
        }
        if (at == first)
            return std::nullopt;
    }

    const QDate date(year, month, day);
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    const QTime time(hour, minute, second, millis);
    if ((hasAt(text, at, u'Z') || hasAt(text, at, u'z')) && at + 1 == text.size())
        return QDateTime(date, time, Qt::UTC);

    const int offsetHours = number(text, at + 1, 2);
    const int offsetMinutes = number(text, at + 4, 2);
    if (!(hasAt(text, at, u'+') || hasAt(text, at, u'-')) || offsetHours < 0 || !hasAt(text, at + 3, u':')
        || offsetMinutes < 0 || at + 6 != text.size() || offsetHours > 23 || offsetMinutes > 59)
        return std::nullopt;
    const int sign = text[at] == u'-' ? -1 : 1;
    return QDateTime(date, time, Qt::OffsetFromUTC, sign * (offsetHours * 3600 + offsetMinutes * 60));
}

} // namespace DateTime
