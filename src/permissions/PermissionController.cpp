// The guided permission onboarding: one permission at a time, each decided only by a real
// probe of the agent's own tools, never by what the user says.
#include "permissions/PermissionController.h"

#include "model/AgentDaemon.h"
#include "model/AgentOperations.h"
#include "model/Attention.h"
#include "model/InFlight.h"
#include "model/InstallJourney.h"
#include "model/ProfileMarkers.h"
#include "permissions/PermissionKind.h"
#include "platform/Desktop.h"
#include "platform/PlatformWords.h"

#include <QLoggingCategory>
#include <QPointer>

#include <algorithm>
#include <coroutine>
#include <vector>

Q_LOGGING_CATEGORY(lcPermissionFlow, "quorvantis.permissions")

using namespace std::chrono_literals;

namespace {

constexpr auto returnCheckInterval = 500ms;
constexpr int returnCheckPasses = 120;

// What a probe said. A probe that could not run (the runner busy, the tool not started, the job
// killed) answers nothing: the permission keeps its last known state.
enum class Answer { granted, denied, notRun };

struct ProbeResult
{
    Answer answer = Answer::notRun;
    QString reason; // why it did not run
};

ProbeResult notRun(const std::exception_ptr &error)
{
    const Failure::Report report = Failure::from(error, QStringLiteral("PERMISSION_CHECK_NOT_RUN"));
    qCInfo(lcPermissionFlow) << "permission probe did not run:" << report.code;
    return {Answer::notRun, report.message.value_or(report.code)};
}

QCoro::Task<ProbeResult> probeKind(std::function<QCoro::Task<bool>(PermissionKind)> effect, PermissionKind kind)
{
    std::exception_ptr error;
    try {
        if (!effect)
            throw std::runtime_error("no permission probe");
        const bool granted = co_await effect(kind);
        co_return ProbeResult{granted ? Answer::granted : Answer::denied, {}};
    } catch (...) {
        error = std::current_exception();
    }
    co_return notRun(error);
}

QCoro::Task<ProbeResult> probeAccessibility(std::function<QCoro::Task<bool>(AccessibilityStep, bool)> effect,
                                            AccessibilityStep step)
{
    std::exception_ptr error;
    try {
        if (!effect)
            throw std::runtime_error("no accessibility probe");
        // Only ever a check: the flow never raises the system's authorisation dialog itself.
        const bool granted = co_await effect(step, false);
        co_return ProbeResult{granted ? Answer::granted : Answer::denied, {}};
    } catch (...) {
        error = std::current_exception();
    }
    co_return notRun(error);
}

QList<PermissionItem> initialPermissions()
{
    QList<PermissionItem> items;
    for (const PermissionKind kind : allCases<PermissionKind>())
        items.append({PermissionRule{kind}, PermissionNativeState::unknown, false});
    return items;
}

} // namespace

PermissionController::PermissionController(ModelContext context, Effects effects, QObject *parent)
    : QObject(parent),
      m_context(std::move(context)),
      m_effects(std::move(effects)),
      m_permissions(m_context.publication, ModelChange::permissions, initialPermissions()),
      m_permissionPromptKind(m_context.publication, ModelChange::permissions),
      m_permissionSettingsPrompt(m_context.publication, ModelChange::permissions, false),
      m_accessibilityStep(m_context.publication, ModelChange::permissions, AccessibilityStep::node),
      m_accessibilityProbeOutcome(m_context.publication, ModelChange::permissions),
      m_isCheckingPermission(m_context.publication, ModelChange::permissions, false),
      m_permissionOperationInFlight(m_context.publication, ModelChange::permissions, false),
      m_permissionSettingsUnopened(m_context.publication, ModelChange::permissions),
      m_permissionAwaitingReturn(ProfileMarkers::readAwaitingPermission(m_context.profileDirectory)),
      m_cachedCompletedPermissions(ProfileMarkers::readCompletedPermissions(m_context.profileDirectory))
{
}

PermissionController::~PermissionController() = default;

void PermissionController::restoreAtLaunch()
{
    const auto stage = journey().installStage();
    const bool pastPermissions = stage ? int(*stage) > int(InstallStage::permissions) : journey().configurationReady();
    if (!pastPermissions)
        return;
    for (const PermissionKind kind : m_cachedCompletedPermissions)
        setPermissionState(kind, PermissionNativeState::granted, true);
}

