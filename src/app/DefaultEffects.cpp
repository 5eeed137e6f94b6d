// The default wiring of the model's effects: the runner, the clients and the desktop.
// Each injected std::function holds a plain lambda that forwards copies to a coroutine, so no
// coroutine frame ever refers to a lambda object or a temporary.
#include "app/AppModel.h"

#include "authorization/JITAuthorizationParser.h"
#include "channel/OwnerSetupClient.h"
#include "channel/OwnerSetupLinkStore.h"
#include "core/Configuration.h"
#include "model/AgentOperations.h"
#include "permissions/PermissionController.h"
#include "permissions/PermissionProbes.h"
#include "platform/Desktop.h"
#include "process/CLIService.h"
#include "setup/BundleComponents.h"
#include "setup/BundleStamp.h"
#include "status/AgentStatusClient.h"
#include "updates/AgentUpdateProbe.h"
#include "updates/RegistryLocator.h"

namespace {

using OutputHandler = AppModel::OutputHandler;
using AuthorizationHandler = AppModel::AuthorizationHandler;

// The runner finds no session script: a package built without one says what it lacks, since
// reinstalling the same package cannot help; a script that was shipped and is gone keeps the
// runner's own advice to reinstall.
[[noreturn]] void rethrowExplained(const QuorvantisNativeError &error)
{
    if (error.code == u"INSTALL_COMPONENT_MISSING") {
        if (auto lacking = BundleComponents::sessionScriptNeverPackaged())
            throw QuorvantisNativeError(error.code, std::move(*lacking));
    }
    throw error;
}

QCoro::Task<CLIResult> prepareEnvironment(std::shared_ptr<CLIService> cli, OutputHandler onOutput)
{
    try {
        co_return co_await cli->prepareEnvironment(std::move(onOutput));
    } catch (const QuorvantisNativeError &error) {
        rethrowExplained(error);
    }
}

QCoro::Task<CLIResult> runScript(std::shared_ptr<CLIService> cli, QString script, OutputHandler onOutput)
{
    co_return co_await cli->runScript(std::move(script), std::move(onOutput));
}

QCoro::Task<CLIResult> setupWithCode(std::shared_ptr<CLIService> cli, QString code, std::optional<QString> agentName,
                                     OutputHandler onOutput, AuthorizationHandler onAuthorization)
{
    try {
        co_return co_await cli->setup(code, agentName, std::move(onOutput),
                                      authorizationInterceptor(std::move(onAuthorization)));
    } catch (const QuorvantisNativeError &error) {
        rethrowExplained(error);
    }
}

QCoro::Task<CLIResult> enroll(std::shared_ptr<CLIService> cli, QString workspace, QString agentName, QString key,
                              OutputHandler onOutput, AuthorizationHandler onAuthorization)
{
    try {
        co_return co_await cli->enroll(workspace, agentName, key, std::move(onOutput),
                                       authorizationInterceptor(std::move(onAuthorization)));
    } catch (const QuorvantisNativeError &error) {
        rethrowExplained(error);
    }
}

QCoro::Task<CLIResult> resumeSetup(std::shared_ptr<CLIService> cli, OutputHandler onOutput,
                                   AuthorizationHandler onAuthorization)
{
    try {
        co_return co_await cli->resumeSetup(std::move(onOutput), authorizationInterceptor(std::move(onAuthorization)));
    } catch (const QuorvantisNativeError &error) {
        rethrowExplained(error);
    }
}

QCoro::Task<bool> agentStarted(QPointer<AgentStatusClient> client)
{
    if (!client)
        co_return false;
    try {
        co_await client->fetch();
        co_return true;
    } catch (...) {
        co_return false;
    }
}

QCoro::Task<bool> openURL(QUrl url)
{
    co_return co_await Desktop::openURL(std::move(url));
}

QCoro::Task<bool> openPrivacyPane(std::optional<PermissionKind> kind)
{
    co_return co_await PermissionController::openSettings(kind);
}

QCoro::Task<OwnerSetupSession> requestOwnerSetup(std::shared_ptr<OwnerSetupClient> client, std::optional<QUrl> existing,
                                                 bool forceRefresh)
{
    co_return co_await client->request(existing, forceRefresh);
}

// The registry question is a background check of the agent's runtime: it runs only while nothing
// acts on the agent, holding a check's turn so that a press waits for it instead of colliding in
// the runner. Otherwise it is put off, never waited for: its caller, the status refresh, may run
// inside an operation's turn itself.
QCoro::Task<std::optional<QString>> askPackageManager(std::shared_ptr<CLIService> cli, AgentOperations *operations)
{
    if (!operations || !operations->isIdle() || cli->isRunning())
        throw RegistryLookupDeferred("the agent is busy");
    // Granted at once, as nothing holds the agent; `operations` is not used past this point.
    const std::optional<AgentOperations::Lease> turn = co_await operations->check();
    if (!turn)
        co_return std::nullopt;
    co_return co_await RegistryLocator::askRuntimePackageManager(cli);
}

QCoro::Task<std::optional<QString>> fetchBetaVersion(std::shared_ptr<RegistryLocator> locator)
{
    const QString registry = co_await locator->registry();
    if (registry.isEmpty())
        co_return std::nullopt;
    co_return co_await AgentUpdateProbe::fetchBetaVersion(registry);
}

// Keychain saves run one at a time, in order, and only the newest wish counts: a save of the
// link and the removal after binding must never interleave and leave the old link behind.
struct LinkSaveQueue
{
    OwnerSetupLinkStore store;
    std::optional<std::optional<OwnerSetupLink>> wanted; // the newest link not yet saved
    std::optional<std::optional<OwnerSetupLink>> saved;  // what the keychain holds, once known
    bool saving = false;
};

QCoro::Task<void> drainLinkSaves(std::shared_ptr<LinkSaveQueue> queue)
{
    queue->saving = true;
    while (queue->wanted) {
        std::optional<OwnerSetupLink> link = std::move(*queue->wanted);
        queue->wanted.reset();
        co_await queue->store.save(link);
        queue->saved = std::move(link);
    }
    queue->saving = false;
}

} // namespace

