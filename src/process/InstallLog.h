#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// The one install log and the redaction every output line passes before it is shown or logged.
namespace InstallLog {

// ~/.quorvantis/profiles/default/logs, computed once per process.
QString logsDirectory();
// The log file inside it.
QString installLog();
// Creates the logs directory when missing (errors ignored) and returns it.
QString ensureLogsDirectory();
// An append handle, rotating a log above 2 MiB first; null when the log cannot be opened.
std::unique_ptr<QFile> openLog(const QString &location);
// Appends the text and a line feed; nothing without a handle; errors are ignored.
void writeLog(const QString &text, QFile *handle);

// Strips terminal escapes and masks labelled e-mails and passwords, URLs and setup codes.
QString sanitize(const QString &line);
// The first 240 characters of a line that reads like an error; nothing otherwise.
std::optional<QString> errorCandidate(const QString &line);
// Both at once: the sanitized line and its error candidate, the way every output line gets them.
// `secrets` (texts the child was given on standard input) are masked in the same single redaction.
struct CleanedLine
{
    QString text;
    std::optional<QString> errorCandidate;
};
CleanedLine clean(const QString &line, const QStringList &secrets = {});

} // namespace InstallLog
