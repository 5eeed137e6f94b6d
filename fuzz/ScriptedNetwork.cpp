#include "ScriptedNetwork.h"

#include <QHostAddress>
#include <QNetworkAccessManager>

namespace {

std::function<ScriptedNetwork::Answer(const ScriptedNetwork::Request &)> &answerer()
{
    static std::function<ScriptedNetwork::Answer(const ScriptedNetwork::Request &)> answer;
    return answer;
}

std::vector<ScriptedNetwork::Request> &recorded()
{
    static std::vector<ScriptedNetwork::Request> all;
    return all;
}

BoundedHttpResponse exchange(const QByteArray &method, const QNetworkRequest &request, const BoundedHttpOptions &options)
{
    ScriptedNetwork::Request sent{method, request.url(), {}};
    for (const QByteArray &name : request.rawHeaderList())
        sent.headers.append({name, request.rawHeader(name)});
    recorded().push_back(sent);
    const ScriptedNetwork::Answer answer =
        answerer() ? answerer()(sent) : ScriptedNetwork::Answer{0, {}, ScriptedNetwork::Answer::Failure::network};
    using Failure = ScriptedNetwork::Answer::Failure;
    switch (answer.failure) {
    case Failure::network:
        throw HttpTransportError(HttpTransportError::Kind::Network, QNetworkReply::RemoteHostClosedError, "scripted");
    case Failure::timedOut:
        throw HttpTransportError(HttpTransportError::Kind::TimedOut, QNetworkReply::OperationCanceledError, "scripted");
    case Failure::tooLarge:
        throw HttpTransportError(HttpTransportError::Kind::BodyTooLarge, QNetworkReply::NoError, "scripted", answer.status);
    case Failure::none:
        break;
    }
    if (answer.body.size() > options.maxBodyBytes)
        throw HttpTransportError(HttpTransportError::Kind::BodyTooLarge, QNetworkReply::NoError, "scripted", answer.status);
    return {answer.status, request.url(), answer.body};
}

} // namespace

namespace ScriptedNetwork {

void script(std::function<Answer(const Request &)> answer)
{
    answerer() = std::move(answer);
    recorded().clear();
}

const std::vector<Request> &requests()
{
    return recorded();
}

} // namespace ScriptedNetwork

HttpTransportError::HttpTransportError(Kind kind, QNetworkReply::NetworkError networkError, const QString &detail, int status)
    : std::runtime_error(detail.toStdString()), kind(kind), networkError(networkError), status(status)
{
}

namespace BoundedHttp {

bool isLoopbackHost(const QString &host)
{
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
}

// No manager: nothing goes to a real network.
std::unique_ptr<QNetworkAccessManager> makeManager()
{
    return nullptr;
}

QCoro::Task<BoundedHttpResponse> get(QNetworkAccessManager *, QNetworkRequest request, BoundedHttpOptions options)
{
    co_return exchange("GET", request, options);
}

QCoro::Task<BoundedHttpResponse> post(QNetworkAccessManager *, QNetworkRequest request, QByteArray, BoundedHttpOptions options)
{
    co_return exchange("POST", request, options);
}

} // namespace BoundedHttp
