#include "support/LoopbackHttpServer.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace QuorvantisTest {

namespace {

// A request head larger than this is a broken client; the connection is dropped.
constexpr qsizetype maxHeadBytes = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool hasHeaderNamed(const HttpHeaders &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

std::optional<QByteArray> RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

ScriptedResponse ScriptedResponse::text(int status, QByteArray body, QByteArray contentType)
{
    ScriptedResponse response;
    response.status = status;
    response.body = std::move(body);
    response.headers.append({"Content-Type", std::move(contentType)});
    return response;
}

ScriptedResponse ScriptedResponse::json(int status, QByteArray body)
{
    return text(status, std::move(body), "application/json");
}

ScriptedResponse ScriptedResponse::redirect(int status, const QUrl &location)
{
    ScriptedResponse response;
    response.status = status;
    response.headers.append({"Location", location.toEncoded()});
    return response;
}

ScriptedResponse ScriptedResponse::neverAnswer()
{
    ScriptedResponse response;
    response.mode = Mode::NeverAnswer;
    return response;
}

ScriptedResponse ScriptedResponse::trickle(int status, QByteArray body, int intervalMs, int bytesPerTick)
{
    ScriptedResponse response = json(status, std::move(body));
    response.mode = Mode::Trickle;
    response.trickleIntervalMs = intervalMs;
    response.trickleBytes = qMax(1, bytesPerTick);
    return response;
}

ScriptedResponse ScriptedResponse::raw(QByteArray bytes)
{
    ScriptedResponse response;
    response.mode = Mode::Raw;
    response.body = std::move(bytes);
    return response;
}

ScriptedResponse ScriptedResponse::closeMidResponse(int status, QByteArray body, qsizetype bodyBytesBeforeClose)
{
    ScriptedResponse response = json(status, std::move(body));
    response.mode = Mode::CloseMidResponse;
    response.closeAfterBodyBytes = bodyBytesBeforeClose;
    return response;
}

ScriptedResponse &ScriptedResponse::withHeader(QByteArray name, QByteArray value)
{
    headers.append({std::move(name), std::move(value)});
    return *this;
}

ScriptedResponse &ScriptedResponse::withDelay(int ms)
{
    delayMs = ms;
    return *this;
}

QByteArray ScriptedResponse::serialized() const
{
    if (mode == Mode::Raw)
        return body;
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto &[name, value] : headers)
        out += name + ": " + value + "\r\n";
    if (sendContentLength && !hasHeaderNamed(headers, "Content-Length"))
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (!hasHeaderNamed(headers, "Connection"))
        out += "Connection: close\r\n";
    out += "\r\n";
    out += body;
    return out;
}

LoopbackHttpServer::LoopbackHttpServer(QObject *parent)
    : QObject(parent), m_server(new QTcpServer(this))
{
    m_fallback = [](const RecordedRequest &) { return ScriptedResponse::text(404, {}); };
    connect(m_server, &QTcpServer::newConnection, this, &LoopbackHttpServer::acceptPending);
    m_server->listen(QHostAddress::LocalHost, 0);
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    // Drop the connections without running this object's handlers while it is being torn down.
    const auto sockets = m_sockets;
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
    }
}

bool LoopbackHttpServer::isListening() const
{
    return m_server->isListening();
}

quint16 LoopbackHttpServer::port() const
{
    return m_server->serverPort();
}

QUrl LoopbackHttpServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

QUrl LoopbackHttpServer::url(const QString &pathAndQuery) const
{
    return QUrl(baseUrl().toString() + pathAndQuery);
}

void LoopbackHttpServer::setResponse(const QString &path, ScriptedResponse response)
{
    m_routes.insert(path, [response = std::move(response)](const RecordedRequest &) { return response; });
}

void LoopbackHttpServer::setHandler(const QString &path, Handler handler)
{
    m_routes.insert(path, std::move(handler));
}

void LoopbackHttpServer::setFallbackHandler(Handler handler)
{
    m_fallback = std::move(handler);
}

void LoopbackHttpServer::clearRoutes()
{
    m_routes.clear();
}

QList<RecordedRequest> LoopbackHttpServer::requestsFor(const QString &path) const
{
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : m_requests) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

