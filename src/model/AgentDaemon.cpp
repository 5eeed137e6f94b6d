#include "model/AgentDaemon.h"

#include <QPointer>

using namespace std::chrono_literals;

namespace {

constexpr int answerChecks = 30;
constexpr auto answerInterval = 500ms;

} // namespace

AgentDaemon::AgentDaemon(ModelContext context, Effects effects, QObject *parent)
    : QObject(parent), m_context(std::move(context)), m_effects(std::move(effects))
{
}

Failure::Report AgentDaemon::failure(Purpose purpose, const std::exception_ptr &error, const std::optional<CLIResult> &result)
{
    switch (purpose) {
    case Purpose::install:
        if (error)
            return Failure::from(error, QStringLiteral("DAEMON_INSTALL_FAILED"));
        return Failure::forExit(QStringLiteral("DAEMON_INSTALL_EXIT_") + QString::number(result->status), *result);
    case Purpose::restart:
    case Purpose::update:
        break;
    }
    const QString code = purpose == Purpose::restart ? QStringLiteral("AGENT_RESTART_FAILED") : QStringLiteral("AGENT_UPDATE_FAILED");
    return error ? Failure::from(error, code) : Failure::forExit(code, *result);
}

QCoro::Task<bool> AgentDaemon::install(Purpose purpose)
{
    QPointer<AgentDaemon> self(this);
    std::optional<CLIResult> result;
    std::exception_ptr error;
    try {
        if (!m_effects.daemonInstall)
            throw std::runtime_error("no daemon installer");
        // The installer's lines only go to the install log.
        const OutputHandler discard = [](const QString &) {};
        result = co_await m_effects.daemonInstall(discard);
    } catch (...) {
        error = std::current_exception();
    }
    if (!self)
        co_return false;
    if (!error && result->status == 0)
        co_return true;
    m_context.fail(failure(purpose, error, result));
    co_return false;
}

QCoro::Task<bool> AgentDaemon::isAnswering()
{
    try {
        if (!m_effects.agentStarted)
            co_return false;
        co_return co_await m_effects.agentStarted();
    } catch (...) {
        co_return false; // an endpoint that cannot be asked does not answer
    }
}

QCoro::Task<bool> AgentDaemon::waitUntilAnswering()
{
    QPointer<AgentDaemon> self(this);
    for (int check = 0; check < answerChecks; ++check) {
        const bool answering = co_await isAnswering();
        if (!self)
            co_return false;
        if (answering)
            co_return true;
        try {
            co_await m_context.sleep(answerInterval);
        } catch (...) {
            // An interrupted wait still counts as one of the checks.
        }
        if (!self)
            co_return false;
    }
    co_return false;
}
