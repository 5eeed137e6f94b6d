#pragma once

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QTimer>
#include <QWidget>

#include <cstdio>

// Shared by the measured program and the baseline, so both report the same moments: a line
// "painted" once the window's first paint has been handled, then, after the process had
// `settleMs` to settle, "rss <kB>" and the process quits.
class FirstPaintProbe : public QObject
{
public:
    FirstPaintProbe(QWidget *window, int settleMs) : m_window(window), m_settleMs(settleMs)
    {
        qApp->installEventFilter(this);
    }

    static long residentKilobytes()
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
        return -1;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType()) {
            auto *widget = static_cast<QWidget *>(watched);
            if (widget == m_window || m_window->isAncestorOf(widget)) {
                m_seen = true;
                // Reported on the next turn: the paint (and its flush) has completed by then.
                QTimer::singleShot(0, this, [this] {
                    std::printf("painted\n");
                    std::fflush(stdout);
                    QTimer::singleShot(m_settleMs, this, [] {
                        std::printf("rss %ld\n", residentKilobytes());
                        std::fflush(stdout);
                        QCoreApplication::exit(0);
                    });
                });
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget *m_window;
    int m_settleMs;
    bool m_seen = false;
};
