// Exchanges with the agent's own loopback server over a kept connection, without the network
// access manager: one GET, driven by the socket's notifications.
#include "net/BoundedHttp.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

#include <coroutine>
#include <functional>
#include <memory>
#include <utility>

namespace {

// One GET on loopback, driven by the socket's notifications on the calling thread. Reports its
// outcome once, from the event loop (never from inside a socket signal).
class LoopbackExchange : public QObject
{
public:
    struct Outcome
    {
        std::optional<BoundedHttpResponse> response;
        std::optional<HttpTransportError> error;
    };

    LoopbackExchange(QObject *owner, QUrl url, BoundedHttpOptions options, QPointer<LoopbackConnections> connections)
        : QObject(owner), m_url(std::move(url)), m_options(options), m_connections(std::move(connections))
    {
    }

    void start(const QByteArray &request)
    {
        const QString host = m_url.host();
        m_address = host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
            ? QHostAddress(QHostAddress::LocalHost)
            : QHostAddress(host);
        if (m_address.isNull() || !m_address.isLoopback()) {
            fail(HttpTransportError::Kind::Network, QNetworkReply::ProtocolInvalidOperationError,
                 QStringLiteral("not a loopback address: %1").arg(host));
            return;
        }
        m_request = request;
        m_deadline.setSingleShot(true);
        QObject::connect(&m_deadline, &QTimer::timeout, this, [this] {
            fail(HttpTransportError::Kind::TimedOut, QNetworkReply::TimeoutError,
                 QStringLiteral("no complete answer within %1 ms").arg(m_options.timeout.count()));
        });
        m_deadline.start(m_options.timeout);
        if (m_options.transferTimeout && *m_options.transferTimeout < m_options.timeout) {
            m_silence.setSingleShot(true);
            m_silence.setInterval(*m_options.transferTimeout);
            QObject::connect(&m_silence, &QTimer::timeout, this, [this] {
                fail(HttpTransportError::Kind::TimedOut, QNetworkReply::TimeoutError,
                     QStringLiteral("no data for %1 ms").arg(m_options.transferTimeout->count()));
            });
            m_silence.start();
        }
        open(m_connections ? m_connections->take(port()) : nullptr);
    }

    bool isDone() const { return m_reported; }
    const Outcome &outcome() const { return m_outcome; }
    std::function<void()> onDone;

private:
    static constexpr qsizetype maximumHeaderBytes = 64 * 1024;

    quint16 port() const { return quint16(m_url.port(80)); }

