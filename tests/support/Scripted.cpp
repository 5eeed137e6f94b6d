#include "support/Scripted.h"

#include "support/AwaitTask.h"

namespace QuorvantisTest {

bool finishesAtOnce(QCoro::Task<void> task)
{
    if (!task.isReady())
        return false;
    await(std::move(task));
    return true;
}

QCoro::Task<CLIResult> play(std::shared_ptr<ScriptedRun> run, QStringList arguments, OutputHandler onOutput,
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
    for (const QString &line : step.lines) {
        if (onOutput)
            onOutput(line);
    }
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

QCoro::Task<bool> reply(std::shared_ptr<ScriptedAnswer> script, std::optional<QUrl> page)
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

} // namespace QuorvantisTest
