#pragma once

#include <QStringList>

// The dashboard's, the update banner's and the channel-binding sheet's states, rendered to PNG
// files for review. Needs a QApplication; every model is scripted, nothing real is started.
namespace DashboardGallery {

// Writes one PNG per state into `directory`; returns the paths written. Turns reduced motion on
// for the rest of the process, as still pictures need.
QStringList writeAll(const QString &directory);

} // namespace DashboardGallery
