#pragma once

#include "model/AgentOperations.h"
#include "model/Effects.h"
#include "model/ModelContext.h"
#include "model/ModelTypes.h"

#include <QObject>

#include <functional>
#include <optional>

// The recovery actions the error panel, the dashboard and the tray panel offer: restart the
// agent, re-check the permissions, retry the installation, and the pages and folders that help.
// It keeps no state of its own: how an action ended is a line of the model's attention.
class RecoveryController : public QObject
{
    Q_OBJECT

public:
    struct Effects
    {
        decltype(ModelEffects::openURL) openURL;
    };

    struct Links
    {
        std::function<void(PermissionKind)> presentPermissionPrompt;
        // Opens the privacy settings, or says what to do where they cannot be opened.
        std::function<QCoro::Task<void>()> openSystemSettings;
        // Runs the persisted stage again.
        std::function<QCoro::Task<void>()> resumeInstallation;
        std::function<QCoro::Task<void>()> recoverExistingConfiguration;
        std::function<QCoro::Task<void>()> refreshExistingPermissions;
        std::function<QCoro::Task<void>()> refreshAgentStatus;
    };

    RecoveryController(ModelContext context, Effects effects, Links links, QObject *parent = nullptr);

    QCoro::Task<void> perform(RecoveryAction action);

    // The operation on the agent an action runs as; none for an action that only opens or
    // focuses something.
    static std::optional<AgentOperation> operationOf(RecoveryAction::Kind kind);

private:
    QCoro::Task<void> restartAgent();
    // Opens a page or folder; when nothing takes it, the line says what to do instead.
    QCoro::Task<void> openOrSay(QUrl url, QString failure);
    Attention &attention() const { return *m_context.attention; }

    ModelContext m_context;
    Effects m_effects;
    Links m_links;
};
