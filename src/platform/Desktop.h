#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>

// The desktop facilities the model's default effects use: opening URLs and folders in the
// user's default handler, and the clipboard.
namespace Desktop {

// The program that hands a URL to the desktop's handler on Linux, run as a process of its own
// so that its exit status tells whether anything took the URL (xdg-open exits 3 or 4 when no
// handler exists, which the toolkit's own opener reports as success).
struct Opener
{
    QString program = QStringLiteral("xdg-open");
    QStringList arguments; // given before the URL
    // An opener still running after this long has handed the URL to a program that stays in the
    // foreground (a browser started by the generic fallback): that counts as opened.
    std::chrono::milliseconds handOver{5000};
};

// Opens a URL (a web page, a settings pane, a folder) with the desktop's handler; true only when
// the handler took it. On macOS the workspace answers; elsewhere `opener` runs.
QCoro::Task<bool> openURL(QUrl url, Opener opener);
// With the desktop's own opener.
QCoro::Task<bool> openURL(QUrl url);

// Replaces the clipboard's content with plain text; false without a clipboard.
bool copyText(const QString &text);

} // namespace Desktop
