// Status monitoring: polls the agent's local status endpoint for the life of the process and
// turns each sample into the snapshot, the headline texts and the activity list.
#include "status/StatusController.h"

#include "model/Attention.h"
#include "model/InstallJourney.h"

#include <QCoreApplication>
#include <QTimer>

#include <limits>

namespace {

bool isCoding(const AgentRuntimeStatus &sample)
{
    return sample.codingSession && sample.codingSession->status == u"in_progress";
}

bool isCompacting(const AgentRuntimeStatus &sample)
{
    return sample.compacting.value_or(false);
}

QString taskLabel(const AgentRuntimeStatus &sample)
{
    if (isCoding(sample))
        return QCoreApplication::translate("StatusController", "Coding");
    if (isCompacting(sample))
        return QCoreApplication::translate("StatusController", "Thinking");
    if (sample.busy)
        return QCoreApplication::translate("StatusController", "Working");
    if (sample.queueSize >= 1)
        return QCoreApplication::translate("StatusController", "Receiving messages");
    return QCoreApplication::translate("StatusController", "Idle");
}

std::optional<QString> activitySummary(const AgentRuntimeStatus &sample, const AgentRuntimeStatus &previous)
{
    if (sample.queueSize > previous.queueSize) {
        if (sample.queueSize == 1)
            return QCoreApplication::translate("StatusController", "Received a new message");
        return QCoreApplication::translate("StatusController", "Received new messages — %1 waiting").arg(sample.queueSize);
    }
    if (isCoding(sample) && !isCoding(previous))
        return QCoreApplication::translate("StatusController", "Started coding");
    if (isCompacting(sample) && !isCompacting(previous))
        return QCoreApplication::translate("StatusController", "Organizing context");
    if (sample.busy && !previous.busy)
        return QCoreApplication::translate("StatusController", "Started working");
    if (!sample.busy && previous.busy) {
        return sample.queueSize > 0 ? QCoreApplication::translate("StatusController", "Task complete — waiting for the next message")
                                    : QCoreApplication::translate("StatusController", "Task complete");
    }
    return std::nullopt;
}

} // namespace

namespace {

// A sample that brings nothing new moves only the heartbeats and the sequence: a change of those
// alone is not a status change.
ModelChanges snapshotChanges(const StatusSnapshot &before, const StatusSnapshot &after)
{
    ModelChanges changes;
    if (before.bridgeHeartbeatAt != after.bridgeHeartbeatAt || before.cloudHeartbeatAt != after.cloudHeartbeatAt
        || before.statusSequence != after.statusSequence)
        changes |= ModelChange::heartbeat;
    StatusSnapshot beatless = after;
    beatless.bridgeHeartbeatAt = before.bridgeHeartbeatAt;
    beatless.cloudHeartbeatAt = before.cloudHeartbeatAt;
    beatless.statusSequence = before.statusSequence;
    if (!(beatless == before))
        changes |= ModelChange::status;
    return changes;
}

} // namespace

StatusController::StatusController(ModelContext context, Effects effects, Links links, QObject *parent)
    : QObject(parent),
      m_context(std::move(context)),
      m_effects(std::move(effects)),
      m_links(std::move(links)),
      m_statusSnapshot(m_context.publication, &snapshotChanges, StatusSnapshot::empty())
{
}

void StatusController::startStatusMonitoring()
{
    if (m_statusTask)
        return;
    m_statusTask = true;
    Quorvantis::startDetached(statusPollingLoop(QPointer<StatusController>(this)), "status monitoring");
}

QCoro::Task<void> StatusController::statusPollingLoop(QPointer<StatusController> controller)
{
    // Nothing cancels the loop; it ends when the controller it runs for is gone, and parks (ends,
    // to be started again) while there is nothing to poll.
    for (;;) {
        if (!controller)
            co_return;
        if (!controller->hasSomethingToPoll()) {
            controller->m_parked = true;
            co_return;
        }
        if (controller->journey().isAt(InstallStage::channel))
            co_await controller->m_links.refreshOwnerSetup();
        if (!controller)
            co_return;
        co_await controller->refreshAgentStatus();
        if (!controller)
            co_return;
        const auto interval =
            controller->journey().isAt(InstallStage::channel) ? channelStatusPollInterval : statusPollInterval;
        try {
            co_await controller->m_context.sleep(interval);
        } catch (...) {
            // A failed wait does not end monitoring; the next round decides.
        }
    }
}

