#pragma once

#include <QObject>
#include <QPointer>

// Sets an "operation running" flag for as long as it lives and clears it on every way out of the
// scope, early returns and exceptions included; `release()` clears it sooner. The flag belongs to
// `owner`: once the owner is gone (a coroutine resumed after its model was destroyed) the guard
// leaves the flag alone.
template <typename Flag>
class InFlight
{
public:
    InFlight(const QObject *owner, Flag &flag) : m_owner(owner), m_flag(&flag) { *m_flag = true; }
    ~InFlight() { release(); }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;

    void release()
    {
        if (m_flag && m_owner)
            *m_flag = false;
        m_flag = nullptr;
    }

private:
    QPointer<const QObject> m_owner;
    Flag *m_flag;
};
