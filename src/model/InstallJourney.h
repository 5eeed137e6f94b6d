#pragma once

#include "model/ModelTypes.h"
#include "model/Published.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <utility>

class Attention;

// What the subsystems report about the installation. Which stage follows is the journey's
// decision alone (the table at `report`).
enum class JourneyEvent {
    runtimePrepared,     // the private runtime is ready
    permissionsVerified, // every permission passed its probe
    permissionMissing,   // a finished installation lost a permission
    setupSucceeded,      // the agent's setup ran to its end
    daemonAnswering,     // the installed daemon's status endpoint answers
    bindingCompleted,    // the owner bound a channel
    agentReady,          // the agent reported itself ready
};

// Where the installation stands: the persisted install stage, the facts that go with it
// (configured, validated, onboarded, resume pending), the overall state and the progress list
// that shows the same sequence in finer steps. `report` is the one way the installation moves
// from stage to stage; it persists the stage and makes every write tied to it.
class InstallJourney
{
public:
    // `publication` announces every published write; focus requests go to `attention`.
    InstallJourney(QString profileDirectory, Publication publication, Attention &attention);

    std::optional<InstallStage> installStage() const { return m_stage; }
    bool isAt(InstallStage stage) const { return m_stage == stage; }
    bool configurationReady() const { return m_configurationReady(); }
    bool installationValidated() const { return m_installationValidated(); }
    bool onboardingCompleted() const { return m_onboardingCompleted(); }
    bool pendingSetupResume() const { return m_pendingSetupResume(); }
    OverallState overallState() const { return m_overallState(); }
    const QList<SetupProgressItem> &setupProgress() const { return m_setupProgress(); }
    const std::optional<QString> &setupProgressDetail() const { return m_setupProgressDetail(); }
    const std::optional<PackageInstallProgress> &packageInstallProgress() const { return m_packageInstallProgress(); }

    ProgressState state(SetupPhase phase) const { return setupProgress().at(int(phase)).state; }
    std::pair<int, int> setupProgressCounts() const;
    double setupProgressFraction() const;

    // At launch: reads the persisted stage (a first launch persists `runtime`) and whether the
    // agent is configured, and shows where the installation stands.
    void restoreAtLaunch();

    // Moves the installation on when `event` happens at the stage it stands at; returns whether
    // it moved. Nothing else moves the stage.
    //
    //   at            event                moves to     and shows
    //   runtime       runtimePrepared      permissions  resume pending, not validated, not onboarded, starting
    //   permissions   permissionsVerified  setup        no resume pending, waiting for setup, code field focused
    //                                      finished     when already configured: validated, onboarded, starting
    //   finished      permissionMissing    permissions  as above (only once configured)
    //   setup         setupSucceeded       daemon       configured, resume pending, starting
    //   daemon        daemonAnswering      channel      no resume pending, validated, not onboarded, online
    //   channel       bindingCompleted     handshake    (nothing more)
    //   handshake     agentReady           finished     no resume pending, validated, onboarded, all complete
    //
    // Any other pair changes nothing. Every move persists the stage and shows its progress list.
    bool report(JourneyEvent event);

    // What a resumed stage shows while it runs again, and the wait for the user's setup input.
    void showResuming();
    void showWaitingForSetup();
    void setOverallState(OverallState state);

    // The progress list. `applyProgress` is the one update primitive: `running` completes every
    // phase before it and shows the detail (at most 80 characters); `complete` completes the
    // phase; `pending` and `failed` (the setup tool's other status texts) mark it running without
    // the rest. A detail shows only under a running phase.
    void applyProgress(SetupPhase phase, ProgressState state, const std::optional<QString> &detail = std::nullopt);
    // A fresh installation: every phase pending but the first, which runs; no detail, no counter.
    void beginProgress();
    // Every running phase becomes failed.
    void markRunningPhasesFailed();
    // The package counter never moves backwards while its total stays, and never passes it.
    void updatePackageInstallProgress(std::optional<int> completed, std::optional<int> total);

private:
    void moveTo(std::optional<InstallStage> stage);
    // The one writer of the resume point: the stage in memory and in "mac-app-install-stage".
    void persistInstallStage(std::optional<InstallStage> stage);
    // The progress list as it stands at a stage (all complete when finished).
    void restoreProgress(std::optional<InstallStage> stage);
    void showProgress(std::optional<InstallStage> stage);

    QString m_profileDirectory;
    Attention &m_attention;
    Publication m_publication;
    std::optional<InstallStage> m_stage;
    Published<bool> m_configurationReady;
    Published<bool> m_installationValidated;
    Published<bool> m_onboardingCompleted;
    Published<bool> m_pendingSetupResume;
    Published<OverallState> m_overallState;
    Published<QList<SetupProgressItem>> m_setupProgress;
    Published<std::optional<QString>> m_setupProgressDetail;
    Published<std::optional<PackageInstallProgress>> m_packageInstallProgress;
};
