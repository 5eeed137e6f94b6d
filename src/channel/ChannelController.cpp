// The channel-binding stage: fetch the binding link from the onboarding service, open or copy it,
// watch the owner's binding go through, then hand over to the handshake.
#include "channel/ChannelController.h"

#include "channel/OwnerSetupLinkStore.h"
#include "model/Attention.h"
#include "model/InFlight.h"
#include "model/InstallJourney.h"
#include "net/BoundedHttp.h"

#include <QCoro/QCoroSignal>
#include <QPointer>

namespace {

bool isRetryableOwnerSetupFailure(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuorvantisNativeError &coded) {
        return coded.code == u"OWNER_SETUP_STATE_CHANGED" || coded.code == u"OWNER_SETUP_UNAVAILABLE";
    } catch (const HttpTransportError &) {
        return true;
    } catch (...) {
        return false;
    }
}

QString ownerSetupFailureMessage(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuorvantisNativeError &coded) {
        return coded.message;
    } catch (...) {
        return ChannelController::tr("暂时无法获取 Channel 绑定状态，请检查网络后重试。");
    }
}

} // namespace

ChannelController::ChannelController(ModelContext context, Effects effects, Links links, QObject *parent)
    : QObject(parent),
      m_context(std::move(context)),
      m_effects(std::move(effects)),
      m_links(std::move(links)),
      m_ownerSetupPending(m_context.publication, ModelChange::channel, false),
      m_isOpeningOwnerSetup(m_context.publication, ModelChange::channel, false),
      m_ownerSetupOpenFailed(m_context.publication, ModelChange::channel, false),
      m_ownerSetupDidOpen(m_context.publication, ModelChange::channel, false),
      m_ownerSetupLinkCopied(m_context.publication, ModelChange::channel, false),
      m_ownerSetupError(m_context.publication, ModelChange::channel),
      m_isLoadingOwnerSetup(m_context.publication, ModelChange::channel, false),
      m_isChannelBindingSheetPresented(m_context.publication, ModelChange::channel, false),
      m_channelBindingCompleted(m_context.publication, ModelChange::channel, false),
      m_channelOwnershipVerified(m_context.publication, ModelChange::channel, false)
{
}

void ChannelController::loadCapturedLink(LinkLoader loader)
{
    m_linkLoadPending = true;
    Quorvantis::startDetached(loadLink(std::move(loader)), "captured link load");
}

QCoro::Task<void> ChannelController::loadLink(LinkLoader loader)
{
    QPointer<ChannelController> self(this);
    const QString profileDirectory = m_context.profileDirectory;
    std::optional<OwnerSetupLink> link;
    try {
        if (loader)
            link = co_await loader();
        if (!link && self)
            link = co_await OwnerSetupLinkStore::forProfileDirectory(profileDirectory).load();
    } catch (...) {
        link = std::nullopt;
    }
    if (!self)
        co_return;
    if (link) {
        const auto before = shownLink();
        m_ownerSetupURL = link->url;
        m_ownerSetupExpiresAt = link->expiresAt;
        markIfChanged(before);
    }
    m_linkLoadPending = false;
    Q_EMIT capturedLinkLoaded();
}

QCoro::Task<void> ChannelController::enterChannelStage()
{
    if (!journey().isAt(InstallStage::daemon))
        co_return;
    attention().clearError();
    journey().report(JourneyEvent::daemonAnswering);
    journey().applyProgress(SetupPhase::channel, ProgressState::running, tr("等待绑定 Channel"));
    m_links.startStatusMonitoring();
    co_await refreshOwnerSetup(false);
}

QCoro::Task<void> ChannelController::refreshOwnerSetup(bool forceRefresh)
{
    QPointer<ChannelController> self(this);
    // A link captured before a restart must be in hand first: asking without it could make the
    // service hand out a new link and invalidate the one the owner may already have open.
    if (m_linkLoadPending) {
        co_await qCoro(this, &ChannelController::capturedLinkLoaded);
        if (!self)
            co_return;
    }
    if (!journey().configurationReady() || !journey().isAt(InstallStage::channel) || m_ownerSetupRequestInFlight)
        co_return;
    InFlight requesting(this, m_ownerSetupRequestInFlight);
    std::optional<InFlight<Published<bool>>> loading;
    if (!m_ownerSetupURL || forceRefresh)
        loading.emplace(this, m_isLoadingOwnerSetup);
    m_ownerSetupError = std::nullopt;

    std::optional<OwnerSetupSession> session;
    std::exception_ptr failure;
    for (int attempt = 0;; ++attempt) {
        failure = nullptr;
        try {
            session = co_await m_effects.ownerSetupRequest(m_ownerSetupURL, forceRefresh);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!self)
            co_return;
        if (!failure)
            break;
        const bool retry = isRetryableOwnerSetupFailure(failure) && !forceRefresh && !m_ownerSetupURL
            && attempt + 1 < ownerSetupMaxRequests;
        if (!retry)
            break;
        try {
            co_await m_context.sleep(ownerSetupRetryDelay);
        } catch (...) {
            // A failed wait still retries.
        }
        if (!self)
            co_return;
    }

    if (failure) {
        m_ownerSetupPending = true;
        m_ownerSetupError = ownerSetupFailureMessage(failure);
        co_return;
    }

    applyOwnerSetupSession(*session, forceRefresh);
    if (!session->required) {
        finishChannelBinding();
        co_await m_links.refreshAgentStatus();
    }
}

