#pragma once

#include <QList>
#include <QString>

#include <utility>

// Lines of "label  value" with the values in one column, as a terminal shows them: a wide
// (Chinese) character takes two cells.
class TextColumns
{
public:
    void add(QString label, QString value) { m_rows.append({std::move(label), std::move(value)}); }

    QString text() const
    {
        qsizetype widest = 0;
        for (const auto &row : m_rows)
            widest = std::max(widest, cells(row.first));
        QString out;
        for (const auto &[label, value] : m_rows)
            out += label + QString(widest - cells(label) + 2, u' ') + value + u'\n';
        return out;
    }

    static qsizetype cells(const QString &text)
    {
        qsizetype count = 0;
        for (const QChar c : text)
            count += isWide(c.unicode()) ? 2 : 1;
        return count;
    }

private:
    // East Asian wide and full-width ranges of the basic plane.
    static bool isWide(char16_t c)
    {
        return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3)
            || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60)
            || (c >= 0xFFE0 && c <= 0xFFE6);
    }

    QList<std::pair<QString, QString>> m_rows;
};
