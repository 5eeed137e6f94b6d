#include "app/AppModel.h"

#include "platform/Bundle.h"
#include "process/CLIService.h"
#include "status/AgentStatusClient.h"

#include <QDir>

AppModel::AppModel(Options options, QObject *parent) : QObject(parent)
{
    // 1-2. Published and plain state start from their declared values.
    appVersion = Bundle::infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QStringLiteral("--"));
    sleeper = options.sleeper ? std::move(options.sleeper) : Quorvantis::defaultSleeper();
    clock = options.clock ? std::move(options.clock) : [] { return QDateTime::currentDateTimeUtc(); };
    autoResume = options.autoResume;

    // 3. The runner, the profile directory and the status client.
    cli = options.cli ? std::move(options.cli) : std::make_shared<CLIService>();
    profileDirectory = options.profileDirectory
        ? QDir::cleanPath(*options.profileDirectory)
        : QDir::cleanPath(QDir::homePath() + QStringLiteral("/.quorvantis/profiles/default"));
    agentStatus = makeAgentStatusClient(options.statusTimeout);

    // 4. The onboarding client and every effect not given.
    wireDefaultEffects(options);

    // 5. The retry schedule of the setup run.
    bootstrapRetryDelays = std::move(options.bootstrapRetryDelays);

    // 6-7. The resume point, and the captured binding link when binding was under way.
    installStage = readInstallStage(profileDirectory);
    if (installStage == InstallStage::channel)
        Quorvantis::startDetached(loadCapturedLink(std::move(options.ownerSetupLinkLoad)), "captured link load");

    // 8. The permission markers.
    cachedCompletedPermissions = readCompletedPermissions(profileDirectory);
    permissionAwaitingReturn = readAwaitingPermission(profileDirectory);

    // 9. What to show and what to resume.
    restoreAtLaunch();
}

AppModel::~AppModel() = default;

QList<AppModel::PermissionItem> AppModel::initialPermissions()
{
    QList<PermissionItem> items;
    for (const PermissionKind kind : allCases<PermissionKind>())
        items.append({PermissionRule{kind}, PermissionNativeState::unknown, false});
    return items;
}

QCoro::Task<void> AppModel::loadCapturedLink(LinkLoader loader)
{
    QPointer<AppModel> self(this);
    m_linkLoadPending = true;
    std::optional<OwnerSetupLink> link;
    try {
        if (loader)
            link = co_await loader();
        if (!link && self)
            link = co_await OwnerSetupLinkStore::forProfileDirectory(self->profileDirectory).load();
    } catch (...) {
        link = std::nullopt;
    }
    if (!self)
        co_return;
    if (link) {
        ownerSetupURL = link->url;
        ownerSetupExpiresAt = link->expiresAt;
    }
    m_linkLoadPending = false;
    Q_EMIT capturedLinkLoaded();
}