void ChannelController::applyOwnerSetupSession(const OwnerSetupSession &session, bool forceRefresh)
{
    const auto before = shownLink();
    m_ownerSetupPending = session.required;
    m_ownerSetupURL = session.url;
    m_ownerSetupExpiresAt = session.expiresAt;
    m_ownerSetupHasLiveSession = session.hasLiveSession;

    if (session.url) {
        saveOwnerSetupLink(OwnerSetupLink{*session.url, session.expiresAt});
        if (forceRefresh) {
            // A new link: nobody has opened or copied it yet, and attempts seen on the old
            // one say nothing about it.
            m_ownerSetupDidOpen = false;
            m_ownerSetupOpenFailed = false;
            m_ownerSetupLinkCopied = false;
            m_ownerSetupSawPendingBinding = false;
        }
    } else if (session.required) {
        m_ownerSetupExpiresAt = std::nullopt;
        saveOwnerSetupLink(std::nullopt);
    }

    if (session.hasPendingBinding == true)
        m_ownerSetupSawPendingBinding = true;
    else if (session.hasPendingBinding == false && m_ownerSetupSawPendingBinding)
        m_channelOwnershipVerified = true;
    markIfChanged(before);
}

ChannelController::ShownLink ChannelController::shownLink() const
{
    return {m_ownerSetupURL, m_ownerSetupExpiresAt, m_ownerSetupHasLiveSession};
}

void ChannelController::markIfChanged(const ShownLink &before) const
{
    if (shownLink() != before)
        m_context.publication.markChanged(ModelChange::channel);
}

void ChannelController::finishChannelBinding()
{
    const auto before = shownLink();
    m_channelBindingCompleted = true;
    m_channelOwnershipVerified = true;
    m_isChannelBindingSheetPresented = false;
    m_ownerSetupURL = std::nullopt;
    m_ownerSetupExpiresAt = std::nullopt;
    saveOwnerSetupLink(std::nullopt);
    m_ownerSetupHasLiveSession = false;
    m_ownerSetupOpenFailed = false;
    m_ownerSetupDidOpen = false;
    m_ownerSetupLinkCopied = false;
    markIfChanged(before);
    journey().report(JourneyEvent::bindingCompleted);
    journey().applyProgress(SetupPhase::handshake, ProgressState::running, tr("正在验证 Agent 状态"));
}

void ChannelController::saveOwnerSetupLink(std::optional<OwnerSetupLink> link)
{
    if (!m_effects.ownerSetupLinkSave)
        return;
    try {
        m_effects.ownerSetupLinkSave(std::move(link));
    } catch (...) {
        // Keeping the link is a convenience for the next launch; losing it is never shown.
    }
}

QCoro::Task<void> ChannelController::openOwnerSetup()
{
    QPointer<ChannelController> self(this);
    if (!canOpenOwnerSetup())
        co_return;
    m_isOpeningOwnerSetup = true;
    m_ownerSetupOpenFailed = false;
    m_ownerSetupLinkCopied = false;
    const QUrl url = *m_ownerSetupURL;
    bool opened = false;
    try {
        opened = co_await m_effects.ownerSetupOpen(url);
    } catch (...) {
        opened = false;
    }
    if (!self)
        co_return;
    m_isOpeningOwnerSetup = false;
    m_ownerSetupOpenFailed = !opened;
    m_ownerSetupDidOpen = opened;
}

void ChannelController::copyOwnerSetupLink()
{
    if (!canOpenOwnerSetup() || !m_ownerSetupURL)
        return;
    bool copied = false;
    try {
        copied = m_effects.ownerSetupCopy(*m_ownerSetupURL);
    } catch (...) {
        copied = false;
    }
    m_ownerSetupLinkCopied = copied;
}

QCoro::Task<void> ChannelController::noteChannelBindingSessionAppeared(std::chrono::milliseconds delay)
{
    QPointer<ChannelController> self(this);
    if (!journey().isAt(InstallStage::channel))
        co_return;
    try {
        co_await m_context.sleep(delay);
    } catch (...) {
        // A failed wait still refreshes.
    }
    if (!self)
        co_return;
    co_await refreshOwnerSetup(false);
}

void ChannelController::setChannelBindingSheetPresented(bool presented)
{
    m_isChannelBindingSheetPresented = presented;
}

bool ChannelController::canOpenOwnerSetup() const
{
    return ownerSetupPending() && m_ownerSetupURL && !isOpeningOwnerSetup();
}

bool ChannelController::ownerSetupOpenedByAgent() const
{
    return ownerSetupPending() && m_ownerSetupHasLiveSession && !m_ownerSetupURL;
}

QString ChannelController::ownerSetupOpenButtonTitle() const
{
    if (ownerSetupOpenFailed())
        return tr("重试");
    if (ownerSetupDidOpen())
        return tr("重新打开浏览器");
    return tr("打开浏览器");
}

QString ChannelController::channelBindingSummary() const
{
    if (journey().isAt(InstallStage::channel))
        return tr("等待完成绑定");
    return journey().onboardingCompleted() ? tr("已绑定") : tr("尚未开始");
}
