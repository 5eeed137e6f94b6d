#include "cli/StatusReport.h"

#include "app/AppModel.h"
#include "cli/TextColumns.h"
#include "model/ProfileMarkers.h"
#include "permissions/PermissionKind.h"
#include "status/StatusController.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

namespace {

using Channel = StatusReport::Channel;

QString overallName(OverallState state)
{
    switch (state) {
    case OverallState::notInstalled: return QStringLiteral("notInstalled");
    case OverallState::starting: return QStringLiteral("starting");
    case OverallState::waitingSetup: return QStringLiteral("waitingSetup");
    case OverallState::online: return QStringLiteral("online");
    case OverallState::error: return QStringLiteral("error");
    }
    return {};
}

QString permissionStateName(PermissionNativeState state)
{
    switch (state) {
    case PermissionNativeState::unknown: return QStringLiteral("unknown");
    case PermissionNativeState::notGranted: return QStringLiteral("notGranted");
    case PermissionNativeState::granted: return QStringLiteral("granted");
    }
    return {};
}

QString permissionStateWords(const PermissionItem &item)
{
    switch (item.nativeState) {
    case PermissionNativeState::unknown: return QCoreApplication::translate("StatusReport", "未确认");
    case PermissionNativeState::notGranted: return QCoreApplication::translate("StatusReport", "未授权");
    case PermissionNativeState::granted: return item.verified ? QCoreApplication::translate("StatusReport", "已授权") : QCoreApplication::translate("StatusReport", "已授权（待验证）");
    }
    return {};
}

QString channelName(Channel channel)
{
    switch (channel) {
    case Channel::notStarted: return QStringLiteral("notStarted");
    case Channel::binding: return QStringLiteral("binding");
    case Channel::bound: return QStringLiteral("bound");
    }
    return {};
}

// As the window's channel summary says it.
QString channelWords(Channel channel)
{
    switch (channel) {
    case Channel::notStarted: return QCoreApplication::translate("StatusReport", "尚未开始");
    case Channel::binding: return QCoreApplication::translate("StatusReport", "等待完成绑定");
    case Channel::bound: return QCoreApplication::translate("StatusReport", "已绑定");
    }
    return {};
}

Channel channelOf(std::optional<InstallStage> stage, bool onboardingCompleted)
{
    if (stage == InstallStage::channel)
        return Channel::binding;
    return onboardingCompleted ? Channel::bound : Channel::notStarted;
}

QString operationName(AgentOperation kind)
{
    switch (kind) {
    case AgentOperation::prepareRuntime: return QStringLiteral("prepareRuntime");
    case AgentOperation::checkPermissions: return QStringLiteral("checkPermissions");
    case AgentOperation::runSetup: return QStringLiteral("runSetup");
    case AgentOperation::installDaemon: return QStringLiteral("installDaemon");
    case AgentOperation::restartAgent: return QStringLiteral("restartAgent");
    case AgentOperation::updateAgent: return QStringLiteral("updateAgent");
    case AgentOperation::resumeInstallation: return QStringLiteral("resumeInstallation");
    }
    return {};
}

QString recoveryName(RecoveryAction::Kind kind)
{
    using Kind = RecoveryAction::Kind;
    switch (kind) {
    case Kind::openSystemSettings: return QStringLiteral("openSystemSettings");
    case Kind::none: return QStringLiteral("none");
    case Kind::enterInstallCode: return QStringLiteral("enterInstallCode");
    case Kind::retryInstall: return QStringLiteral("retryInstall");
    case Kind::restartAgent: return QStringLiteral("restartAgent");
    case Kind::openLogs: return QStringLiteral("openLogs");
    case Kind::checkForUpdates: return QStringLiteral("checkForUpdates");
    case Kind::recheckPermissions: return QStringLiteral("recheckPermissions");
    }
    return {};
}

// The phase of the progress list each stage runs.
QString stageWords(InstallStage stage)
{
    switch (stage) {
    case InstallStage::runtime: return title(SetupPhase::runtime);
    case InstallStage::permissions: return title(SetupPhase::permissions);
    case InstallStage::setup: return title(SetupPhase::redeem);
    case InstallStage::daemon: return title(SetupPhase::starting);
    case InstallStage::channel: return title(SetupPhase::channel);
    case InstallStage::handshake: return title(SetupPhase::handshake);
    }
    return {};
}

QJsonValue text(const std::optional<QString> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QString isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// "刚刚" within two seconds, else whole seconds ago, as the dashboard's heartbeat.
QString ago(const QDateTime &then, const QDateTime &now)
{
    const qint64 seconds = then.msecsTo(now) / 1000;
    return seconds >= 2 ? QCoreApplication::translate("StatusReport", "%1 秒前").arg(seconds) : QCoreApplication::translate("StatusReport", "刚刚");
}

} // namespace

StatusReport StatusReport::fromModel(const AppModel &model)
{
    StatusReport report;
    report.source = Source::instance;
    report.appVersion = model.appVersion();
    const InstallJourney &journey = model.journey();
    report.installStage = journey.installStage();
    report.configured = journey.configurationReady();
    report.installed = journey.installationValidated();
    report.overallState = journey.overallState();
    report.channel = channelOf(report.installStage, journey.onboardingCompleted());
    const StatusSnapshot &snapshot = model.status().statusSnapshot();
    report.agentConnected = snapshot.bridgeConnected;
    report.agentReady = snapshot.handshakeComplete;
    report.agentWorking = snapshot.isWorking;
    report.agentTask = snapshot.currentTask;
    report.lastResponseAt = snapshot.bridgeHeartbeatAt;
    report.processID = snapshot.processID;
    report.queueSize = snapshot.queueSize;
    report.agentVersion = snapshot.agentVersion;
    report.availableAgentVersion = model.updates().availableAgentVersion();
    report.permissions = model.permissions().permissions();
    report.operation = model.operations().operation();
    report.lastError = model.attention().lastError();
    report.activityCount = model.attention().activities().size();
    return report;
}

StatusReport StatusReport::fromProfile(const QString &profileDirectory, const std::optional<AgentRuntimeStatus> &sample,
                                       QString appVersion)
{
    // What a window launched now settles on, without writing anything.
    StatusReport report;
    report.source = Source::profile;
    report.appVersion = std::move(appVersion);
    const auto stage = ProfileMarkers::readInstallStage(profileDirectory);
    report.installStage = stage;
    report.configured = QFileInfo::exists(QDir(profileDirectory).filePath(QStringLiteral("config.json")));
    report.installed = report.configured && (!stage || stage == InstallStage::channel || stage == InstallStage::handshake);
    report.channel = channelOf(stage, report.configured && (!stage || stage == InstallStage::handshake));
    // The window asks the agent only once it is configured, and not while the permissions or the
    // daemon are being set up.
    const bool polled = report.configured && stage != InstallStage::permissions && stage != InstallStage::daemon;
    if (!report.configured)
        report.overallState = !stage ? OverallState::notInstalled
                              : stage == InstallStage::setup ? OverallState::waitingSetup : OverallState::starting;
    else if (polled && sample)
        report.overallState = sample->ready ? OverallState::online : OverallState::starting;
    else
        report.overallState = polled ? OverallState::error : OverallState::starting;
    if (polled && sample) {
        report.agentConnected = true;
        report.agentReady = sample->ready;
        report.agentWorking = sample->busy;
        report.agentTask = StatusController::runtimePresentation(*sample, std::nullopt).taskLabel;
        report.lastResponseAt = sample->sampledAt;
        report.processID = sample->pid;
        report.queueSize = sample->queueSize;
        report.agentVersion = sample->version;
    }
    // The permissions verified before, once the installation is past their stage.
    const bool pastPermissions = stage ? int(*stage) > int(InstallStage::permissions) : report.configured;
    const QSet<PermissionKind> completed = ProfileMarkers::readCompletedPermissions(profileDirectory);
    for (const PermissionKind kind : allCases<PermissionKind>()) {
        const bool granted = pastPermissions && completed.contains(kind);
        report.permissions.append(
            {PermissionRule{kind}, granted ? PermissionNativeState::granted : PermissionNativeState::unknown, granted});
    }
    return report;
}

QJsonObject StatusReport::toJson() const
{
    QJsonObject permissionStates;
    for (const PermissionItem &item : permissions) {
        permissionStates.insert(rawValue(item.rule.kind), QJsonObject{{QStringLiteral("state"), permissionStateName(item.nativeState)},
                                                                     {QStringLiteral("verified"), item.verified}});
    }
    const QString agentState = !agentConnected ? QStringLiteral("disconnected")
                               : agentWorking  ? QStringLiteral("working")
                                               : QStringLiteral("online");
    QJsonValue running = QJsonValue::Null;
    if (operation) {
        running = QJsonObject{{QStringLiteral("kind"), operationName(operation->kind)},
                              {QStringLiteral("since"), isoTime(operation->since)}};
    }
    QJsonValue error = QJsonValue::Null;
    if (lastError) {
        error = QJsonObject{{QStringLiteral("code"), lastError->code},
                            {QStringLiteral("message"), lastError->message},
                            {QStringLiteral("impact"), lastError->impact},
                            {QStringLiteral("recovery"), recoveryName(lastError->recovery.kind)}};
    }
    return {
        {QStringLiteral("formatVersion"), formatVersion},
        {QStringLiteral("source"), source == Source::instance ? QStringLiteral("instance") : QStringLiteral("profile")},
        {QStringLiteral("appVersion"), appVersion},
        {QStringLiteral("installStage"), installStage ? QJsonValue(rawValue(*installStage)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("configured"), configured},
        {QStringLiteral("installed"), installed},
        {QStringLiteral("overallState"), overallName(overallState)},
        {QStringLiteral("agent"),
         QJsonObject{
             {QStringLiteral("state"), agentState},
             {QStringLiteral("ready"), agentReady},
             {QStringLiteral("task"), text(agentTask)},
             {QStringLiteral("lastResponseAt"), lastResponseAt ? QJsonValue(isoTime(*lastResponseAt)) : QJsonValue(QJsonValue::Null)},
             {QStringLiteral("processID"), processID ? QJsonValue(double(*processID)) : QJsonValue(QJsonValue::Null)},
             {QStringLiteral("queueSize"), double(queueSize)},
             {QStringLiteral("version"), text(agentVersion)},
             {QStringLiteral("availableVersion"), text(availableAgentVersion)},
         }},
        {QStringLiteral("permissions"), permissionStates},
        {QStringLiteral("channel"), channelName(channel)},
        {QStringLiteral("operation"), running},
        {QStringLiteral("lastError"), error},
        {QStringLiteral("activityCount"), double(activityCount)},
    };
}

QString StatusReport::toText(const QDateTime &now) const
{
    TextColumns lines;
    lines.add(QCoreApplication::translate("StatusReport", "安装阶段"), installStage ? stageWords(*installStage)
                                          : installed ? QCoreApplication::translate("StatusReport", "已完成")
                                                      : QCoreApplication::translate("StatusReport", "尚未开始"));
    lines.add(QCoreApplication::translate("StatusReport", "状态"), StatusController::overallStateTitle(overallState));
    QStringList agent{!agentConnected ? QCoreApplication::translate("StatusReport", "未连接") : agentWorking ? QCoreApplication::translate("StatusReport", "正在工作") : QCoreApplication::translate("StatusReport", "在线")};
    if (agentTask)
        agent << *agentTask;
    if (lastResponseAt)
        agent << QCoreApplication::translate("StatusReport", "%1响应").arg(ago(*lastResponseAt, now));
    lines.add(QCoreApplication::translate("StatusReport", "Agent"), agent.join(QStringLiteral(" · ")));
    QStringList granted;
    for (const PermissionItem &item : permissions)
        granted << PermissionKinds::title(item.rule.kind) + u' ' + permissionStateWords(item);
    lines.add(QCoreApplication::translate("StatusReport", "系统权限"), granted.join(QStringLiteral(" · ")));
    lines.add(QCoreApplication::translate("StatusReport", "Channel"), channelWords(channel));
    QString versions = QStringLiteral("Agent %1 · App %2").arg(agentVersion.value_or(QStringLiteral("--")), appVersion);
    if (availableAgentVersion)
        versions += QCoreApplication::translate("StatusReport", "（Agent %1 可更新）").arg(*availableAgentVersion);
    lines.add(QCoreApplication::translate("StatusReport", "版本"), versions);
    if (operation)
        lines.add(QCoreApplication::translate("StatusReport", "正在进行"), AgentOperations::runningTitle(operation->kind));
    if (lastError)
        lines.add(QCoreApplication::translate("StatusReport", "错误"), QCoreApplication::translate("StatusReport", "%1（%2）").arg(lastError->message, lastError->code));
    if (source == Source::profile)
        lines.add(QCoreApplication::translate("StatusReport", "来源"), QCoreApplication::translate("StatusReport", "配置目录（Quorvantis 没有在运行）"));
    return lines.text();
}
