#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QList>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

class QNetworkAccessManager;

// One HTTP exchange with the limits every client of ours needs and QNetworkAccessManager does
// not give: a hard deadline over the whole exchange (its transfer timeout alone lets a trickle
// run forever), a cap on the body that aborts as soon as it is exceeded, no redirect followed (it
// would carry a bearer token elsewhere), no cookies, no cache, no credential reuse, and no proxy
// for the loopback host.

// No complete answer arrived: refused, cut off, not HTTP, over the deadline or over the size cap.
class HttpTransportError : public std::runtime_error
{
public:
    enum class Kind { Network, TimedOut, BodyTooLarge };

    HttpTransportError(Kind kind, QNetworkReply::NetworkError networkError, const QString &detail, int status = 0);

    Kind kind;
    QNetworkReply::NetworkError networkError;
    // The status line's code when one arrived before the exchange failed (an oversized body has
    // one); 0 otherwise.
    int status;
};

struct BoundedHttpOptions
{
    // Bounds the whole exchange.
    std::chrono::milliseconds timeout{2000};
    // Longest silence while the exchange runs; absent: the same as `timeout`.
    std::optional<std::chrono::milliseconds> transferTimeout;
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

class QTcpSocket;

// Keeps one connection to a loopback server open between exchanges (HTTP/1.1 persistent
// connections), so a client that asks every few seconds does not set a TCP connection up and
// tear it down each time. An exchange that finds its kept connection closed by the server before
// any answer starts over, once, on a new one. Belongs to the client; destroying it closes it.
class LoopbackConnections : public QObject
{
public:
    using QObject::QObject;
    // The idle connection to `port`, or null (a connection to another port is closed).
    QTcpSocket *take(quint16 port);
    // Keeps `socket` (still connected, nothing unread) for the next exchange with `port`.
    void keep(QTcpSocket *socket, quint16 port);

private:
    QPointer<QTcpSocket> m_idle;
    quint16 m_port = 0;
};

namespace BoundedHttp {

// "localhost" or a loopback address.
bool isLoopbackHost(const QString &host);

// A manager for one client: a cookie jar that keeps nothing, no cache, redirects not followed,
// the desktop's proxy for remote hosts and none for the loopback host.
std::unique_ptr<QNetworkAccessManager> makeManager();

// Performs the exchange. Returns any HTTP answer, whatever its status; throws HttpTransportError
// when no complete answer arrived. A manager destroyed mid-request makes the task fail (on the
// next event-loop turn) instead of leaving it suspended forever.
QCoro::Task<BoundedHttpResponse> get(QNetworkAccessManager *manager, QNetworkRequest request, BoundedHttpOptions options);
QCoro::Task<BoundedHttpResponse> post(QNetworkAccessManager *manager, QNetworkRequest request, QByteArray body,
                                      BoundedHttpOptions options);

// A GET to a server on this machine (`url`'s host a loopback address), with the same limits and
// errors, on the calling thread: the network manager hands every request to a thread of its
// own, which for a small answer on loopback costs more wakeups than the exchange itself. With
// `connections` the connection is kept for the next exchange where the server allows it;
// without, one connection per exchange ("Connection: close"). `headers` are added to the request
// as given. The exchange belongs to `owner`: destroying it makes the task fail (on the next
// event-loop turn) instead of leaving it suspended forever.
QCoro::Task<BoundedHttpResponse> getLoopback(QObject *owner, QUrl url, QList<std::pair<QByteArray, QByteArray>> headers,
                                             BoundedHttpOptions options, QPointer<LoopbackConnections> connections = {});

} // namespace BoundedHttp
