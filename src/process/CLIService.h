#pragma once

#include "authorization/JITAuthorizationParser.h"
#include "process/AgentScripts.h"
#include "process/QuorvantisNativeError.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QProcess;

// Declared with the permission flow; the probes only pass them through.
enum class PermissionKind;
enum class AccessibilityStep;

// The one object that starts child processes. Every program the application runs goes through
// `execute`: "/bin/bash" with the caller's arguments, a computed environment, an optional text on
// standard input, and the merged output turned into redacted lines for the caller and the
// install log. One run at a time in the whole application.
class CLIService : public QObject
{
    Q_OBJECT

public:
    using OutputHandler = std::function<void(const QString &)>;
    using AuthorizationHandler = std::function<void(const JITWorkspaceAuthorization &)>;

    // Which accessibility client a probe asks about.
    enum class AccessibilityClient { node, cliclick };

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
        // The pause between two polls of a permission job's result.
        std::chrono::milliseconds permissionPollInterval{200};
    };

    explicit CLIService(QObject *parent = nullptr);
    explicit CLIService(Options options, QObject *parent = nullptr);
    ~CLIService() override;

    // ---- Running a child -------------------------------------------------------------------

    // Runs "/bin/bash" with `arguments` and returns its exit status (the signal number when a
    // signal ended it) and the last line that looked like an error. Fails with
    // "OPERATION_ALREADY_RUNNING" while another run is in progress (without touching it) and
    // with "INSTALL_LAUNCH_FAILED" when the shell cannot be started. Both callbacks are called
    // on the main thread, in output order, and may be empty.
    QCoro::Task<CLIResult> execute(QStringList arguments, std::optional<QString> stdinText = std::nullopt,
                                   OutputHandler onOutput = {}, AuthorizationHandler onAuthorization = {});

    // The complete environment of a child; it replaces the application's.
    QProcessEnvironment environment() const;

    // Takes one line out of the reader's buffer and empties it; nothing for an empty buffer.
    static std::optional<QString> line(QByteArray &buffer);

    bool isRunning() const { return m_process != nullptr; }
    QString installLogURL() const { return m_installLogPath; }
    QString homeDirectory() const { return m_homeDirectory; }

    // ---- Install log and redaction ---------------------------------------------------------

    static QString logsDirectory();
    static QString installLog();
    // Creates the logs directory when missing (errors ignored) and returns it.
    static QString ensureLogsDirectory();
    // An append handle, rotating a log above 2 MiB first; null when the log cannot be opened.
    static std::unique_ptr<QFile> openLog(const QString &location);
    // Appends the text and a line feed; nothing without a handle; errors are ignored.
    static void writeLog(const QString &text, QFile *handle);
    // Strips terminal escapes and masks labelled e-mails and passwords, URLs and setup codes.
    static QString sanitize(const QString &line);
    // The first 240 characters of a line that reads like an error; nothing otherwise.
    static std::optional<QString> errorCandidate(const QString &line);
    // Both at once: the sanitized line and its error candidate, the way every output line gets them.
    struct CleanedLine
    {
        QString text;
        std::optional<QString> errorCandidate;
    };
    static CleanedLine clean(const QString &line);

    // ---- Agent scripts ---------------------------------------------------------------------

    QCoro::Task<CLIResult> prepareEnvironment(OutputHandler onOutput);
    QCoro::Task<CLIResult> setup(QString code, std::optional<QString> agentName, OutputHandler onOutput,
                                 AuthorizationHandler onAuthorization);
    QCoro::Task<CLIResult> resumeSetup(OutputHandler onOutput, AuthorizationHandler onAuthorization);
    // Self-service enrolment; `workspace` is the raw value "none", "zoho" or "google".
    QCoro::Task<CLIResult> enroll(QString workspace, QString agentName, QString enrollmentKey,
                                  OutputHandler onOutput, AuthorizationHandler onAuthorization);

    static QString daemonInstallScript() { return AgentScripts::daemonInstall(AgentScripts::hostPlatform()); }
    static QString agentUpdateScript() { return AgentScripts::agentUpdate(); }

    // ---- Permission probes -----------------------------------------------------------------

    // Whether the agent's own tools hold the permission; never fails (a failure is false).
    QCoro::Task<bool> permissionGranted(PermissionKind kind);
    // The same probe with the longer budget used while the user is asked to grant it.
    QCoro::Task<bool> preparePermission(PermissionKind kind);
    // Probes one accessibility client; leaves the answer in "mac-app-accessibility-probe".
    QCoro::Task<bool> accessibilityGranted(AccessibilityStep step, bool requestPrompt);

    static QString permissionCommand(PermissionKind kind, bool requestPrompt);
    static QString accessibilityProbeCommand(const QList<AccessibilityClient> &clients, bool requestPrompt);
    // The job wrapper that runs `payload` outside the application and polls its result.
    QString permissionJobScript(const QString &payload, int polls) const;

    static QString rawValue(AccessibilityClient client);

private:
    QCoro::Task<CLIResult> runSessionScript(QStringList options, std::optional<QString> stdinText,
                                            OutputHandler onOutput, AuthorizationHandler onAuthorization);
    QCoro::Task<bool> runPermissionJob(QString payload, int polls);
    std::optional<QString> sessionScriptPath() const;

    Options m_options;
    QString m_installLogPath;
    QString m_bashPath;
    QString m_homeDirectory;
    QProcess *m_process = nullptr;
};
