#include "app/Configuration.h"

#include "BuildConfiguration.h"
#include "platform/Bundle.h"

namespace Configuration {

QString registryBaseURL()
{
    if (const auto fromBundle = Bundle::infoString(QStringLiteral("QuorvantisRegistryURL")))
        return fromBundle->trimmed();
    return QStringLiteral(QUORVANTIS_BUILD_REGISTRY_URL).trimmed();
}

QString releasesPageURL()
{
    if (const auto fromBundle = Bundle::infoString(QStringLiteral("QuorvantisReleasesURL")))
        return fromBundle->trimmed();
    const QString built = QStringLiteral(QUORVANTIS_BUILD_RELEASES_URL).trimmed();
    return built.isEmpty() ? QStringLiteral("https://quorvantis.dev/companion/releases") : built;
}

QString agentPackageName()
{
    return QStringLiteral("quorvantis");
}

} // namespace Configuration
