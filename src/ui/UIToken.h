#pragma once

#include <QColor>
#include <QFont>

class QWidget;

// The shared visual tokens: the accent colour and the typography table. Every view takes its
// fonts and its tint from here so the window and the tray panel read as one application.
namespace UIToken {

// sRGB (0.03, 0.24, 0.43): the window tint and the tint of progress bars.
QColor accent();

// Secondary and tertiary label colours, derived from the widget's palette so they follow a
// dark or light desktop.
QColor secondaryLabel(const QWidget *widget);
QColor tertiaryLabel(const QWidget *widget);
// The colour of failure texts and marks.
QColor destructive();
QColor success();

enum class Typography {
    statusTitle, // title, semibold
    screenTitle, // title 2, semibold
    task,        // title 3, medium
    section,     // headline
    body,        // body
    bodyStrong,  // body, medium
    meta,        // callout
    caption,     // caption
    technical,   // caption, monospaced
};

// The font of a text style, scaled from the application's base font so a user's font size
// setting carries through.
QFont font(Typography style);

// Sets the font of `widget` to a text style.
void apply(QWidget *widget, Typography style);
// Sets the font and paints the text in the secondary label colour.
void applySecondary(QWidget *widget, Typography style);

// Applies the accent tint to a window's palette (highlight, links, progress bars).
void tint(QWidget *window);

} // namespace UIToken
