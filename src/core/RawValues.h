#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <optional>

// Enums whose cases cross a boundary (files, output lines, the wire) as text raw values.
// Each such enum declares `rawValues(E)` returning its table of names in declaration order.
template <typename E, std::size_t N>
struct RawValueTable
{
    std::array<const char16_t *, N> names;

    QString name(E value) const { return QString::fromUtf16(names[static_cast<std::size_t>(value)]); }
    std::optional<E> parse(QStringView text) const
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (text == QStringView(names[i]))
                return static_cast<E>(i);
        }
        return std::nullopt;
    }
};

template <typename E>
QString rawValue(E value)
{
    return rawValueTable(E{}).name(value);
}

template <typename E>
std::optional<E> fromRawValue(QStringView text)
{
    return rawValueTable(E{}).parse(text);
}

// Every case of an enum with a raw-value table, in declaration order.
template <typename E>
auto allCases()
{
    constexpr auto table = rawValueTable(E{});
    std::array<E, table.names.size()> cases{};
    for (std::size_t i = 0; i < cases.size(); ++i)
        cases[i] = static_cast<E>(i);
    return cases;
}
