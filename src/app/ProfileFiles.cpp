#include "app/ProfileFiles.h"

#include "app/AppModel.h"
#include "process/CLIService.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace ProfileFiles {

namespace {

const QString markerPrefix = QStringLiteral("mac-app-");
const QString offValue = QStringLiteral("off");

} // namespace

QString profileDirectory(const AppModel &model)
{
    return model.profileDirectory;
}

QString installLog()
{
    return CLIService::installLog();
}

QString redactLine(const QString &line)
{
    return CLIService::sanitize(line);
}

QStringList markerNames(const QString &profileDirectory)
{
    // Links are not ours: a marker name pointing elsewhere must not carry that file along.
    QStringList names;
    const QFileInfoList entries = QDir(profileDirectory).entryInfoList({markerPrefix + u'*'},
                                                                       QDir::Files | QDir::Hidden | QDir::System,
                                                                       QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink() && entry.isFile())
            names.append(entry.fileName());
    }
    return names;
}

QString notificationsMarkerName()
{
    return QStringLiteral("mac-app-notifications");
}

bool notificationsEnabled(const QString &profileDirectory)
{
    QFile file(QDir(profileDirectory).filePath(notificationsMarkerName()));
    if (!file.open(QIODevice::ReadOnly))
        return true;
    return QString::fromUtf8(file.read(64)).trimmed() != offValue;
}

void setNotificationsEnabled(const QString &profileDirectory, bool enabled)
{
    const QString path = QDir(profileDirectory).filePath(notificationsMarkerName());
    if (enabled) {
        QFile::remove(path);
        return;
    }
    // Like every marker: written whole or not at all, readable by the user alone, failures silent.
    QDir().mkpath(profileDirectory);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(offValue.toUtf8() + '\n');
    if (file.commit())
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace ProfileFiles
