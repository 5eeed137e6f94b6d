#include "support/LoopbackHttpServer.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace QuorvantisTest {

std::optional<QByteArray> RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

LoopbackHttpServer::LoopbackHttpServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                socket->deleteLater();
            });
        }
    });
    m_server->listen(QHostAddress::LocalHost, 0);
}

void LoopbackHttpServer::setResponse(const QString &path, ScriptedResponse response)
{
    setHandler(path, [response = std::move(response)](const RecordedRequest &) { return response; });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    m_server->close();
    // Without running this object's handlers: it is on its way out.
    for (QTcpSocket *socket : m_server->findChildren<QTcpSocket *>()) {
        socket->disconnect(this);
        socket->abort();
    }
}

int LoopbackHttpServer::openConnections() const
{
    const auto sockets = m_server->findChildren<QTcpSocket *>();
    return int(std::count_if(sockets.cbegin(), sockets.cend(), [](const QTcpSocket *socket) {
        return socket->state() == QAbstractSocket::ConnectedState;
    }));
}

void LoopbackHttpServer::readFrom(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket]; // a request after the answer starts afresh
    buffer.append(socket->readAll());
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    RecordedRequest request{requestLine.value(0), QUrl::fromEncoded(requestLine.value(1)).path()};
    for (const QByteArray &line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    const qsizetype contentLength = request.header("Content-Length").value_or("0").toLongLong();
    if (buffer.size() - headEnd - 4 < contentLength)
        return; // the rest of the body is still on its way
    m_buffers.remove(socket);
    m_requests.append(request);
    const auto route = m_routes.constFind(request.path);
    send(socket, route != m_routes.cend() ? (*route)(request) : ScriptedResponse::text(404, {}));
}

void LoopbackHttpServer::send(QTcpSocket *socket, const ScriptedResponse &response)
{
    if (response.mode == ScriptedResponse::Mode::NeverAnswer)
        return;
    QByteArray wire = "HTTP/1.1 " + QByteArray::number(response.status) + " Scripted\r\n";
    for (const auto &[name, value] : response.headers)
        wire += name + ": " + value + "\r\n";
    if (response.sendContentLength)
        wire += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    wire += "Connection: close\r\n\r\n" + response.body;
    if (response.mode == ScriptedResponse::Mode::Normal) {
        socket->write(wire);
        return socket->disconnectFromHost(); // after the pending bytes are written
    }
    socket->write(wire.chopped(response.body.size()));
    // The socket is the timer's parent: a client that gives up first ends the trickle.
    auto *timer = new QTimer(socket);
    connect(timer, &QTimer::timeout, socket, [socket, timer, remaining = response.body]() mutable {
        if (socket->state() != QAbstractSocket::ConnectedState)
            return timer->stop();
        socket->write(remaining.left(1));
        remaining.remove(0, 1);
        if (remaining.isEmpty()) {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start(50);
}

} // namespace QuorvantisTest
