#include "support/VirtualTime.h"

#include <algorithm>

struct VirtualTime::Awaiter
{
    VirtualTime *time;
    std::chrono::milliseconds deadline;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        time->m_waiters.push_back({deadline, time->m_order++, handle});
    }
    void await_resume() const noexcept {}
};

VirtualTime::~VirtualTime()
{
    // Let every suspended loop run on: each re-checks its owner after a wait and ends.
    while (!m_waiters.empty()) {
        auto waiters = std::move(m_waiters);
        m_waiters.clear();
        for (auto &waiter : waiters)
            waiter.handle.resume();
    }
}

QCoro::Task<void> VirtualTime::sleep(std::chrono::milliseconds duration)
{
    m_requested.append(duration);
    co_await Awaiter{this, m_elapsed + duration};
}

std::vector<VirtualTime::Waiter>::iterator VirtualTime::next()
{
    return std::min_element(m_waiters.begin(), m_waiters.end(), [](const Waiter &a, const Waiter &b) {
        return a.deadline != b.deadline ? a.deadline < b.deadline : a.order < b.order;
    });
}

void VirtualTime::advance(std::chrono::milliseconds by)
{
    const auto target = m_elapsed + by;
    for (auto earliest = next(); earliest != m_waiters.end() && earliest->deadline <= target; earliest = next()) {
        const auto waiter = *earliest;
        m_waiters.erase(earliest);
        m_elapsed = std::max(m_elapsed, waiter.deadline);
        waiter.handle.resume();
    }
    m_elapsed = target;
}

bool VirtualTime::advanceToNext()
{
    if (m_waiters.empty())
        return false;
    advance(std::max(std::chrono::milliseconds(0), next()->deadline - m_elapsed));
    return true;
}