void AppModel::wireDefaultEffects(Options &options)
{
    Effects &given = options.effects;
    const std::shared_ptr<CLIService> runner = m_cli;

    if (!given.permissionCheck)
        given.permissionCheck = [runner](PermissionKind kind) { return PermissionProbes::permissionGranted(runner, kind); };
    if (!given.permissionPrepare)
        given.permissionPrepare = [runner](PermissionKind kind) { return PermissionProbes::preparePermission(runner, kind); };
    if (!given.accessibilityPrepare) {
        given.accessibilityPrepare = [runner](AccessibilityStep step, bool requestPrompt) {
            return PermissionProbes::accessibilityGranted(runner, step, requestPrompt);
        };
    }
    if (!given.environmentPrepare)
        given.environmentPrepare = [runner](OutputHandler onOutput) { return prepareEnvironment(runner, std::move(onOutput)); };
    if (!given.runScript) {
        given.runScript = [runner](QString script, OutputHandler onOutput) {
            return runScript(runner, std::move(script), std::move(onOutput));
        };
    }
    if (!given.daemonInstall) {
        given.daemonInstall = [runner](OutputHandler onOutput) {
            return runScript(runner, CLIService::daemonInstallScript(), std::move(onOutput));
        };
    }
    if (!given.agentStarted) {
        QPointer<AgentStatusClient> client = m_agentStatus.get();
        given.agentStarted = [client] { return agentStarted(client); };
    }
    if (!given.openSystemSettings)
        given.openSystemSettings = [](std::optional<PermissionKind> kind) { return openPrivacyPane(kind); };
    if (!given.ownerSetupRequest) {
        // The one onboarding client, held by this effect for the life of the model.
        const auto client = std::make_shared<OwnerSetupClient>(m_profileDirectory);
        given.ownerSetupRequest = [client](std::optional<QUrl> existing, bool forceRefresh) {
            return requestOwnerSetup(client, std::move(existing), forceRefresh);
        };
    }
    if (!given.ownerSetupOpen)
        given.ownerSetupOpen = [](QUrl url) { return openURL(std::move(url)); };
    if (!given.ownerSetupCopy)
        given.ownerSetupCopy = [](QUrl url) { return Desktop::copyText(url.toString(QUrl::FullyEncoded)); };
    if (options.ownerSetupLinkSave) {
        given.ownerSetupLinkSave = [saver = options.ownerSetupLinkSave](std::optional<OwnerSetupLink> link) {
            if (link)
                saver(link->url, link->expiresAt);
            else
                saver(std::nullopt, std::nullopt);
        };
    } else if (!given.ownerSetupLinkSave) {
        auto queue = std::make_shared<LinkSaveQueue>(
            LinkSaveQueue{OwnerSetupLinkStore::forProfileDirectory(m_profileDirectory), std::nullopt, std::nullopt, false});
        given.ownerSetupLinkSave = [queue](std::optional<OwnerSetupLink> link) {
            // The channel stage re-saves the same link every half second; the keychain need not.
            const bool unchanged = queue->wanted ? *queue->wanted == link : (queue->saved && *queue->saved == link);
            if (unchanged)
                return;
            queue->wanted = std::move(link);
            if (!queue->saving)
                Quorvantis::startDetached(drainLinkSaves(queue), "captured link save");
        };
    }
    if (!given.setupAuthorizationOpen)
        given.setupAuthorizationOpen = [](QUrl url) { return openURL(std::move(url)); };
    if (!given.agentUpdateVersion) {
        // One locator for the launch: it keeps the package manager's answer.
        const QPointer<AppModel> model(this);
        auto locator = std::make_shared<RegistryLocator>(&Configuration::registryBaseURL, [runner, model] {
            return askPackageManager(runner, model ? model->m_operations.get() : nullptr);
        });
        given.agentUpdateVersion = [locator] { return fetchBetaVersion(locator); };
    }
    if (!given.enrollmentKeyProvider)
        given.enrollmentKeyProvider = [] { return BundleStamp::defaultEnrollmentKeyProvider(); };
    if (!given.setupEnroll) {
        given.setupEnroll = [runner](QString workspace, QString agentName, QString key, OutputHandler onOutput,
                                     AuthorizationHandler onAuthorization) {
            return enroll(runner, std::move(workspace), std::move(agentName), std::move(key), std::move(onOutput),
                          std::move(onAuthorization));
        };
    }
    if (!given.setupResume) {
        given.setupResume = [runner](OutputHandler onOutput, AuthorizationHandler onAuthorization) {
            return resumeSetup(runner, std::move(onOutput), std::move(onAuthorization));
        };
    }
    if (!given.setupWithCode) {
        given.setupWithCode = [runner](QString code, std::optional<QString> agentName, OutputHandler onOutput,
                                       AuthorizationHandler onAuthorization) {
            return setupWithCode(runner, std::move(code), std::move(agentName), std::move(onOutput),
                                 std::move(onAuthorization));
        };
    }
    if (!given.openURL)
        given.openURL = [](QUrl url) { return openURL(std::move(url)); };

    m_effects = std::move(given);
}
