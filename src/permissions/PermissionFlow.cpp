// The guided permission onboarding: one permission at a time, each decided only by a real
// probe of the agent's own tools, never by what the user says.
#include "app/AppModel.h"

#include "platform/Desktop.h"

#include <QLoggingCategory>

#include <algorithm>

#include <coroutine>

Q_LOGGING_CATEGORY(lcPermissionFlow, "quorvantis.permissions")

using namespace std::chrono_literals;

// One running re-check of the existing permissions. A second request while it runs waits for
// it instead of starting its own probes: the runner allows one process at a time, so an
// overlapping probe would be refused and read as "not granted".
struct AppModel::PermissionRefreshRun
{
    bool done = false;
    std::vector<std::coroutine_handle<>> waiters;

    void finish()
    {
        done = true;
        auto ready = std::move(waiters);
        waiters.clear();
        for (auto handle : ready)
            handle.resume();
    }

    struct Awaiter
    {
        std::shared_ptr<PermissionRefreshRun> run;
        bool await_ready() const noexcept { return run->done; }
        void await_suspend(std::coroutine_handle<> handle) { run->waiters.push_back(handle); }
        void await_resume() const noexcept {}
    };
};

namespace {

constexpr auto returnCheckInterval = 500ms;
constexpr int returnCheckPasses = 120;

// A probe that throws, or an effect that is missing, counts as "not granted": the user is
// then guided to System Settings instead of being shown an error.
QCoro::Task<bool> probeKind(std::function<QCoro::Task<bool>(PermissionKind)> effect, PermissionKind kind)
{
    try {
        if (!effect)
            co_return false;
        co_return co_await effect(kind);
    } catch (const std::exception &error) {
        qCInfo(lcPermissionFlow) << "permission probe failed:" << error.what();
    } catch (...) {
        qCInfo(lcPermissionFlow) << "permission probe failed";
    }
    co_return false;
}

QCoro::Task<bool> probeAccessibility(std::function<QCoro::Task<bool>(AccessibilityStep, bool)> effect,
                                     AccessibilityStep step)
{
    try {
        if (!effect)
            co_return false;
        // Only ever a check: the flow never raises the system's authorisation dialog itself.
        co_return co_await effect(step, false);
    } catch (const std::exception &error) {
        qCInfo(lcPermissionFlow) << "accessibility probe failed:" << error.what();
    } catch (...) {
        qCInfo(lcPermissionFlow) << "accessibility probe failed";
    }
    co_return false;
}

QCoro::Task<bool> agentIsRunning(std::function<QCoro::Task<bool>()> effect)
{
    try {
        if (!effect)
            co_return false;
        co_return co_await effect();
    } catch (...) {
        co_return false;
    }
}

} // namespace

// ---- Derived values ---------------------------------------------------------------------

std::optional<AppModel::PermissionItem> AppModel::currentPermissionOnboardingItem() const
{
    if (installStage != InstallStage::permissions)
        return std::nullopt;
    for (const PermissionItem &item : permissions()) {
        if (!item.verified)
            return item;
    }
    return std::nullopt;
}

std::optional<PermissionKind> AppModel::currentPermissionOnboardingKind() const
{
    const auto item = currentPermissionOnboardingItem();
    return item ? std::optional(item->rule.kind) : std::nullopt;
}

std::pair<int, int> AppModel::onboardingPermissionProgress() const
{
    const auto &items = permissions();
    const auto verified = std::count_if(items.cbegin(), items.cend(), [](const PermissionItem &item) { return item.verified; });
    return {int(verified), int(items.size())};
}

QString AppModel::permissionSummary() const
{
    const auto [verified, total] = onboardingPermissionProgress();
    const int open = total - verified;
    if (open == 0)
        return QStringLiteral("系统权限已配置");
    return QString::number(open) + QStringLiteral(" 项权限需要处理");
}

bool AppModel::isVerifyingCurrentPermission() const
{
    return permissionOperationInFlight() && permissionAwaitingReturn != currentPermissionOnboardingKind();
}

bool AppModel::permissionNeedsUserAction() const
{
    return permissionSettingsPrompt() || permissionAwaitingReturn == currentPermissionOnboardingKind();
}

