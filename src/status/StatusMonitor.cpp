// Status monitoring: polls the agent's local status endpoint for the life of the process and
// turns each sample into the snapshot, the headline texts and the activity list.
#include "app/AppModel.h"

#include "status/AgentStatusClient.h"

#include <limits>

namespace {

const QString labelCoding = QStringLiteral("Coding");
const QString labelThinking = QStringLiteral("Thinking");
const QString labelWorking = QStringLiteral("Working");
const QString labelReceiving = QStringLiteral("Receiving messages");
const QString labelIdle = QStringLiteral("Idle");

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
        return labelCoding;
    if (isCompacting(sample))
        return labelThinking;
    if (sample.busy)
        return labelWorking;
    if (sample.queueSize >= 1)
        return labelReceiving;
    return labelIdle;
}

std::optional<QString> activitySummary(const AgentRuntimeStatus &sample, const QString &label,
                                       const AgentRuntimeStatus &previous)
{
    if (sample.queueSize > previous.queueSize) {
        if (sample.queueSize == 1)
            return QStringLiteral("Received a new message");
        return QStringLiteral("Received new messages — %1 waiting").arg(sample.queueSize);
    }
    if (label == labelCoding && !isCoding(previous))
        return QStringLiteral("Started coding");
    if (isCompacting(sample) && !isCompacting(previous))
        return QStringLiteral("Organizing context");
    if (sample.busy && !previous.busy)
        return QStringLiteral("Started working");
    if (!sample.busy && previous.busy) {
        return sample.queueSize > 0 ? QStringLiteral("Task complete — waiting for the next message")
                                    : QStringLiteral("Task complete");
    }
    return std::nullopt;
}

} // namespace

void AppModel::startStatusMonitoring()
{
    if (statusTask)
        return;
    statusTask = true;
    Quorvantis::startDetached(statusPollingLoop(QPointer<AppModel>(this)), "status monitoring");
}

QCoro::Task<void> AppModel::statusPollingLoop(QPointer<AppModel> model)
{
    // Nothing cancels the loop; it ends when the model it watches is gone.
    for (;;) {
        if (!model)
            co_return;
        if (model->installStage == InstallStage::channel)
            co_await model->refreshOwnerSetup(false);
        if (!model)
            co_return;
        co_await model->refreshAgentStatus();
        if (!model)
            co_return;
        const auto interval =
            model->installStage == InstallStage::channel ? channelStatusPollInterval : statusPollInterval;
        try {
            co_await model->sleep(interval);
        } catch (...) {
            // A failed wait does not end monitoring; the next round decides.
        }
    }
}

QCoro::Task<void> AppModel::refreshAgentStatus()
{
    QPointer<AppModel> self(this);
    if (!configurationReady() || isSubmittingSetup() || installStage == InstallStage::permissions
        || installStage == InstallStage::daemon)
        co_return;

    std::optional<AgentRuntimeStatus> sample;
    try {
        sample = co_await agentStatus->fetch();
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
    co_await checkAgentUpdate(sample->version);
    if (!self)
        co_return;
    overallState = sample->ready ? OverallState::online : OverallState::starting;
    finishInstallationIfReady(*sample);
}

void AppModel::applyStatusSample(const AgentRuntimeStatus &sample)
{
    consecutiveStatusFailures = 0;
    ++statusSampleSequence; // unsigned: wraps
    const RuntimePresentation presentation = runtimePresentation(sample, previousRuntimeStatus);
    previousRuntimeStatus = sample;
    if (presentation.activitySummary)
        appendActivity(*presentation.activitySummary);

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
    snapshot.statusSequence = statusSampleSequence;
    statusSnapshot = std::move(snapshot);
}

void AppModel::finishInstallationIfReady(const AgentRuntimeStatus &sample)
{
    if (!sample.ready || installStage == InstallStage::channel)
        return;
    applyProgress(QStringLiteral("handshake"), QStringLiteral("complete"));
    applyProgress(QStringLiteral("online"), QStringLiteral("complete"));
    if (installStage != InstallStage::handshake)
        return;
    installStage = std::nullopt;
    persistInstallStage(std::nullopt);
    pendingSetupResume = false;
    installationValidated = true;
    onboardingCompleted = true;
}

void AppModel::noteStatusFailure()
{
    if (consecutiveStatusFailures < std::numeric_limits<int>::max())
        ++consecutiveStatusFailures;
    if (consecutiveStatusFailures < statusFailuresBeforeError)
        return;
    statusSnapshot.mutate([](StatusSnapshot &snapshot) {
        snapshot.bridgeConnected = false;
        snapshot.handshakeComplete = false;
        snapshot.isWorking = false;
        snapshot.currentTask = std::nullopt;
    });
    // The next good sample starts afresh: no activity line from a comparison across the gap.
    previousRuntimeStatus = std::nullopt;
    overallState = OverallState::error;
}

AppModel::RuntimePresentation AppModel::runtimePresentation(const AgentRuntimeStatus &sample,
                                                            const std::optional<AgentRuntimeStatus> &previous)
{
    RuntimePresentation presentation;
    presentation.taskLabel = taskLabel(sample);
    if (previous)
        presentation.activitySummary = activitySummary(sample, presentation.taskLabel, *previous);
    return presentation;
}

QString AppModel::headlineStatusTitle() const
{
    if (installStage == InstallStage::channel)
        return QStringLiteral("Waiting for channel binding");
    if (installationValidated() && statusSnapshot().bridgeConnected)
        return currentTask();
    switch (overallState()) {
    case OverallState::notInstalled: return QStringLiteral("等待安装");
    case OverallState::starting: return QStringLiteral("正在安装");
    case OverallState::waitingSetup: return QStringLiteral("等待 setup");
    case OverallState::online: return QStringLiteral("在线");
    case OverallState::error: return QStringLiteral("需要处理");
    }
    return {};
}

QString AppModel::headlineStatusDetail() const
{
    if (installStage == InstallStage::channel)
        return QStringLiteral("Agent is running in the background");
    if (installationValidated() && statusSnapshot().bridgeConnected)
        return QStringLiteral("Agent 已连接");
    switch (overallState()) {
    case OverallState::notInstalled: return QStringLiteral("Quorvantis 尚未安装。");
    case OverallState::starting: return QStringLiteral("Quorvantis 正在准备运行环境。");
    case OverallState::waitingSetup: return QStringLiteral("输入 JIT Code 或 Setup Code 完成设备注册。");
    case OverallState::online: return QStringLiteral("Agent 已安装并启动。");
    case OverallState::error: return QStringLiteral("Quorvantis 尚未就绪，请查看详情。");
    }
    return {};
}

QString AppModel::agentProcessDescription() const
{
    if (!statusSnapshot().bridgeConnected)
        return QStringLiteral("未连接");
    return statusSnapshot().isWorking ? QStringLiteral("正在工作") : QStringLiteral("在线");
}

QString AppModel::heartbeatDescription(const QDateTime &now) const
{
    const auto &heartbeat = statusSnapshot().bridgeHeartbeatAt;
    if (!heartbeat)
        return QStringLiteral("尚未收到");
    // Integer division truncates toward zero; a heartbeat from the future reads as just now.
    const qint64 seconds = heartbeat->msecsTo(now) / 1000;
    if (seconds >= 2)
        return QStringLiteral("%1 秒前").arg(seconds);
    return QStringLiteral("刚刚");
}
