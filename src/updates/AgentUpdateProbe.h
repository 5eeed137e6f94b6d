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

// <registryBaseURL>/<agent package>/beta; an empty URL (and the reason in the debug log) when the
// base is empty or not an absolute URL with a host, or carries credentials, a query or a
// fragment. The answer decides which agent gets installed, so it must come over HTTPS; plain
// HTTP is accepted only from this machine (a loopback address or "localhost").
QUrl endpoint(const QString &registryBaseURL);

// Asks the registry at `registryBaseURL`; an unacceptable base (see endpoint()) yields nullopt
// without any request. `timeout` bounds the whole exchange.
QCoro::Task<std::optional<QString>> fetchBetaVersion(QString registryBaseURL,
                                                     std::chrono::milliseconds timeout = defaultTimeout);

// The sanitized "version" of a registry document; nullopt for a body over maxBodyBytes (not
// parsed at all), anything but a JSON object, or a missing, non-text or unacceptable version.
std::optional<QString> version(const QByteArray &body);

} // namespace AgentUpdateProbe