int LoopbackHttpServer::openConnections() const
{
    int open = 0;
    for (const QTcpSocket *socket : m_sockets) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            ++open;
    }
    return open;
}

void LoopbackHttpServer::closeAllConnections()
{
    const auto sockets = m_sockets;
    for (QTcpSocket *socket : sockets)
        socket->abort();
}

void LoopbackHttpServer::stop()
{
    m_server->close();
    closeAllConnections();
}

void LoopbackHttpServer::acceptPending()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_sockets.append(socket);
        m_buffers.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            m_sockets.removeOne(socket);
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void LoopbackHttpServer::readFrom(QTcpSocket *socket)
{
    auto buffer = m_buffers.find(socket);
    if (buffer == m_buffers.end()) {
        socket->readAll(); // already answered (or answering): nothing more is expected
        return;
    }
    buffer->append(socket->readAll());

    const qsizetype headEnd = buffer->indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (buffer->size() > maxHeadBytes)
            socket->abort();
        return;
    }

    const QList<QByteArray> lines = buffer->left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        socket->abort();
        return;
    }

    RecordedRequest request;
    request.method = requestLine.at(0);
    request.target = requestLine.at(1);
    const QUrl target = QUrl::fromEncoded(request.target);
    request.path = target.path();
    request.query = target.query(QUrl::FullyEncoded);

    qsizetype contentLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            contentLength = value.toLongLong();
    }

    const qsizetype bodyStart = headEnd + 4;
    if (buffer->size() - bodyStart < contentLength)
        return; // the rest of the body is still on its way
    request.body = buffer->mid(bodyStart, contentLength);
    m_buffers.erase(buffer);

    m_requests.append(request);
    Q_EMIT requestReceived(request);
    answer(socket, request);
}

ScriptedResponse LoopbackHttpServer::responseFor(const RecordedRequest &request) const
{
    const auto route = m_routes.constFind(request.path);
    return route != m_routes.cend() ? (*route)(request) : m_fallback(request);
}

void LoopbackHttpServer::answer(QTcpSocket *socket, const RecordedRequest &request)
{
    ScriptedResponse response = responseFor(request);
    if (response.mode == ScriptedResponse::Mode::NeverAnswer)
        return;
    if (response.delayMs <= 0) {
        send(socket, response);
        return;
    }
    // The socket is the timer's context: a client that gives up first cancels the answer.
    QTimer::singleShot(response.delayMs, socket, [this, socket, response] { send(socket, response); });
}

void LoopbackHttpServer::send(QTcpSocket *socket, const ScriptedResponse &response)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;

    switch (response.mode) {
    case ScriptedResponse::Mode::NeverAnswer:
        return;
    case ScriptedResponse::Mode::Normal:
    case ScriptedResponse::Mode::Raw:
        socket->write(response.serialized());
        socket->disconnectFromHost(); // after the pending bytes are written
        return;
    case ScriptedResponse::Mode::CloseMidResponse: {
        const QByteArray wire = response.serialized();
        const qsizetype headSize = wire.size() - response.body.size();
        socket->write(wire.left(headSize + qBound(qsizetype(0), response.closeAfterBodyBytes, response.body.size())));
        socket->disconnectFromHost();
        return;
    }
    case ScriptedResponse::Mode::Trickle: {
        auto *timer = new QTimer(socket);
        auto remaining = std::make_shared<QByteArray>(response.serialized());
        if (response.trickleBodyOnly) {
            const qsizetype headSize = remaining->size() - response.body.size();
            socket->write(remaining->left(headSize));
            remaining->remove(0, headSize);
        }
        const int chunk = qMax(1, response.trickleBytes);
        connect(timer, &QTimer::timeout, socket, [socket, timer, remaining, chunk] {
            if (socket->state() != QAbstractSocket::ConnectedState) {
                timer->stop();
                return;
            }
            socket->write(remaining->left(chunk));
            remaining->remove(0, qMin<qsizetype>(chunk, remaining->size()));
            if (remaining->isEmpty()) {
                timer->stop();
                socket->disconnectFromHost();
            }
        });
        timer->start(qMax(1, response.trickleIntervalMs));
        return;
    }
    }
}

} // namespace QuorvantisTest
