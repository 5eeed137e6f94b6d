// The setup run: a setup code or a self-service enrolment becomes a run of the agent's tool,
// with its progress lines, the retry of transient service failures and the hand-over to the
// daemon stage; and the two local installer stages around it.
#include "setup/SetupController.h"

#include "core/RawValues.h"
#include "model/AgentDaemon.h"
#include "model/Attention.h"
#include "model/InFlight.h"
#include "model/InstallJourney.h"
#include "setup/SetupCode.h"
#include "setup/SetupOutput.h"

#include <QPointer>

using namespace std::chrono_literals;

namespace {

const QString setupStateFile = QStringLiteral("setup-state.json");

QString retryDetail(int attempt, int attempts)
{
    return SetupController::tr("安装服务暂时繁忙，正在重试（%1/%2）").arg(attempt).arg(attempts);
}

} // namespace

SetupController::SetupController(ModelContext context, Effects effects, Links links,
                                 std::vector<std::chrono::milliseconds> bootstrapRetryDelays, QObject *parent)
    : QObject(parent),
      m_context(std::move(context)),
      m_effects(std::move(effects)),
      m_links(std::move(links)),
      m_bootstrapRetryDelays(std::move(bootstrapRetryDelays)),
      m_setupCode(m_context.publication, ModelChange::setup),
      m_setupAgentName(m_context.publication, ModelChange::setup),
      m_enrollmentWorkspace(m_context.publication, ModelChange::setup, EnrollmentWorkspace::none),
      m_setupEntryMode(m_context.publication, ModelChange::setup, SetupEntryMode::paste),
      m_isSubmittingSetup(m_context.publication, ModelChange::setup, false),
      m_isPreparingEnvironment(m_context.publication, ModelChange::setup, false)
{
}

// ---- The user's input ---------------------------------------------------------------------------

void SetupController::setSetupCodeInput(const QString &text)
{
    m_setupCode = formattedQuorvantisSetupCodeInput(text);
}

void SetupController::setSetupAgentName(const QString &name)
{
    m_setupAgentName = name;
}

void SetupController::setEnrollmentWorkspace(EnrollmentWorkspace workspace)
{
    m_enrollmentWorkspace = workspace;
}

QString SetupController::normalizedSetupCode() const
{
    if (const auto canonical = canonicalQuorvantisSetupCode(setupCode()))
        return *canonical;
    return setupCode().trimmed().toUpper();
}

std::optional<QString> SetupController::setupCodeValidationMessage() const
{
    const QString code = normalizedSetupCode();
    if (code.isEmpty() || canonicalQuorvantisSetupCode(code))
        return std::nullopt;
    return tr("请输入 QVS2 或 QVI1 格式的安装码。");
}

std::optional<QString> SetupController::setupAgentNameValidationMessage() const
{
    if (setupEntryMode() == SetupEntryMode::paste && !normalizedSetupCode().startsWith(u"QVI1-"))
        return std::nullopt;
    if (isValidAgentName(setupAgentName().trimmed().toLower()))
        return std::nullopt;
    return tr("名称需为 6-64 位小写字母、数字或连字符。");
}

bool SetupController::canSubmitSetup() const
{
    if (!journey().isAt(InstallStage::setup) || journey().configurationReady() || isSubmittingSetup())
        return false;
    if (setupEntryMode() == SetupEntryMode::paste) {
        const auto canonical = canonicalQuorvantisSetupCode(normalizedSetupCode());
        if (!canonical)
            return false;
        return canonical->startsWith(u"QVS2") || !setupAgentNameValidationMessage();
    }
    return m_effects.enrollmentKeyProvider().has_value() && !setupAgentNameValidationMessage();
}

bool SetupController::canRequestEnrollmentSetup() const
{
    return journey().isAt(InstallStage::setup) && !journey().configurationReady() && !isSubmittingSetup()
        && m_effects.enrollmentKeyProvider().has_value() && setupEntryMode() == SetupEntryMode::paste
        && !journey().pendingSetupResume();
}

bool SetupController::canUseInstallCodeSetup() const
{
    return setupEntryMode() == SetupEntryMode::enroll && !isSubmittingSetup();
}

bool SetupController::showsPackageInstallProgress() const
{
    return isPreparingEnvironment() && journey().setupProgressDetail() == QStringLiteral("安装 Quorvantis");
}

// ---- The setup run ------------------------------------------------------------------------------

QCoro::Task<void> SetupController::submitActiveSetup()
{
    if (setupEntryMode() == SetupEntryMode::enroll)
        co_await submitEnrollmentSetup();
    else
        co_await submitSetupCode();
}

