#pragma once

#include "model/Effects.h"
#include "model/ModelContext.h"
#include "model/ModelTypes.h"
#include "model/Published.h"

#include <QObject>

#include <functional>
#include <optional>

// Agent updates offered from the package registry: when to ask, the offer, and the update run.
class UpdateController : public QObject
{
    Q_OBJECT

public:
    struct Effects
    {
        decltype(ModelEffects::agentUpdateVersion) agentUpdateVersion;
        decltype(ModelEffects::runScript) runScript;
    };

    struct Links
    {
        std::function<QCoro::Task<void>()> recoverExistingConfiguration;
        std::function<void()> allowExistingPermissionRecheck;
        std::function<QCoro::Task<void>()> refreshAgentStatus;
    };

    UpdateController(ModelContext context, Effects effects, Links links, QObject *parent = nullptr);

    bool isUpdatingAgent() const { return m_isUpdatingAgent(); }
    const std::optional<QString> &availableAgentVersion() const { return m_availableAgentVersion(); }
    const std::optional<QString> &dismissedAgentVersion() const { return m_dismissedAgentVersion; }
    const std::optional<QString> &agentVersionChecked() const { return m_agentVersionChecked; }
    bool agentUpdateCheckInFlight() const { return m_agentUpdateCheckInFlight; }

    QCoro::Task<void> checkAgentUpdate(std::optional<QString> currentVersion);
    QCoro::Task<void> updateAgent();
    // Runs a "-c" script; a failure is reported under `failureCode` and yields false.
    QCoro::Task<bool> runCLIAction(QString script, QString failureCode);
    bool showsAgentUpdateBanner() const;
    QString agentUpdateBannerText() const;
    void dismissAgentUpdate();

private:
    InstallJourney &journey() const { return *m_context.journey; }

    ModelContext m_context;
    Effects m_effects;
    Links m_links;
    Published<bool> m_isUpdatingAgent;
    Published<std::optional<QString>> m_availableAgentVersion;
    std::optional<QString> m_dismissedAgentVersion;
    std::optional<QString> m_agentVersionChecked;
    bool m_agentUpdateCheckInFlight = false;
};
