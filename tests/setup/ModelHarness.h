#pragma once

// A model on virtual time in a temporary profile directory, with every effect scripted, so the
// setup run, the installer stages and the authorization flow run without a process, a network
// or a browser. Each injected effect is a plain lambda that forwards copies to a free coroutine.

#include "app/AppModel.h"
#include "support/VirtualTime.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <coroutine>
#include <deque>
#include <exception>
#include <memory>

namespace SetupTest {

using namespace std::chrono_literals;

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
    QStringList lines;
    std::optional<JITWorkspaceAuthorization> authorization;
    std::function<void()> onStart;  // e.g. the tool writing its state file
    std::shared_ptr<Gate> gate;     // finish only once opened
    std::optional<JITWorkspaceAuthorization> lateAuthorization; // reported after the gate
    CLIResult result;
    std::exception_ptr error;

    static Step exit(qint32 status, std::optional<QString> lastErrorLine = std::nullopt)
    {
        Step step;
        step.result = CLIResult{status, std::move(lastErrorLine)};
        return step;
    }
    static Step success() { return exit(0); }
    template <typename E>
    static Step throwing(E error)
    {
        Step step;
        step.error = std::make_exception_ptr(std::move(error));
        return step;
    }
};

// The runs of one effect, in order; the last step repeats once the script is used up.
struct ScriptedRun
{
    std::deque<Step> steps{Step::success()};
    QList<QStringList> calls; // the arguments of every call
    // The callbacks of the latest call, so a test can report more while a run is held.
    AppModel::OutputHandler output;
    AppModel::AuthorizationHandler authorization;

    Step next()
    {
        Step step = steps.front();
        if (steps.size() > 1)
            steps.pop_front();
        return step;
    }
};

