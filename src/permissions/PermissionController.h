#pragma once

#include "model/Effects.h"
#include "model/ModelContext.h"
#include "model/ModelTypes.h"
#include "model/Published.h"

class AgentDaemon;

#include <QList>
#include <QObject>
#include <QSet>
#include <QUrl>

#include <memory>
#include <optional>
#include <utility>

// The guided permission onboarding: one permission at a time, each decided only by a real probe
// of the agent's own tools, never by what the user says; and the re-check of the permissions of a
// finished installation.
class PermissionController : public QObject
{
    Q_OBJECT

public:
    struct Effects
    {
        decltype(ModelEffects::permissionCheck) permissionCheck;
        decltype(ModelEffects::permissionPrepare) permissionPrepare;
        decltype(ModelEffects::accessibilityPrepare) accessibilityPrepare;
        decltype(ModelEffects::openSystemSettings) openSystemSettings;
    };

    // Reads the completed and awaited permissions from their marker files.
    PermissionController(ModelContext context, Effects effects, QObject *parent = nullptr);
    ~PermissionController() override;

    // Past the permissions stage the rows show what was recorded when the stage finished, until
    // a re-check says otherwise.
    void restoreAtLaunch();

    // ---- Published state ------------------------------------------------------------------------

    const QList<PermissionItem> &permissions() const { return m_permissions(); }
    const std::optional<PermissionKind> &permissionPromptKind() const { return m_permissionPromptKind(); }
    bool permissionSettingsPrompt() const { return m_permissionSettingsPrompt(); }
    AccessibilityStep accessibilityStep() const { return m_accessibilityStep(); }
    const std::optional<AccessibilityProbeOutcome> &accessibilityProbeOutcome() const { return m_accessibilityProbeOutcome(); }
    bool isCheckingPermission() const { return m_isCheckingPermission(); }
    bool permissionOperationInFlight() const { return m_permissionOperationInFlight(); }
    // The kind whose settings pane the last attempt could not open.
    const std::optional<PermissionKind> &permissionSettingsUnopened() const { return m_permissionSettingsUnopened(); }

    // ---- Plain state ----------------------------------------------------------------------------

    const std::optional<PermissionKind> &permissionAwaitingReturn() const { return m_permissionAwaitingReturn; }
    const QSet<PermissionKind> &cachedCompletedPermissions() const { return m_cachedCompletedPermissions; }
    bool didRecheckExistingPermissions() const { return m_didRecheckExistingPermissions; }
    bool permissionRecheckPending() const { return m_permissionRecheckPending; }
    bool permissionReturnTaskRunning() const { return m_permissionReturnTask.has_value(); }

    // ---- Derived values -------------------------------------------------------------------------

    QString permissionSummary() const;
    std::pair<int, int> onboardingPermissionProgress() const;
    std::optional<PermissionItem> currentPermissionOnboardingItem() const;
    std::optional<PermissionKind> currentPermissionOnboardingKind() const;
    bool isVerifyingCurrentPermission() const;
    bool permissionNeedsUserAction() const;
    QString permissionSettingsGuidance() const;
    // What to do instead, when the current kind's settings pane could not be opened.
    std::optional<QString> permissionSettingsFailure() const;

    // ---- The onboarding -------------------------------------------------------------------------

    QCoro::Task<void> continuePermissionOnboarding();
    QCoro::Task<void> confirmPermissionOnboarding(std::optional<PermissionKind> kind = std::nullopt);
    QCoro::Task<void> advancePermissionOnboarding();
    void openCurrentPermissionSettings();
    void schedulePermissionReturnChecks(PermissionKind kind);
    QCoro::Task<void> finishPermissionStageIfReady();
    // The runtime is ready: every permission is unverified again and none is awaited.
    void resetPermissionVerification();
    // Shows the prompt of a kind (the error panel's "打开系统设置"), or closes it.
    void presentPermissionPrompt(PermissionKind kind);
    void dismissPermissionPrompt();
    // The window became active again: the user may be back from System Settings.
    QCoro::Task<void> noteActivation();

