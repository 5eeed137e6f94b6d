#pragma once

#include "model/ModelTypes.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

// Every side effect of the model is one of these functions, injected at construction with a
// default wiring (app/DefaultEffects.cpp). Each controller takes only the ones it uses, so a test
// gives fakes for just those.

using OutputHandler = std::function<void(const QString &)>;
using AuthorizationHandler = std::function<void(const JITWorkspaceAuthorization &)>;

struct ModelEffects
{
    std::function<QCoro::Task<bool>(PermissionKind)> permissionCheck;
    std::function<QCoro::Task<bool>(PermissionKind)> permissionPrepare;
    std::function<QCoro::Task<bool>(AccessibilityStep, bool requestPrompt)> accessibilityPrepare;
    std::function<QCoro::Task<CLIResult>(OutputHandler)> environmentPrepare;
    std::function<QCoro::Task<CLIResult>(OutputHandler)> daemonInstall;
    std::function<QCoro::Task<bool>()> agentStarted;
    // True when the pane was opened; false when nothing took the link (no such pane here).
    std::function<QCoro::Task<bool>(std::optional<PermissionKind>)> openSystemSettings;
    std::function<QCoro::Task<OwnerSetupSession>(std::optional<QUrl> existingURL, bool forceRefresh)> ownerSetupRequest;
    std::function<QCoro::Task<bool>(QUrl)> ownerSetupOpen;
    std::function<bool(QUrl)> ownerSetupCopy;
    std::function<void(std::optional<OwnerSetupLink>)> ownerSetupLinkSave;
    std::function<QCoro::Task<bool>(QUrl)> setupAuthorizationOpen;
    std::function<QCoro::Task<std::optional<QString>>()> agentUpdateVersion;
    std::function<std::optional<QString>()> enrollmentKeyProvider;
    std::function<QCoro::Task<CLIResult>(QString workspace, QString agentName, QString enrollmentKey, OutputHandler,
                                         AuthorizationHandler)>
        setupEnroll;
    std::function<QCoro::Task<CLIResult>(OutputHandler, AuthorizationHandler)> setupResume;

    // Two more seams, so every process run of the model can be scripted in tests: the setup run
    // with a code and a "-c" script run (the update and the recovery actions).
    std::function<QCoro::Task<CLIResult>(QString code, std::optional<QString> agentName, OutputHandler,
                                         AuthorizationHandler)>
        setupWithCode;
    std::function<QCoro::Task<CLIResult>(QString script, OutputHandler)> runScript;
    // Opens a URL or folder on the desktop (releases page, logs directory); false when the
    // desktop's opener did not take it.
    std::function<QCoro::Task<bool>(QUrl)> openURL;
};