// ---- Derived values -----------------------------------------------------------------------------

std::optional<PermissionItem> PermissionController::currentPermissionOnboardingItem() const
{
    if (!journey().isAt(InstallStage::permissions))
        return std::nullopt;
    for (const PermissionItem &item : permissions()) {
        if (!item.verified)
            return item;
    }
    return std::nullopt;
}

std::optional<PermissionKind> PermissionController::currentPermissionOnboardingKind() const
{
    const auto item = currentPermissionOnboardingItem();
    return item ? std::optional(item->rule.kind) : std::nullopt;
}

std::pair<int, int> PermissionController::onboardingPermissionProgress() const
{
    const auto &items = permissions();
    const auto verified = std::count_if(items.cbegin(), items.cend(), [](const PermissionItem &item) { return item.verified; });
    return {int(verified), int(items.size())};
}

QString PermissionController::permissionSummary() const
{
    const auto [verified, total] = onboardingPermissionProgress();
    const int open = total - verified;
    if (open == 0)
        return tr("系统权限已配置");
    return tr("%1 项权限需要处理").arg(open);
}

bool PermissionController::isVerifyingCurrentPermission() const
{
    return permissionOperationInFlight() && m_permissionAwaitingReturn != currentPermissionOnboardingKind();
}

bool PermissionController::permissionNeedsUserAction() const
{
    return permissionSettingsPrompt() || m_permissionAwaitingReturn == currentPermissionOnboardingKind();
}

QString PermissionController::permissionSettingsGuidance() const
{
    const auto kind = currentPermissionOnboardingKind();
    if (!kind)
        return tr("尚未检测到所需的系统权限。");
    switch (*kind) {
    case PermissionKind::screenRecording:
        return tr("尚未检测到截图组件已获得屏幕录制授权。请在系统设置的屏幕录制列表中开启“macos-screenshot”；若列表中没有它，"
            "点击列表下方 + 号，按 Shift-Command-G 前往 ~/.quorvantis/bin/ 选择 macos-screenshot。组件更新后授权会失效，"
            "此时请删除条目再重新添加。");
    case PermissionKind::accessibility: {
        const auto outcome = accessibilityProbeOutcome();
        if (outcome == AccessibilityProbeOutcome::missing || outcome == AccessibilityProbeOutcome::unsupported)
            return tr("运行环境中的 cliclick 组件不完整，请重新运行环境准备后再试。");
        if (outcome == AccessibilityProbeOutcome::mismatch)
            return tr("Agent 实际调用的 cliclick 不是已授权的那一个，请重新运行环境准备后再试。");
        return tr("尚未检测到辅助功能授权。请在系统设置中同时开启稳定路径的 cliclick 和 Agent 使用的真实 node。"
            "若列表中已有 cliclick 却仍未通过，请删除该条目后重新添加——组件更新后只切换开关不会生效。");
    }
    case PermissionKind::fullDiskAccess:
        return tr("尚未检测到 Agent 使用的真实 node 已开启完全磁盘访问。请在系统设置中开启对应的 node；若列表中没有它，"
            "点击 + 号后按 Shift-Command-G 手动添加该 node 路径。");
    }
    return tr("尚未检测到所需的系统权限。");
}

// ---- Small state helpers ------------------------------------------------------------------------

bool PermissionController::allPermissionsVerified() const
{
    const auto &items = permissions();
    return std::all_of(items.cbegin(), items.cend(), [](const PermissionItem &item) { return item.verified; });
}

bool PermissionController::hasPermissionItem(PermissionKind kind) const
{
    const auto &items = permissions();
    return std::any_of(items.cbegin(), items.cend(), [kind](const PermissionItem &item) { return item.rule.kind == kind; });
}

void PermissionController::setPermissionState(PermissionKind kind, PermissionNativeState state, bool verified)
{
    m_permissions.mutate([&](QList<PermissionItem> &items) {
        for (auto &item : items) {
            if (item.rule.kind == kind) {
                item.nativeState = state;
                item.verified = verified;
            }
        }
    });
}

