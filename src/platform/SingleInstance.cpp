#include "platform/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include <unistd.h>

namespace {

constexpr QByteArrayView activateRequest = "activate\n";
constexpr QByteArrayView activateAnswer = "ok\n";
// A running instance answers within its next event-loop turn; one that does not is hung, and a
// second window would do the user no good either.
constexpr int answerTimeoutMs = 3000;

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

bool SingleInstance::claim()
{
    // Two launches at the same moment must not both find no one and both listen.
    const QString lockName = m_name + QStringLiteral(".lock");
    QLockFile lock(QDir::isAbsolutePath(lockName) ? lockName : QDir::temp().filePath(lockName));
    lock.tryLock(answerTimeoutMs); // without the lock the claim still works, only less surely
    if (askRunningInstance())
        return false;
    return listen();
}

bool SingleInstance::askRunningInstance()
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(answerTimeoutMs))
        return false;
    socket.write(activateRequest.data(), activateRequest.size());
    if (!socket.waitForBytesWritten(answerTimeoutMs))
        return false;
    while (socket.bytesAvailable() < activateAnswer.size()) {
        if (!socket.waitForReadyRead(answerTimeoutMs))
            return false;
    }
    return socket.read(activateAnswer.size()) == activateAnswer;
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
        while (QLocalSocket *peer = m_server->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (!peer->canReadLine())
                    return;
                const QByteArray request = peer->readLine(64);
                if (request != activateRequest) {
                    peer->disconnectFromServer();
                    return;
                }
                Q_EMIT activationRequested();
                peer->write(activateAnswer.data(), activateAnswer.size());
                peer->flush();
                peer->disconnectFromServer();
            });
        }
    });
    return true;
}
