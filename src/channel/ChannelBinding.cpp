// The channel-binding stage: fetch the binding link from the onboarding service, open or copy it,
// watch the owner's binding go through, then hand over to the handshake.
#include "app/AppModel.h"

#include "channel/OwnerSetupClient.h"
#include "status/BoundedHttpGet.h"

#include <QCoro/QCoroSignal>

QCoro::Task<void> AppModel::enterChannelStage()
{
    if (installStage != InstallStage::daemon)
        co_return;
    lastError = std::nullopt;
    overallState = OverallState::online;
    installationValidated = true;
    onboardingCompleted = false;
    pendingSetupResume = false;
    applyProgress(QStringLiteral("starting"), QStringLiteral("complete"));
    applyProgress(QStringLiteral("channel"), QStringLiteral("running"), QStringLiteral("等待绑定 Channel"));
    installStage = InstallStage::channel;
    persistInstallStage(installStage);
    startStatusMonitoring();
    co_await refreshOwnerSetup(false);
}

QCoro::Task<void> AppModel::refreshOwnerSetup(bool forceRefresh)
{
    QPointer<AppModel> self(this);
    // A link captured before a restart must be in hand first: asking without it could make the
    // service hand out a new link and invalidate the one the owner may already have open.
    if (m_linkLoadPending) {
        co_await qCoro(this, &AppModel::capturedLinkLoaded);
        if (!self)
            co_return;
    }
    if (!configurationReady() || installStage != InstallStage::channel || ownerSetupRequestInFlight)
        co_return;
    ownerSetupRequestInFlight = true;
    const bool showsLoading = !ownerSetupURL || forceRefresh;
    if (showsLoading)
        isLoadingOwnerSetup = true;
    ownerSetupError = std::nullopt;

    std::optional<OwnerSetupSession> session;
    std::exception_ptr failure;
    for (int attempt = 0;; ++attempt) {
        failure = nullptr;
        try {
            session = co_await effects.ownerSetupRequest(ownerSetupURL, forceRefresh);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!self)
            co_return;
        if (!failure)
            break;
        const bool retry = isRetryableOwnerSetupFailure(failure) && !forceRefresh && !ownerSetupURL
            && attempt + 1 < ownerSetupMaxRequests;
        if (!retry)
            break;
        try {
            co_await sleep(ownerSetupRetryDelay);
        } catch (...) {
            // A failed wait still retries.
        }
        if (!self)
            co_return;
    }

    if (failure) {
        ownerSetupPending = true;
        ownerSetupError = ownerSetupFailureMessage(failure);
        ownerSetupRequestInFlight = false;
        if (showsLoading)
            isLoadingOwnerSetup = false;
        co_return;
    }

    applyOwnerSetupSession(*session, forceRefresh);
    if (!session->required) {
        finishChannelBinding();
        co_await refreshAgentStatus();
        if (!self)
            co_return;
    }
    ownerSetupRequestInFlight = false;
    if (showsLoading)
        isLoadingOwnerSetup = false;
}

void AppModel::applyOwnerSetupSession(const OwnerSetupSession &session, bool forceRefresh)
{
    ownerSetupPending = session.required;
    ownerSetupURL = session.url;
    ownerSetupExpiresAt = session.expiresAt;
    ownerSetupHasLiveSession = session.hasLiveSession;

    if (session.url) {
        saveOwnerSetupLink(OwnerSetupLink{*session.url, session.expiresAt});
        if (forceRefresh) {
            // A new link: nobody has opened or copied it yet, and attempts seen on the old
            // one say nothing about it.
            ownerSetupDidOpen = false;
            ownerSetupOpenFailed = false;
            ownerSetupLinkCopied = false;
            ownerSetupSawPendingBinding = false;
        }
    } else if (session.required) {
        ownerSetupExpiresAt = std::nullopt;
        saveOwnerSetupLink(std::nullopt);
    }

    if (session.hasPendingBinding == true)
        ownerSetupSawPendingBinding = true;
    else if (session.hasPendingBinding == false && ownerSetupSawPendingBinding)
        channelOwnershipVerified = true;
}

