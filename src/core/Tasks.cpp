#include "core/Tasks.h"

#include <QCoro/QCoroTimer>

Q_LOGGING_CATEGORY(lcTasks, "quorvantis.tasks")

namespace Quorvantis {

namespace {

QCoro::Task<void> sleepOnTimer(std::chrono::milliseconds duration)
{
    co_await QCoro::sleepFor(duration);
}

QCoro::Task<void> guard(QCoro::Task<void> task, const char *what)
{
    try {
        co_await std::move(task);
    } catch (const std::exception &error) {
        qCWarning(lcTasks) << "background task" << what << "ended with" << error.what();
    } catch (...) {
        qCWarning(lcTasks) << "background task" << what << "ended with an unknown error";
    }
}

} // namespace

Sleeper defaultSleeper()
{
    return [](std::chrono::milliseconds duration) { return sleepOnTimer(duration); };
}

void startDetached(QCoro::Task<void> task, const char *what)
{
    // The guard coroutine starts eagerly and owns the task; dropping the returned handle
    // leaves it running to completion.
    [[maybe_unused]] auto running = guard(std::move(task), what);
}

} // namespace Quorvantis
