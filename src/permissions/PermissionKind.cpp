#include "permissions/PermissionKind.h"

#include <QCoreApplication>

namespace PermissionKinds {

QString title(PermissionKind kind)
{
    switch (kind) {
    case PermissionKind::screenRecording: return QCoreApplication::translate("PermissionKind", "屏幕录制");
    case PermissionKind::accessibility: return QCoreApplication::translate("PermissionKind", "辅助功能");
    case PermissionKind::fullDiskAccess: return QCoreApplication::translate("PermissionKind", "完全磁盘访问");
    }
    return {};
}

QString description(PermissionKind kind)
{
    switch (kind) {
    case PermissionKind::screenRecording: return QCoreApplication::translate("PermissionKind", "用于读取屏幕内容并完成视觉操作。");
    case PermissionKind::accessibility: return QCoreApplication::translate("PermissionKind", "用于控制键盘和鼠标。");
    case PermissionKind::fullDiskAccess: return QCoreApplication::translate("PermissionKind", "用于访问完成任务所需的本地文件。");
    }
    return {};
}

QString settingsAnchor(PermissionKind kind)
{
    switch (kind) {
    case PermissionKind::screenRecording: return QStringLiteral("Privacy_ScreenCapture");
    case PermissionKind::accessibility: return QStringLiteral("Privacy_Accessibility");
    case PermissionKind::fullDiskAccess: return QStringLiteral("Privacy_AllFiles");
    }
    return {};
}

} // namespace PermissionKinds
