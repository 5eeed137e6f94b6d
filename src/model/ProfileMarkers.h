#pragma once

#include "model/ModelTypes.h"

#include <QSet>
#include <QString>

#include <optional>

// The small files the application keeps in the agent's profile directory: one value per line,
// written atomically with permissions 0600; an absent value removes the file; a missing,
// unreadable, oversized or non-UTF-8 file reads as absent; file errors are never reported.
namespace ProfileMarkers {

inline const QString installStageFile = QStringLiteral("mac-app-install-stage");
inline const QString completedPermissionsFile = QStringLiteral("mac-app-permissions-completed");
inline const QString awaitingPermissionFile = QStringLiteral("mac-app-permission-awaiting");
inline const QString accessibilityProbeFile = QStringLiteral("mac-app-accessibility-probe");
inline const QString notificationsFile = QStringLiteral("mac-app-notifications");
inline const QString languageFile = QStringLiteral("mac-app-language");

std::optional<InstallStage> readInstallStage(const QString &directory);
QSet<PermissionKind> readCompletedPermissions(const QString &directory);
std::optional<PermissionKind> readAwaitingPermission(const QString &directory);
std::optional<AccessibilityProbeOutcome> readAccessibilityProbeOutcome(const QString &directory);

// The stage and the completed set create the profile directory when it is missing.
void writeInstallStage(const QString &directory, std::optional<InstallStage> stage);
void writeCompletedPermissions(const QString &directory, const QSet<PermissionKind> &kinds);
void writeAwaitingPermission(const QString &directory, std::optional<PermissionKind> kind);

// Desktop notifications are on unless the user turned them off: the marker holds "off" then.
bool readNotificationsEnabled(const QString &directory);
void writeNotificationsEnabled(const QString &directory, bool enabled);

// The interface language the user chose over the system's, as a locale name ("zh_CN", "en");
// absent: follow the system. A value that is no locale name reads as absent.
std::optional<QString> readLanguage(const QString &directory);
void writeLanguage(const QString &directory, const std::optional<QString> &language);

// Removes what writers killed between writing and renaming left behind: a probe job's
// ".<marker>.<pid>" whose process is gone, and a marker's save file older than a minute. Run at
// launch, before anything reads the markers.
void removeStaleTemporaries(const QString &directory);

} // namespace ProfileMarkers
