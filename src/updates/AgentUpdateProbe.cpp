#include "updates/AgentUpdateProbe.h"

#include "core/Configuration.h"
#include "net/BoundedHttp.h"
#include "updates/AgentVersion.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkAccessManager>

#include <nlohmann/json.hpp>

Q_LOGGING_CATEGORY(lcUpdateProbe, "quorvantis.updates.probe", QtWarningMsg)

namespace AgentUpdateProbe {

namespace {

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

QUrl endpoint(const QString &registryBaseURL)
{
    QString base = registryBaseURL.trimmed();
    while (base.endsWith(u'/'))
        base.chop(1);
    if (base.isEmpty())
        return {};
    const QUrl url(base + u'/' + Configuration::agentPackageName() + QStringLiteral("/beta"), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    // The reasons name no part of the address: it may carry what it should not.
    const char *refusal = nullptr;
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"https" && scheme != u"http"))
        refusal = "not an absolute http(s) address with a host";
    else if (!url.userInfo().isEmpty())
        refusal = "it carries credentials";
    else if (url.hasQuery() || url.hasFragment())
        refusal = "it carries a query or a fragment";
    else if (scheme == u"http" && !isLoopbackHost(url.host()))
        refusal = "plain HTTP is only accepted from a loopback address; the registry must use HTTPS";
    if (refusal) {
        qCDebug(lcUpdateProbe) << "registry address refused, no update is offered:" << refusal;
        return {};
    }
    return url;
}

QCoro::Task<std::optional<QString>> fetchBetaVersion(QString registryBaseURL, std::chrono::milliseconds timeout)
{
    const QUrl url = endpoint(registryBaseURL);
    if (url.isEmpty())
        co_return std::nullopt;

    // A manager of its own per call: nothing (cookies, connections, credentials) is shared with
    // any other request, and it outlives the request because it lives in this frame.
    // Deleted later: this frame ends inside the reply's own finished signal.
    const std::unique_ptr<QNetworkAccessManager, void (*)(QNetworkAccessManager *)> manager(
        BoundedHttp::makeManager().release(),
        [](QNetworkAccessManager *network) { network->deleteLater(); });
    QNetworkRequest request(url);
    request.setRawHeader("Accept", "application/json");

    BoundedHttpOptions options;
    options.timeout = timeout;
    options.maxBodyBytes = maxBodyBytes;
    options.expectedStatus = 200;

    BoundedHttpResponse response;
    try {
        response = co_await BoundedHttp::get(manager.get(), request, options);
    } catch (const std::exception &error) {
        qCDebug(lcUpdateProbe) << "registry probe failed:" << error.what();
        co_return std::nullopt;
    }
    if (response.status != 200 || response.url != url) {
        qCDebug(lcUpdateProbe) << "registry answered" << response.status;
        co_return std::nullopt;
    }
    co_return version(response.body);
}

std::optional<QString> version(const QByteArray &body)
{
    if (body.size() > maxBodyBytes)
        return std::nullopt;
    const auto document = nlohmann::json::parse(body.cbegin(), body.cend(), nullptr, /*allow_exceptions=*/false);
    if (!document.is_object())
        return std::nullopt; // also the discarded value of a parse error
    const auto found = document.find("version");
    if (found == document.end() || !found->is_string())
        return std::nullopt;
    return AgentVersion::sanitized(QString::fromStdString(found->get<std::string>()));
}

} // namespace AgentUpdateProbe
