#include "app/AppModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QCoro/QCoroSignal>

namespace {

// Marker files are a few bytes; anything bigger is not ours and reads as absent.
constexpr qint64 markerSizeLimit = 64 * 1024;

std::optional<QString> readMarker(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > markerSizeLimit)
        return std::nullopt;
    const QByteArray bytes = file.read(markerSizeLimit + 1);
    if (bytes.size() > markerSizeLimit)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

template <typename E>
std::optional<E> readRawValueMarker(const QString &path)
{
    const auto text = readMarker(path);
    return text ? fromRawValue<E>(text->trimmed()) : std::nullopt;
}

// Writes atomically, then restricts to the owner; every failure is dropped silently.
void writeMarker(const QString &path, const QString &text)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(text.toUtf8());
    if (!file.commit())
        return;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace

QString AppModel::profileFile(const QString &name) const
{
    return QDir(profileDirectory).filePath(name);
}

std::optional<AppModel::InstallStage> AppModel::readInstallStage(const QString &directory)
{
    return readRawValueMarker<InstallStage>(QDir(directory).filePath(QStringLiteral("mac-app-install-stage")));
}

QSet<PermissionKind> AppModel::readCompletedPermissions(const QString &directory)
{
    QSet<PermissionKind> kinds;
    const auto text = readMarker(QDir(directory).filePath(QStringLiteral("mac-app-permissions-completed")));
    if (!text)
        return kinds;
    static const QRegularExpression whiteSpace(QStringLiteral("\\s+"), QRegularExpression::UseUnicodePropertiesOption);
    for (const QString &piece : text->split(whiteSpace, Qt::SkipEmptyParts)) {
        if (const auto kind = fromRawValue<PermissionKind>(piece))
            kinds.insert(*kind);
    }
    return kinds;
}

std::optional<PermissionKind> AppModel::readAwaitingPermission(const QString &directory)
{
    return readRawValueMarker<PermissionKind>(QDir(directory).filePath(QStringLiteral("mac-app-permission-awaiting")));
}

std::optional<AccessibilityProbeOutcome> AppModel::readAccessibilityProbeOutcome(const QString &directory)
{
    return readRawValueMarker<AccessibilityProbeOutcome>(
        QDir(directory).filePath(QStringLiteral("mac-app-accessibility-probe")));
}

void AppModel::persistInstallStage(std::optional<InstallStage> stage)
{
    const QString path = profileFile(QStringLiteral("mac-app-install-stage"));
    QDir().mkpath(profileDirectory);
    if (!stage) {
        QFile::remove(path);
        return;
    }
    writeMarker(path, rawValue(*stage) + u'\n');
}

void AppModel::persistCompletedPermissions()
{
    const QString path = profileFile(QStringLiteral("mac-app-permissions-completed"));
    QDir().mkpath(profileDirectory);
    QString text;
    for (const PermissionKind kind : allCases<PermissionKind>()) {
        if (cachedCompletedPermissions.contains(kind))
            text += rawValue(kind) + u'\n';
    }
    if (text.isEmpty()) {
        QFile::remove(path);
        return;
    }
    writeMarker(path, text);
}

void AppModel::persistAwaitingPermission(std::optional<PermissionKind> kind)
{
    const QString path = profileFile(QStringLiteral("mac-app-permission-awaiting"));
    if (!kind) {
        QFile::remove(path);
        return;
    }
    writeMarker(path, rawValue(*kind) + u'\n');
}

void AppModel::restoreProgress(InstallStage stage)
{
    // How many leading phases are complete at each stage, and which one runs.
    struct Row { int complete; std::optional<SetupPhase> running; };
    const Row row = [stage]() -> Row {
        switch (stage) {
        case InstallStage::runtime: return {0, SetupPhase::runtime};
        case InstallStage::permissions: return {2, SetupPhase::permissions};
        case InstallStage::setup: return {3, std::nullopt};
        case InstallStage::daemon: return {6, SetupPhase::starting};
        case InstallStage::channel: return {7, SetupPhase::channel};
        case InstallStage::handshake: return {8, SetupPhase::handshake};
        }
        return {0, std::nullopt};
    }();
    auto items = initialProgress();
    for (int i = 0; i < row.complete; ++i)
        items[i].state = ProgressState::complete;
    if (row.running)
        items[int(*row.running)].state = ProgressState::running;
    setupProgress = std::move(items);
}

void AppModel::restoreAtLaunch()
{
    const bool configured = QFileInfo::exists(profileFile(QStringLiteral("config.json")));
    if (!configured) {
        if (!installStage) {
            installStage = InstallStage::runtime;
            persistInstallStage(installStage);
        }
        restoreProgress(*installStage);
        overallState = installStage == InstallStage::setup ? OverallState::waitingSetup : OverallState::starting;
        pendingSetupResume = installStage != InstallStage::setup;
    } else {
        configurationReady = true;
        overallState = OverallState::starting;
        if (installStage) {
            pendingSetupResume = true;
            restoreProgress(*installStage);
            if (installStage == InstallStage::channel || installStage == InstallStage::handshake) {
                installationValidated = true;
                onboardingCompleted = installStage == InstallStage::handshake;
            }
        } else {
            installationValidated = true;
            onboardingCompleted = true;
            setupProgress.mutate([](QList<SetupProgressItem> &items) {
                for (auto &item : items)
                    item.state = ProgressState::complete;
            });
        }
    }
    if (autoResume) {
        startStatusMonitoring();
        Quorvantis::startDetached(launchResume(), "launch resume");
    }
}

QCoro::Task<void> AppModel::launchResume()
{
    QPointer<AppModel> self(this);
    // A captured binding link is loaded before anything may ask the service for a new one.
    if (m_linkLoadPending)
        co_await qCoro(this, &AppModel::capturedLinkLoaded);
    if (!self)
        co_return;
    if (!self->configurationReady()) {
        co_await self->resumeInstalledConfiguration();
        co_return;
    }
    if (self->installStage) {
        co_await self->resumeInstalledConfiguration();
        if (self && self->permissionAwaitingReturn)
            co_await self->advancePermissionOnboarding();
    } else {
        co_await self->recheckExistingPermissionsOnLaunchIfNeeded();
    }
}

QCoro::Task<void> AppModel::resumeInstalledConfiguration()
{
    QPointer<AppModel> self(this);
    if (!installStage)
        co_return;
    lastError = std::nullopt;
    switch (*installStage) {
    case InstallStage::runtime:
        co_await prepareEnvironmentIfNeeded();
        break;
    case InstallStage::permissions:
        overallState = OverallState::starting;
        pendingSetupResume = true;
        if (permissionAwaitingReturn)
            co_await advancePermissionOnboarding();
        break;
    case InstallStage::setup:
        overallState = OverallState::waitingSetup;
        pendingSetupResume = false;
        requestFocus(FocusTarget::setupCode());
        break;
    case InstallStage::daemon:
        if (!configurationReady())
            break;
        overallState = OverallState::starting;
        pendingSetupResume = true;
        co_await finishDaemonInstallationIfNeeded();
        break;
    case InstallStage::channel:
        if (!configurationReady())
            break;
        overallState = OverallState::starting;
        pendingSetupResume = true;
        co_await refreshOwnerSetup(false);
        break;
    case InstallStage::handshake:
        if (!configurationReady())
            break;
        overallState = OverallState::starting;
        pendingSetupResume = true;
        startStatusMonitoring();
        co_await refreshAgentStatus();
        break;
    }
}

QCoro::Task<void> AppModel::sceneDidBecomeActive()
{
    QPointer<AppModel> self(this);
    co_await recheckExistingPermissionsOnLaunchIfNeeded();
    if (!self)
        co_return;
    if (installStage == InstallStage::permissions && permissionAwaitingReturn == currentPermissionOnboardingKind()) {
        if (permissionOperationInFlight())
            permissionRecheckPending = true;
        else
            co_await advancePermissionOnboarding();
    }
    if (!self)
        co_return;
    if (installStage == InstallStage::channel)
        co_await refreshOwnerSetup(false);
    if (!self)
        co_return;
    co_await refreshAgentStatus();
}

QCoro::Task<void> AppModel::recheckExistingPermissionsOnLaunchIfNeeded()
{
    if (!configurationReady() || installStage || didRecheckExistingPermissions)
        co_return;
    didRecheckExistingPermissions = true;
    co_await recoverExistingConfigurationIfNeeded();
}

QCoro::Task<void> AppModel::recoverExistingConfigurationIfNeeded()
{
    QPointer<AppModel> self(this);
    co_await refreshExistingPermissions();
    if (!self)
        co_return;
    const auto &items = permissions();
    if (std::all_of(items.cbegin(), items.cend(), [](const PermissionItem &item) { return item.verified; }))
        co_return;
    installStage = InstallStage::permissions;
    pendingSetupResume = true;
    installationValidated = false;
    onboardingCompleted = false;
    overallState = OverallState::starting;
    restoreProgress(InstallStage::permissions);
    persistInstallStage(installStage);
}