QCoro::Task<void> SetupController::submitSetupCode()
{
    if (setupEntryMode() == SetupEntryMode::enroll) {
        co_await submitEnrollmentSetup();
        co_return;
    }
    if (!canSubmitSetup()) {
        attention().showError(DisplayError::from(QStringLiteral("SETUP_CODE_FORMAT"), std::nullopt));
        attention().requestFocus(FocusTarget::setupCode());
        co_return;
    }

    const QUuid taskID = beginSetupRun();
    journey().applyProgress(SetupPhase::redeem, ProgressState::running, tr("正在验证安装码"));

    const QString code = normalizedSetupCode();
    std::optional<QString> agentName;
    if (code.startsWith(u"QVI1-"))
        agentName = setupAgentName().trimmed().toLower();
    // The code leaves the field once submitted; from here on it lives only in the run.
    m_setupCode = QString();

    // Every attempt runs the same setup; the attempt number only matters to enrolment.
    SetupOperation operation = [run = m_effects.setupWithCode, code, agentName, onOutput = setupOutputHandler(),
                                onAuthorization = m_links.authorizationHandler(isCurrentRun(taskID))](int) {
        return run(code, agentName, onOutput, onAuthorization);
    };
    co_await runSetupWithTransientRetry(taskID, std::move(operation));
}

QCoro::Task<void> SetupController::submitEnrollmentSetup(bool retrying)
{
    if (setupEntryMode() == SetupEntryMode::paste) {
        co_await submitSetupCode();
        co_return;
    }
    if (!canSubmitSetup()) {
        attention().showError(DisplayError::from(QStringLiteral("SETUP_CODE_FORMAT"), std::nullopt));
        co_return;
    }
    const std::optional<QString> key = m_effects.enrollmentKeyProvider();
    if (!key) {
        attention().showError(DisplayError::from(QStringLiteral("SETUP_ENROLLMENT_UNAVAILABLE"), std::nullopt));
        co_return;
    }

    const QUuid taskID = beginSetupRun();
    journey().applyProgress(SetupPhase::redeem, ProgressState::running, tr("正在注册新 Agent"));

    const QString workspace = rawValue(enrollmentWorkspace());
    const QString agentName = setupAgentName().trimmed().toLower();

    // A retry must not register the agent twice: once the tool has left a session to resume,
    // or (after a failed attempt) a code it was issued, the run continues that instead.
    SetupOperation operation = [enroll = m_effects.setupEnroll, resume = m_effects.setupResume,
                                statePath = m_context.profileFile(setupStateFile), workspace, agentName, key = *key,
                                onOutput = setupOutputHandler(), retrying,
                                onAuthorization = m_links.authorizationHandler(isCurrentRun(taskID))](int attempt) {
        if (SetupState::hasResumableSession(statePath)
            || ((attempt >= 1 || retrying) && SetupState::hasClaimableCode(statePath)))
            return resume(onOutput, onAuthorization);
        return enroll(workspace, agentName, key, onOutput, onAuthorization);
    };
    co_await runSetupWithTransientRetry(taskID, std::move(operation));
}

QCoro::Task<void> SetupController::waitForSetupOrRetry(std::optional<QString> failedCode)
{
    journey().showWaitingForSetup();
    if (!failedCode)
        co_return;
    static const QStringList refusedName{QStringLiteral("SETUP_AGENT_NAME_RESERVED"),
                                         QStringLiteral("SETUP_AGENT_NAME_TAKEN"),
                                         QStringLiteral("SETUP_AGENT_NAME_TOO_SHORT")};
    if (refusedName.contains(*failedCode)) {
        attention().showNotice(tr("请先更换 Agent 名称，再重新提交。"));
        co_return;
    }
    if (!canSubmitSetup()) {
        attention().showNotice(setupEntryMode() == SetupEntryMode::enroll ? tr("请检查 Agent 名称后重新提交。")
                                                                          : tr("请重新输入安装码后提交。"));
        co_return;
    }
    if (setupEntryMode() == SetupEntryMode::enroll)
        co_await submitEnrollmentSetup(true);
    else
        co_await submitSetupCode();
}

std::function<bool()> SetupController::isCurrentRun(QUuid taskID)
{
    return [self = QPointer<SetupController>(this), taskID] { return self && self->m_setupTaskID == taskID; };
}

QUuid SetupController::beginSetupRun()
{
    const QUuid taskID = QUuid::createUuid();
    m_setupTaskID = taskID;
    m_isSubmittingSetup = true;
    attention().clearError();
    m_links.beginAuthorizationRun();
    return taskID;
}

void SetupController::beginEnrollmentSetup()
{
    if (!canRequestEnrollmentSetup())
        return;
    m_setupEntryMode = SetupEntryMode::enroll;
    m_setupCode = QString();
    m_enrollmentWorkspace = EnrollmentWorkspace::none;
    attention().clearError();
    m_links.clearAuthorization();
}

void SetupController::useInstallCodeSetup()
{
    if (!canUseInstallCodeSetup())
        return;
    m_setupEntryMode = SetupEntryMode::paste;
    m_enrollmentWorkspace = EnrollmentWorkspace::none;
    attention().clearError();
    m_links.clearAuthorization();
    attention().requestFocus(FocusTarget::setupCode());
}

