#pragma once

#include "model/Effects.h"
#include "model/ModelContext.h"
#include "model/ModelTypes.h"
#include "model/Published.h"

#include <QDateTime>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>
#include <tuple>

// The channel-binding stage: fetch the binding link from the onboarding service, open or copy it,
// watch the owner's binding go through, then hand over to the handshake.
class ChannelController : public QObject
{
    Q_OBJECT

public:
    struct Effects
    {
        decltype(ModelEffects::ownerSetupRequest) ownerSetupRequest;
        decltype(ModelEffects::ownerSetupOpen) ownerSetupOpen;
        decltype(ModelEffects::ownerSetupCopy) ownerSetupCopy;
        decltype(ModelEffects::ownerSetupLinkSave) ownerSetupLinkSave;
    };

    struct Links
    {
        std::function<void()> startStatusMonitoring;
        std::function<QCoro::Task<void>()> refreshAgentStatus;
    };

    using LinkLoader = std::function<QCoro::Task<std::optional<OwnerSetupLink>>()>;

    ChannelController(ModelContext context, Effects effects, Links links, QObject *parent = nullptr);

    // ---- Published state ------------------------------------------------------------------------

    bool ownerSetupPending() const { return m_ownerSetupPending(); }
    bool isOpeningOwnerSetup() const { return m_isOpeningOwnerSetup(); }
    bool ownerSetupOpenFailed() const { return m_ownerSetupOpenFailed(); }
    bool ownerSetupDidOpen() const { return m_ownerSetupDidOpen(); }
    bool ownerSetupLinkCopied() const { return m_ownerSetupLinkCopied(); }
    const std::optional<QString> &ownerSetupError() const { return m_ownerSetupError(); }
    bool isLoadingOwnerSetup() const { return m_isLoadingOwnerSetup(); }
    bool isChannelBindingSheetPresented() const { return m_isChannelBindingSheetPresented(); }
    bool channelBindingCompleted() const { return m_channelBindingCompleted(); }
    bool channelOwnershipVerified() const { return m_channelOwnershipVerified(); }

    // ---- Plain state ----------------------------------------------------------------------------

    bool ownerSetupRequestInFlight() const { return m_ownerSetupRequestInFlight; }
    const std::optional<QUrl> &ownerSetupURL() const { return m_ownerSetupURL; }
    const std::optional<QDateTime> &ownerSetupExpiresAt() const { return m_ownerSetupExpiresAt; }
    bool ownerSetupHasLiveSession() const { return m_ownerSetupHasLiveSession; }
    bool ownerSetupSawPendingBinding() const { return m_ownerSetupSawPendingBinding; }
    bool isLoadingCapturedLink() const { return m_linkLoadPending; }

    // ---- Operations -----------------------------------------------------------------------------

    // Loads the link captured before a restart (the loader first, then the profile's keychain
    // entry); every refresh waits for it.
    void loadCapturedLink(LinkLoader loader);
    QCoro::Task<void> enterChannelStage();
    QCoro::Task<void> refreshOwnerSetup(bool forceRefresh);
    QCoro::Task<void> openOwnerSetup();
    void copyOwnerSetupLink();
    QCoro::Task<void> noteChannelBindingSessionAppeared(std::chrono::milliseconds delay);
    void setChannelBindingSheetPresented(bool presented);

    bool canOpenOwnerSetup() const;
    bool ownerSetupOpenedByAgent() const;
    QString ownerSetupOpenButtonTitle() const;
    QString channelBindingSummary() const;

Q_SIGNALS:
    // The captured binding link has been loaded.
    void capturedLinkLoaded();

private:
    // Requests are retried this many times in all while no link is held, this far apart.
    static constexpr int ownerSetupMaxRequests = 10;
    static constexpr std::chrono::milliseconds ownerSetupRetryDelay{600};

    InstallJourney &journey() const { return *m_context.journey; }
    Attention &attention() const { return *m_context.attention; }

    QCoro::Task<void> loadLink(LinkLoader loader);
    void saveOwnerSetupLink(std::optional<OwnerSetupLink> link);
    void applyOwnerSetupSession(const OwnerSetupSession &session, bool forceRefresh);
    // Binding is complete: clears the link and moves the installation on to the handshake.
    void finishChannelBinding();
    // The link's plain state that the views show: a change of it is published as a channel change.
    using ShownLink = std::tuple<std::optional<QUrl>, std::optional<QDateTime>, bool>;
    ShownLink shownLink() const;
    void markIfChanged(const ShownLink &before) const;

    ModelContext m_context;
    Effects m_effects;
    Links m_links;

    Published<bool> m_ownerSetupPending;
    Published<bool> m_isOpeningOwnerSetup;
    Published<bool> m_ownerSetupOpenFailed;
    Published<bool> m_ownerSetupDidOpen;
    Published<bool> m_ownerSetupLinkCopied;
    Published<std::optional<QString>> m_ownerSetupError;
    Published<bool> m_isLoadingOwnerSetup;
    Published<bool> m_isChannelBindingSheetPresented;
    Published<bool> m_channelBindingCompleted;
    Published<bool> m_channelOwnershipVerified;

    bool m_ownerSetupRequestInFlight = false;
    std::optional<QUrl> m_ownerSetupURL;
    std::optional<QDateTime> m_ownerSetupExpiresAt;
    bool m_ownerSetupHasLiveSession = false;
    bool m_ownerSetupSawPendingBinding = false;
    // Set while the captured binding link is being loaded; the channel refresh waits for it so
    // that it never asks for a new link over a captured one.
    bool m_linkLoadPending = false;
};
