#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

class AppModel;

// The diagnostics archive a user hands over when asking for help: one ustar file with the
// install log, the application's marker files, the versions, the last status sample and the
// recent activity. Every text in it passes the install log's redaction, and every secret the
// profile and the bundle hold (status token, service key, setup code and resume token,
// enrolment key, binding link) is cut out wherever it turns up.
namespace Diagnostics {

struct Report
{
    QDateTime createdAt;
    QJsonObject summary;   // versions, last error, the last status sample
    QStringList activity;  // newest first, one line each
    QString profileDirectory;
    QString installLog;
    QStringList secrets;   // literal values removed from everything written
};

// What the model and its profile show now.
Report gather(const AppModel &model);

// The secrets of a profile and of the application's bundle, longest first.
QStringList secretsOf(const QString &profileDirectory);

// A text as it goes into the archive.
QString redact(const QString &text, const QStringList &secrets);

// "quorvantis-diagnostics-20270115-080000.tar"
QString suggestedFileName(const QDateTime &at);

// Writes the archive atomically, readable by the user alone; false with a reason otherwise.
bool write(const Report &report, const QString &path, QString *error = nullptr);

} // namespace Diagnostics
