#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>

#include <functional>
#include <optional>

class QTcpSocket;

// A small real HTTP/1.1 server on 127.0.0.1 for the clients' tests: a scripted answer per path
// (404 elsewhere), every request recorded, one request per connection.
namespace QuorvantisTest {

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

struct RecordedRequest
{
    QByteArray method;
    QString path; // decoded, without the query
    HttpHeaders headers{};

    // Case-insensitive; nullopt when the header was not sent.
    std::optional<QByteArray> header(const QByteArray &name) const;
};

struct ScriptedResponse
{
    enum class Mode {
        Normal, // answer at once
        NeverAnswer, // keep the connection open, never write
        Trickle, // the head at once, then the body one byte every 50 ms
    };

    int status = 200;
    HttpHeaders headers{};
    QByteArray body{};
    Mode mode = Mode::Normal;
    bool sendContentLength = true; // without it the body ends with the connection

    static ScriptedResponse text(int status, QByteArray body, QByteArray type = "text/plain; charset=utf-8")
    {
        return {.status = status, .headers = {{"Content-Type", std::move(type)}}, .body = std::move(body)};
    }
    static ScriptedResponse json(int status, QByteArray body)
    {
        return text(status, std::move(body), "application/json");
    }
    static ScriptedResponse neverAnswer() { return {.mode = Mode::NeverAnswer}; }
    static ScriptedResponse trickle(int status, QByteArray body)
    {
        return {.status = status, .body = std::move(body), .mode = Mode::Trickle};
    }
};

class LoopbackHttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<ScriptedResponse(const RecordedRequest &)>;

    explicit LoopbackHttpServer(QObject *parent = nullptr);
    ~LoopbackHttpServer() override;

    quint16 port() const { return m_server->serverPort(); }

    // A later call for the same path replaces the earlier one.
    void setResponse(const QString &path, ScriptedResponse response);
    void setHandler(const QString &path, Handler handler) { m_routes.insert(path, std::move(handler)); }

    QList<RecordedRequest> requests() const { return m_requests; }
    int requestCount() const { return int(m_requests.size()); }
    // Connections a client still holds open (a fetch in flight).
    int openConnections() const;

private:
    void readFrom(QTcpSocket *socket);
    void send(QTcpSocket *socket, const ScriptedResponse &response);

    QTcpServer *m_server;
    QHash<QString, Handler> m_routes;
    QList<RecordedRequest> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers; // sockets still reading their request
};

} // namespace QuorvantisTest
