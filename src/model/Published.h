#pragma once

#include <functional>
#include <utility>

// A published property of the model: every write announces itself *before* the value
// changes, even when the new value equals the old one, which is what drives the views.
template <typename T>
class Published
{
public:
    using Notifier = std::function<void()>;

    explicit Published(Notifier notifier, T initial = T{})
        : m_value(std::move(initial)), m_notify(std::move(notifier))
    {
    }
    Published(const Published &) = delete;
    Published &operator=(const Published &) = delete;

    const T &get() const { return m_value; }
    const T &operator()() const { return m_value; }
    operator const T &() const { return m_value; }
    const T *operator->() const { return &m_value; }

    void set(T value)
    {
        m_notify();
        m_value = std::move(value);
    }
    Published &operator=(T value)
    {
        set(std::move(value));
        return *this;
    }

    // Read-modify-write as one published write.
    template <typename F>
    void mutate(F &&change)
    {
        m_notify();
        std::forward<F>(change)(m_value);
    }

private:
    T m_value;
    Notifier m_notify;
};
