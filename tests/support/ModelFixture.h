#pragma once

#include "app/AppModel.h"
#include "support/VirtualTime.h"

#include <QTemporaryDir>

#include <coroutine>
#include <deque>
#include <exception>
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

} // namespace QuorvantisTest

// A model on virtual time in a temporary profile directory, with every effect scripted to do
// nothing real. The process runs, the agent's start check and the authorization page are
// scripts a test fills in; any other effect a test replaces in `effects` before `make()`.
class ModelFixture
{
public:
    // Failing: the setup runs fail and the agent never answers (nothing happens by accident).
    // Succeeding: every run succeeds, the agent answers at once and an enrolment key is bundled.
    enum Defaults { Failing, Succeeding };
    explicit ModelFixture(Defaults defaults = Failing);
    ~ModelFixture();

    QString profileDirectory() const { return m_home.filePath(QStringLiteral("profile")); }
    QString profileFile(const QString &name) const;
    void writeProfileFile(const QString &name, const QByteArray &content) const;
    QByteArray readProfileFile(const QString &name) const;

    // Builds the model (replacing any earlier one) with the current effects.
    AppModel &make(bool autoResume = false);
    // The same, on a profile whose persisted install stage is `stage` (none when empty);
    // `configured` leaves the tool's "config.json".
    AppModel &makeAt(const QByteArray &stage, bool configured = false);
    AppModel &model() { return *m_model; }
    void reset() { m_model.reset(); }

    AppModel::ProgressState state(AppModel::SetupPhase phase) { return model().setupProgress().at(int(phase)).state; }
    // Resumes every pending wait, earliest first, until none is left (bounded against a loop
    // that would wait forever).
    int drainTime(int limit = 1000);

    using Run = std::shared_ptr<QuorvantisTest::ScriptedRun>;
    using Answer = std::shared_ptr<QuorvantisTest::ScriptedAnswer>;
    Run setupWithCode = std::make_shared<QuorvantisTest::ScriptedRun>();
    Run setupEnroll = std::make_shared<QuorvantisTest::ScriptedRun>();
    Run setupResume = std::make_shared<QuorvantisTest::ScriptedRun>();
    Run environmentPrepare = std::make_shared<QuorvantisTest::ScriptedRun>();
    Run daemonInstall = std::make_shared<QuorvantisTest::ScriptedRun>();
    Answer agentStarted = std::make_shared<QuorvantisTest::ScriptedAnswer>();
    Answer authorizationOpen = std::make_shared<QuorvantisTest::ScriptedAnswer>();
    std::optional<QString> enrollmentKey;

    AppModel::Effects effects;
    std::shared_ptr<CLIService> cli; // the default runner when empty
    AppModel::LinkLoader ownerSetupLinkLoad; // none captured by default
    std::vector<std::chrono::milliseconds> retryDelays{std::chrono::seconds(2), std::chrono::seconds(4),
                                                       std::chrono::seconds(8)};
    std::chrono::milliseconds statusTimeout{200};
    VirtualTime time;
    // Counts willChange() of the current model.
    int willChangeCount = 0;

private:
    QTemporaryDir m_home;
    std::unique_ptr<AppModel> m_model;
};
