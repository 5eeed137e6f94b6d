#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;
class QLocalSocket;

// One application per user and home: the first launch listens on a local socket, a later one
// asks it to come to the front and then leaves. Two models running installers side by side in
// one home would fight over the same files and processes.
//
// The same socket carries the command line's requests to the running instance: one request line,
// one answer line. It is the user's alone: the socket file is made for its owner only, the
// instance answers nobody but processes of its own user (the peer's credentials), and a client
// talks to no socket another user owns or others may open.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstance(QString name = defaultName(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // Per user and per home, so that sandboxes and tests with homes of their own never meet.
    static QString defaultName();
    // The socket file of a name.
    static QString socketPath(const QString &name);

    // True when this process is now the one instance; false when a running one took the request
    // to come forward (or, see runningInstanceBusy(), cannot show a window). A socket left by a
    // crashed instance is taken over. Without `activate` a running instance is only noticed.
    bool claim(bool activate = true);
    // The running instance answered a request to come forward with "busy": it runs a command
    // without a window.
    bool runningInstanceBusy() const { return m_runningBusy; }

    QString name() const { return m_name; }

    // What a request line gets as its answer line; `reply` may be called later, once.
    using RequestHandler = std::function<void(const QByteArray &request, std::function<void(QByteArray answer)> reply)>;
    void setRequestHandler(RequestHandler handler) { m_handler = std::move(handler); }
    // A command running without a window answers a request to come forward with "busy".
    void setShowsWindow(bool shows) { m_showsWindow = shows; }

    // One request to the running instance and its answer.
    struct Exchange
    {
        enum class Outcome { noInstance, refused, failed, answered } outcome = Outcome::noInstance;
        QByteArray answer;
        QString reason; // refused or failed: why, for the user
    };
    // `timeoutMs` < 0 waits as long as the instance keeps the connection.
    static Exchange ask(const QString &name, const QByteArray &request, int timeoutMs);

    // Why the socket file must not be trusted: not a socket, owned by another user, or open to
    // others; empty when it may be.
    static QString distrust(const QString &path);

Q_SIGNALS:
    // A later launch asked the running instance to show itself.
    void activationRequested();

private:
    bool askRunningInstance(bool activate);
    bool listen();
    void serve(QLocalSocket *peer);

    QString m_name;
    QLocalServer *m_server = nullptr;
    RequestHandler m_handler;
    bool m_showsWindow = true;
    bool m_runningBusy = false;
};