QCoro::Task<void> SetupController::runSetupWithTransientRetry(QUuid taskID, SetupOperation operation)
{
    QPointer<SetupController> self(this);
    const int retries = int(m_bootstrapRetryDelays.size());
    int attempt = 0;

    for (;;) {
        if (m_setupTaskID != taskID)
            co_return;

        std::optional<CLIResult> result;
        std::exception_ptr error;
        try {
            result = co_await operation(attempt);
        } catch (...) {
            error = std::current_exception();
        }
        if (!self || m_setupTaskID != taskID)
            co_return;

        if (result && result->status == 0) {
            m_setupTaskID = std::nullopt;
            co_await completeSetup();
            co_return;
        }

        const Failure::Report report =
            error ? Failure::from(error, QStringLiteral("SETUP_FAILED"))
                  : Failure::forExit(QStringLiteral("SETUP_EXIT_") + QString::number(result->status), *result);
        if (attempt >= retries || !Failure::isTransient(report)) {
            m_setupTaskID = std::nullopt;
            m_isSubmittingSetup = false;
            m_context.fail(report);
            co_return;
        }

        attempt += 1;
        journey().applyProgress(SetupPhase::redeem, ProgressState::running, retryDetail(attempt + 1, retries + 1));
        try {
            co_await m_context.sleep(m_bootstrapRetryDelays[std::size_t(attempt - 1)]);
        } catch (...) {
            // An interrupted wait only shortens the pause; the attempt still happens.
        }
        if (!self)
            co_return;
    }
}

void SetupController::consumeSetupOutput(const QString &line)
{
    const std::optional<SetupOutput::Event> event = SetupOutput::parse(line);
    if (!event)
        return;
    if (const auto *progress = std::get_if<SetupOutput::Progress>(&*event))
        journey().applyProgress(progress->phase, progress->state, progress->detail);
    else if (const auto *package = std::get_if<SetupOutput::PackageProgress>(&*event))
        journey().updatePackageInstallProgress(package->completed, package->total);
}

QCoro::Task<void> SetupController::completeSetup()
{
    m_links.clearAuthorization();
    m_isSubmittingSetup = false;
    journey().report(JourneyEvent::setupSucceeded);
    co_await finishDaemonInstallationIfNeeded();
}

bool SetupController::hasResumableSetupSession() const
{
    return SetupState::hasResumableSession(m_context.profileFile(setupStateFile));
}

bool SetupController::hasClaimableSetupCode() const
{
    return SetupState::hasClaimableCode(m_context.profileFile(setupStateFile));
}

OutputHandler SetupController::setupOutputHandler()
{
    return [self = QPointer<SetupController>(this)](const QString &line) {
        if (self)
            self->consumeSetupOutput(line);
    };
}

void SetupController::abandonSubmission()
{
    m_isSubmittingSetup = false;
}

// ---- The local installer stages -----------------------------------------------------------------

QCoro::Task<void> SetupController::prepareEnvironmentIfNeeded()
{
    QPointer<SetupController> self(this);
    if (!journey().isAt(InstallStage::runtime) || isPreparingEnvironment())
        co_return;

    InFlight preparing(this, m_isPreparingEnvironment);
    journey().showResuming();
    journey().beginProgress();

    CLIResult result;
    std::exception_ptr error;
    try {
        result = co_await m_effects.environmentPrepare(setupOutputHandler());
    } catch (...) {
        error = std::current_exception();
    }
    if (!self)
        co_return;

    if (error) {
        m_context.fail(Failure::from(error, QStringLiteral("RUNTIME_PREPARE_FAILED")));
        co_return;
    }
    if (result.status != 0) {
        m_context.fail(Failure::forExit(QStringLiteral("RUNTIME_PREPARE_EXIT_") + QString::number(result.status), result));
        co_return;
    }

    m_links.resetPermissionVerification();
    journey().report(JourneyEvent::runtimePrepared);
}

QCoro::Task<void> SetupController::finishDaemonInstallationIfNeeded()
{
    QPointer<SetupController> self(this);
    if (!journey().isAt(InstallStage::daemon) || m_daemonInstallInFlight)
        co_return;

    journey().applyProgress(SetupPhase::starting, ProgressState::running, tr("正在安装并启动 Agent"));
    // Cleared on every way out, or no later resume could install the daemon again.
    InFlight installing(this, m_daemonInstallInFlight);
    AgentDaemon &daemon = *m_context.daemon;
    const bool installed = co_await daemon.install(AgentDaemon::Purpose::install);
    if (!self || !installed)
        co_return;

    journey().applyProgress(SetupPhase::starting, ProgressState::running, tr("等待 Agent 启动"));
    const bool answering = co_await daemon.waitUntilAnswering();
    if (!self)
        co_return;
    if (answering) {
        co_await m_links.enterChannelStage();
        co_return;
    }
    m_context.fail({QStringLiteral("AGENT_START_TIMEOUT"), tr("Agent 已安装，但未能在 15 秒内启动。")});
}
