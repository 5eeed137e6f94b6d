#pragma once

#include <QString>
#include <QStringList>


// The bash scripts the application carries to install, start and update the agent (the
// permission probes are in permissions/PermissionProbes.h). They differ between macOS and Linux
// only in how the daemon is started at login (a launchd agent or an XDG autostart entry) and in
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

// The UTF-8 locale the agent's processes run in: "en_US.UTF-8", or "C.UTF-8" on a system that
// has no such locale (a bare Linux), where every child would otherwise warn that it cannot set it.
QString utf8Locale();

// Installs and starts the agent daemon under the private process manager and registers it to
// start at login.
QString daemonInstall(Platform platform);

// Installs the newest beta of the agent package and prints the version before and after.
QString agentUpdate();

// The bash function both scripts find the installed agent package with, whichever layout the
// runtime's pnpm keeps global packages in: "agent_package_dir PNPM NODE" prints its directory.
QString packageLookup();

// Asks the private runtime's pnpm which registry it installs from (its npmrc, where a mirror may
// be set, else its own default) and writes the answer to `answerFile`, not to the output: the
// runner redacts addresses from output lines, and an address is nothing for the install log.
// Exit status 1 when the runtime is not prepared.
QString registryQuery(const QString &answerFile);

// The base64 decode command of the platform.
QString base64Decode(Platform platform);

// A line the scripts print when they fail, in the interface's language: it reaches the user as
// the failure's message. Any other line (the agent's own) comes back as it is.
QString translatedFailureLine(const QString &line);

} // namespace AgentScripts