    // Sends the request on the kept connection, or on a new one.
    void open(QTcpSocket *kept)
    {
        m_reused = kept != nullptr;
        m_peerClosed = false;
        if (kept) {
            m_socket = kept;
            m_socket->setParent(this);
        } else {
            m_socket = new QTcpSocket(this);
            m_socket->setProxy(QNetworkProxy::NoProxy);
        }
        QObject::connect(m_socket, &QTcpSocket::readyRead, this, [this] { onReadable(); });
        QObject::connect(m_socket, &QTcpSocket::readChannelFinished, this, [this] { onEndOfAnswer(); });
        QObject::connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (error == QAbstractSocket::RemoteHostClosedError) {
                onEndOfAnswer();
                return;
            }
            if (startOverAfterStaleConnection())
                return;
            fail(HttpTransportError::Kind::Network,
                 error == QAbstractSocket::ConnectionRefusedError ? QNetworkReply::ConnectionRefusedError
                                                                  : QNetworkReply::UnknownNetworkError,
                 m_socket->errorString());
        });
        if (kept) {
            sendOnKeptConnection();
            return;
        }
        // Written as soon as the connection is made.
        m_socket->connectToHost(m_address, port());
        m_socket->write(m_request);
    }

    // A request of a few hundred bytes fits the idle connection's send buffer: it goes straight
    // to the socket, without the socket's write notifier being armed and disarmed through the
    // event loop (two wake-ups of the loop per poll). What the system does not take at once goes
    // the socket's own way.
    void sendOnKeptConnection()
    {
        qsizetype sent = 0;
#ifdef MSG_NOSIGNAL
        constexpr int flags = MSG_NOSIGNAL;
#else
        constexpr int flags = 0; // Qt ignores SIGPIPE once it has written to a socket, as it did here
#endif
        if (m_socket->bytesToWrite() == 0) {
            const ssize_t written = ::send(int(m_socket->socketDescriptor()), m_request.constData(), size_t(m_request.size()), flags);
            sent = written > 0 ? qsizetype(written) : 0;
        }
        if (sent < m_request.size())
            m_socket->write(m_request.constData() + sent, m_request.size() - sent);
    }

    // A kept connection the server closed while it was idle fails before any answer: the request
    // goes again on a new connection, once, within the same deadline.
    bool startOverAfterStaleConnection()
    {
        if (!m_reused || m_answerStarted || m_finished)
            return false;
        QObject::disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
        m_socket->deleteLater();
        open(nullptr);
        return true;
    }

    void onReadable()
    {
        if (m_finished)
            return;
        if (m_silence.isActive())
            m_silence.start();
        const QByteArray bytes = m_socket->readAll();
        m_answerStarted = m_answerStarted || !bytes.isEmpty();
        m_buffer += bytes;
        parse();
    }

    void onEndOfAnswer()
    {
        if (m_finished)
            return;
        const QByteArray bytes = m_socket->readAll();
        m_answerStarted = m_answerStarted || !bytes.isEmpty();
        m_buffer += bytes;
        parse();
        if (m_finished)
            return;
        m_peerClosed = true;
        if (startOverAfterStaleConnection())
            return;
        if (m_headersDone && !m_chunked && m_contentLength < 0) {
            succeed(std::move(m_body));
            return;
        }
        fail(HttpTransportError::Kind::Network, QNetworkReply::RemoteHostClosedError,
             m_headersDone ? QStringLiteral("the answer was cut off") : QStringLiteral("closed before answering"));
    }

    void parse()
    {
        if (!m_headersDone && !parseHead())
            return;
        if (m_chunked) {
            parseChunks();
            return;
        }
        if (m_contentLength >= 0) {
            const qsizetype take = std::min<qsizetype>(m_buffer.size(), m_contentLength - m_body.size());
            m_body.append(m_buffer.constData(), take);
            m_buffer.remove(0, take);
            if (m_body.size() == m_contentLength) {
                m_framedToTheEnd = true;
                succeed(std::move(m_body));
            }
            return;
        }
        m_body += m_buffer;
        m_buffer.clear();
        if (m_body.size() > m_options.maxBodyBytes)
            tooLarge();
    }

    // The status line and the headers; false until they are complete (or the exchange failed).
    bool parseHead()
    {
        if (m_buffer.size() >= 5 && !m_buffer.startsWith("HTTP/")) {
            notHttp();
            return false;
        }
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > maximumHeaderBytes)
                notHttp();
            return false;
        }
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        m_buffer.remove(0, end + 4);
        const QList<QByteArray> statusLine = lines.first().trimmed().split(' ');
        bool ok = false;
        m_status = statusLine.size() >= 2 ? statusLine.at(1).toInt(&ok) : 0;
        if (!ok || m_status < 100 || m_status > 999 || !statusLine.first().startsWith("HTTP/1.")) {
            notHttp();
            return false;
        }
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray &line = lines.at(i);
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-length") {
                m_contentLength = value.toLongLong(&ok);
                if (!ok || m_contentLength < 0) {
                    notHttp();
                    return false;
                }
            } else if (name == "transfer-encoding" && value.toLower().contains("chunked")) {
                m_chunked = true;
            } else if (name == "connection" && value.toLower().contains("close")) {
                m_serverCloses = true;
            }
        }
        m_headersDone = true;
        m_http11 = statusLine.first() == "HTTP/1.1";
        if (m_options.expectedStatus && m_status != *m_options.expectedStatus) {
            // The status alone answers the caller; the body is not read.
            succeed({});
            return false;
        }
        if (!m_chunked && m_contentLength > m_options.maxBodyBytes) {
            tooLarge();
            return false;
        }
        return true;
    }

    void parseChunks()
    {
        for (;;) {
            const qsizetype lineEnd = m_buffer.indexOf("\r\n");
            if (lineEnd < 0)
                return;
            bool ok = false;
            const qint64 size = m_buffer.left(lineEnd).split(';').first().trimmed().toLongLong(&ok, 16);
            if (!ok || size < 0) {
                notHttp();
                return;
            }
            if (size == 0) {
                // Trailers are not read; the connection, with them unread, is not kept.
                m_buffer.remove(0, lineEnd + 2);
                m_framedToTheEnd = m_buffer == "\r\n";
                if (m_framedToTheEnd)
                    m_buffer.clear();
                succeed(std::move(m_body));
                return;
            }
            if (m_body.size() + size > m_options.maxBodyBytes) {
                tooLarge();
                return;
            }
            if (m_buffer.size() < lineEnd + 2 + size + 2)
                return;
            m_body.append(m_buffer.constData() + lineEnd + 2, size);
            m_buffer.remove(0, lineEnd + 2 + size + 2);
        }
    }

    void notHttp()
    {
        fail(HttpTransportError::Kind::Network, QNetworkReply::ProtocolFailure, QStringLiteral("not an HTTP answer"));
    }

    void tooLarge()
    {
        fail(HttpTransportError::Kind::BodyTooLarge, QNetworkReply::OperationCanceledError,
             QStringLiteral("answer larger than %1 bytes").arg(m_options.maxBodyBytes), m_status);
    }

    void succeed(QByteArray body)
    {
        finish({BoundedHttpResponse{m_status, m_url, std::move(body)}, std::nullopt});
    }

    void fail(HttpTransportError::Kind kind, QNetworkReply::NetworkError error, const QString &detail, int status = 0)
    {
        finish({std::nullopt, HttpTransportError(kind, error, detail, status)});
    }

    void finish(Outcome outcome)
    {
        if (m_finished)
            return;
        m_finished = true;
        m_outcome = std::move(outcome);
        m_deadline.stop();
        m_silence.stop();
        if (m_socket)
            QObject::disconnect(m_socket, nullptr, this, nullptr);
        // The connection is kept only after a whole answer the server framed and meant to be
        // followed by another, with nothing left over.
        const bool keep = m_connections && m_socket && m_outcome.response && m_http11 && !m_serverCloses && !m_peerClosed
            && m_framedToTheEnd && m_buffer.isEmpty() && m_socket->bytesAvailable() == 0;
        // Reported on the next turn, outside the socket's own signal.
        QMetaObject::invokeMethod(
            this,
            [this, keep] {
                if (m_socket && keep && m_connections && m_socket->state() == QAbstractSocket::ConnectedState)
                    m_connections->keep(std::exchange(m_socket, nullptr), port());
                else if (m_socket)
                    m_socket->abort();
                m_reported = true;
                // The last thing this object does: the resumed caller deletes it.
                if (auto done = std::exchange(onDone, nullptr))
                    done();
            },
            Qt::QueuedConnection);
    }

    QUrl m_url;
    BoundedHttpOptions m_options;
    QPointer<LoopbackConnections> m_connections;
    QHostAddress m_address;
    QByteArray m_request;
    QTcpSocket *m_socket = nullptr;
    bool m_reused = false;
    bool m_answerStarted = false;
    bool m_peerClosed = false;
    bool m_http11 = false;
    bool m_serverCloses = false;
    bool m_framedToTheEnd = false;
    QTimer m_deadline;
    QTimer m_silence;
    QByteArray m_buffer;
    QByteArray m_body;
    int m_status = 0;
    qint64 m_contentLength = -1;
    bool m_chunked = false;
    bool m_headersDone = false;
    bool m_finished = false;
    bool m_reported = false;
    Outcome m_outcome;
};

