#pragma once

#include <QCoro/QCoroTask>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <optional>
#include <stdexcept>
#include <type_traits>

// Runs the event loop until a task finishes and returns its value or rethrows its error.
// (QCoro::waitFor hangs when the task throws, so the tests use this instead.)
namespace QuorvantisTest {

namespace detail {

template <typename T>
struct Outcome
{
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::exception_ptr error;
};

template <typename T>
QCoro::Task<void> capture(QCoro::Task<T> task, Outcome<T> *outcome)
{
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome->value = true;
        } else {
            outcome->value.emplace(co_await std::move(task));
        }
    } catch (...) {
        outcome->error = std::current_exception();
    }
}

} // namespace detail

// The deadline only guards against a hung test; it is never part of what a test checks.
template <typename T>
T await(QCoro::Task<T> task, int deadlineMs = 60000)
{
    detail::Outcome<T> outcome;
    auto running = detail::capture(std::move(task), &outcome);
    QDeadlineTimer deadline(deadlineMs);
    while (!outcome.value && !outcome.error) {
        if (deadline.hasExpired())
            throw std::runtime_error("task did not finish in time");
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome.value);
}

// Runs the event loop until the predicate holds (or the guard deadline passes).
template <typename Predicate>
bool spinUntil(Predicate predicate, int deadlineMs = 20000)
{
    QDeadlineTimer deadline(deadlineMs);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

} // namespace QuorvantisTest
