#pragma once

#include <QString>
#include <QVariantMap>

#include <optional>

// The application bundle: its resource directory and its information dictionary.
// On macOS these are Contents/Resources and Info.plist; elsewhere a resource directory holding
// Info.json with the same keys: given with --resources, else "Resources" beside the binary (the
// build tree), else "../share/quorvantis-companion" from the binary (an installation).
namespace Bundle {

QString resourceDirectory();
void setResourceDirectory(const QString &directory);

// The path of a resource, or absent when there is no such readable file.
std::optional<QString> resourcePath(const QString &name, const QString &extension);

// The information dictionary; empty when missing or unreadable.
QVariantMap infoDictionary();

// A textual value of the information dictionary; absent when missing or not text.
std::optional<QString> infoString(const QString &key);

} // namespace Bundle
