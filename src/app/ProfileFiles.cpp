#include "app/ProfileFiles.h"

#include "app/AppModel.h"
#include "model/ProfileMarkers.h"
#include "process/InstallLog.h"
#include "status/AgentStatusClient.h"

#include <QDir>
#include <QFileInfo>

namespace ProfileFiles {

namespace {

const QString markerPrefix = QStringLiteral("mac-app-");

} // namespace

QString profileDirectory(const AppModel &model)
{
    return model.profileDirectory();
}

QString defaultProfileDirectory()
{
    return AgentStatusClient::defaultProfileDirectory();
}

QString installLog()
{
    return InstallLog::installLog();
}

QString redactLine(const QString &line)
{
    return InstallLog::sanitize(line);
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
    return ProfileMarkers::notificationsFile;
}

bool notificationsEnabled(const QString &profileDirectory)
{
    return ProfileMarkers::readNotificationsEnabled(profileDirectory);
}

void setNotificationsEnabled(const QString &profileDirectory, bool enabled)
{
    ProfileMarkers::writeNotificationsEnabled(profileDirectory, enabled);
}

std::optional<QString> language(const QString &profileDirectory)
{
    return ProfileMarkers::readLanguage(profileDirectory);
}

void setLanguage(const QString &profileDirectory, const std::optional<QString> &language)
{
    ProfileMarkers::writeLanguage(profileDirectory, language);
}

} // namespace ProfileFiles
