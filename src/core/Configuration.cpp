#include "core/Configuration.h"

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

QString onboardingProductionHost()
{
    return QStringLiteral("onboarding.quorvantis.dev");
}

const QStringList &googleOAuthHosts()
{
    static const QStringList hosts{QStringLiteral("accounts.google.com")};
    return hosts;
}

const QStringList &zohoOAuthHosts()
{
    // One accounts host per data-centre region: global, Europe, India, Australia, Japan,
    // Canada, China, United Arab Emirates, Saudi Arabia, Singapore.
    static const QStringList hosts{
        QStringLiteral("accounts.zoho.com"),    QStringLiteral("accounts.zoho.eu"),
        QStringLiteral("accounts.zoho.in"),     QStringLiteral("accounts.zoho.com.au"),
        QStringLiteral("accounts.zoho.jp"),     QStringLiteral("accounts.zohocloud.ca"),
        QStringLiteral("accounts.zoho.com.cn"), QStringLiteral("accounts.zoho.ae"),
        QStringLiteral("accounts.zoho.sa"),     QStringLiteral("accounts.zoho.sg"),
    };
    return hosts;
}

} // namespace Configuration
