#pragma once

#include <QCoro/QCoroTask>
#include <QLoggingCategory>

#include <chrono>
#include <exception>
#include <functional>

Q_DECLARE_LOGGING_CATEGORY(lcTasks)

namespace Quorvantis {

// Waits used by the model. Injected so tests can run every delay on virtual time.
using Sleeper = std::function<QCoro::Task<void>(std::chrono::milliseconds)>;

// The default sleeper: a monotonic Qt timer.
Sleeper defaultSleeper();

// Starts a task nobody awaits. Whatever escapes it is reported as a developer diagnostic,
// never lost silently and never a crash.
void startDetached(QCoro::Task<void> task, const char *what);

} // namespace Quorvantis
