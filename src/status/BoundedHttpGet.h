#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>

class QNetworkAccessManager;

// One GET with the limits every client of ours needs and QNetworkAccessManager does not give:
// a hard deadline over the whole exchange (its transfer timeout alone lets a trickle run forever),
// a cap on the body that aborts as soon as it is exceeded, no redirects followed, no cookies and
// no credential reuse.

class HttpTransportError : public std::runtime_error
{
public:
    enum class Kind { Network, TimedOut, BodyTooLarge };

    HttpTransportError(Kind kind, QNetworkReply::NetworkError networkError, const QString &detail);

    Kind kind;
    QNetworkReply::NetworkError networkError;
};

struct BoundedHttpOptions
{
    // Bounds both inactivity and the whole exchange.
    std::chrono::milliseconds timeout{2000};
    qint64 maxBodyBytes = 1024 * 1024;
    // When set, an answer with another status is returned at once, without its body being read.
    std::optional<int> expectedStatus;
};

struct BoundedHttpResponse
{
    int status = 0;
    QUrl url; // the URL that answered (redirects are never followed, so the requested one)
    QByteArray body;
};

// A manager for one client: no cookie jar that keeps anything, no cache, redirects not followed,
// and with bypassProxy, no proxy (for loopback endpoints, which a desktop proxy must not see).
std::unique_ptr<QNetworkAccessManager> makePrivateNetworkManager(bool bypassProxy);

// Makes a request private: no redirect followed (it would carry credentials elsewhere), no cache,
// no cookies, no reused credentials, and an inactivity timeout.
void makePrivateRequest(QNetworkRequest &request, std::chrono::milliseconds transferTimeout);

// Performs the GET. Returns any HTTP answer (whatever its status); throws HttpTransportError when
// no complete answer arrived: refused, cut off, garbage, over the deadline or over the body cap.
// A manager destroyed mid-request makes the task fail (on the next event-loop turn) instead of
// leaving it suspended forever.
QCoro::Task<BoundedHttpResponse> boundedGet(QNetworkAccessManager *manager, QNetworkRequest request,
                                            BoundedHttpOptions options);
