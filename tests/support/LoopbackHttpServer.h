#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QTcpServer;
class QTcpSocket;

// A small real HTTP/1.1 server on 127.0.0.1 for the clients' tests. Each path has a scripted
// answer (or a handler that builds one); every request that arrives is recorded. One request per
// connection: every answer carries "Connection: close" and the connection is closed after it.
namespace QuorvantisTest {

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

struct RecordedRequest
{
    QByteArray method;
    QString path;   // decoded path without the query, e.g. "/tui/status"
    QString query;  // the raw query without "?", empty when none
    QByteArray target; // the request target exactly as sent
    HttpHeaders headers; // in the order received, names as sent
    QByteArray body;

    // Case-insensitive lookup; nullopt when the header was not sent.
    std::optional<QByteArray> header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const { return header(name).has_value(); }
};

struct ScriptedResponse
{
    enum class Mode {
        Normal,           // answer at once (after delayMs)
        NeverAnswer,      // read the request, keep the connection open, never write
        Trickle,          // write the whole answer trickleBytes at a time every trickleIntervalMs
        CloseMidResponse, // write the head and closeAfterBodyBytes of the body, then drop the connection
        Raw,              // write body as it is (no status line, no headers), then close: not HTTP at all
    };

    int status = 200;
    HttpHeaders headers;
    QByteArray body;
    int delayMs = 0;
    Mode mode = Mode::Normal;
    int trickleIntervalMs = 10;
    int trickleBytes = 1;
    // Trickle: write the status line and headers at once and trickle only the body.
    bool trickleBodyOnly = false;
    qsizetype closeAfterBodyBytes = 0;
    // When false no Content-Length is sent, so the body ends with the connection.
    bool sendContentLength = true;

    static ScriptedResponse text(int status, QByteArray body,
                                 QByteArray contentType = "text/plain; charset=utf-8");
    static ScriptedResponse json(int status, QByteArray body);
    static ScriptedResponse redirect(int status, const QUrl &location);
    static ScriptedResponse neverAnswer();
    static ScriptedResponse trickle(int status, QByteArray body, int intervalMs, int bytesPerTick = 1);
    static ScriptedResponse raw(QByteArray bytes);
    static ScriptedResponse closeMidResponse(int status, QByteArray body, qsizetype bodyBytesBeforeClose);

    ScriptedResponse &withHeader(QByteArray name, QByteArray value);
    ScriptedResponse &withDelay(int ms);

    // The bytes written on the wire for this answer (status line, headers, body; Raw: body only).
    QByteArray serialized() const;
};

class LoopbackHttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<ScriptedResponse(const RecordedRequest &)>;

    // Starts listening on 127.0.0.1 on a free port; check isListening().
    explicit LoopbackHttpServer(QObject *parent = nullptr);
    ~LoopbackHttpServer() override;

    bool isListening() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>"
    QUrl baseUrl() const;
    // baseUrl() with the given path (and optional query after "?").
    QUrl url(const QString &pathAndQuery) const;

    // Scripts the answer for an exact path (query ignored). A later call replaces an earlier one.
    void setResponse(const QString &path, ScriptedResponse response);
    void setHandler(const QString &path, Handler handler);
    // Answers paths with no script of their own; by default 404 with an empty body.
    void setFallbackHandler(Handler handler);
    void clearRoutes();

    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requestsFor(const QString &path) const;
    int requestCount() const { return int(m_requests.size()); }
    void clearRequests() { m_requests.clear(); }

    // Connections that are open right now (a never-answered one stays open until closed here).
    int openConnections() const;
    void closeAllConnections();
    // Stops accepting new connections; open ones are dropped. A later request is refused.
    void stop();

Q_SIGNALS:
    void requestReceived(const QuorvantisTest::RecordedRequest &request);

private:
    void acceptPending();
    void readFrom(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const RecordedRequest &request);
    void send(QTcpSocket *socket, const ScriptedResponse &response);
    ScriptedResponse responseFor(const RecordedRequest &request) const;

    QTcpServer *m_server;
    QHash<QString, Handler> m_routes;
    Handler m_fallback;
    QList<RecordedRequest> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers; // sockets still reading their request
    QList<QTcpSocket *> m_sockets;
};

} // namespace QuorvantisTest
