#pragma once

// Scripted effects: process runs, yes/no answers and the gate that holds one open, for the
// controller tests and the model-level tests alike.

#include "model/Effects.h"
#include "support/AwaitTask.h"

#include <deque>
#include <memory>

namespace QuorvantisTest {

// Holds a scripted effect suspended until the test opens it.
class Gate
{
public:
    struct Awaiter
    {
        Gate *gate;
        bool await_ready() const noexcept { return gate->m_open; }
        void await_suspend(std::coroutine_handle<> handle) { gate->m_waiting = handle; }
        void await_resume() const noexcept {}
    };

    Awaiter wait() { return Awaiter{this}; }
    bool isWaiting() const { return bool(m_waiting); }
    void open()
    {
        m_open = true;
        if (auto handle = std::exchange(m_waiting, {}))
            handle.resume();
    }

private:
    bool m_open = false;
    std::coroutine_handle<> m_waiting;
};

// One scripted process run: what it prints, what it reports, how it ends.
struct Step
{
    QStringList lines{};
    std::optional<JITWorkspaceAuthorization> authorization{};
    std::function<void()> onStart{};                            // e.g. the tool writing its state file
    std::shared_ptr<Gate> gate{};                               // finish only once opened
    std::optional<JITWorkspaceAuthorization> lateAuthorization{}; // reported after the gate
    CLIResult result{};
    std::exception_ptr error{};

    static Step exit(qint32 status, std::optional<QString> lastErrorLine = std::nullopt)
    {
        return {.result = CLIResult{status, std::move(lastErrorLine)}};
    }
    static Step success() { return exit(0); }
    // The same step, finishing only once `gate` is opened.
    Step heldAt(std::shared_ptr<Gate> gate) const
    {
        Step step = *this;
        step.gate = std::move(gate);
        return step;
    }
    template <typename E> static Step throwing(E error)
    {
        return {.error = std::make_exception_ptr(std::move(error))};
    }
};

// The runs of one effect, in order; the last step repeats once the script is used up.
struct ScriptedRun
{
    std::deque<Step> steps{Step::success()};
    QList<QStringList> calls; // the arguments of every call
    // The callbacks of the latest call, so a test can report more while a run is held.
    OutputHandler output;
    AuthorizationHandler authorization;
};

// A yes/no effect (the agent answering, the browser opening a page): one answer per call, in
// order (the last repeats), optionally held at a gate.
struct ScriptedAnswer
{
    std::deque<bool> answers{true};
    std::shared_ptr<Gate> gate;
    QList<QUrl> opened; // the pages asked for, when the effect opens one
    int calls = 0;
};

inline JITWorkspaceAuthorization authorization(const QString &email = QStringLiteral("bot@example.org"))
{
    return {QStringLiteral("google"), email, QStringLiteral("s3cret-Pass"),
            QUrl(QStringLiteral("https://accounts.example.org/o/oauth2/auth?client_id=1"))};
}

inline QString validEnrollmentKey()
{
    return QStringLiteral("enrolment-key-0123456789abcdefghijklmnop");
}

template <typename T> QCoro::Task<T> value(T result)
{
    co_return result;
}
inline QCoro::Task<void> nothing()
{
    co_return;
}
// A task that fails with `error`.
template <typename T, typename E> QCoro::Task<T> failing(E error)
{
    throw error;
    co_return T{};
}

// Finishes a task that scripted effects let run to its end at once (rethrowing what it threw);
// false when it still waits (for virtual time, a gate, or something that never comes).
inline bool finishesAtOnce(QCoro::Task<void> task)
{
    if (!task.isReady())
        return false;
    await(std::move(task));
    return true;
}

// Plays the next step of `run`: records the call, prints the lines, reports the authorizations
// and ends as the step says (held at its gate first, when it has one).
inline QCoro::Task<CLIResult> play(std::shared_ptr<ScriptedRun> run, QStringList arguments, OutputHandler onOutput,
                                   AuthorizationHandler onAuthorization)
{
    run->calls.append(arguments);
    run->output = onOutput;
    run->authorization = onAuthorization;
    const Step step = run->steps.front();
    if (run->steps.size() > 1)
        run->steps.pop_front();
    if (step.onStart)
        step.onStart();
    for (const QString &line : onOutput ? step.lines : QStringList()) // printed when someone listens
        onOutput(line);
    if (step.authorization && onAuthorization)
        onAuthorization(*step.authorization);
    if (step.gate)
        co_await step.gate->wait();
    if (step.lateAuthorization && onAuthorization)
        onAuthorization(*step.lateAuthorization);
    if (step.error)
        std::rethrow_exception(step.error);
    co_return step.result;
}

// The next answer of `script`, recording the call and the page it was asked to open.
inline QCoro::Task<bool> reply(std::shared_ptr<ScriptedAnswer> script, std::optional<QUrl> page = std::nullopt)
{
    script->calls += 1;
    if (page)
        script->opened.append(*page);
    const bool answer = script->answers.front();
    if (script->answers.size() > 1)
        script->answers.pop_front();
    if (auto gate = script->gate)
        co_await gate->wait();
    co_return answer;
}

// Effects that play a script: a run that takes only an output callback, and an answer.
inline std::function<QCoro::Task<CLIResult>(OutputHandler)> runEffect(std::shared_ptr<ScriptedRun> run)
{
    return [run](OutputHandler onOutput) { return play(run, {}, std::move(onOutput), {}); };
}
inline std::function<QCoro::Task<bool>()> answerEffect(std::shared_ptr<ScriptedAnswer> script)
{
    return [script] { return reply(script); };
}
// The three setup runs, recording their arguments (a run without an agent name records "<none>").
inline decltype(ModelEffects::setupWithCode) codeEffect(std::shared_ptr<ScriptedRun> run)
{
    return [run](QString code, std::optional<QString> name, OutputHandler out, AuthorizationHandler auth) {
        return play(run, {code, name.value_or(QStringLiteral("<none>"))}, std::move(out), std::move(auth));
    };
}
inline decltype(ModelEffects::setupEnroll) enrollEffect(std::shared_ptr<ScriptedRun> run)
{
    return [run](QString workspace, QString name, QString key, OutputHandler out, AuthorizationHandler auth) {
        return play(run, {workspace, name, key}, std::move(out), std::move(auth));
    };
}
inline decltype(ModelEffects::setupResume) resumeEffect(std::shared_ptr<ScriptedRun> run)
{
    return
        [run](OutputHandler out, AuthorizationHandler auth) { return play(run, {}, std::move(out), std::move(auth)); };
}

} // namespace QuorvantisTest