void PermissionController::setCompleted(PermissionKind kind, bool completed)
{
    if (completed)
        m_cachedCompletedPermissions.insert(kind);
    else
        m_cachedCompletedPermissions.remove(kind);
}

void PermissionController::persistCompletedPermissions()
{
    ProfileMarkers::writeCompletedPermissions(m_context.profileDirectory, m_cachedCompletedPermissions);
}

void PermissionController::recordPermissionResult(PermissionKind kind, bool granted)
{
    setPermissionState(kind, granted ? PermissionNativeState::granted : PermissionNativeState::notGranted, granted);
    setCompleted(kind, granted);
    persistCompletedPermissions();
    // A sheet still preparing a permission that has passed has nothing left to ask.
    if (granted && m_permissionPromptKind() == kind) {
        m_permissionPromptKind = std::nullopt;
        m_permissionSettingsPrompt = false;
    }
}

void PermissionController::persistAwaitingPermission(std::optional<PermissionKind> kind)
{
    if (m_permissionAwaitingReturn != kind)
        m_context.publication.markChanged(ModelChange::permissions);
    m_permissionAwaitingReturn = kind;
    ProfileMarkers::writeAwaitingPermission(m_context.profileDirectory, kind);
}

void PermissionController::stopAwaitingPermission(PermissionKind kind)
{
    if (m_permissionAwaitingReturn == kind)
        persistAwaitingPermission(std::nullopt);
}

// ---- Operations ---------------------------------------------------------------------------------

QCoro::Task<void> PermissionController::continuePermissionOnboarding()
{
    // Back from System Settings: re-probe instead of asking again.
    if (m_permissionAwaitingReturn == currentPermissionOnboardingKind()) {
        co_await advancePermissionOnboarding();
        co_return;
    }
    if (const auto kind = currentPermissionOnboardingKind()) {
        m_permissionSettingsPrompt = false;
        m_permissionPromptKind = *kind;
    }
}

QCoro::Task<void> PermissionController::confirmPermissionOnboarding(std::optional<PermissionKind> requested)
{
    QPointer<PermissionController> self(this);
    if (!journey().isAt(InstallStage::permissions))
        co_return;
    const std::optional<PermissionKind> chosen = requested ? requested : permissionPromptKind();
    if (!chosen || chosen != currentPermissionOnboardingKind() || permissionOperationInFlight())
        co_return;
    const PermissionKind kind = *chosen;

    InFlight operation(this, m_permissionOperationInFlight);
    m_permissionPromptKind = std::nullopt;
    m_permissionSettingsPrompt = false;
    const bool wasCompleted = m_cachedCompletedPermissions.contains(kind);
    setCompleted(kind, false);
    persistCompletedPermissions();
    attention().clearNotice();
    attention().requestFocus(FocusTarget::forPermission(kind));

    const AccessibilityStep step = accessibilityStep();
    ProbeResult probe;
    if (kind == PermissionKind::accessibility) {
        probe = co_await probeAccessibility(m_effects.accessibilityPrepare, step);
        if (!self)
            co_return;
        m_accessibilityProbeOutcome = ProfileMarkers::readAccessibilityProbeOutcome(m_context.profileDirectory);
    } else {
        probe = co_await probeKind(m_effects.permissionPrepare, kind);
        if (!self)
            co_return;
    }

    if (probe.answer == Answer::notRun) {
        // Nothing was learnt: the row and the record keep their state and the prompt asks again.
        setCompleted(kind, wasCompleted);
        persistCompletedPermissions();
        noteProbeNotRun(probe.reason);
        m_permissionPromptKind = kind;
        operation.release();
        co_return;
    }

    if (probe.answer == Answer::denied || !hasPermissionItem(kind)) {
        setPermissionState(kind, PermissionNativeState::notGranted, false);
        persistAwaitingPermission(kind);
        m_permissionSettingsPrompt = true;
        m_permissionPromptKind = kind;
        operation.release();
        schedulePermissionReturnChecks(kind);
        if (m_permissionRecheckPending) {
            m_permissionRecheckPending = false;
            co_await advancePermissionOnboarding();
        }
        co_return;
    }

    if (kind == PermissionKind::accessibility && step == AccessibilityStep::node) {
        // Node passed; cliclick is confirmed separately, with the prompt kept open.
        stopAwaitingPermission(kind);
        m_accessibilityStep = AccessibilityStep::cliclick;
        operation.release();
        m_permissionRecheckPending = false;
        m_permissionPromptKind = PermissionKind::accessibility;
        m_permissionSettingsPrompt = false;
        co_return;
    }

    if (kind == PermissionKind::accessibility && journey().configurationReady()) {
        // A running agent only sees the new accessibility grant after a restart.
        const bool running = co_await daemon().isAnswering();
        if (!self)
            co_return;
        if (running) {
            const bool restarted = co_await restartAgentAfterAccessibilityGrant();
            if (!self || !restarted)
                co_return;
        }
    }

    setPermissionState(kind, PermissionNativeState::granted, true);
    setCompleted(kind, true);
    persistCompletedPermissions();
    stopAwaitingPermission(kind);
    operation.release();
    m_permissionRecheckPending = false;
    co_await finishPermissionStageIfReady();
}

