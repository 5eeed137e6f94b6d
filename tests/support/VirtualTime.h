#pragma once

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QList>

#include <chrono>
#include <vector>

// Virtual time for the model: sleepers suspend until the test advances the clock, and "now"
// moves with it. Nothing waits for real seconds.
class VirtualTime
{
public:
    VirtualTime() = default;
    ~VirtualTime();
    VirtualTime(const VirtualTime &) = delete;
    VirtualTime &operator=(const VirtualTime &) = delete;

    QCoro::Task<void> sleep(std::chrono::milliseconds duration);
    QDateTime now() const { return m_start.addMSecs(m_elapsed.count()); }

    // Moves the clock forward, resuming every sleeper whose deadline has passed, earliest first.
    void advance(std::chrono::milliseconds by);
    // Advances to the next pending deadline (if any) and resumes it; returns false when none.
    bool advanceToNext();

    int pendingSleepers() const { return int(m_waiters.size()); }
    // Every duration a sleeper asked for, in order.
    const QList<std::chrono::milliseconds> &requested() const { return m_requested; }
    std::chrono::milliseconds elapsed() const { return m_elapsed; }

private:
    struct Waiter
    {
        std::chrono::milliseconds deadline;
        quint64 order;
        std::coroutine_handle<> handle;
    };
    struct Awaiter;
    std::vector<Waiter>::iterator next(); // the earliest deadline, the earliest asked first

    const QDateTime m_start = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
    std::chrono::milliseconds m_elapsed{0};
    quint64 m_order = 0;
    std::vector<Waiter> m_waiters;
    QList<std::chrono::milliseconds> m_requested;
};
