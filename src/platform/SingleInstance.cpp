#include "platform/SingleInstance.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QStandardPaths>

#include <memory>
#include <optional>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr QByteArrayView activateRequest = "activate\n";
constexpr QByteArrayView activateAnswer = "ok\n";
constexpr QByteArrayView busyAnswer = "busy\n";
// What a process of another user gets, before it may say anything.
constexpr QByteArrayView refusedAnswer = "refused\n";
// A request is one short JSON line; anything longer is not ours.
constexpr qint64 longestRequest = 64 * 1024;
// A running instance answers within its next event-loop turn; one that does not is hung, and a
// second window would do the user no good either.
constexpr int answerTimeoutMs = 3000;

// The user the process at the other end of a connected local socket runs as; absent when the
// system does not say.
std::optional<uid_t> peerUser(qintptr descriptor)
{
#if defined(Q_OS_LINUX)
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return std::nullopt;
    return credentials.uid;
#else
    uid_t user = 0;
    gid_t group = 0;
    if (::getpeereid(int(descriptor), &user, &group) != 0)
        return std::nullopt;
    return user;
#endif
}

bool isOwnUser(qintptr descriptor)
{
    return peerUser(descriptor) == ::geteuid();
}

// Reads one line within the time given (< 0: as long as the peer keeps the connection).
std::optional<QByteArray> readAnswerLine(QLocalSocket &socket, int timeoutMs)
{
    while (!socket.canReadLine()) {
        if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0)
            return std::nullopt;
        if (!socket.waitForReadyRead(timeoutMs))
            return socket.canReadLine() ? std::optional(socket.readLine()) : std::nullopt;
    }
    return socket.readLine();
}

} // namespace

SingleInstance::SingleInstance(QString name, QObject *parent) : QObject(parent), m_name(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName()
{
    // Canonical, so that two spellings of one home meet; a home that does not exist yet has no
    // canonical path, and its plain one must not change once the model creates it.
    const QDir homeDirectory(QDir::homePath());
    const QString canonical = homeDirectory.canonicalPath();
    const QByteArray home = (canonical.isEmpty() ? QDir::cleanPath(homeDirectory.absolutePath()) : canonical).toUtf8();
    const QString base = QStringLiteral("quorvantis-companion-%1-%2")
                             .arg(::getuid())
                             .arg(QString::fromLatin1(QCryptographicHash::hash(home, QCryptographicHash::Sha256).toHex().left(16)));
#ifdef Q_OS_MACOS
    // A bare name lives in the per-user temporary directory.
    return base;
#else
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? base : QDir(runtime).filePath(base);
#endif
}

QString SingleInstance::socketPath(const QString &name)
{
    // Where QLocalServer puts a bare name.
    return QDir::isAbsolutePath(name) ? name : QDir::temp().filePath(name);
}

QString SingleInstance::distrust(const QString &path)
{
    struct stat status{};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return QCoreApplication::translate("SingleInstance", "%1 无法读取").arg(path);
    if (!S_ISSOCK(status.st_mode))
        return QCoreApplication::translate("SingleInstance", "%1 不是套接字").arg(path);
    if (status.st_uid != ::geteuid())
        return QCoreApplication::translate("SingleInstance", "%1 属于另一个用户（uid %2）").arg(path).arg(status.st_uid);
    if (status.st_mode & (S_IRWXG | S_IRWXO))
        return QCoreApplication::translate("SingleInstance", "%1 其他用户也可以打开（权限 %2）").arg(path).arg(status.st_mode & 0777, 3, 8, QLatin1Char('0'));
    return {};
}

SingleInstance::Exchange SingleInstance::ask(const QString &name, const QByteArray &request, int timeoutMs)
{
    using Outcome = Exchange::Outcome;
    const QString path = socketPath(name);
    struct stat status{};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    if (const QString why = distrust(path); !why.isEmpty())
        return {Outcome::refused, {}, QCoreApplication::translate("SingleInstance", "不与这个套接字通信：%1").arg(why)};
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(answerTimeoutMs))
        return {}; // what a crashed instance left: nobody listens
    if (!isOwnUser(socket.socketDescriptor()))
        return {Outcome::refused, {}, QCoreApplication::translate("SingleInstance", "不与这个套接字通信：%1 由另一个用户的进程监听").arg(path)};
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(answerTimeoutMs))
        return {Outcome::failed, {}, QCoreApplication::translate("SingleInstance", "无法把请求交给正在运行的 Quorvantis")};
    const auto answer = readAnswerLine(socket, timeoutMs);
    if (!answer)
        return {Outcome::failed, {}, QCoreApplication::translate("SingleInstance", "正在运行的 Quorvantis 没有回答")};
    if (*answer == refusedAnswer)
        return {Outcome::refused, {}, QCoreApplication::translate("SingleInstance", "正在运行的 Quorvantis 拒绝了这个请求")};
    return {Outcome::answered, answer->chopped(1), {}};
}

bool SingleInstance::claim(bool activate)
{
    // Two launches at the same moment must not both find no one and both listen.
    const QString lockName = m_name + QStringLiteral(".lock");
    QLockFile lock(QDir::isAbsolutePath(lockName) ? lockName : QDir::temp().filePath(lockName));
    lock.tryLock(answerTimeoutMs); // without the lock the claim still works, only less surely
    if (askRunningInstance(activate))
        return false;
    return listen();
}

bool SingleInstance::askRunningInstance(bool activate)
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(answerTimeoutMs))
        return false;
    // Only an instance of this user counts; another's socket in our place is taken over.
    if (!isOwnUser(socket.socketDescriptor()))
        return false;
    if (!activate)
        return true;
    socket.write(activateRequest.data(), activateRequest.size());
    if (!socket.waitForBytesWritten(answerTimeoutMs))
        return false;
    const auto answer = readAnswerLine(socket, answerTimeoutMs);
    m_runningBusy = answer == busyAnswer;
    return answer == activateAnswer || m_runningBusy;
}

bool SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name)) {
        // Nobody answered, so the socket is what a crashed instance left behind.
        QLocalServer::removeServer(m_name);
        if (!m_server->listen(m_name)) {
            // Running a second instance is better than not running at all.
            return true;
        }
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *peer = m_server->nextPendingConnection())
            serve(peer);
    });
    return true;
}

void SingleInstance::serve(QLocalSocket *peer)
{
    connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    if (!isOwnUser(peer->socketDescriptor())) {
        peer->write(refusedAnswer.data(), refusedAnswer.size());
        peer->flush();
        peer->disconnectFromServer();
        return;
    }
    // One request per connection; what follows it is not read.
    auto handled = std::make_shared<bool>(false);
    connect(peer, &QLocalSocket::readyRead, this, [this, peer, handled] {
        if (*handled)
            return;
        if (!peer->canReadLine()) {
            if (peer->bytesAvailable() > longestRequest)
                peer->disconnectFromServer();
            return;
        }
        *handled = true;
        const QByteArray request = peer->readLine(longestRequest);
        if (request == activateRequest) {
            if (m_showsWindow)
                Q_EMIT activationRequested();
            const QByteArrayView answer = m_showsWindow ? activateAnswer : busyAnswer;
            peer->write(answer.data(), answer.size());
            peer->flush();
            peer->disconnectFromServer();
            return;
        }
        if (!m_handler || !request.endsWith('\n')) {
            peer->disconnectFromServer();
            return;
        }
        QPointer<QLocalSocket> guard(peer);
        m_handler(request.chopped(1), [guard](QByteArray answer) {
            if (!guard)
                return;
            guard->write(answer + '\n');
            guard->flush();
            guard->disconnectFromServer();
        });
    });
}
