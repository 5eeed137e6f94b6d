// The setup run: a setup code or a self-service enrolment becomes a run of the agent's tool,
// with its progress lines, the retry of transient service failures and the hand-over to the
// daemon stage.
#include "app/AppModel.h"

#include <QFile>

#include <nlohmann/json.hpp>

#include <limits>

namespace {

using json = nlohmann::json;

// The tool's state file is a few hundred bytes; anything far bigger is not a state file.
constexpr qint64 setupStateSizeLimit = 1024 * 1024;

const QString setupStateFile = QStringLiteral("setup-state.json");

// The state file as a JSON object; anything else (missing, unreadable, malformed, not an
// object) reads as no state.
std::optional<json> readSetupState(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(setupStateSizeLimit + 1);
    if (bytes.size() > setupStateSizeLimit)
        return std::nullopt;
    json document = json::parse(bytes.cbegin(), bytes.cend(), nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return std::nullopt;
    return document;
}

std::optional<QString> stringMember(const json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return std::nullopt;
    return QString::fromStdString(found->get_ref<const std::string &>());
}

bool hasResumableSession(const QString &path)
{
    const auto state = readSetupState(path);
    if (!state)
        return false;
    const auto sessionID = stringMember(*state, "sessionId");
    const auto resumeToken = stringMember(*state, "resumeToken");
    return sessionID && !sessionID->isEmpty() && resumeToken && !resumeToken->isEmpty();
}

bool hasClaimableCode(const QString &path)
{
    const auto state = readSetupState(path);
    if (!state)
        return false;
    const auto code = stringMember(*state, "setupCode");
    return code && canonicalQuorvantisSetupCode(*code).has_value();
}

// A count from a progress line: only integers that fit count; anything else is absent.
std::optional<int> integerMember(const json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer())
        return std::nullopt;
    if (found->is_number_unsigned()) {
        const auto value = found->get<std::uint64_t>();
        if (value > std::uint64_t(std::numeric_limits<int>::max()))
            return std::nullopt;
        return int(value);
    }
    const auto value = found->get<std::int64_t>();
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(value);
}

QString retryDetail(int attempt, int attempts)
{
    return QStringLiteral("安装服务暂时繁忙，正在重试（%1/%2）").arg(attempt).arg(attempts);
}

} // namespace

QCoro::Task<void> AppModel::submitActiveSetup()
{
    if (setupEntryMode() == SetupEntryMode::enroll)
        co_await submitEnrollmentSetup();
    else
        co_await submitSetupCode();
}

QCoro::Task<void> AppModel::submitSetupCode()
{
    if (setupEntryMode() == SetupEntryMode::enroll) {
        co_await submitEnrollmentSetup();
        co_return;
    }
    if (!canSubmitSetup()) {
        lastError = DisplayError::from(QStringLiteral("SETUP_CODE_FORMAT"), std::nullopt);
        requestFocus(FocusTarget::setupCode());
        co_return;
    }

    const QUuid taskID = beginSetupRun();
    applyProgress(QStringLiteral("redeem"), QStringLiteral("running"), QStringLiteral("正在验证安装码"));

    const QString code = normalizedSetupCode();
    std::optional<QString> agentName;
    if (code.startsWith(u"QVI1-"))
        agentName = setupAgentName().trimmed().toLower();
    // The code leaves the field once submitted; from here on it lives only in the run.
    setupCode = QString();

    // Every attempt runs the same setup; the attempt number only matters to enrolment.
    SetupOperation operation = [run = effects.setupWithCode, code, agentName, onOutput = setupOutputHandler(),
                                onAuthorization = setupAuthorizationHandler()](int) {
        return run(code, agentName, onOutput, onAuthorization);
    };
    co_await runSetupWithTransientRetry(taskID, std::move(operation));
}

QCoro::Task<void> AppModel::submitEnrollmentSetup()
{
    if (setupEntryMode() == SetupEntryMode::paste) {
        co_await submitSetupCode();
        co_return;
    }
    if (!canSubmitSetup()) {
        lastError = DisplayError::from(QStringLiteral("SETUP_CODE_FORMAT"), std::nullopt);
        co_return;
    }
    const std::optional<QString> key = effects.enrollmentKeyProvider();
    if (!key) {
        lastError = DisplayError::from(QStringLiteral("SETUP_ENROLLMENT_UNAVAILABLE"), std::nullopt);
        co_return;
    }

    const QUuid taskID = beginSetupRun();
    applyProgress(QStringLiteral("redeem"), QStringLiteral("running"), QStringLiteral("正在注册新 Agent"));

    const QString workspace = rawValue(enrollmentWorkspace());
    const QString agentName = setupAgentName().trimmed().toLower();

    // A retry must not register the agent twice: once the tool has left a session to resume,
    // or (after a failed attempt) a code it was issued, the run continues that instead.
    SetupOperation operation = [enroll = effects.setupEnroll, resume = effects.setupResume,
                                statePath = profileFile(setupStateFile), workspace, agentName, key = *key,
                                onOutput = setupOutputHandler(),
                                onAuthorization = setupAuthorizationHandler()](int attempt) {
        if (hasResumableSession(statePath) || (attempt >= 1 && hasClaimableCode(statePath)))
            return resume(onOutput, onAuthorization);
        return enroll(workspace, agentName, key, onOutput, onAuthorization);
    };
    co_await runSetupWithTransientRetry(taskID, std::move(operation));
}

