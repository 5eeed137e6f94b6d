#pragma once

#include "model/Effects.h"
#include "model/Failure.h"
#include "model/ModelContext.h"

#include <QCoro/QCoroTask>
#include <QObject>

#include <exception>
#include <optional>

// The one owner of the agent's daemon: installing it as the login service and (re)starting it,
// which is also how a restart and an update reach the running agent, and the wait until its
// status endpoint answers. Every failure is reported through one mapping, by what the
// installation was for.
class AgentDaemon : public QObject
{
    Q_OBJECT

public:
    // What an installation is for; it names the failure the user sees.
    enum class Purpose {
        install, // the installation's daemon stage: DAEMON_INSTALL_FAILED, DAEMON_INSTALL_EXIT_<status>
        restart, // a restart (also after the accessibility grant): AGENT_RESTART_FAILED
        update,  // the restart that runs a freshly installed package: AGENT_UPDATE_FAILED
    };

    struct Effects
    {
        decltype(ModelEffects::daemonInstall) daemonInstall;
        decltype(ModelEffects::agentStarted) agentStarted;
    };

    AgentDaemon(ModelContext context, Effects effects, QObject *parent = nullptr);

    // Installs and starts the daemon. A failure is reported through the model's `fail` and yields
    // false, as does the model going away meanwhile.
    QCoro::Task<bool> install(Purpose purpose);
    // Whether the status endpoint answers now.
    QCoro::Task<bool> isAnswering();
    // Up to 30 checks, half a second apart: about 15 seconds for a freshly started agent.
    QCoro::Task<bool> waitUntilAnswering();

    // The report of an installation that threw `error`, or else ended with `result`.
    static Failure::Report failure(Purpose purpose, const std::exception_ptr &error, const std::optional<CLIResult> &result);

private:
    ModelContext m_context;
    Effects m_effects;
};