void AppModel::finishChannelBinding()
{
    channelBindingCompleted = true;
    channelOwnershipVerified = true;
    isChannelBindingSheetPresented = false;
    ownerSetupURL = std::nullopt;
    ownerSetupExpiresAt = std::nullopt;
    saveOwnerSetupLink(std::nullopt);
    ownerSetupHasLiveSession = false;
    ownerSetupOpenFailed = false;
    ownerSetupDidOpen = false;
    ownerSetupLinkCopied = false;
    applyProgress(QStringLiteral("channel"), QStringLiteral("complete"));
    applyProgress(QStringLiteral("handshake"), QStringLiteral("running"), QStringLiteral("正在验证 Agent 状态"));
    installStage = InstallStage::handshake;
    persistInstallStage(installStage);
}

void AppModel::saveOwnerSetupLink(std::optional<OwnerSetupLink> link)
{
    if (!effects.ownerSetupLinkSave)
        return;
    try {
        effects.ownerSetupLinkSave(std::move(link));
    } catch (...) {
        // Keeping the link is a convenience for the next launch; losing it is never shown.
    }
}

bool AppModel::isRetryableOwnerSetupFailure(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuorvantisNativeError &coded) {
        return coded.code == u"OWNER_SETUP_STATE_CHANGED" || coded.code == u"OWNER_SETUP_UNAVAILABLE";
    } catch (const OwnerSetupTransportError &) {
        return true;
    } catch (const HttpTransportError &) {
        return true;
    } catch (...) {
        return false;
    }
}

QString AppModel::ownerSetupFailureMessage(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuorvantisNativeError &coded) {
        return coded.message;
    } catch (...) {
        return QStringLiteral("暂时无法获取 Channel 绑定状态，请检查网络后重试。");
    }
}

QCoro::Task<void> AppModel::openOwnerSetup()
{
    QPointer<AppModel> self(this);
    if (!canOpenOwnerSetup())
        co_return;
    isOpeningOwnerSetup = true;
    ownerSetupOpenFailed = false;
    ownerSetupLinkCopied = false;
    const QUrl url = *ownerSetupURL;
    bool opened = false;
    try {
        opened = co_await effects.ownerSetupOpen(url);
    } catch (...) {
        opened = false;
    }
    if (!self)
        co_return;
    isOpeningOwnerSetup = false;
    ownerSetupOpenFailed = !opened;
    ownerSetupDidOpen = opened;
}

void AppModel::copyOwnerSetupLink()
{
    if (!canOpenOwnerSetup() || !ownerSetupURL)
        return;
    bool copied = false;
    try {
        copied = effects.ownerSetupCopy(*ownerSetupURL);
    } catch (...) {
        copied = false;
    }
    ownerSetupLinkCopied = copied;
}

QCoro::Task<void> AppModel::noteChannelBindingSessionAppeared(std::chrono::milliseconds delay)
{
    QPointer<AppModel> self(this);
    if (installStage != InstallStage::channel)
        co_return;
    try {
        co_await sleep(delay);
    } catch (...) {
        // A failed wait still refreshes.
    }
    if (!self)
        co_return;
    co_await refreshOwnerSetup(false);
}

bool AppModel::canOpenOwnerSetup() const
{
    return ownerSetupPending() && ownerSetupURL && !isOpeningOwnerSetup();
}

bool AppModel::ownerSetupOpenedByAgent() const
{
    return ownerSetupPending() && ownerSetupHasLiveSession && !ownerSetupURL;
}

QString AppModel::ownerSetupOpenButtonTitle() const
{
    if (ownerSetupOpenFailed())
        return QStringLiteral("重试");
    if (ownerSetupDidOpen())
        return QStringLiteral("重新打开浏览器");
    return QStringLiteral("打开浏览器");
}

QString AppModel::channelBindingSummary() const
{
    if (installStage == InstallStage::channel)
        return QStringLiteral("等待完成绑定");
    return onboardingCompleted() ? QStringLiteral("已绑定") : QStringLiteral("尚未开始");
}