bool StatusController::hasSomethingToPoll() const
{
    // The channel stage refreshes the binding state; otherwise the same conditions as
    // refreshAgentStatus, which would return without a request.
    if (journey().isAt(InstallStage::channel))
        return true;
    return journey().configurationReady() && !m_links.isSubmittingSetup() && !journey().isAt(InstallStage::permissions)
        && !journey().isAt(InstallStage::daemon);
}

void StatusController::noteModelChange()
{
    if (!m_parked || m_resumeCheckQueued)
        return;
    // The change is announced before it is written: look once it is done.
    m_resumeCheckQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_resumeCheckQueued = false;
        resumeIfSomethingToPoll();
    });
}

void StatusController::resumeIfSomethingToPoll()
{
    if (!m_parked || !hasSomethingToPoll())
        return;
    m_parked = false;
    Quorvantis::startDetached(statusPollingLoop(QPointer<StatusController>(this)), "status monitoring");
}

QCoro::Task<void> StatusController::refreshAgentStatus()
{
    QPointer<StatusController> self(this);
    if (!journey().configurationReady() || m_links.isSubmittingSetup() || journey().isAt(InstallStage::permissions)
        || journey().isAt(InstallStage::daemon))
        co_return;

    std::optional<AgentRuntimeStatus> sample;
    try {
        sample = co_await m_effects.fetchStatus();
    } catch (...) {
        // Every failure counts alike (and is never logged: the request carries the token).
    }
    if (!self)
        co_return;
    if (!sample) {
        noteStatusFailure();
        co_return;
    }

    applyStatusSample(*sample);
    co_await m_links.checkAgentUpdate(sample->version);
    if (!self)
        co_return;
    journey().setOverallState(sample->ready ? OverallState::online : OverallState::starting);
    finishInstallationIfReady(*sample);
}

void StatusController::applyStatusSample(const AgentRuntimeStatus &sample)
{
    m_consecutiveStatusFailures = 0;
    ++m_statusSampleSequence; // unsigned: wraps
    const RuntimePresentation presentation = runtimePresentation(sample, m_previousRuntimeStatus);
    m_previousRuntimeStatus = sample;
    if (presentation.activitySummary)
        m_context.attention->appendActivity(*presentation.activitySummary);

    StatusSnapshot snapshot;
    snapshot.currentTask = presentation.taskLabel;
    snapshot.isWorking = sample.busy;
    snapshot.bridgeConnected = true;
    snapshot.handshakeComplete = sample.ready;
    snapshot.bridgeHeartbeatAt = sample.sampledAt;
    snapshot.cloudConnected = true;
    snapshot.cloudHeartbeatAt = sample.sampledAt;
    snapshot.agentVersion = sample.version;
    snapshot.lastErrorCode = std::nullopt;
    snapshot.processID = sample.pid;
    snapshot.queueSize = sample.queueSize;
    snapshot.statusSequence = m_statusSampleSequence;
    m_statusSnapshot = std::move(snapshot);
}

void StatusController::finishInstallationIfReady(const AgentRuntimeStatus &sample)
{
    if (!sample.ready || journey().isAt(InstallStage::channel))
        return;
    journey().applyProgress(SetupPhase::handshake, ProgressState::complete);
    journey().applyProgress(SetupPhase::online, ProgressState::complete);
    journey().report(JourneyEvent::agentReady);
}