    // The System Settings pane of a kind (absent: accessibility), opened on the desktop.
    static QUrl permissionSettingsURL(std::optional<PermissionKind> kind);
    static QCoro::Task<bool> openSettings(std::optional<PermissionKind> kind);
    // The line shown when a kind's pane could not be opened: where to find it on a Mac; elsewhere
    // that this computer has no such pane and the probes decide by themselves.
    static QString settingsUnavailableLine(std::optional<PermissionKind> kind);

    // ---- A finished installation ------------------------------------------------------------------

    QCoro::Task<void> refreshExistingPermissions();
    QCoro::Task<void> recheckExistingPermissionsOnLaunchIfNeeded();
    QCoro::Task<void> recoverExistingConfigurationIfNeeded();
    // After an agent update, the launch re-check may run once more.
    void allowExistingPermissionRecheck();
    // A permission of a finished installation the user is to grant again: opens its privacy pane
    // and re-checks it every half second, as the onboarding's return checks do, until it is
    // granted or a newer series starts.
    void resolvePermission(PermissionKind kind);
    // Opens a kind's privacy pane (absent: the accessibility pane); when nothing takes it, the
    // action line says what to do instead.
    QCoro::Task<void> openSettingsOrSay(std::optional<PermissionKind> kind);

private:
    InstallJourney &journey() const { return *m_context.journey; }
    Attention &attention() const { return *m_context.attention; }
    AgentDaemon &daemon() const { return *m_context.daemon; }

    QCoro::Task<void> runPermissionReturnChecks(PermissionKind kind, quint64 generation);
    QCoro::Task<void> runGrantChecks(PermissionKind kind, quint64 generation);
    quint64 startReturnSeries();
    // Restarts a running agent so that it picks up a new accessibility grant; false (after
    // reporting the failure) when the restart did not succeed.
    QCoro::Task<bool> restartAgentAfterAccessibilityGrant();
    // Tells the user that a probe could not run, so nothing about the permission changed.
    void noteProbeNotRun(const QString &reason);
    // Opens a kind's pane through the effect; false when nothing took it.
    QCoro::Task<bool> openSettingsPane(std::optional<PermissionKind> kind);
    QCoro::Task<void> openOnboardingSettings(PermissionKind kind);
    bool allPermissionsVerified() const;
    bool hasPermissionItem(PermissionKind kind) const;
    void setPermissionState(PermissionKind kind, PermissionNativeState state, bool verified);
    // Applies a probe's answer to the item and the completed set, and persists the set.
    void recordPermissionResult(PermissionKind kind, bool granted);
    void setCompleted(PermissionKind kind, bool completed);
    void persistCompletedPermissions();
    void persistAwaitingPermission(std::optional<PermissionKind> kind);
    void stopAwaitingPermission(PermissionKind kind);

    ModelContext m_context;
    Effects m_effects;

    Published<QList<PermissionItem>> m_permissions;
    Published<std::optional<PermissionKind>> m_permissionPromptKind;
    Published<bool> m_permissionSettingsPrompt;
    Published<AccessibilityStep> m_accessibilityStep;
    Published<std::optional<AccessibilityProbeOutcome>> m_accessibilityProbeOutcome;
    Published<bool> m_isCheckingPermission;
    Published<bool> m_permissionOperationInFlight;
    Published<std::optional<PermissionKind>> m_permissionSettingsUnopened;

    std::optional<PermissionKind> m_permissionAwaitingReturn;
    QSet<PermissionKind> m_cachedCompletedPermissions;
    bool m_didRecheckExistingPermissions = false;
    bool m_permissionRecheckPending = false;
    // The running series of return (or grant) checks, by its number; a new series replaces the
    // old one, which sees that and ends.
    std::optional<quint64> m_permissionReturnTask;
    quint64 m_returnSeriesCount = 0;
    // The failure a restart after the accessibility grant reported; a later restart that
    // succeeds takes it back while it is still the one shown.
    std::optional<DisplayError> m_restartError;
};
