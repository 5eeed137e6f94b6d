#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class AppModel;

// The files of the desktop integration: where the profile and the install log are, the
// application's "mac-app-" markers, and the notification setting kept among them.
namespace ProfileFiles {

// The model's profile directory.
QString profileDirectory(const AppModel &model);

// The current user's profile directory, before any model exists.
QString defaultProfileDirectory();

// The install log of the current user.
QString installLog();

// The install log's redaction of one line (escapes, labelled credentials, URLs, setup codes).
QString redactLine(const QString &line);

// The application's own marker files in a profile directory, by name, sorted.
QStringList markerNames(const QString &profileDirectory);

// Desktop notifications are on unless the user turned them off. The setting is the marker
// "mac-app-notifications" holding "off"; turning them on again removes it.
QString notificationsMarkerName();
bool notificationsEnabled(const QString &profileDirectory);
void setNotificationsEnabled(const QString &profileDirectory, bool enabled);

// The interface language chosen over the system's ("zh_CN", "en"), kept as the marker
// "mac-app-language"; absent: follow the system.
std::optional<QString> language(const QString &profileDirectory);
void setLanguage(const QString &profileDirectory, const std::optional<QString> &language);

} // namespace ProfileFiles
