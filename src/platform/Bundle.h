#pragma once

#include <QString>
#include <QVariantMap>

#include <optional>

// The application bundle: its resource directory and its information dictionary.
// On macOS these are Contents/Resources and Info.plist; elsewhere a resource directory
// beside the binary (or given with --resources) holding Info.json with the same keys.
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
