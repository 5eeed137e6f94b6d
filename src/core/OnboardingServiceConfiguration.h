#pragma once

#include <QUrl>

#include <optional>

// The only onboarding service address this application can impose; everything else about the
// service comes from the agent's own config.json.
namespace OnboardingServiceConfiguration {

// The information-dictionary key that may override the service address.
inline constexpr char16_t overrideKey[] = u"QuorvantisOnboardingServiceURL";

// The override from the bundle's information dictionary; absent when the key is missing, is not
// text, does not parse, or names a service the client would refuse to talk to.
std::optional<QUrl> bundledOverride();

// A service address the client may send its key to: https on any host, or plain http only on
// the loopback host name "localhost" (development and the bundled simulator). Never with user
// information, a query or a fragment.
bool isAllowedServiceURL(const QUrl &url);

// A URL from text exactly as given: absent when the text does not parse strictly or is empty.
std::optional<QUrl> parseURL(const QString &text);

} // namespace OnboardingServiceConfiguration
