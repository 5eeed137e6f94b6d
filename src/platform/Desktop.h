#pragma once

#include <QString>
#include <QUrl>

// The desktop facilities the model's default effects use: opening URLs and folders in the
// user's default handler, and the clipboard.
namespace Desktop {

// Opens a URL (a web page, a settings pane, a folder) with the desktop's handler.
bool openURL(const QUrl &url);

// Replaces the clipboard's content with plain text; false without a clipboard.
bool copyText(const QString &text);

} // namespace Desktop
