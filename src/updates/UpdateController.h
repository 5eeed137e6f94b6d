#pragma once

#include "model/Effects.h"
#include "model/ModelContext.h"
#include "model/ModelTypes.h"
#include "model/Published.h"

#include <QObject>

#include <functional>
#include <optional>

// Agent updates offered from the package registry, and the recovery actions the error panel and
// the dashboard offer.
class UpdateController : public QObject
{
    Q_OBJECT

public:
    struct Effects
    {
        decltype(ModelEffects::agentUpdateVersion) agentUpdateVersion;
        decltype(ModelEffects::runScript) runScript;
        decltype(ModelEffects::daemonInstall) daemonInstall;
        decltype(ModelEffects::openURL) openURL;
        decltype(ModelEffects::openSystemSettings) openSystemSettings;
        decltype(ModelEffects::runnerIdle) runnerIdle;
    };

    struct Links
    {
        std::function<void(PermissionKind)> presentPermissionPrompt;
        // Runs the persisted stage again.
        std::function<QCoro::Task<void>()> resumeInstallation;
        std::function<QCoro::Task<void>()> recoverExistingConfiguration;
        std::function<QCoro::Task<void>()> refreshExistingPermissions;
        std::function<void()> allowExistingPermissionRecheck;
        std::function<QCoro::Task<void>()> refreshAgentStatus;
    };

    UpdateController(ModelContext context, Effects effects, Links links, QObject *parent = nullptr);

    bool isUpdatingAgent() const { return m_isUpdatingAgent(); }
    const std::optional<QString> &availableAgentVersion() const { return m_availableAgentVersion(); }
    const std::optional<QString> &dismissedAgentVersion() const { return m_dismissedAgentVersion; }
    const std::optional<QString> &agentVersionChecked() const { return m_agentVersionChecked; }
    bool agentUpdateCheckInFlight() const { return m_agentUpdateCheckInFlight; }
    // The recovery action that runs (from the press, waiting for the runner included, to its end).
    const std::optional<RecoveryAction::Kind> &runningRecovery() const { return m_runningRecovery(); }
    // How the last action ended, in a line, when the rest of the window does not show it.
    const std::optional<QString> &actionNotice() const { return m_actionNotice(); }

    QCoro::Task<void> checkAgentUpdate(std::optional<QString> currentVersion);
    QCoro::Task<void> updateAgent();
    // Runs a "-c" script; a failure is reported under `failureCode` and yields false.
    QCoro::Task<bool> runCLIAction(QString script, QString failureCode);
    QCoro::Task<void> perform(RecoveryAction action);
    bool showsAgentUpdateBanner() const;
    QString agentUpdateBannerText() const;
    void dismissAgentUpdate();

private:
    class Running;

    InstallJourney &journey() const { return *m_context.journey; }
    // Runs `run` once the runner is free: a run another part of the model holds (the launch's
    // permission re-check) is waited for instead of failing the user's action.
    QCoro::Task<CLIResult> whenRunnerFree(std::function<QCoro::Task<CLIResult>()> run);
    // Runs `run` once the runner is free; a failure is reported under `failureCode` and yields
    // false, as does the controller going away meanwhile.
    QCoro::Task<bool> runAction(std::function<QCoro::Task<CLIResult>()> run, QString failureCode);
    // Reinstalls and restarts the daemon, which is how a new package starts running.
    QCoro::Task<bool> reinstallDaemon(QString failureCode);
    QCoro::Task<void> restartAgent();
    void openOrSay(const QUrl &url, const QString &failure);
    Attention &attention() const { return *m_context.attention; }

    ModelContext m_context;
    Effects m_effects;
    Links m_links;
    Published<bool> m_isUpdatingAgent;
    Published<std::optional<QString>> m_availableAgentVersion;
    Published<std::optional<RecoveryAction::Kind>> m_runningRecovery;
    Published<std::optional<QString>> m_actionNotice;
    std::optional<QString> m_dismissedAgentVersion;
    std::optional<QString> m_agentVersionChecked;
    bool m_agentUpdateCheckInFlight = false;
};