QCoro::Task<bool> PermissionController::restartAgentAfterAccessibilityGrant()
{
    QPointer<PermissionController> self(this);
    const bool restarted = co_await daemon().install(AgentDaemon::Purpose::restart);
    if (!self)
        co_return false;
    if (!restarted) {
        m_restartError = attention().lastError();
        co_return false;
    }
    if (m_restartError && attention().lastError() == m_restartError) {
        // The retry worked: the earlier failure no longer describes the installation.
        attention().clearError();
        journey().setOverallState(OverallState::starting);
        journey().applyProgress(SetupPhase::permissions, ProgressState::running);
    }
    m_restartError.reset();
    co_return true;
}

QCoro::Task<void> PermissionController::advancePermissionOnboarding()
{
    QPointer<PermissionController> self(this);
    if (!journey().isAt(InstallStage::permissions) || isCheckingPermission() || permissionOperationInFlight())
        co_return;
    InFlight operation(this, m_permissionOperationInFlight);
    InFlight checking(this, m_isCheckingPermission);

    if (allPermissionsVerified()) {
        co_await finishPermissionStageIfReady();
        co_return;
    }

    const PermissionKind kind = currentPermissionOnboardingKind().value_or(PermissionKind::screenRecording);
    const bool accessibility = kind == PermissionKind::accessibility;
    const AccessibilityStep step = accessibilityStep();
    const ProbeResult probe = accessibility ? co_await probeAccessibility(m_effects.accessibilityPrepare, step)
                                            : co_await probeKind(m_effects.permissionCheck, kind);
    if (!self)
        co_return;
    if (accessibility)
        m_accessibilityProbeOutcome = ProfileMarkers::readAccessibilityProbeOutcome(m_context.profileDirectory);
    if (probe.answer == Answer::notRun) {
        noteProbeNotRun(probe.reason);
        co_return;
    }
    const bool passed = probe.answer == Answer::granted;

    if (accessibility && step == AccessibilityStep::node) {
        // Node alone never completes accessibility; the completed set stays as it is.
        setPermissionState(kind, passed ? PermissionNativeState::unknown : PermissionNativeState::notGranted, false);
        persistCompletedPermissions();
        if (passed) {
            m_accessibilityStep = AccessibilityStep::cliclick;
            m_permissionPromptKind = PermissionKind::accessibility;
            m_permissionSettingsPrompt = false;
            persistAwaitingPermission(std::nullopt);
        }
        co_return;
    }

    recordPermissionResult(kind, passed);
    if (!passed)
        co_return;
    stopAwaitingPermission(kind);
    co_await finishPermissionStageIfReady();
}

void PermissionController::noteProbeNotRun(const QString &reason)
{
    attention().showNotice(tr("权限检查没有运行，权限状态保持不变：%1").arg(reason));
}

void PermissionController::openCurrentPermissionSettings()
{
    if (!journey().isAt(InstallStage::permissions))
        return;
    if (const auto kind = currentPermissionOnboardingKind(); kind && m_effects.openSystemSettings)
        Quorvantis::startDetached(openOnboardingSettings(*kind), "permission settings");
}

