#pragma once

#include "model/Effects.h"
#include "model/ModelContext.h"
#include "model/ModelTypes.h"
#include "model/Published.h"

#include <QObject>
#include <QUuid>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

// The setup of the agent: the private runtime before the permissions, the setup code or
// self-service enrolment with its transient retry, and the agent's daemon after it.
class SetupController : public QObject
{
    Q_OBJECT

public:
    struct Effects
    {
        decltype(ModelEffects::environmentPrepare) environmentPrepare;
        decltype(ModelEffects::enrollmentKeyProvider) enrollmentKeyProvider;
        decltype(ModelEffects::setupWithCode) setupWithCode;
        decltype(ModelEffects::setupEnroll) setupEnroll;
        decltype(ModelEffects::setupResume) setupResume;
    };

    // What the setup hands over to, or asks of, the other parts of the model.
    struct Links
    {
        // The daemon answers: the installation moves on to the channel binding.
        std::function<QCoro::Task<void>()> enterChannelStage;
        // The runtime is ready: the permissions are verified afresh.
        std::function<void()> resetPermissionVerification;
        // A new run shows no authorization of an earlier one; the end of a run takes it away.
        std::function<void()> beginAuthorizationRun;
        std::function<void()> clearAuthorization;
        // The authorization callback of a run; it ignores what arrives once `isCurrent` is false.
        std::function<AuthorizationHandler(std::function<bool()> isCurrent)> authorizationHandler;
    };

    using SetupOperation = std::function<QCoro::Task<CLIResult>(int attempt)>;

    SetupController(ModelContext context, Effects effects, Links links,
                    std::vector<std::chrono::milliseconds> bootstrapRetryDelays, QObject *parent = nullptr);

    // ---- Published state ------------------------------------------------------------------------

    const QString &setupCode() const { return m_setupCode(); }
    const QString &setupAgentName() const { return m_setupAgentName(); }
    EnrollmentWorkspace enrollmentWorkspace() const { return m_enrollmentWorkspace(); }
    SetupEntryMode setupEntryMode() const { return m_setupEntryMode(); }
    bool isSubmittingSetup() const { return m_isSubmittingSetup(); }
    bool isPreparingEnvironment() const { return m_isPreparingEnvironment(); }

    // ---- Plain state ----------------------------------------------------------------------------

    const std::optional<QUuid> &setupTaskID() const { return m_setupTaskID; }
    bool daemonInstallInFlight() const { return m_daemonInstallInFlight; }
    const std::vector<std::chrono::milliseconds> &bootstrapRetryDelays() const { return m_bootstrapRetryDelays; }

    // ---- The user's input -----------------------------------------------------------------------

    // The setup-code field's setter: stores the formatted input.
    void setSetupCodeInput(const QString &text);
    void setSetupAgentName(const QString &name);
    void setEnrollmentWorkspace(EnrollmentWorkspace workspace);

    QString normalizedSetupCode() const;
    std::optional<QString> setupCodeValidationMessage() const;
    std::optional<QString> setupAgentNameValidationMessage() const;
    bool canSubmitSetup() const;
    bool canRequestEnrollmentSetup() const;
    bool canUseInstallCodeSetup() const;
    bool showsPackageInstallProgress() const;

    // ---- The setup run --------------------------------------------------------------------------

    QCoro::Task<void> submitActiveSetup();
    QCoro::Task<void> submitSetupCode();
    QCoro::Task<void> submitEnrollmentSetup(bool retrying = false);
    // The setup stage shown again at launch or on "重试": a clean progress list and the field to
    // fill. A retry of a failed run (`failedCode`) goes again when the same input can, and says
    // what must change first when it cannot (a refused name, a code that left the field).
    QCoro::Task<void> waitForSetupOrRetry(std::optional<QString> failedCode);
    void beginEnrollmentSetup();
    void useInstallCodeSetup();
    QCoro::Task<void> runSetupWithTransientRetry(QUuid taskID, SetupOperation operation);
    void consumeSetupOutput(const QString &line);
    QCoro::Task<void> completeSetup();
    bool hasResumableSetupSession() const;
    bool hasClaimableSetupCode() const;
    OutputHandler setupOutputHandler();
    // A failure ends the submission it belongs to.
    void abandonSubmission();

    // ---- The local installer stages -------------------------------------------------------------

    QCoro::Task<void> prepareEnvironmentIfNeeded();
    QCoro::Task<void> finishDaemonInstallationIfNeeded();

private:
    // Gives the controller a new current run and clears what the previous one left shown.
    QUuid beginSetupRun();
    // Whether the run `taskID` is still the current one.
    std::function<bool()> isCurrentRun(QUuid taskID);
    InstallJourney &journey() const { return *m_context.journey; }
    Attention &attention() const { return *m_context.attention; }

    ModelContext m_context;
    Effects m_effects;
    Links m_links;
    std::vector<std::chrono::milliseconds> m_bootstrapRetryDelays;

    Published<QString> m_setupCode;
    Published<QString> m_setupAgentName;
    Published<EnrollmentWorkspace> m_enrollmentWorkspace;
    Published<SetupEntryMode> m_setupEntryMode;
    Published<bool> m_isSubmittingSetup;
    Published<bool> m_isPreparingEnvironment;

    std::optional<QUuid> m_setupTaskID;
    bool m_daemonInstallInFlight = false;
};
