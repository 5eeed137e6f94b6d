#pragma once

#include "model/AgentOperations.h"
#include "model/ModelTypes.h"
#include "status/AgentRuntimeStatus.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

class AppModel;

// What `status` prints: the installation, the agent, the permissions, the channel binding and the
// versions, read from the running instance's model or, without one, from the profile and one
// status document of the agent. Both give the same fields; docs/command-line.md lists them.
struct StatusReport
{
    // Raised when a field changes meaning or goes; a new field leaves it.
    static constexpr int formatVersion = 1;

    enum class Source { instance, profile };
    enum class Channel { notStarted, binding, bound };

    Source source = Source::profile;
    QString appVersion;
    std::optional<InstallStage> installStage;
    bool configured = false;
    bool installed = false;
    OverallState overallState = OverallState::notInstalled;
    Channel channel = Channel::notStarted;

    bool agentConnected = false;
    bool agentReady = false;
    bool agentWorking = false;
    std::optional<QString> agentTask;
    std::optional<QDateTime> lastResponseAt;
    std::optional<qint64> processID;
    qint64 queueSize = 0;
    std::optional<QString> agentVersion;
    std::optional<QString> availableAgentVersion;

    QList<PermissionItem> permissions;
    std::optional<RunningOperation> operation;
    std::optional<DisplayError> lastError;
    // Entries of the activity list (kept in memory only: none from the profile).
    qsizetype activityCount = 0;

    static StatusReport fromModel(const AppModel &model);
    // `sample`: the agent's status document, absent when it did not answer.
    static StatusReport fromProfile(const QString &profileDirectory, const std::optional<AgentRuntimeStatus> &sample,
                                    QString appVersion);

    QJsonObject toJson() const;
    // Short aligned lines in the interface language.
    QString toText(const QDateTime &now) const;
};