QCoro::Task<bool> PermissionController::openSettingsPane(std::optional<PermissionKind> kind)
{
    if (!m_effects.openSystemSettings)
        co_return false;
    try {
        co_return co_await m_effects.openSystemSettings(kind);
    } catch (...) {
        co_return false;
    }
}

QCoro::Task<void> PermissionController::openOnboardingSettings(PermissionKind kind)
{
    QPointer<PermissionController> self(this);
    m_permissionSettingsUnopened = std::nullopt;
    const bool opened = co_await openSettingsPane(kind);
    if (self && !opened)
        m_permissionSettingsUnopened = kind;
}

QCoro::Task<void> PermissionController::openSettingsOrSay(std::optional<PermissionKind> kind)
{
    QPointer<PermissionController> self(this);
    const bool opened = co_await openSettingsPane(kind);
    if (self && !opened)
        attention().showNotice(settingsUnavailableLine(kind));
}

std::optional<QString> PermissionController::permissionSettingsFailure() const
{
    const auto kind = currentPermissionOnboardingKind();
    if (!kind || m_permissionSettingsUnopened() != kind)
        return std::nullopt;
    return settingsUnavailableLine(kind);
}

QString PermissionController::settingsUnavailableLine(std::optional<PermissionKind> kind)
{
    if (PlatformWords::onMac()) {
        const QString pane = kind ? QStringLiteral(" > ") + PermissionKinds::title(*kind) : QString();
        return tr("无法打开系统设置，请手动打开“系统设置 > 隐私与安全性%1”。").arg(pane);
    }
    if (kind) {
        return tr("%1没有“%2”的系统设置面板，无需手动打开；权限是否可用仍由 App 的真实探针检查决定。")
            .arg(PlatformWords::thisComputer(), PermissionKinds::title(*kind));
    }
    return tr("%1没有对应的系统设置面板，无需手动打开；权限是否可用仍由 App 的真实探针检查决定。")
        .arg(PlatformWords::thisComputer());
}

QUrl PermissionController::permissionSettingsURL(std::optional<PermissionKind> kind)
{
    return QUrl(QStringLiteral("x-apple.systempreferences:com.apple.preference.security?")
                + PermissionKinds::settingsAnchor(kind.value_or(PermissionKind::accessibility)));
}

QCoro::Task<bool> PermissionController::openSettings(std::optional<PermissionKind> kind)
{
    QUrl pane = permissionSettingsURL(kind);
    co_return co_await Desktop::openURL(std::move(pane));
}

void PermissionController::presentPermissionPrompt(PermissionKind kind)
{
    m_permissionPromptKind = kind;
}

void PermissionController::dismissPermissionPrompt()
{
    m_permissionPromptKind = std::nullopt;
    m_permissionSettingsPrompt = false;
}

quint64 PermissionController::startReturnSeries()
{
    // Coroutines cannot be cancelled: the previous series sees the new generation and ends.
    m_permissionReturnTask = ++m_returnSeriesCount;
    m_context.publication.markChanged(ModelChange::permissions);
    return *m_permissionReturnTask;
}

void PermissionController::schedulePermissionReturnChecks(PermissionKind kind)
{
    Quorvantis::startDetached(runPermissionReturnChecks(kind, startReturnSeries()), "permission return checks");
}

void PermissionController::resolvePermission(PermissionKind kind)
{
    Quorvantis::startDetached(openSettingsOrSay(kind), "permission settings");
    // During an installation the onboarding's own checks follow the user.
    if (!journey().configurationReady() || journey().installStage())
        return;
    Quorvantis::startDetached(runGrantChecks(kind, startReturnSeries()), "permission grant checks");
}

QCoro::Task<void> PermissionController::runGrantChecks(PermissionKind kind, quint64 generation)
{
    QPointer<PermissionController> self(this);
    AgentOperations *const operations = m_context.operations;
    const auto stillWanted = [&self, generation] {
        return self && self->m_permissionReturnTask == generation && !self->journey().installStage();
    };
    for (int pass = 0; pass < returnCheckPasses; ++pass) {
        co_await m_context.sleep(returnCheckInterval);
        if (!stillWanted())
            break;
        // Each pass is one background check: it waits for what runs and gives way to a press.
        const std::optional<AgentOperations::Lease> turn = co_await operations->check();
        if (!turn || !stillWanted())
            break;
        const ProbeResult probe = co_await probeKind(m_effects.permissionCheck, kind);
        if (!stillWanted())
            break;
        if (probe.answer == Answer::notRun)
            continue;
        recordPermissionResult(kind, probe.answer == Answer::granted);
        if (probe.answer == Answer::granted)
            break;
    }
    if (self && m_permissionReturnTask == generation) {
        m_permissionReturnTask.reset();
        m_context.publication.markChanged(ModelChange::permissions);
    }
}

