#pragma once

#include "process/QuorvantisNativeError.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <optional>

// What the onboarding client reads: the agent's config.json and the service's two JSON answers.
// Pure apart from reading the file, so each can be checked against any input on its own.
namespace OnboardingDocuments {

// What config.json says about the service, with the address the client will use.
struct ServiceConfiguration
{
    QString agentName;
    QUrl serviceURL;
    QString apiKey;
};

// config.json in the profile directory, with `serviceOverride` (when given) as the address.
// Throws OwnerSetupFileError when the file cannot be read or exceeds 1 MiB, and what
// decodeServiceConfiguration throws.
ServiceConfiguration readServiceConfiguration(const QString &profileDirectory, const std::optional<QUrl> &serviceOverride);

// Throws nlohmann::json::parse_error for text that is not JSON, and QuorvantisNativeError
// OWNER_SETUP_CONFIG_INVALID for a document without the three keys as non-empty strings, with an
// unusable name, key or address, or with a number too large to hold.
ServiceConfiguration decodeServiceConfiguration(const QByteArray &data, const std::optional<QUrl> &serviceOverride);

// The answer to the status request: whether the owner has finished binding; while not, whether
// the service holds a live binding session and when its link expires.
struct ProvisioningStatus
{
    bool onboardingComplete = false;
    bool hasLiveSession = false;
    std::optional<QDateTime> expiresAt;
};

// Throws statusUnavailable() unless the body is a JSON object with a boolean "onboardingComplete".
ProvisioningStatus decodeProvisioningStatus(const QByteArray &body);

// The answer to the link request: a binding link of this service for this agent and its expiry.
struct SetupLink
{
    QUrl url;
    std::optional<QDateTime> expiresAt;
};

// Throws QuorvantisNativeError OWNER_SETUP_RESPONSE_INVALID unless the body is a JSON object
// whose "setupUrl" is a valid binding link of at most 2048 characters.
SetupLink decodeSetupLink(const QByteArray &body, const QUrl &serviceURL, const QString &agentName);

// OWNER_SETUP_UNAVAILABLE with the status request's message.
QuorvantisNativeError statusUnavailable();

} // namespace OnboardingDocuments
