#pragma once

#include "model/ModelTypes.h"

#include <QString>

// What the views say about each permission and where its privacy pane is.
namespace PermissionKinds {
QString title(PermissionKind kind);
QString description(PermissionKind kind);
// The anchor of the kind's privacy pane in System Settings.
QString settingsAnchor(PermissionKind kind);
} // namespace PermissionKinds
