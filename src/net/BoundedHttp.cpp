#include "net/BoundedHttp.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QPointer>
#include <QTimer>

#include <coroutine>
#include <functional>
#include <memory>
#include <utility>

namespace {

// Never stores a cookie and never sends one.
class ForgetfulCookieJar : public QNetworkCookieJar
{
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl &) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) override { return false; }
};

// Desktop proxy settings apply to remote services, never to an endpoint on this machine.
class LoopbackDirectProxies : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        if (BoundedHttp::isLoopbackHost(query.peerHostName()))
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return systemProxyForQuery(query);
    }
};

// Resumes the awaiting coroutine when the reply finishes, or, when the reply is destroyed first
// (its manager went away mid-request), on the next event-loop turn: by then whoever destroyed the
// manager has finished tearing itself down, and the waiter is not left suspended forever.
class ReplyCompletion
{
public:
    explicit ReplyCompletion(QNetworkReply *reply) : m_reply(reply) {}

    bool await_ready() const noexcept { return !m_reply || m_reply->isFinished(); }

    void await_suspend(std::coroutine_handle<> waiter)
    {
        auto resumed = std::make_shared<bool>(false);
        m_finished = QObject::connect(m_reply, &QNetworkReply::finished, [waiter, resumed] {
            if (!std::exchange(*resumed, true))
                waiter.resume();
        });
        m_destroyed = QObject::connect(m_reply, &QObject::destroyed, [waiter, resumed] {
            if (!std::exchange(*resumed, true))
                QTimer::singleShot(0, [waiter] { waiter.resume(); });
        });
    }

    void await_resume()
    {
        QObject::disconnect(m_finished);
        QObject::disconnect(m_destroyed);
    }

private:
    QPointer<QNetworkReply> m_reply;
    QMetaObject::Connection m_finished;
    QMetaObject::Connection m_destroyed;
};

// Owns the reply for one exchange; never deletes it inside its own signals.
struct ReplyHolder
{
    QPointer<QNetworkReply> reply;
    ~ReplyHolder()
    {
        if (reply)
            reply->deleteLater();
    }
};

enum class Stop { None, TimedOut, BodyTooLarge };

// What the network thread may hold for an exchange before this thread has read it.
constexpr qint64 readAhead = 256 * 1024;

// An error that still came with an HTTP status line (4xx, 5xx): the answer itself, not a
// transport failure. Cut-off bodies and unparsable answers are transport failures.
bool isHttpLevelError(QNetworkReply::NetworkError error)
{
    return error >= QNetworkReply::ContentAccessDenied && error != QNetworkReply::ProtocolUnknownError
        && error != QNetworkReply::ProtocolFailure;
}

} // namespace

HttpTransportError::HttpTransportError(Kind kind, QNetworkReply::NetworkError networkError, const QString &detail,
                                       int status)
    : std::runtime_error(detail.toStdString()), kind(kind), networkError(networkError), status(status)
{
}

