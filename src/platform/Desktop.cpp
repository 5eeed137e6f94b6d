#include "platform/Desktop.h"

#include <QClipboard>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>

#include <QCoro/QCoroSignal>

namespace Desktop {

namespace {

// QProcess::stateChanged carries a private-signal tag that cannot be awaited safely: this
// relays it through a public signal.
class OpenerStateRelay : public QObject
{
    Q_OBJECT
public:
    explicit OpenerStateRelay(QProcess *process) : QObject(process)
    {
        connect(process, &QProcess::stateChanged, this, [this](QProcess::ProcessState) { Q_EMIT changed(); });
    }
Q_SIGNALS:
    void changed();
};

#ifndef Q_OS_MACOS
// The opener's process, awaited until it exits or the hand-over time has passed. One that keeps
// running is left alone and deletes itself when it ends; an opener still running when the
// application quits goes with it (a browser it started runs on as its own process).
QCoro::Task<bool> runOpener(QString target, Opener opener)
{
    auto *process = new QProcess(QCoreApplication::instance());
    process->setProgram(opener.program);
    process->setArguments(opener.arguments + QStringList{target});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    auto *relay = new OpenerStateRelay(process);
    process->start();

    const QDeadlineTimer deadline(opener.handOver);
    while (process->state() != QProcess::NotRunning) {
        const auto left = std::chrono::milliseconds(qMax<qint64>(0, deadline.remainingTime()));
        const auto changed = co_await qCoro(relay, &OpenerStateRelay::changed, left);
        if (!changed && process->state() != QProcess::NotRunning) {
            QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
            co_return true;
        }
    }
    const bool opened = process->error() != QProcess::FailedToStart && process->exitStatus() == QProcess::NormalExit
        && process->exitCode() == 0;
    process->deleteLater();
    co_return opened;
}
#endif

} // namespace

QCoro::Task<bool> openURL(QUrl url, Opener opener)
{
    if (!url.isValid() || url.isEmpty())
        co_return false;
#ifdef Q_OS_MACOS
    Q_UNUSED(opener);
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        co_return false;
    co_return QDesktopServices::openUrl(url);
#else
    const QString target = url.isLocalFile() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded);
    co_return co_await runOpener(target, std::move(opener));
#endif
}

QCoro::Task<bool> openURL(QUrl url)
{
    // Not a coroutine: the default opener is made here, never as a temporary of a co_await.
    return openURL(std::move(url), Opener{});
}

bool copyText(const QString &text)
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return false;
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return false;
    clipboard->clear();
    clipboard->setText(text);
    return clipboard->text() == text;
}

} // namespace Desktop

#include "Desktop.moc"
