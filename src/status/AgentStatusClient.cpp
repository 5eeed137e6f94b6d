#include "status/AgentStatusClient.h"

#include "process/QuorvantisNativeError.h"
#include "net/BoundedHttp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>

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

} // namespace

AgentStatusFileError::AgentStatusFileError(const QString &path, const QString &reason)
    : std::runtime_error(QStringLiteral("%1: %2").arg(path, reason).toStdString()), path(path)
{
}

AgentStatusClient::AgentStatusClient(QString profileDirectory, std::chrono::milliseconds timeout, QObject *parent)
    : QObject(parent),
      m_profileDirectory(profileDirectory.isEmpty() ? defaultProfileDirectory() : std::move(profileDirectory)),
      m_timeout(timeout),
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
    const QDir profile(m_profileDirectory);
    const QString portText = readProfileText(profile.filePath(QStringLiteral("tui-port")));
    const QString token = readProfileText(profile.filePath(QStringLiteral("tui-token"))).trimmed();
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
