#pragma once

#include "model/Published.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// What acts on the agent or on its probes: a child process of the one runner, the daemon, the
// permission checks. Two of them at once collide (a probe refused by a busy runner reads as a
// missing permission; two restarts run back to back), so they take turns here.
enum class AgentOperation { prepareRuntime, checkPermissions, runSetup, installDaemon, restartAgent, updateAgent, resumeInstallation };

// The operation the user sees running, and since when.
struct RunningOperation
{
    AgentOperation kind;
    QDateTime since;
    bool operator==(const RunningOperation &) const = default;
};

// The one owner of "which operation on the agent runs". Three kinds of turns:
//   press  a user's action. Refused while another press or stage work runs (the views disable
//          the action and say why); accepted at once otherwise, even while a background check
//          holds the agent: it is shown running from the press and starts when the check ends.
//   stage  work the model starts itself (the launch resuming a stage). Waits its turn, then
//          shows and refuses presses like a press.
//   check  a background probe (return checks, the launch's re-check). Waits its turn, gives way
//          to a waiting press, is never shown and never refuses a press.
// A turn is a lease: the work runs while its lease lives. Work that runs under a lease calls the
// controllers directly; only entry points take leases, so nothing ever waits for itself.
class AgentOperations
{
    struct State;

public:
    class Lease
    {
    public:
        Lease() = default;
        Lease(Lease &&other) noexcept;
        Lease &operator=(Lease &&other) noexcept;
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        ~Lease() { release(); }
        // Ends the turn now; the next waiting turn starts.
        void release();

    private:
        friend class AgentOperations;
        Lease(std::shared_ptr<State> state, quint64 id) : m_state(std::move(state)), m_id(id) {}
        std::shared_ptr<State> m_state;
        quint64 m_id = 0;
    };

    // `publication` announces the published operation's changes; `clock` dates it.
    AgentOperations(Publication publication, std::function<QDateTime()> clock);
    ~AgentOperations();
    AgentOperations(const AgentOperations &) = delete;
    AgentOperations &operator=(const AgentOperations &) = delete;

    // Published: the press or stage work that runs (or waits for a check to end); none while
    // only background checks run.
    const std::optional<RunningOperation> &operation() const;
    // A press would be accepted now.
    bool acceptsPress() const { return !operation().has_value(); }
    // Why a press is not accepted now, in one line; none when it would be.
    std::optional<QString> refusal() const;
    // Nothing holds the agent and nothing waits for it.
    bool isIdle() const;

    // Each resolves to a lease, or to none: a press that is refused, or any turn whose owner went
    // away while it waited.
    QCoro::Task<std::optional<Lease>> press(AgentOperation kind);
    QCoro::Task<std::optional<Lease>> beginStage(AgentOperation kind);
    QCoro::Task<std::optional<Lease>> check();

    // "正在重启 Agent" and the like: what runs, for the busy titles and the refusal line.
    static QString runningTitle(AgentOperation kind);

private:
    enum class Origin { press, stage, check };
    QCoro::Task<std::optional<Lease>> waitForTurn(Origin origin, AgentOperation kind);

    std::shared_ptr<State> m_state;
};
