#pragma once

#include "status/AgentRuntimeStatus.h"

#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

class LoopbackConnections;

// Asks the agent daemon for its status on the loopback endpoint whose port and bearer token the
// agent writes into its profile directory. Both files are looked at on every fetch and read again
// whenever they changed, so a daemon restarted with a new port or token is picked up at the next
// poll. Keeps nothing but the open connection and the two files' texts between fetches, and never
// retries a request the daemon has begun to answer.
//
// The exchanges belong to the client. Destroying the client while a fetch runs makes that fetch
// fail with an HttpTransportError on the next event-loop turn.
class AgentStatusClient : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds defaultTimeout{2000};
    // The status document is small; anything beyond this is not the agent talking.
    static constexpr qint64 maxBodyBytes = 1024 * 1024;

    // profileDirectory: empty means defaultProfileDirectory(). timeout bounds each whole exchange.
    explicit AgentStatusClient(QString profileDirectory = {},
                               std::chrono::milliseconds timeout = defaultTimeout,
                               QObject *parent = nullptr);
    ~AgentStatusClient() override;

    // ~/.quorvantis/profiles/default
    static QString defaultProfileDirectory();

    QString profileDirectory() const { return m_profileDirectory; }
    std::chrono::milliseconds timeout() const { return m_timeout; }

    // GET http://127.0.0.1:<tui-port>/tui/status with "Authorization: Bearer <tui-token>".
    // Throws:
    //  - QuorvantisNativeError "AGENT_STATUS_CONFIG_INVALID" for a bad port or an empty token,
    //  - QuorvantisNativeError "AGENT_STATUS_UNAVAILABLE" for any answer but 200,
    //  - AgentStatusFileError when a file cannot be read,
    //  - HttpTransportError (net/BoundedHttp.h) for refused, cut off, timed out or oversized
    //    answers,
    //  - AgentRuntimeStatusDecodingError for a body that is not a valid status document.
    QCoro::Task<AgentRuntimeStatus> fetch();

    static AgentRuntimeStatus decode(const QByteArray &body) { return AgentRuntimeStatus::decode(body); }

    // The port text rule: trimmed, base-10 with an optional sign, 1 to 65535; nullopt otherwise.
    static std::optional<quint16> parsePort(const QString &text);

private:
    // A profile file's text, read again whenever the file is not the one last read.
    class ProfileFile
    {
    public:
        explicit ProfileFile(QString path);
        ~ProfileFile();
        // Throws AgentStatusFileError as a fresh read does.
        QString text();

    private:
        struct Identity;
        QString m_path;
        QString m_text;
        std::unique_ptr<Identity> m_identity;
    };

    QString m_profileDirectory;
    std::chrono::milliseconds m_timeout;
    ProfileFile m_port;
    ProfileFile m_token;
    // The connection to the daemon, kept between polls.
    LoopbackConnections *m_connections;
};

// A port or token file that is missing, unreadable or not UTF-8.
class AgentStatusFileError : public std::runtime_error
{
public:
    explicit AgentStatusFileError(const QString &path, const QString &reason);
    QString path;
};