namespace BoundedHttp {

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

std::unique_ptr<QNetworkAccessManager> makeManager()
{
    auto manager = std::make_unique<QNetworkAccessManager>();
    manager->setCookieJar(new ForgetfulCookieJar(manager.get()));
    manager->setCache(nullptr);
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager->setAutoDeleteReplies(false);
    manager->setProxyFactory(new LoopbackDirectProxies);
    return manager;
}

namespace {

// Makes a request private: no redirect followed, no cache, no cookies, no reused credentials,
// and an inactivity timeout.
void makePrivate(QNetworkRequest &request, std::chrono::milliseconds transferTimeout)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    request.setTransferTimeout(int(transferTimeout.count()));
}

QCoro::Task<BoundedHttpResponse> exchange(QNetworkAccessManager *manager, QNetworkRequest request,
                                          std::optional<QByteArray> postBody, BoundedHttpOptions options)
{
    makePrivate(request, options.transferTimeout.value_or(options.timeout));

    // A POST without a body goes without an upload device: with one, Qt 6.4 at times stops
    // delivering the answer once the read-ahead below is limited, so it is left unlimited then.
    const bool upload = postBody && !postBody->isEmpty();
    if (postBody && !upload)
        request.setHeader(QNetworkRequest::ContentLengthHeader, 0);
    const ReplyHolder holder{upload     ? manager->post(request, *postBody)
                             : postBody ? manager->sendCustomRequest(request, "POST")
                                        : manager->get(request)};
    const QPointer<QNetworkReply> &reply = holder.reply;
    // Qt's network thread otherwise reads as fast as the peer sends and queues it all for this
    // thread: an endless answer on loopback piled up more than a gigabyte, and held this thread
    // for two seconds, before the abort below could land.
    if (!upload)
        reply->setReadBufferSize(readAhead);
    Stop stop = Stop::None;
    QByteArray body;
    int status = 0;
    bool statusRejected = false;

    // Aborting is queued: an abort inside the reply's own signal would resume this coroutine in
    // the middle of the network code, and one in the deadline's slot would destroy the timer from
    // inside its own signal.
    const auto requestStop = [&stop, &reply](Stop why) {
        if (stop != Stop::None || !reply)
            return;
        stop = why;
        QMetaObject::invokeMethod(
            reply.data(),
            [target = reply] {
                if (target && !target->isFinished())
                    target->abort();
            },
            Qt::QueuedConnection);
    };

    QObject context; // disconnects the handlers below when this frame ends
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &context, [&] {
        const QVariant code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!code.isValid())
            return;
        status = code.toInt();
        if (options.expectedStatus && status != *options.expectedStatus) {
            // Not aborted: Qt reports an error status itself and warns about a second error. The
            // body is dropped as it comes, and the deadline still bounds the exchange.
            statusRejected = true;
            return;
        }
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > options.maxBodyBytes)
            requestStop(Stop::BodyTooLarge);
    });
    QObject::connect(reply, &QNetworkReply::readyRead, &context, [&] {
        if (stop != Stop::None || statusRejected) {
            reply->readAll();
            return;
        }
        body += reply->read(options.maxBodyBytes + 1 - body.size());
        if (body.size() > options.maxBodyBytes)
            requestStop(Stop::BodyTooLarge);
    });

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &context, [&] { requestStop(Stop::TimedOut); });
    deadline.start(options.timeout);

    co_await ReplyCompletion(reply);
    deadline.stop();

    if (!reply)
        throw HttpTransportError(HttpTransportError::Kind::Network, QNetworkReply::OperationCanceledError,
                                 QStringLiteral("the network manager went away during the request"));

    if (const QVariant code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute); code.isValid())
        status = code.toInt();

    // The status alone answers the caller, even if the dropped body was slow or large.
    if (statusRejected)
        co_return BoundedHttpResponse{status, reply->url(), {}};

    switch (stop) {
    case Stop::TimedOut:
        throw HttpTransportError(HttpTransportError::Kind::TimedOut, QNetworkReply::TimeoutError,
                                 QStringLiteral("no complete answer within %1 ms").arg(options.timeout.count()));
    case Stop::BodyTooLarge:
        throw HttpTransportError(HttpTransportError::Kind::BodyTooLarge, QNetworkReply::OperationCanceledError,
                                 QStringLiteral("answer larger than %1 bytes").arg(options.maxBodyBytes), status);
    case Stop::None:
        break;
    }

    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError || (status != 0 && isHttpLevelError(error))) {
        if (body.size() < options.maxBodyBytes + 1)
            body += reply->read(options.maxBodyBytes + 1 - body.size());
        if (body.size() > options.maxBodyBytes)
            throw HttpTransportError(HttpTransportError::Kind::BodyTooLarge, QNetworkReply::NoError,
                                     QStringLiteral("answer larger than %1 bytes").arg(options.maxBodyBytes), status);
        if (status == 0)
            throw HttpTransportError(HttpTransportError::Kind::Network, error, QStringLiteral("not an HTTP answer"));
        co_return BoundedHttpResponse{status, reply->url(), std::move(body)};
    }
    // Nothing but the stops above cancels a reply, so a cancelled one hit Qt's inactivity timeout.
    const auto kind = (error == QNetworkReply::TimeoutError || error == QNetworkReply::OperationCanceledError)
        ? HttpTransportError::Kind::TimedOut
        : HttpTransportError::Kind::Network;
    throw HttpTransportError(kind, error, reply->errorString());
}

} // namespace

QCoro::Task<BoundedHttpResponse> get(QNetworkAccessManager *manager, QNetworkRequest request, BoundedHttpOptions options)
{
    return exchange(manager, std::move(request), std::nullopt, options);
}

QCoro::Task<BoundedHttpResponse> post(QNetworkAccessManager *manager, QNetworkRequest request, QByteArray body,
                                      BoundedHttpOptions options)
{
    return exchange(manager, std::move(request), std::move(body), options);
}

} // namespace BoundedHttp
