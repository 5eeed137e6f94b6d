#pragma once

#include <QString>
#include <QStringList>

// Everything the application is configured with that is neither the agent's own
// configuration nor user input, in one place.
namespace Configuration {

// Base URL of the package registry that the update probe asks; empty when none is configured.
// Packaging sets it (CMake cache or the information dictionary key "QuorvantisRegistryURL").
QString registryBaseURL();

// The page that "检查 App 更新" opens.
QString releasesPageURL();

// The agent package whose "beta" distribution tag the update probe reads.
QString agentPackageName();

// The onboarding service's production host. An authorization page may only send the owner back
// to this host (or to the local development server); the configurable service address does not
// widen that.
QString onboardingProductionHost();

// The OAuth authorization hosts the application is willing to open, lower case, matched exactly.
const QStringList &googleOAuthHosts();
const QStringList &zohoOAuthHosts();

} // namespace Configuration
