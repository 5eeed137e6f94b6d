#pragma once

#include <QString>

// The few words of the user-facing texts that depend on the machine. The texts are written for a
// Mac; elsewhere the same sentence speaks of "this computer".
namespace PlatformWords {

// True where the texts' own words hold: the macOS privacy panes, "这台 Mac".
constexpr bool onMac()
{
#ifdef Q_OS_MACOS
    return true;
#else
    return false;
#endif
}

// "这台 Mac" on a Mac, "这台电脑" elsewhere.
QString thisComputer();

// `text` with its mention of "这台 Mac" spoken for this computer; unchanged on a Mac.
QString forThisComputer(const QString &text);

} // namespace PlatformWords