QUuid AppModel::beginSetupRun()
{
    const QUuid taskID = QUuid::createUuid();
    setupTaskID = taskID;
    isSubmittingSetup = true;
    lastError = std::nullopt;
    setupAuthorization = std::nullopt;
    setupAuthorizationOpenFailed = false;
    return taskID;
}

void AppModel::beginEnrollmentSetup()
{
    if (!canRequestEnrollmentSetup())
        return;
    setupEntryMode = SetupEntryMode::enroll;
    setupCode = QString();
    enrollmentWorkspace = EnrollmentWorkspace::none;
    lastError = std::nullopt;
    setupAuthorization = std::nullopt;
}

void AppModel::useInstallCodeSetup()
{
    if (!canUseInstallCodeSetup())
        return;
    setupEntryMode = SetupEntryMode::paste;
    enrollmentWorkspace = EnrollmentWorkspace::none;
    lastError = std::nullopt;
    setupAuthorization = std::nullopt;
    requestFocus(FocusTarget::setupCode());
}

QCoro::Task<void> AppModel::runSetupWithTransientRetry(QUuid taskID, SetupOperation operation)
{
    QPointer<AppModel> self(this);
    const int retries = int(bootstrapRetryDelays.size());
    int attempt = 0;

    for (;;) {
        if (setupTaskID != taskID)
            co_return;

        std::optional<CLIResult> result;
        std::optional<QuorvantisNativeError> coded;
        bool failedOtherwise = false;
        try {
            result = co_await operation(attempt);
        } catch (const QuorvantisNativeError &error) {
            coded = error;
        } catch (...) {
            failedOtherwise = true;
        }
        if (!self || setupTaskID != taskID)
            co_return;

        if (failedOtherwise) {
            setupTaskID = std::nullopt;
            fail(QStringLiteral("SETUP_FAILED"));
            co_return;
        }
        if (result && result->status == 0) {
            setupTaskID = std::nullopt;
            co_await completeSetup();
            co_return;
        }

        QString code;
        std::optional<QString> message;
        if (result) {
            code = QStringLiteral("SETUP_EXIT_") + QString::number(result->status);
            message = safeErrorMessage(result->lastErrorLine);
        } else {
            code = coded->code;
            if (!coded->message.isEmpty())
                message = coded->message;
        }

        const bool transient =
            attempt < retries && DisplayError::from(code, message).code == u"SETUP_BOOTSTRAP_FAILED";
        if (!transient) {
            setupTaskID = std::nullopt;
            fail(code, message);
            co_return;
        }

        attempt += 1;
        applyProgress(QStringLiteral("redeem"), QStringLiteral("running"), retryDetail(attempt + 1, retries + 1));
        try {
            co_await sleep(bootstrapRetryDelays[std::size_t(attempt - 1)]);
        } catch (...) {
            // An interrupted wait only shortens the pause; the attempt still happens.
        }
        if (!self)
            co_return;
    }
}

void AppModel::consumeSetupOutput(const QString &line)
{
    // Most output is plain text; only a line that can be a JSON object is parsed.
    const QString trimmed = line.trimmed();
    if (!trimmed.startsWith(u'{'))
        return;
    const QByteArray bytes = trimmed.toUtf8();
    const json object = json::parse(bytes.cbegin(), bytes.cend(), nullptr, false);
    if (object.is_discarded() || !object.is_object())
        return;
    const auto type = stringMember(object, "type");
    if (!type)
        return;

    if (*type == u"progress") {
        const auto phase = stringMember(object, "phase");
        const auto status = stringMember(object, "status");
        if (!phase || !status)
            return;
        applyProgress(*phase, *status, stringMember(object, "detail"));
    } else if (*type == u"packageProgress") {
        updatePackageInstallProgress(integerMember(object, "completed"), integerMember(object, "total"));
    }
}

QCoro::Task<void> AppModel::completeSetup()
{
    setupAuthorization = std::nullopt;
    configurationReady = true;
    isSubmittingSetup = false;
    pendingSetupResume = true;
    overallState = OverallState::starting;

    applyProgress(QStringLiteral("redeem"), QStringLiteral("complete"));
    applyProgress(QStringLiteral("configure"), QStringLiteral("complete"));
    applyProgress(QStringLiteral("verify"), QStringLiteral("complete"));
    applyProgress(QStringLiteral("starting"), QStringLiteral("running"), QStringLiteral("正在安装并启动 Agent"));

    installStage = InstallStage::daemon;
    persistInstallStage(installStage);

    co_await finishDaemonInstallationIfNeeded();
}

bool AppModel::hasResumableSetupSession() const
{
    return hasResumableSession(profileFile(setupStateFile));
}

bool AppModel::hasClaimableSetupCode() const
{
    return hasClaimableCode(profileFile(setupStateFile));
}

AppModel::OutputHandler AppModel::setupOutputHandler()
{
    return [self = QPointer<AppModel>(this)](const QString &line) {
        if (self)
            self->consumeSetupOutput(line);
    };
}
