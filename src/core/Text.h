#pragma once

#include <QString>

// Text helpers that count what a user sees as characters (grapheme clusters).
namespace Text {

qsizetype graphemeCount(const QString &text);
// The first `count` user-perceived characters; never splits a character.
QString graphemePrefix(const QString &text, qsizetype count);

} // namespace Text
