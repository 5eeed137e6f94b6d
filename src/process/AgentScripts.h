#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

// The bash scripts the application carries. They differ between macOS and Linux only in how the
// daemon is started at login (a launchd agent or an XDG autostart entry), how a permission probe
// is detached from the application (a one-shot launchd job or a setsid background process) and in
// the base64 decode flag. Both variants are always available as text so that either can be
// checked anywhere; the application runs the host's.
// moc predefines "linux" as a macro; the enumerator below must not be replaced by it.
#ifdef linux
#undef linux
#endif

namespace AgentScripts {

enum class Platform { macOS, linux };

constexpr Platform hostPlatform()
{
#ifdef Q_OS_MACOS
    return Platform::macOS;
#else
    return Platform::linux;
#endif
}

// Installs and starts the agent daemon under the private process manager and registers it to
// start at login.
QString daemonInstall(Platform platform);

// Installs the newest beta of the agent package and prints the version before and after.
QString agentUpdate();

// The base64 decode command of the platform.
QString base64Decode(Platform platform);

// Runs `payloadBase64` (a probe script, base64 of its UTF-8 bytes) detached from the application,
// polls its result file up to `polls` times `interval` apart and exits 0 exactly when the probe
// exited 0. On exit a still-running probe is ended and the private directory removed.
QString permissionJob(Platform platform, const QString &payloadBase64, int polls, std::chrono::milliseconds interval);

// The probes themselves. Exit status 0 means granted.
QString screenProbe();
QString diskProbe(Platform platform);
// `clients` are the raw values "cliclick" / "node" in probe order.
QString accessibilityProbe(const QStringList &clients, bool requestPrompt);

} // namespace AgentScripts