QString AppModel::permissionSettingsGuidance() const
{
    const auto kind = currentPermissionOnboardingKind();
    if (!kind)
        return QStringLiteral("尚未检测到所需的系统权限。");
    switch (*kind) {
    case PermissionKind::screenRecording:
        return QStringLiteral(
            "尚未检测到截图组件已获得屏幕录制授权。请在系统设置的屏幕录制列表中开启“macos-screenshot”；若列表中没有它，"
            "点击列表下方 + 号，按 Shift-Command-G 前往 ~/.quorvantis/bin/ 选择 macos-screenshot。组件更新后授权会失效，"
            "此时请删除条目再重新添加。");
    case PermissionKind::accessibility: {
        const auto outcome = accessibilityProbeOutcome();
        if (outcome == AccessibilityProbeOutcome::missing || outcome == AccessibilityProbeOutcome::unsupported)
            return QStringLiteral("运行环境中的 cliclick 组件不完整，请重新运行环境准备后再试。");
        if (outcome == AccessibilityProbeOutcome::mismatch)
            return QStringLiteral("Agent 实际调用的 cliclick 不是已授权的那一个，请重新运行环境准备后再试。");
        return QStringLiteral(
            "尚未检测到辅助功能授权。请在系统设置中同时开启稳定路径的 cliclick 和 Agent 使用的真实 node。"
            "若列表中已有 cliclick 却仍未通过，请删除该条目后重新添加——组件更新后只切换开关不会生效。");
    }
    case PermissionKind::fullDiskAccess:
        return QStringLiteral(
            "尚未检测到 Agent 使用的真实 node 已开启完全磁盘访问。请在系统设置中开启对应的 node；若列表中没有它，"
            "点击 + 号后按 Shift-Command-G 手动添加该 node 路径。");
    }
    return QStringLiteral("尚未检测到所需的系统权限。");
}

// ---- Small state helpers ------------------------------------------------------------------

bool AppModel::allPermissionsVerified() const
{
    const auto &items = permissions();
    return std::all_of(items.cbegin(), items.cend(), [](const PermissionItem &item) { return item.verified; });
}

bool AppModel::hasPermissionItem(PermissionKind kind) const
{
    const auto &items = permissions();
    return std::any_of(items.cbegin(), items.cend(), [kind](const PermissionItem &item) { return item.rule.kind == kind; });
}

void AppModel::setPermissionState(PermissionKind kind, PermissionNativeState state, bool verified)
{
    permissions.mutate([&](QList<PermissionItem> &items) {
        for (auto &item : items) {
            if (item.rule.kind == kind) {
                item.nativeState = state;
                item.verified = verified;
            }
        }
    });
}

void AppModel::recordPermissionResult(PermissionKind kind, bool granted)
{
    setPermissionState(kind, granted ? PermissionNativeState::granted : PermissionNativeState::notGranted, granted);
    if (granted)
        cachedCompletedPermissions.insert(kind);
    else
        cachedCompletedPermissions.remove(kind);
    persistCompletedPermissions();
}

void AppModel::stopAwaitingPermission(PermissionKind kind)
{
    if (permissionAwaitingReturn != kind)
        return;
    permissionAwaitingReturn = std::nullopt;
    persistAwaitingPermission(std::nullopt);
}

// ---- Operations -----------------------------------------------------------------------------

QCoro::Task<void> AppModel::continuePermissionOnboarding()
{
    // Back from System Settings: re-probe instead of asking again.
    if (permissionAwaitingReturn == currentPermissionOnboardingKind()) {
        co_await advancePermissionOnboarding();
        co_return;
    }
    if (const auto kind = currentPermissionOnboardingKind()) {
        permissionSettingsPrompt = false;
        permissionPromptKind = *kind;
    }
}

QCoro::Task<void> AppModel::confirmPermissionOnboarding(std::optional<PermissionKind> requested)
{
    QPointer<AppModel> self(this);
    if (installStage != InstallStage::permissions)
        co_return;
    const std::optional<PermissionKind> chosen = requested ? requested : permissionPromptKind();
    if (!chosen || chosen != currentPermissionOnboardingKind() || permissionOperationInFlight())
        co_return;
    const PermissionKind kind = *chosen;

    permissionOperationInFlight = true;
    permissionPromptKind = std::nullopt;
    permissionSettingsPrompt = false;
    cachedCompletedPermissions.remove(kind);
    persistCompletedPermissions();
    requestFocus(FocusTarget::forPermission(kind));

    const AccessibilityStep step = accessibilityStep();
    bool passed = false;
    if (kind == PermissionKind::accessibility) {
        passed = co_await probeAccessibility(effects.accessibilityPrepare, step);
        if (!self)
            co_return;
        accessibilityProbeOutcome = readAccessibilityProbeOutcome(profileDirectory);
    } else {
        passed = co_await probeKind(effects.permissionPrepare, kind);
        if (!self)
            co_return;
    }

    if (!passed || !hasPermissionItem(kind)) {
        // The probe is what the row shows, so a refused probe reads as "not granted".
        setPermissionState(kind, PermissionNativeState::notGranted, false);
        permissionAwaitingReturn = kind;
        persistAwaitingPermission(kind);
        permissionSettingsPrompt = true;
        permissionPromptKind = kind;
        permissionOperationInFlight = false;
        schedulePermissionReturnChecks(kind);
        if (permissionRecheckPending) {
            permissionRecheckPending = false;
            co_await advancePermissionOnboarding();
        }
        co_return;
    }

    if (kind == PermissionKind::accessibility && step == AccessibilityStep::node) {
        // Node passed; cliclick is confirmed separately, with the prompt kept open.
        stopAwaitingPermission(kind);
        accessibilityStep = AccessibilityStep::cliclick;
        permissionOperationInFlight = false;
        permissionRecheckPending = false;
        permissionPromptKind = PermissionKind::accessibility;
        permissionSettingsPrompt = false;
        co_return;
    }

    if (kind == PermissionKind::accessibility && configurationReady()) {
        // A running agent only sees the new accessibility grant after a restart.
        const bool running = co_await agentIsRunning(effects.agentStarted);
        if (!self)
            co_return;
        if (running) {
            const bool restarted = co_await restartAgentAfterAccessibilityGrant();
            if (!self)
                co_return;
            if (!restarted) {
                permissionOperationInFlight = false;
                co_return;
            }
        }
    }

    setPermissionState(kind, PermissionNativeState::granted, true);
    cachedCompletedPermissions.insert(kind);
    persistCompletedPermissions();
    stopAwaitingPermission(kind);
    permissionOperationInFlight = false;
    permissionRecheckPending = false;
    co_await finishPermissionStageIfReady();
}