void StatusController::noteStatusFailure()
{
    if (m_consecutiveStatusFailures < std::numeric_limits<int>::max())
        ++m_consecutiveStatusFailures;
    if (m_consecutiveStatusFailures < statusFailuresBeforeError)
        return;
    m_statusSnapshot.mutate([](StatusSnapshot &snapshot) {
        snapshot.bridgeConnected = false;
        snapshot.handshakeComplete = false;
        snapshot.isWorking = false;
        snapshot.currentTask = std::nullopt;
    });
    // The next good sample starts afresh: no activity line from a comparison across the gap.
    m_previousRuntimeStatus = std::nullopt;
    journey().setOverallState(OverallState::error);
}

StatusController::RuntimePresentation StatusController::runtimePresentation(const AgentRuntimeStatus &sample,
                                                                            const std::optional<AgentRuntimeStatus> &previous)
{
    RuntimePresentation presentation;
    presentation.taskLabel = taskLabel(sample);
    if (previous)
        presentation.activitySummary = activitySummary(sample, *previous);
    return presentation;
}

QString StatusController::currentTask() const
{
    if (journey().isAt(InstallStage::channel))
        return tr("Waiting for channel binding");
    if (statusSnapshot().currentTask)
        return *statusSnapshot().currentTask;
    if (m_links.isSubmittingSetup())
        return tr("Quorvantis 正在完成设置");
    if (statusSnapshot().bridgeConnected)
        return tr("Idle");
    if (journey().isAt(InstallStage::setup))
        return tr("Waiting for setup");
    return tr("等待 Agent 状态");
}

QString StatusController::headlineStatusTitle() const
{
    if (journey().isAt(InstallStage::channel))
        return tr("Waiting for channel binding");
    if (journey().installationValidated() && statusSnapshot().bridgeConnected)
        return currentTask();
    return overallStateTitle(journey().overallState());
}

QString StatusController::overallStateTitle(OverallState state)
{
    switch (state) {
    case OverallState::notInstalled: return tr("等待安装");
    case OverallState::starting: return tr("正在安装");
    case OverallState::waitingSetup: return tr("等待 setup");
    case OverallState::online: return tr("在线");
    case OverallState::error: return tr("需要处理");
    }
    return {};
}

QString StatusController::headlineStatusDetail() const
{
    if (journey().isAt(InstallStage::channel))
        return tr("Agent is running in the background");
    if (journey().installationValidated() && statusSnapshot().bridgeConnected)
        return tr("Agent 已连接");
    switch (journey().overallState()) {
    case OverallState::notInstalled: return tr("Quorvantis 尚未安装。");
    case OverallState::starting: return tr("Quorvantis 正在准备运行环境。");
    case OverallState::waitingSetup: return tr("输入 JIT Code 或 Setup Code 完成设备注册。");
    case OverallState::online: return tr("Agent 已安装并启动。");
    case OverallState::error: return offlineDetail().value_or(tr("Quorvantis 尚未就绪，请查看详情。"));
    }
    return {};
}

std::optional<QString> StatusController::offlineDetail() const
{
    if (journey().overallState() != OverallState::error || !journey().installationValidated()
        || m_context.attention->lastError() || statusSnapshot().bridgeConnected)
        return std::nullopt;
    const auto &since = statusSnapshot().bridgeHeartbeatAt;
    if (!since)
        return tr("Agent 没有响应，可以尝试重启 Agent。");
    return tr("Agent 自 %1 起没有响应，可以尝试重启 Agent。").arg(since->toLocalTime().toString(QStringLiteral("HH:mm")));
}

QString StatusController::agentProcessDescription() const
{
    if (!statusSnapshot().bridgeConnected)
        return tr("未连接");
    return statusSnapshot().isWorking ? tr("正在工作") : tr("在线");
}

QString StatusController::heartbeatDescription(const QDateTime &now) const
{
    const auto &heartbeat = statusSnapshot().bridgeHeartbeatAt;
    if (!heartbeat)
        return tr("尚未收到");
    // Integer division truncates toward zero; a heartbeat from the future reads as just now.
    const qint64 seconds = heartbeat->msecsTo(now) / 1000;
    if (seconds >= 2)
        return tr("%1 秒前").arg(seconds);
    return tr("刚刚");
}
