// The two local installer stages: the private runtime before the permissions, and the agent's
// daemon after setup, with the wait for its status endpoint.
#include "app/AppModel.h"

#include <exception>

namespace {

using namespace std::chrono_literals;

constexpr int agentStartChecks = 30;
constexpr auto agentStartInterval = 500ms;

// A failed stage keeps a coded error's own code and message; anything else is reported under
// the stage's own code with the standard text for it.
void failStage(AppModel &model, const std::exception_ptr &error, const QString &fallbackCode)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuorvantisNativeError &coded) {
        model.fail(coded.code, coded.message.isEmpty() ? std::nullopt : std::optional<QString>(coded.message));
    } catch (...) {
        model.fail(fallbackCode);
    }
}

} // namespace

QCoro::Task<void> AppModel::prepareEnvironmentIfNeeded()
{
    QPointer<AppModel> self(this);
    if (installStage != InstallStage::runtime || isPreparingEnvironment())
        co_return;

    isPreparingEnvironment = true;
    pendingSetupResume = true;
    overallState = OverallState::starting;
    beginProgress();

    CLIResult result;
    std::exception_ptr error;
    try {
        result = co_await effects.environmentPrepare(setupOutputHandler());
    } catch (...) {
        error = std::current_exception();
    }
    if (!self)
        co_return;

    if (error) {
        failStage(*this, error, QStringLiteral("RUNTIME_PREPARE_FAILED"));
        isPreparingEnvironment = false;
        co_return;
    }
    if (result.status != 0) {
        fail(QStringLiteral("RUNTIME_PREPARE_EXIT_") + QString::number(result.status),
             safeErrorMessage(result.lastErrorLine));
        isPreparingEnvironment = false;
        co_return;
    }

    applyProgress(QStringLiteral("runtime"), QStringLiteral("complete"));
    applyProgress(QStringLiteral("preflight"), QStringLiteral("complete"));
    applyProgress(QStringLiteral("permissions"), QStringLiteral("running"));
    resetPermissionVerification();
    installStage = InstallStage::permissions;
    persistInstallStage(installStage);
    pendingSetupResume = true;
    isPreparingEnvironment = false;
}

QCoro::Task<void> AppModel::finishDaemonInstallationIfNeeded()
{
    QPointer<AppModel> self(this);
    if (installStage != InstallStage::daemon || daemonInstallInFlight)
        co_return;

    applyProgress(QStringLiteral("starting"), QStringLiteral("running"), QStringLiteral("正在安装并启动 Agent"));
    daemonInstallInFlight = true;

    CLIResult result;
    std::exception_ptr error;
    try {
        // The installer's lines only go to the install log.
        result = co_await effects.daemonInstall([](const QString &) {});
    } catch (...) {
        error = std::current_exception();
    }
    if (!self)
        co_return;

    if (error) {
        failStage(*this, error, QStringLiteral("DAEMON_INSTALL_FAILED"));
        daemonInstallInFlight = false;
        co_return;
    }
    if (result.status != 0) {
        fail(QStringLiteral("DAEMON_INSTALL_EXIT_") + QString::number(result.status),
             safeErrorMessage(result.lastErrorLine));
        daemonInstallInFlight = false;
        co_return;
    }

    applyProgress(QStringLiteral("starting"), QStringLiteral("running"), QStringLiteral("等待 Agent 启动"));

    for (int check = 0; check < agentStartChecks; ++check) {
        bool started = false;
        try {
            started = co_await effects.agentStarted();
        } catch (...) {
            started = false; // an endpoint that cannot be asked has not started
        }
        if (!self)
            co_return;

        if (started) {
            std::exception_ptr channelError;
            try {
                co_await enterChannelStage();
            } catch (...) {
                channelError = std::current_exception();
            }
            if (!self)
                co_return;
            // The flag must not stay set, or no later resume could install the daemon again.
            daemonInstallInFlight = false;
            if (channelError)
                std::rethrow_exception(channelError);
            co_return;
        }

        try {
            co_await sleep(agentStartInterval);
        } catch (...) {
            // An interrupted wait still counts as one of the checks.
        }
        if (!self)
            co_return;
    }

    fail(QStringLiteral("AGENT_START_TIMEOUT"), QStringLiteral("Agent 已安装，但未能在 15 秒内启动。"));
    daemonInstallInFlight = false;
}