QCoro::Task<bool> AppModel::restartAgentAfterAccessibilityGrant()
{
    QPointer<AppModel> self(this);
    std::optional<CLIResult> result;
    std::exception_ptr error;
    try {
        if (!effects.daemonInstall)
            throw std::runtime_error("no daemon installer");
        const OutputHandler discard = [](const QString &) {};
        result = co_await effects.daemonInstall(discard);
    } catch (...) {
        error = std::current_exception();
    }
    if (!self)
        co_return false;
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const QuorvantisNativeError &coded) {
            fail(coded.code, coded.message);
        } catch (...) {
            fail(QStringLiteral("AGENT_RESTART_FAILED"));
        }
        m_permissionRestartError = lastError();
        co_return false;
    }
    if (result->status != 0) {
        fail(QStringLiteral("AGENT_RESTART_FAILED"), safeErrorMessage(result->lastErrorLine));
        m_permissionRestartError = lastError();
        co_return false;
    }
    if (m_permissionRestartError && lastError() == m_permissionRestartError) {
        // The retry worked: the earlier failure no longer describes the installation.
        lastError = std::nullopt;
        overallState = OverallState::starting;
        applyProgress(QStringLiteral("permissions"), QStringLiteral("running"));
    }
    m_permissionRestartError.reset();
    co_return true;
}

QCoro::Task<void> AppModel::advancePermissionOnboarding()
{
    QPointer<AppModel> self(this);
    if (installStage != InstallStage::permissions || isCheckingPermission() || permissionOperationInFlight())
        co_return;
    permissionOperationInFlight = true;
    isCheckingPermission = true;

    if (allPermissionsVerified()) {
        co_await finishPermissionStageIfReady();
        if (!self)
            co_return;
        permissionOperationInFlight = false;
        isCheckingPermission = false;
        co_return;
    }

    const PermissionKind kind = currentPermissionOnboardingKind().value_or(PermissionKind::screenRecording);
    bool finish = false;
    if (kind != PermissionKind::accessibility) {
        const bool passed = co_await probeKind(effects.permissionCheck, kind);
        if (!self)
            co_return;
        recordPermissionResult(kind, passed);
        if (passed) {
            stopAwaitingPermission(kind);
            finish = true;
        }
    } else {
        const AccessibilityStep step = accessibilityStep();
        const bool passed = co_await probeAccessibility(effects.accessibilityPrepare, step);
        if (!self)
            co_return;
        accessibilityProbeOutcome = readAccessibilityProbeOutcome(profileDirectory);
        if (step == AccessibilityStep::node) {
            // Node alone never completes accessibility; the completed set stays as it is.
            setPermissionState(kind, passed ? PermissionNativeState::unknown : PermissionNativeState::notGranted, false);
            persistCompletedPermissions();
            if (passed) {
                accessibilityStep = AccessibilityStep::cliclick;
                permissionPromptKind = PermissionKind::accessibility;
                permissionSettingsPrompt = false;
                permissionAwaitingReturn = std::nullopt;
                persistAwaitingPermission(std::nullopt);
            }
        } else {
            recordPermissionResult(kind, passed);
            if (passed) {
                stopAwaitingPermission(kind);
                finish = true;
            }
        }
    }

    if (finish) {
        co_await finishPermissionStageIfReady();
        if (!self)
            co_return;
    }
    permissionOperationInFlight = false;
    isCheckingPermission = false;
}

