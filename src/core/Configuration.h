#pragma once

#include <QString>
#include <QStringList>

// Everything the application is configured with that is neither the agent's own
// configuration nor user input, in one place.
namespace Configuration {

// The packager's choice of the registry the update probe asks (the information dictionary key
// "QuorvantisRegistryURL", else the CMake cache variable QUORVANTIS_REGISTRY_URL); empty when the
// packager left it open. The probe then asks the registry the private runtime's package manager
// installs from, so a mirror set in the runtime's npmrc is the one asked.
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
