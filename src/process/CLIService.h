#pragma once

#include "process/AgentScripts.h"
#include "process/QuorvantisNativeError.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

class QProcess;

// The one object that starts child processes. Every program the application runs goes through
// `execute`: "/bin/bash" with the caller's arguments, a computed environment, an optional text on
// standard input, and the merged output turned into redacted lines for the caller and the
// install log. One run at a time in the whole application.
class CLIService : public QObject
{
    Q_OBJECT

public:
    using OutputHandler = std::function<void(const QString &)>;
    // Sees every trimmed output line before anything else does; returns true when it took the
    // line, which is then neither redacted, logged nor handed on (the workspace authorization
    // lines are taken this way).
    using LineInterceptor = std::function<bool(const QString &)>;

    struct Options
    {
        // Where the install log goes; empty means the install log of `homeDirectory`.
        QString installLogPath;
        // The shell every run starts; empty means "/bin/bash".
        QString bashPath;
        // The user's home as the children see it; empty means the current user's home.
        QString homeDirectory;
        // The environment the computed one starts from; absent means the application's own.
        std::optional<QProcessEnvironment> baseEnvironment;
        // The session script; empty means the bundle resource "quorvantis-cli-session.sh".
        std::function<std::optional<QString>()> sessionScript;
        // The onboarding service address handed to children; empty means the bundle's override.
        std::function<std::optional<QUrl>()> onboardingOverride;
        // How long output is still read after the child has exited, for what a background
        // grandchild prints on its way out. A daemon the run started may keep the pipe open for
        // good; it then costs the run this much and no more. 300 ms is well above what a process
        // needs to flush and exit on a loaded machine, and short enough to go unnoticed.
        std::chrono::milliseconds outputGraceAfterExit{300};
    };

    explicit CLIService(QObject *parent = nullptr);
    explicit CLIService(Options options, QObject *parent = nullptr);
    ~CLIService() override;

    // ---- Running a child -------------------------------------------------------------------

    // Runs "/bin/bash" with `arguments` and returns its exit status (the signal number when a
    // signal ended it) and the last line that looked like an error, once the child has exited
    // and its output has ended (or `outputGraceAfterExit` has passed since the exit). Fails with
    // "OPERATION_ALREADY_RUNNING" while another run is in progress (without touching it) and
    // with "INSTALL_LAUNCH_FAILED" when the shell cannot be started. Both callbacks are called
    // on the main thread, in output order, and may be empty.
    QCoro::Task<CLIResult> execute(QStringList arguments, std::optional<QString> stdinText = std::nullopt,
                                   OutputHandler onOutput = {}, LineInterceptor intercept = {});
    // What the install log heads a run's block with: the name a script gives itself on its first
    // line ("# agent update"), or the session script's name and its options.
    static QString blockTitle(const QStringList &arguments);

    // The complete environment of a child; it replaces the application's.
    QProcessEnvironment environment() const;

    // Takes one line out of the reader's buffer and empties it; nothing for an empty buffer.
    static std::optional<QString> line(QByteArray &buffer);

    bool isRunning() const { return m_process != nullptr; }
    // Returns once no run is in progress (at once when none is).
    QCoro::Task<void> waitUntilIdle();
    QString installLogURL() const { return m_installLogPath; }
    QString homeDirectory() const { return m_homeDirectory; }

    // ---- Agent scripts ---------------------------------------------------------------------

    QCoro::Task<CLIResult> prepareEnvironment(OutputHandler onOutput);
    QCoro::Task<CLIResult> setup(QString code, std::optional<QString> agentName, OutputHandler onOutput,
                                 LineInterceptor intercept);
    QCoro::Task<CLIResult> resumeSetup(OutputHandler onOutput, LineInterceptor intercept);
    // Self-service enrolment; `workspace` is the raw value "none", "zoho" or "google".
    QCoro::Task<CLIResult> enroll(QString workspace, QString agentName, QString enrollmentKey,
                                  OutputHandler onOutput, LineInterceptor intercept);
    // "-c" and a script, no standard input (the daemon installation, the update, the probes).
    QCoro::Task<CLIResult> runScript(QString script, OutputHandler onOutput);

    static QString daemonInstallScript() { return AgentScripts::daemonInstall(AgentScripts::hostPlatform()); }
    static QString agentUpdateScript() { return AgentScripts::agentUpdate(); }

Q_SIGNALS:
    // A run has ended and the runner takes the next one.
    void idle();

private:
    QCoro::Task<CLIResult> runSessionScript(QStringList options, std::optional<QString> stdinText,
                                            OutputHandler onOutput, LineInterceptor intercept);
    std::optional<QString> sessionScriptPath() const;

    Options m_options;
    QString m_installLogPath;
    QString m_bashPath;
    QString m_homeDirectory;
    QProcess *m_process = nullptr;
};
