#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <optional>

// Asks the package registry which agent version its "beta" distribution tag points at.
// Every failure is silent: no registry, an outage, a redirect or a bad document all mean
// "no version", so no update is offered.
namespace AgentUpdateProbe {

constexpr std::chrono::milliseconds defaultTimeout{5000};
constexpr qint64 maxBodyBytes = 512 * 1024;

// <registryBaseURL>/<agent package>/beta; an empty URL when the base is empty or not an absolute
// http(s) URL with a host.
QUrl endpoint(const QString &registryBaseURL);

// Uses the configured registry (Configuration::registryBaseURL()); with none configured it
// yields nullopt without any request.
QCoro::Task<std::optional<QString>> fetchBetaVersion();

// The same against a given registry base, with a given bound on the whole exchange.
QCoro::Task<std::optional<QString>> fetchBetaVersion(QString registryBaseURL,
                                                     std::chrono::milliseconds timeout = defaultTimeout);

// The sanitized "version" of a registry document; nullopt for a body over maxBodyBytes (not
// parsed at all), anything but a JSON object, or a missing, non-text or unacceptable version.
std::optional<QString> version(const QByteArray &body);

} // namespace AgentUpdateProbe
