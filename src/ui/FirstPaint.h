#pragma once

#include <QByteArray>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <functional>
#include <utility>

// Runs a function once, on the event-loop turn after a window handled its first paint: the
// first frame is on its way to the screen by then, so work the user does not see yet can start
// without delaying it. Deletes itself afterwards (or with the window).
class FirstPaint : public QObject
{
public:
    static void then(QWidget *window, std::function<void()> action)
    {
        new FirstPaint(window, std::move(action));
    }

    // With QUORVANTIS_FIRST_PAINT_PROBE=1 in the environment, prints one line "first-paint" on
    // standard output once the window has painted, for a benchmark timing the whole process
    // from outside. The same probe serves the yardstick program, so both report the same moment.
    static void reportWhenAsked(QWidget *window)
    {
        if (qEnvironmentVariableIntValue("QUORVANTIS_FIRST_PAINT_PROBE") != 1)
            return;
        then(window, [] {
            std::fputs("first-paint\n", stdout);
            std::fflush(stdout);
        });
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, [this] {
                m_action();
                deleteLater();
            });
        }
        return false;
    }

private:
    FirstPaint(QWidget *window, std::function<void()> action) : QObject(window), m_action(std::move(action))
    {
        window->installEventFilter(this);
    }

    std::function<void()> m_action;
    bool m_seen = false;
};
