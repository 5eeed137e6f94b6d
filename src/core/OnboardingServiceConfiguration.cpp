#include "core/OnboardingServiceConfiguration.h"

#include "platform/Bundle.h"

namespace OnboardingServiceConfiguration {

std::optional<QUrl> parseURL(const QString &text)
{
    // Strict: surrounding blanks or characters that need escaping make the text no URL at all,
    // rather than a silently repaired one.
    if (text.isEmpty() || text.trimmed().size() != text.size())
        return std::nullopt;
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isEmpty())
        return std::nullopt;
    return url;
}

std::optional<QUrl> bundledOverride()
{
    const auto text = Bundle::infoString(QString::fromUtf16(overrideKey));
    if (!text)
        return std::nullopt;
    auto url = parseURL(*text);
    if (!url || !isAllowedServiceURL(*url))
        return std::nullopt;
    return url;
}

bool isAllowedServiceURL(const QUrl &url)
{
    if (!url.isValid() || !url.userName().isEmpty() || !url.password().isEmpty()
        || url.authority().contains(QLatin1Char('@')) || url.hasQuery() || url.hasFragment())
        return false;
    const QString scheme = url.scheme().toLower();
    const QString host = url.host().toLower();
    if (scheme.isEmpty() || host.isEmpty())
        return false;
    if (scheme == QLatin1String("https"))
        return true;
    // The reserved loopback name only; a literal address is refused like any other plain-http host.
    return scheme == QLatin1String("http") && host == QLatin1String("localhost");
}

} // namespace OnboardingServiceConfiguration
