#include "model/AgentOperations.h"

#include <QCoreApplication>
#include <coroutine>
#include <deque>

// Lives as long as the longest of the gate, its leases and its waiters: a lease released or a
// waiter resumed after the model went away finds `gone` and touches nothing else.
struct AgentOperations::State
{
    struct Turn
    {
        quint64 id = 0;
        Origin origin = Origin::check;
        AgentOperation kind = AgentOperation::checkPermissions;
        QDateTime since;
    };
    struct Waiter
    {
        Turn turn;
        std::coroutine_handle<> handle;
        bool granted = false;
    };

    State(Publication publication, std::function<QDateTime()> clock)
        : clock(std::move(clock)), published(std::move(publication), ModelChange::operations)
    {
    }

    std::function<QDateTime()> clock;
    Published<std::optional<RunningOperation>> published;
    bool gone = false;
    quint64 nextID = 1;
    std::optional<Turn> holder;
    // A waiting press stands first; stage work and checks follow in the order they asked.
    std::deque<std::shared_ptr<Waiter>> waiters;

    Turn turn(Origin origin, AgentOperation kind) { return {nextID++, origin, kind, clock()}; }

    bool pressPending() const { return !waiters.empty() && waiters.front()->turn.origin == Origin::press; }

    // Only a change is announced: the views render nothing for a turn they do not show.
    void republish()
    {
        std::optional<RunningOperation> shown;
        if (pressPending())
            shown = RunningOperation{waiters.front()->turn.kind, waiters.front()->turn.since};
        else if (holder && holder->origin != Origin::check)
            shown = RunningOperation{holder->kind, holder->since};
        if (shown != published())
            published = shown;
    }

    void release(quint64 id)
    {
        if (gone || !holder || holder->id != id)
            return;
        holder.reset();
        if (waiters.empty()) {
            republish();
            return;
        }
        const std::shared_ptr<Waiter> next = waiters.front();
        waiters.pop_front();
        holder = next->turn;
        next->granted = true;
        republish();
        next->handle.resume();
    }
};

AgentOperations::Lease::Lease(Lease &&other) noexcept
    : m_state(std::move(other.m_state)), m_id(std::exchange(other.m_id, 0))
{
}

AgentOperations::Lease &AgentOperations::Lease::operator=(Lease &&other) noexcept
{
    if (this != &other) {
        release();
        m_state = std::move(other.m_state);
        m_id = std::exchange(other.m_id, 0);
    }
    return *this;
}

void AgentOperations::Lease::release()
{
    if (const auto state = std::exchange(m_state, nullptr))
        state->release(std::exchange(m_id, 0));
}

AgentOperations::AgentOperations(Publication publication, std::function<QDateTime()> clock)
    : m_state(std::make_shared<State>(std::move(publication), std::move(clock)))
{
}

AgentOperations::~AgentOperations()
{
    // Every waiter learns that its turn will never come; none may stay suspended for ever.
    m_state->gone = true;
    m_state->holder.reset();
    auto waiting = std::move(m_state->waiters);
    m_state->waiters.clear();
    for (const auto &waiter : waiting)
        waiter->handle.resume();
}

const std::optional<RunningOperation> &AgentOperations::operation() const
{
    return m_state->published();
}

std::optional<QString> AgentOperations::refusal() const
{
    const auto &running = operation();
    if (!running)
        return std::nullopt;
    return QCoreApplication::translate("AgentOperations", "%1，完成后才能进行其他操作。").arg(runningTitle(running->kind));
}

bool AgentOperations::isIdle() const
{
    return !m_state->holder && m_state->waiters.empty();
}

QCoro::Task<std::optional<AgentOperations::Lease>> AgentOperations::press(AgentOperation kind)
{
    if (!acceptsPress())
        co_return std::nullopt;
    co_return co_await waitForTurn(Origin::press, kind);
}

QCoro::Task<std::optional<AgentOperations::Lease>> AgentOperations::beginStage(AgentOperation kind)
{
    co_return co_await waitForTurn(Origin::stage, kind);
}

QCoro::Task<std::optional<AgentOperations::Lease>> AgentOperations::check()
{
    co_return co_await waitForTurn(Origin::check, AgentOperation::checkPermissions);
}

QCoro::Task<std::optional<AgentOperations::Lease>> AgentOperations::waitForTurn(Origin origin, AgentOperation kind)
{
    // Only the shared state is used from here on: the gate may be gone when the turn comes.
    const std::shared_ptr<State> state = m_state;
    const State::Turn turn = state->turn(origin, kind);
    if (!state->holder && state->waiters.empty()) {
        state->holder = turn;
        state->republish();
        co_return Lease(state, turn.id);
    }

    auto waiter = std::make_shared<State::Waiter>(State::Waiter{turn, {}, false});
    if (origin == Origin::press)
        state->waiters.push_front(waiter);
    else
        state->waiters.push_back(waiter);
    state->republish();

    struct Awaiter
    {
        std::shared_ptr<State::Waiter> waiter;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) noexcept { waiter->handle = handle; }
        void await_resume() const noexcept {}
    };
    // Bound to a local: g++ 12 destroys a temporary awaiter twice.
    Awaiter awaiter{waiter};
    co_await awaiter;
    if (state->gone || !waiter->granted)
        co_return std::nullopt;
    co_return Lease(state, turn.id);
}

QString AgentOperations::runningTitle(AgentOperation kind)
{
    switch (kind) {
    case AgentOperation::prepareRuntime: return QCoreApplication::translate("AgentOperations", "正在准备运行环境");
    case AgentOperation::checkPermissions: return QCoreApplication::translate("AgentOperations", "正在检查权限");
    case AgentOperation::runSetup: return QCoreApplication::translate("AgentOperations", "正在完成设备注册");
    case AgentOperation::installDaemon: return QCoreApplication::translate("AgentOperations", "正在安装并启动 Agent");
    case AgentOperation::restartAgent: return QCoreApplication::translate("AgentOperations", "正在重启 Agent");
    case AgentOperation::updateAgent: return QCoreApplication::translate("AgentOperations", "正在更新 Agent");
    case AgentOperation::resumeInstallation: return QCoreApplication::translate("AgentOperations", "正在重试");
    }
    return QCoreApplication::translate("AgentOperations", "正在执行操作");
}