// Resumes the awaiting coroutine when the exchange reports, or on the next event-loop turn after
// the exchange was destroyed with its owner.
class ExchangeCompletion
{
public:
    explicit ExchangeCompletion(LoopbackExchange *exchange) : m_exchange(exchange) {}

    bool await_ready() const noexcept { return !m_exchange || m_exchange->isDone(); }

    void await_suspend(std::coroutine_handle<> waiter)
    {
        auto resumed = std::make_shared<bool>(false);
        m_exchange->onDone = [waiter, resumed] {
            if (!std::exchange(*resumed, true))
                waiter.resume();
        };
        m_destroyed = QObject::connect(m_exchange, &QObject::destroyed, [waiter, resumed] {
            if (!std::exchange(*resumed, true))
                QTimer::singleShot(0, [waiter] { waiter.resume(); });
        });
    }

    void await_resume() { QObject::disconnect(m_destroyed); }

private:
    QPointer<LoopbackExchange> m_exchange;
    QMetaObject::Connection m_destroyed;
};

} // namespace

namespace BoundedHttp {

QCoro::Task<BoundedHttpResponse> getLoopback(QObject *owner, QUrl url, QList<std::pair<QByteArray, QByteArray>> headers,
                                             BoundedHttpOptions options, QPointer<LoopbackConnections> connections)
{
    QByteArray request = "GET " + url.path(QUrl::FullyEncoded).toLatin1();
    if (url.hasQuery())
        request += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    request += " HTTP/1.1\r\nHost: " + url.host().toLatin1() + ':' + QByteArray::number(url.port(80))
        + (connections ? "\r\nAccept: */*\r\n" : "\r\nConnection: close\r\nAccept: */*\r\n");
    for (const auto &[name, value] : headers)
        request += name + ": " + value + "\r\n";
    request += "\r\n";

    const QPointer<LoopbackExchange> exchange = new LoopbackExchange(owner, url, options, connections);
    exchange->start(request);
    co_await ExchangeCompletion(exchange);
    if (!exchange)
        throw HttpTransportError(HttpTransportError::Kind::Network, QNetworkReply::OperationCanceledError,
                                 QStringLiteral("the client went away during the request"));
    LoopbackExchange::Outcome outcome = exchange->outcome();
    // Deleted at once rather than later: this runs inside the exchange's own queued report, which
    // touches nothing of the exchange after resuming us (Qt lets a queued call delete its
    // receiver), and a deferred deletion would wake the event loop once more on every poll.
    delete exchange.data();
    if (outcome.error)
        throw *outcome.error;
    co_return std::move(*outcome.response);
}

} // namespace BoundedHttp

QTcpSocket *LoopbackConnections::take(quint16 port)
{
    QTcpSocket *idle = m_idle.data();
    m_idle = nullptr;
    if (!idle)
        return nullptr;
    QObject::disconnect(idle, nullptr, this, nullptr);
    if (m_port == port && idle->state() == QAbstractSocket::ConnectedState && idle->bytesAvailable() == 0)
        return idle;
    idle->abort();
    idle->deleteLater();
    return nullptr;
}

void LoopbackConnections::keep(QTcpSocket *socket, quint16 port)
{
    if (QTcpSocket *older = m_idle.data()) {
        older->abort();
        older->deleteLater();
    }
    socket->setParent(this);
    m_idle = socket;
    m_port = port;
    // Closed by the server while idle: nothing to keep.
    QObject::connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        if (m_idle == socket)
            m_idle = nullptr;
        socket->deleteLater();
    });
}
