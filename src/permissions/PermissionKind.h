#pragma once

#include "app/RawValues.h"

#include <QHashFunctions>

// The three privacy permissions, in onboarding order.
enum class PermissionKind { screenRecording, accessibility, fullDiskAccess };

constexpr RawValueTable<PermissionKind, 3> rawValueTable(PermissionKind)
{
    return {{u"screenRecording", u"accessibility", u"fullDiskAccess"}};
}

// Accessibility is verified in two steps: the real node the agent runs, then cliclick.
enum class AccessibilityStep { node, cliclick };

constexpr RawValueTable<AccessibilityStep, 2> rawValueTable(AccessibilityStep)
{
    return {{u"node", u"cliclick"}};
}

// The detailed answer the accessibility probe leaves in "mac-app-accessibility-probe".
enum class AccessibilityProbeOutcome { granted, denied, mismatch, missing, unsupported };

constexpr RawValueTable<AccessibilityProbeOutcome, 5> rawValueTable(AccessibilityProbeOutcome)
{
    return {{u"granted", u"denied", u"mismatch", u"missing", u"unsupported"}};
}

inline size_t qHash(PermissionKind kind, size_t seed = 0)
{
    return ::qHash(static_cast<int>(kind), seed);
}

namespace PermissionKinds {
QString title(PermissionKind kind);
QString description(PermissionKind kind);
// The anchor of the kind's privacy pane in System Settings.
QString settingsAnchor(PermissionKind kind);
} // namespace PermissionKinds
