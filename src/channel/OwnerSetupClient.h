#pragma once

#include "core/OnboardingServiceConfiguration.h"
#include "model/ModelTypes.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>

// The agent's config.json could not be read.
class OwnerSetupFileError : public std::runtime_error
{
public:
    explicit OwnerSetupFileError(const QString &detail);
};

struct OwnerSetupTimeouts
{
    // Longest silence while a request is in flight.
    std::chrono::milliseconds transfer{10'000};
    // Longest a whole request may take.
    std::chrono::milliseconds total{10'000};
};

// Asks the onboarding web service, on behalf of the agent, whether the owner still has to bind
// a channel and for the binding link. The service address, the agent's name and its API key
// come from the agent's config.json, read on every request.
//
// The API key and link tokens are bearer secrets: requests never follow redirects (a redirect
// is an unusable answer), keep no cookies, cache or credentials, and are bounded both by an
// inactivity timeout and by a hard deadline, so a trickling server cannot hold a request open.
class OwnerSetupClient
{
public:
    using Timeouts = OwnerSetupTimeouts;

    // Larger answers are not read; none of the service's documents comes close.
    static constexpr qint64 maximumAnswerBytes = 1024 * 1024;
    static constexpr qsizetype maximumSetupURLLength = 2048;

    explicit OwnerSetupClient(QString profileDirectory,
                              std::optional<QUrl> serviceURLOverride = OnboardingServiceConfiguration::bundledOverride(),
                              Timeouts timeouts = {});
    ~OwnerSetupClient();
    OwnerSetupClient(const OwnerSetupClient &) = delete;
    OwnerSetupClient &operator=(const OwnerSetupClient &) = delete;

    const QString &profileDirectory() const;
    const std::optional<QUrl> &serviceURLOverride() const;

    // Whether binding is still required, reusing the captured link (or existingURL) while the
    // service reports a live binding session; forceRefresh asks the service for a new link.
    // Throws QuorvantisNativeError with OWNER_SETUP_CONFIG_INVALID, OWNER_SETUP_UNAVAILABLE,
    // OWNER_SETUP_STATE_CHANGED or OWNER_SETUP_RESPONSE_INVALID; OwnerSetupFileError,
    // nlohmann::json::parse_error (config.json) and HttpTransportError (net/BoundedHttp.h) pass
    // through.
    // The task keeps what it needs alive; the client may be destroyed while it runs.
    QCoro::Task<OwnerSetupSession> request(std::optional<QUrl> existingURL, bool forceRefresh);

    // Whether the service shows a pending binding attempt for the link; absent when the link
    // has no token or the answer is unusable. Never throws.
    QCoro::Task<std::optional<bool>> hasPendingBinding(QUrl setupURL, QUrl serviceURL);

    // The link file "mac-app-owner-setup-url" in the profile directory: the link when it is
    // readable and valid for this service and agent, else absent (an invalid file stays).
    std::optional<QUrl> capturedSetupURL(const QUrl &serviceURL, const QString &agentName) const;
    // Writes the link file atomically with permissions 0600; failures are ignored.
    void saveCapturedSetupURL(const QUrl &url) const;

    static bool isAllowedServiceURL(const QUrl &url) { return OnboardingServiceConfiguration::isAllowedServiceURL(url); }
    // Scheme and host compared case-insensitively, ports with their scheme's default filled in.
    static bool hasSameOrigin(const QUrl &a, const QUrl &b);
    // The explicit port, else 443 for https and 80 for anything else.
    static int effectivePort(const QUrl &url);
    // A binding link of this service for this agent: same origin, no user information, a
    // non-empty fragment (the link's token), and a path ending in the agent name, then "setup".
    static bool isValidSetupURL(const QUrl &link, const QUrl &serviceURL, const QString &agentName);
    // An RFC 3339 date-time without fractional seconds ("2026-05-01T10:00:00Z",
    // "2026-05-01T12:00:00+02:00"); absent for anything else.
    static std::optional<QDateTime> date(const nlohmann::json &value);
    static std::optional<QDateTime> date(const QString &text);

    static QString linkFileName();

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};