void AppModel::openCurrentPermissionSettings()
{
    if (installStage != InstallStage::permissions)
        return;
    if (const auto kind = currentPermissionOnboardingKind(); kind && effects.openSystemSettings)
        effects.openSystemSettings(*kind);
}

QUrl AppModel::permissionSettingsURL(std::optional<PermissionKind> kind)
{
    return QUrl(QStringLiteral("x-apple.systempreferences:com.apple.preference.security?")
                + PermissionKinds::settingsAnchor(kind.value_or(PermissionKind::accessibility)));
}

void AppModel::openSettings(std::optional<PermissionKind> kind)
{
    Desktop::openURL(permissionSettingsURL(kind));
}

void AppModel::schedulePermissionReturnChecks(PermissionKind kind)
{
    // Coroutines cannot be cancelled: the previous series sees the new generation and ends.
    const quint64 generation = ++permissionReturnGeneration;
    permissionReturnTaskRunning = true;
    Quorvantis::startDetached(runPermissionReturnChecks(kind, generation), "permission return checks");
}

QCoro::Task<void> AppModel::runPermissionReturnChecks(PermissionKind kind, quint64 generation)
{
    QPointer<AppModel> self(this);
    const auto stillWanted = [&self, kind, generation] {
        return self && self->permissionReturnGeneration == generation && self->installStage == InstallStage::permissions
            && self->currentPermissionOnboardingKind() == kind && self->permissionAwaitingReturn == kind;
    };
    for (int pass = 0; pass < returnCheckPasses; ++pass) {
        co_await self->sleep(returnCheckInterval);
        if (!stillWanted())
            break;
        co_await self->advancePermissionOnboarding();
        if (!self)
            co_return;
        const auto &items = self->permissions();
        const bool verified = std::any_of(items.cbegin(), items.cend(), [kind](const PermissionItem &item) {
            return item.rule.kind == kind && item.verified;
        });
        if (verified)
            break;
    }
    if (self && self->permissionReturnGeneration == generation)
        self->permissionReturnTaskRunning = false;
}

QCoro::Task<void> AppModel::finishPermissionStageIfReady()
{
    if (installStage != InstallStage::permissions || !allPermissionsVerified())
        co_return;
    permissionPromptKind = std::nullopt;
    applyProgress(QStringLiteral("permissions"), QStringLiteral("complete"));
    if (configurationReady()) {
        // The agent was already set up (its permissions were withdrawn after installation):
        // there is no setup code left to redeem, so the installation is finished again.
        installStage = std::nullopt;
        persistInstallStage(std::nullopt);
        pendingSetupResume = false;
        setupProgress.mutate([](QList<SetupProgressItem> &items) {
            for (auto &item : items)
                item.state = ProgressState::complete;
        });
        installationValidated = true;
        onboardingCompleted = true;
        overallState = OverallState::starting;
        co_return;
    }
    installStage = InstallStage::setup;
    persistInstallStage(installStage);
    pendingSetupResume = false;
    overallState = OverallState::waitingSetup;
    requestFocus(FocusTarget::setupCode());
}

QCoro::Task<void> AppModel::refreshExistingPermissions()
{
    QPointer<AppModel> self(this);
    if (!configurationReady() || installStage)
        co_return;
    if (m_permissionRefreshRun && !m_permissionRefreshRun->done) {
        // Join the running re-check; its results are as fresh as ours would be.
        // Bound to a local: g++ 12 destroys a temporary awaiter twice.
        PermissionRefreshRun::Awaiter running{m_permissionRefreshRun};
        co_await running;
        co_return;
    }
    const auto run = std::make_shared<PermissionRefreshRun>();
    m_permissionRefreshRun = run;

    const auto items = permissions();
    for (const PermissionItem &item : items) {
        const PermissionKind kind = item.rule.kind;
        const bool granted = co_await probeKind(effects.permissionCheck, kind);
        if (!self) {
            run->finish();
            co_return;
        }
        setPermissionState(kind, granted ? PermissionNativeState::granted : PermissionNativeState::notGranted, granted);
        if (granted)
            cachedCompletedPermissions.insert(kind);
        else
            cachedCompletedPermissions.remove(kind);
    }
    persistCompletedPermissions();
    if (m_permissionRefreshRun == run)
        m_permissionRefreshRun.reset();
    run->finish();
}

void AppModel::resetPermissionVerification()
{
    permissions.mutate([](QList<PermissionItem> &items) {
        for (auto &item : items) {
            item.nativeState = PermissionNativeState::unknown;
            item.verified = false;
        }
    });
    permissionAwaitingReturn = std::nullopt;
    persistAwaitingPermission(std::nullopt);
}
