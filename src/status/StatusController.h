#pragma once

#include "model/ModelContext.h"
#include "model/ModelTypes.h"
#include "model/Published.h"
#include "status/AgentRuntimeStatus.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <optional>

// Status monitoring: polls the agent's local status endpoint for the life of the process and
// turns each sample into the snapshot, the headline texts and the activity list.
class StatusController : public QObject
{
    Q_OBJECT

public:
    struct Effects
    {
        // One status document from the agent (the model's AgentStatusClient); throws on any failure.
        std::function<QCoro::Task<AgentRuntimeStatus>()> fetchStatus;
    };

    struct Links
    {
        // The channel stage's refresh of the binding state, polled with the status.
        std::function<QCoro::Task<void>()> refreshOwnerSetup;
        // A good sample names the running version; the update probe may offer a newer one.
        std::function<QCoro::Task<void>(std::optional<QString> version)> checkAgentUpdate;
        std::function<bool()> isSubmittingSetup;
    };

    // What one status sample means for the current-task line and the activity list.
    struct RuntimePresentation
    {
        QString taskLabel;
        std::optional<QString> activitySummary;
        bool operator==(const RuntimePresentation &) const = default;
    };

    StatusController(ModelContext context, Effects effects, Links links, QObject *parent = nullptr);

    const StatusSnapshot &statusSnapshot() const { return m_statusSnapshot(); }
    bool statusTask() const { return m_statusTask; }
    int consecutiveStatusFailures() const { return m_consecutiveStatusFailures; }
    quint64 statusSampleSequence() const { return m_statusSampleSequence; }
    const std::optional<AgentRuntimeStatus> &previousRuntimeStatus() const { return m_previousRuntimeStatus; }

    // Starts the polling loop once per controller; it ends when the controller is gone. While
    // there is nothing to poll (not configured, a submission running, the permissions or daemon
    // stage) the loop is parked and the process is not woken for it; the next model change that
    // gives it something to poll resumes it at once.
    void startStatusMonitoring();
    // The model changed (called before the write is made): a parked loop looks again.
    void noteModelChange();
    bool isPollingParked() const { return m_parked; }
    QCoro::Task<void> refreshAgentStatus();

    static RuntimePresentation runtimePresentation(const AgentRuntimeStatus &sample,
                                                   const std::optional<AgentRuntimeStatus> &previous);
    QString currentTask() const;
    QString headlineStatusTitle() const;
    // The words for an overall state, wherever it is named (headline, panel, command line).
    static QString overallStateTitle(OverallState state);
    QString headlineStatusDetail() const;
    // Why a finished installation needs attention when no error was reported: the agent stopped
    // answering, since its last heartbeat. Absent otherwise.
    std::optional<QString> offlineDetail() const;
    QString agentProcessDescription() const;
    QString heartbeatDescription(const QDateTime &now) const;

private:
    static constexpr std::chrono::milliseconds statusPollInterval{2000};
    static constexpr std::chrono::milliseconds channelStatusPollInterval{500};
    static constexpr int statusFailuresBeforeError = 3;

    InstallJourney &journey() const { return *m_context.journey; }
    static QCoro::Task<void> statusPollingLoop(QPointer<StatusController> controller);
    bool hasSomethingToPoll() const;
    void resumeIfSomethingToPoll();
    void applyStatusSample(const AgentRuntimeStatus &sample);
    void noteStatusFailure();
    void finishInstallationIfReady(const AgentRuntimeStatus &sample);

    ModelContext m_context;
    Effects m_effects;
    Links m_links;
    Published<StatusSnapshot> m_statusSnapshot;
    bool m_statusTask = false;
    bool m_parked = false;
    bool m_resumeCheckQueued = false;
    int m_consecutiveStatusFailures = 0;
    quint64 m_statusSampleSequence = 0;
    std::optional<AgentRuntimeStatus> m_previousRuntimeStatus;
};