inline QCoro::Task<CLIResult> play(std::shared_ptr<ScriptedRun> run, QStringList arguments,
                                   AppModel::OutputHandler onOutput, AppModel::AuthorizationHandler onAuthorization)
{
    run->calls.append(arguments);
    run->output = onOutput;
    run->authorization = onAuthorization;
    const Step step = run->next();
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

// The status endpoint: answers from check number `answerAt` on (1-based); 0 never answers.
struct StartScript
{
    int answerAt = 1;
    int checks = 0;
};

inline QCoro::Task<bool> checkStarted(std::shared_ptr<StartScript> script)
{
    script->checks += 1;
    co_return script->answerAt > 0 && script->checks >= script->answerAt;
}

// The browser: one answer per open, in order (the last repeats), optionally held at a gate.
struct OpenScript
{
    std::deque<bool> answers{true};
    std::shared_ptr<Gate> gate;
    QList<QUrl> opened;
};

inline QCoro::Task<bool> openPage(std::shared_ptr<OpenScript> script, QUrl url)
{
    script->opened.append(url);
    const bool answer = script->answers.front();
    if (script->answers.size() > 1)
        script->answers.pop_front();
    if (auto gate = script->gate)
        co_await gate->wait();
    co_return answer;
}

inline QCoro::Task<OwnerSetupSession> ownerSetupUnavailable()
{
    throw QuorvantisNativeError(QStringLiteral("OWNER_SETUP_TEST_UNAVAILABLE"), QStringLiteral("not in these tests"));
    co_return OwnerSetupSession{};
}

inline QCoro::Task<bool> answer(bool value)
{
    co_return value;
}

inline QCoro::Task<std::optional<QString>> noVersion()
{
    co_return std::nullopt;
}

inline QCoro::Task<CLIResult> scriptSucceeds()
{
    co_return CLIResult{};
}

inline QString validEnrollmentKey()
{
    return QStringLiteral("enrolment-key-0123456789abcdefghijklmnop");
}

inline JITWorkspaceAuthorization authorization(const QString &email = QStringLiteral("bot@example.org"))
{
    return {QStringLiteral("google"), email, QStringLiteral("s3cret-Pass"),
            QUrl(QStringLiteral("https://accounts.example.org/o/oauth2/auth?client_id=1"))};
}

struct ModelHarness
{
    QTemporaryDir directory;
    VirtualTime time;

    std::shared_ptr<ScriptedRun> setupWithCode = std::make_shared<ScriptedRun>();
    std::shared_ptr<ScriptedRun> setupEnroll = std::make_shared<ScriptedRun>();
    std::shared_ptr<ScriptedRun> setupResume = std::make_shared<ScriptedRun>();
    std::shared_ptr<ScriptedRun> environmentPrepare = std::make_shared<ScriptedRun>();
    std::shared_ptr<ScriptedRun> daemonInstall = std::make_shared<ScriptedRun>();
    std::shared_ptr<StartScript> agentStarted = std::make_shared<StartScript>();
    std::shared_ptr<OpenScript> authorizationOpen = std::make_shared<OpenScript>();
    std::optional<QString> enrollmentKey = validEnrollmentKey();
    std::vector<std::chrono::milliseconds> retryDelays{2s, 4s, 8s};

    // Declared last: destroyed first, while the scripts and the clock still exist.
    std::unique_ptr<AppModel> model;

    QString path(const QString &name) const { return QDir(directory.path()).filePath(name); }

    void writeFile(const QString &name, const QByteArray &content) const
    {
        QFile file(path(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(content);
    }

    QByteArray readFile(const QString &name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // A model whose persisted stage is `stage`; `configured` leaves the tool's "config.json".
    AppModel &make(const QByteArray &stage, bool configured = false)
    {
        if (!stage.isEmpty())
            writeFile(QStringLiteral("mac-app-install-stage"), stage + '\n');
        if (configured)
            writeFile(QStringLiteral("config.json"), "{}\n");

        AppModel::Effects effects;
        effects.setupWithCode = [run = setupWithCode](QString code, std::optional<QString> agentName,
                                                      AppModel::OutputHandler onOutput,
                                                      AppModel::AuthorizationHandler onAuthorization) {
            return play(run, {code, agentName.value_or(QStringLiteral("<none>"))}, std::move(onOutput),
                        std::move(onAuthorization));
        };
        effects.setupEnroll = [run = setupEnroll](QString workspace, QString agentName, QString key,
                                                  AppModel::OutputHandler onOutput,
                                                  AppModel::AuthorizationHandler onAuthorization) {
            return play(run, {workspace, agentName, key}, std::move(onOutput), std::move(onAuthorization));
        };
        effects.setupResume = [run = setupResume](AppModel::OutputHandler onOutput,
                                                  AppModel::AuthorizationHandler onAuthorization) {
            return play(run, {}, std::move(onOutput), std::move(onAuthorization));
        };
        effects.environmentPrepare = [run = environmentPrepare](AppModel::OutputHandler onOutput) {
            return play(run, {}, std::move(onOutput), {});
        };
        effects.daemonInstall = [run = daemonInstall](AppModel::OutputHandler onOutput) {
            return play(run, {}, std::move(onOutput), {});
        };
        effects.agentStarted = [script = agentStarted] { return checkStarted(script); };
        effects.setupAuthorizationOpen = [script = authorizationOpen](QUrl url) { return openPage(script, url); };
        effects.enrollmentKeyProvider = [key = enrollmentKey] { return key; };

        // Whatever the later stages reach stays inside the test as well.
        effects.permissionCheck = [](PermissionKind) { return answer(false); };
        effects.permissionPrepare = [](PermissionKind) { return answer(false); };
        effects.accessibilityPrepare = [](AccessibilityStep, bool) { return answer(false); };
        effects.openSystemSettings = [](std::optional<PermissionKind>) {};
        effects.ownerSetupRequest = [](std::optional<QUrl>, bool) { return ownerSetupUnavailable(); };
        effects.ownerSetupOpen = [](QUrl) { return answer(false); };
        effects.ownerSetupCopy = [](QUrl) { return false; };
        effects.ownerSetupLinkSave = [](std::optional<OwnerSetupLink>) {};
        effects.agentUpdateVersion = [] { return noVersion(); };
        effects.runScript = [](QString, AppModel::OutputHandler) { return scriptSucceeds(); };
        effects.openURL = [](QUrl) { return false; };

        model = std::make_unique<AppModel>(AppModel::Options{
            .profileDirectory = directory.path(),
            .effects = std::move(effects),
            .ownerSetupLinkLoad = [] {
                return []() -> QCoro::Task<std::optional<OwnerSetupLink>> { co_return std::nullopt; }();
            },
            .bootstrapRetryDelays = retryDelays,
            .autoResume = false,
            .sleeper = [time = &time](std::chrono::milliseconds duration) { return time->sleep(duration); },
            .clock = [time = &time] { return time->now(); },
            .statusTimeout = 50ms,
        });
        return *model;
    }

    // Resumes every pending wait, earliest first, until none is left (bounded against a loop
    // that would wait forever).
    int drainTime(int limit = 1000)
    {
        int resumed = 0;
        while (resumed < limit && time.advanceToNext())
            ++resumed;
        return resumed;
    }

    AppModel::ProgressState state(AppModel::SetupPhase phase) const
    {
        return model->setupProgress().at(int(phase)).state;
    }
};

} // namespace SetupTest
