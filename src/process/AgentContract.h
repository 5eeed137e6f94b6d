#pragma once

#include <QString>
#include <QStringList>

// What the application relies on from the agent's command-line tool, its session script and the
// files they leave behind. Everything the scripts and the runner name about the agent lives here.
namespace AgentContract {

// The session script resource of the bundle.
inline QString sessionScriptName() { return QStringLiteral("quorvantis-cli-session"); }
inline QString sessionScriptExtension() { return QStringLiteral("sh"); }

// Options of the session script.
inline QString prepareOption() { return QStringLiteral("--prepare"); }
inline QString setupOnlyOption() { return QStringLiteral("--setup-only"); }
inline QString resumeOption() { return QStringLiteral("--resume"); }
inline QString enrollOption() { return QStringLiteral("--enroll"); }
inline QString workspaceOption() { return QStringLiteral("--workspace"); }

inline QStringList prepareArguments() { return {prepareOption()}; }
inline QStringList setupArguments(const QString &agentName)
{
    QStringList arguments{setupOnlyOption()};
    if (!agentName.isEmpty())
        arguments << agentName;
    return arguments;
}
inline QStringList resumeArguments() { return {setupOnlyOption(), resumeOption()}; }
inline QStringList enrollArguments(const QString &workspace, const QString &agentName)
{
    return {setupOnlyOption(), enrollOption(), workspaceOption(), workspace, agentName};
}

// Paths below the user's home.
inline QString agentDirectory() { return QStringLiteral(".quorvantis"); }
inline QString runtimeRoot() { return QStringLiteral(".quorvantis/mac-app-runtime"); }
inline QString runtimeBin() { return QStringLiteral(".quorvantis/mac-app-runtime/bin"); }
inline QString pm2Home() { return QStringLiteral(".quorvantis/mac-app-runtime/pm2"); }
inline QString npmrc() { return QStringLiteral(".quorvantis/mac-app-runtime/pnpm-config/npmrc"); }
inline QString nodePathFile() { return QStringLiteral(".quorvantis/mac-app-node-path"); }
inline QString profileDirectory() { return QStringLiteral(".quorvantis/profiles/default"); }
inline QString logsDirectory() { return QStringLiteral(".quorvantis/profiles/default/logs"); }
inline QString installLogName() { return QStringLiteral("mac-app-install.log"); }
inline QString accessibilityProbeStateName() { return QStringLiteral("mac-app-accessibility-probe"); }

// The agent package, its daemon bundle and the launch agent of the daemon.
inline QString packageName() { return QStringLiteral("quorvantis"); }
inline QString betaPackageSpec() { return QStringLiteral("quorvantis@beta"); }
inline QString daemonBundle() { return QStringLiteral("dist-agent/bundle.cjs"); }
inline QString screenshotModule() { return QStringLiteral("dist/tools/screenshot.js"); }
inline QString launchAgentLabel() { return QStringLiteral("dev.quorvantis.agent"); }

// Environment of every child.
inline QString onboardingServiceVariable() { return QStringLiteral("QUORVANTIS_ONBOARDING_SERVICE_URL"); }
inline QString enrollmentKeyVariable() { return QStringLiteral("QUORVANTIS_ENROLLMENT_KEY"); }

} // namespace AgentContract