QCoro::Task<void> PermissionController::runPermissionReturnChecks(PermissionKind kind, quint64 generation)
{
    QPointer<PermissionController> self(this);
    AgentOperations *const operations = m_context.operations;
    const auto stillWanted = [&self, kind, generation] {
        return self && self->m_permissionReturnTask == generation && self->journey().isAt(InstallStage::permissions)
            && self->currentPermissionOnboardingKind() == kind && self->m_permissionAwaitingReturn == kind;
    };
    for (int pass = 0; pass < returnCheckPasses; ++pass) {
        co_await m_context.sleep(returnCheckInterval);
        if (!stillWanted())
            break;
        const std::optional<AgentOperations::Lease> turn = co_await operations->check();
        if (!turn || !stillWanted())
            break;
        co_await advancePermissionOnboarding();
        if (!self)
            co_return;
        const auto &items = permissions();
        const bool verified = std::any_of(items.cbegin(), items.cend(), [kind](const PermissionItem &item) {
            return item.rule.kind == kind && item.verified;
        });
        if (verified)
            break;
    }
    if (self && m_permissionReturnTask == generation) {
        m_permissionReturnTask.reset();
        m_context.publication.markChanged(ModelChange::permissions);
    }
}

QCoro::Task<void> PermissionController::finishPermissionStageIfReady()
{
    if (!journey().isAt(InstallStage::permissions) || !allPermissionsVerified())
        co_return;
    m_permissionPromptKind = std::nullopt;
    journey().report(JourneyEvent::permissionsVerified);
}

QCoro::Task<void> PermissionController::noteActivation()
{
    if (!journey().isAt(InstallStage::permissions) || m_permissionAwaitingReturn != currentPermissionOnboardingKind())
        co_return;
    if (permissionOperationInFlight())
        m_permissionRecheckPending = true;
    else
        co_await advancePermissionOnboarding();
}

void PermissionController::resetPermissionVerification()
{
    m_permissions.mutate([](QList<PermissionItem> &items) {
        for (auto &item : items) {
            item.nativeState = PermissionNativeState::unknown;
            item.verified = false;
        }
    });
    persistAwaitingPermission(std::nullopt);
}

// ---- A finished installation --------------------------------------------------------------------

QCoro::Task<void> PermissionController::refreshExistingPermissions()
{
    QPointer<PermissionController> self(this);
    if (!journey().configurationReady() || journey().installStage())
        co_return;
    const auto items = permissions();
    for (const PermissionItem &item : items) {
        const PermissionKind kind = item.rule.kind;
        const ProbeResult probe = co_await probeKind(m_effects.permissionCheck, kind);
        if (!self)
            co_return;
        if (probe.answer == Answer::notRun) {
            noteProbeNotRun(probe.reason);
            continue;
        }
        const bool granted = probe.answer == Answer::granted;
        setPermissionState(kind, granted ? PermissionNativeState::granted : PermissionNativeState::notGranted, granted);
        setCompleted(kind, granted);
    }
    persistCompletedPermissions();
}

QCoro::Task<void> PermissionController::recheckExistingPermissionsOnLaunchIfNeeded()
{
    if (!journey().configurationReady() || journey().installStage() || m_didRecheckExistingPermissions)
        co_return;
    m_didRecheckExistingPermissions = true;
    co_await recoverExistingConfigurationIfNeeded();
}

QCoro::Task<void> PermissionController::recoverExistingConfigurationIfNeeded()
{
    QPointer<PermissionController> self(this);
    co_await refreshExistingPermissions();
    if (!self || allPermissionsVerified())
        co_return;
    journey().report(JourneyEvent::permissionMissing);
}

void PermissionController::allowExistingPermissionRecheck()
{
    m_didRecheckExistingPermissions = false;
}
