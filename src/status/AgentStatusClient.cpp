#include "status/AgentStatusClient.h"

#include "process/QuorvantisNativeError.h"
#include "net/BoundedHttp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>
#include <ctime>

#include <sys/stat.h>

namespace {

QString readProfileText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw AgentStatusFileError(path, file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw AgentStatusFileError(path, file.errorString());
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        throw AgentStatusFileError(path, QStringLiteral("not UTF-8"));
    return text;
}

// A control character would end the Authorization header early and inject whatever follows.
bool isUsableToken(const QString &token)
{
    if (token.isEmpty())
        return false;
    return std::none_of(token.cbegin(), token.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

#ifdef __APPLE__
timespec modified(const struct stat &status) { return status.st_mtimespec; }
timespec changed(const struct stat &status) { return status.st_ctimespec; }
#else
timespec modified(const struct stat &status) { return status.st_mtim; }
timespec changed(const struct stat &status) { return status.st_ctim; }
#endif

// A file written less than this long ago may be written again within the same tick of the file
// system's clock, leaving its times and size as they were: it is read again until it is older.
// A later write gives it a newer time.
constexpr time_t settleSeconds = 2;

} // namespace

// What identifies one version of a profile file: a rewrite in place changes its times or its size,
// a replacement its inode.
struct AgentStatusClient::ProfileFile::Identity
{
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;

    static std::optional<Identity> of(const QString &path)
    {
        struct stat status{};
        if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
            return std::nullopt;
        return Identity{status.st_dev, status.st_ino, status.st_size, ::modified(status), ::changed(status)};
    }

    bool settled() const { return std::time(nullptr) - modified.tv_sec >= settleSeconds; }

    friend bool operator==(const Identity &a, const Identity &b)
    {
        return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified.tv_sec == b.modified.tv_sec
            && a.modified.tv_nsec == b.modified.tv_nsec && a.changed.tv_sec == b.changed.tv_sec
            && a.changed.tv_nsec == b.changed.tv_nsec;
    }
};

AgentStatusClient::ProfileFile::ProfileFile(QString path) : m_path(std::move(path)) {}
AgentStatusClient::ProfileFile::~ProfileFile() = default;

QString AgentStatusClient::ProfileFile::text()
{
    const std::optional<Identity> identity = Identity::of(m_path);
    if (identity && m_identity && *identity == *m_identity)
        return m_text;
    m_identity.reset();
    m_text = readProfileText(m_path);
    // Kept only when the file did not change while it was read and has settled.
    if (identity && identity->settled() && Identity::of(m_path) == identity)
        m_identity = std::make_unique<Identity>(*identity);
    return m_text;
}

AgentStatusFileError::AgentStatusFileError(const QString &path, const QString &reason)
    : std::runtime_error(QStringLiteral("%1: %2").arg(path, reason).toStdString()), path(path)
{
}

AgentStatusClient::AgentStatusClient(QString profileDirectory, std::chrono::milliseconds timeout, QObject *parent)
    : QObject(parent),
      m_profileDirectory(profileDirectory.isEmpty() ? defaultProfileDirectory() : std::move(profileDirectory)),
      m_timeout(timeout),
      m_port(QDir(m_profileDirectory).filePath(QStringLiteral("tui-port"))),
      m_token(QDir(m_profileDirectory).filePath(QStringLiteral("tui-token"))),
      m_connections(new LoopbackConnections(this))
{
}

AgentStatusClient::~AgentStatusClient() = default;

QString AgentStatusClient::defaultProfileDirectory()
{
    return QDir::homePath() + QStringLiteral("/.quorvantis/profiles/default");
}

std::optional<quint16> AgentStatusClient::parsePort(const QString &text)
{
    const QString trimmed = text.trimmed();
    // toLongLong alone would also accept surrounding blanks and other digits; the port text is
    // an optional sign and ASCII digits only.
    static const QRegularExpression shape(QStringLiteral("\\A[+-]?[0-9]+\\z"));
    if (!shape.match(trimmed).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qlonglong value = trimmed.toLongLong(&ok, 10);
    if (!ok || value < 1 || value > 65535)
        return std::nullopt;
    return quint16(value);
}

QCoro::Task<AgentRuntimeStatus> AgentStatusClient::fetch()
{
    const QString portText = m_port.text();
    const QString token = m_token.text().trimmed();
    const std::optional<quint16> port = parsePort(portText);
    if (!port || !isUsableToken(token))
        throw QuorvantisNativeError(QStringLiteral("AGENT_STATUS_CONFIG_INVALID"),
                                    QCoreApplication::translate("AgentStatusClient", "Agent 状态通道配置无效"));

    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(*port);
    url.setPath(QStringLiteral("/tui/status"));

    BoundedHttpOptions options;
    options.timeout = m_timeout;
    options.maxBodyBytes = maxBodyBytes;
    options.expectedStatus = 200;

    // Nothing of this object is touched after the suspension. The endpoint is on this machine:
    // the exchange runs on this thread.
    QList<std::pair<QByteArray, QByteArray>> headers{{"Authorization", "Bearer " + token.toUtf8()}};
    const BoundedHttpResponse response = co_await BoundedHttp::getLoopback(this, url, std::move(headers), options, m_connections);
    if (response.status != 200)
        throw QuorvantisNativeError(QStringLiteral("AGENT_STATUS_UNAVAILABLE"), QCoreApplication::translate("AgentStatusClient", "Agent 状态通道不可用"));
    co_return AgentRuntimeStatus::decode(response.body);
}
