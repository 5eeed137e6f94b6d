#pragma once

// The enums and records of the application model. Every layer above the runner may include this
// header: the controllers that own the state, the model face that shows it and the views.

#include "core/RawValues.h"
#include "process/QuorvantisNativeError.h"

#include <QByteArray>
#include <QDateTime>
#include <QHashFunctions>
#include <QList>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>

// ---- Permissions ----------------------------------------------------------------------------

// The three privacy permissions, in onboarding order.
enum class PermissionKind { screenRecording, accessibility, fullDiskAccess };

constexpr RawValueTable<PermissionKind, 3> rawValueTable(PermissionKind)
{
    return {{u"screenRecording", u"accessibility", u"fullDiskAccess"}};
}

inline size_t qHash(PermissionKind kind, size_t seed = 0)
{
    return ::qHash(static_cast<int>(kind), seed);
}

// Accessibility is verified in two steps: the real node the agent runs, then cliclick.
enum class AccessibilityStep { node, cliclick };

constexpr RawValueTable<AccessibilityStep, 2> rawValueTable(AccessibilityStep)
{
    return {{u"node", u"cliclick"}};
}

// The detailed answer the accessibility probe leaves in "mac-app-accessibility-probe".
enum class AccessibilityProbeOutcome { granted, denied, mismatch, missing, unsupported };

constexpr RawValueTable<AccessibilityProbeOutcome, 5> rawValueTable(AccessibilityProbeOutcome)
{
    return {{u"granted", u"denied", u"mismatch", u"missing", u"unsupported"}};
}

enum class PermissionNativeState { unknown, notGranted, granted };

struct PermissionRule
{
    PermissionKind kind;
    bool operator==(const PermissionRule &) const = default;
};

struct PermissionItem
{
    PermissionRule rule;
    PermissionNativeState nativeState = PermissionNativeState::unknown;
    bool verified = false;
    bool operator==(const PermissionItem &) const = default;
};

// ---- The installation -----------------------------------------------------------------------

// The coarse, persisted resume point of the installation.
enum class InstallStage { runtime, permissions, setup, daemon, channel, handshake };

constexpr RawValueTable<InstallStage, 6> rawValueTable(InstallStage)
{
    return {{u"runtime", u"permissions", u"setup", u"daemon", u"channel", u"handshake"}};
}

// The finer view of the same sequence that the progress list shows.
enum class SetupPhase { runtime, preflight, permissions, redeem, configure, verify, starting, channel, handshake, online };

constexpr RawValueTable<SetupPhase, 10> rawValueTable(SetupPhase)
{
    return {{u"runtime", u"preflight", u"permissions", u"redeem", u"configure", u"verify", u"starting",
             u"channel", u"handshake", u"online"}};
}

// The phase's display title.
QString title(SetupPhase phase);

enum class ProgressState { pending, running, complete, failed };
enum class OverallState { notInstalled, starting, waitingSetup, online, error };
enum class SetupEntryMode { paste, enroll };

enum class EnrollmentWorkspace { none, zoho, google };

constexpr RawValueTable<EnrollmentWorkspace, 3> rawValueTable(EnrollmentWorkspace)
{
    return {{u"none", u"zoho", u"google"}};
}

enum class RootPage { setup, dashboard };
enum class LoginItemState { unavailable };
enum class ChromeState { trusted };

struct SetupProgressItem
{
    SetupPhase phase;
    ProgressState state = ProgressState::pending;
    bool operator==(const SetupProgressItem &) const = default;
};

struct PackageInstallProgress
{
    int completed = 0;
    int total = 0;
    int percentage() const;
    bool operator==(const PackageInstallProgress &) const = default;
};

// ---- What the user is asked to look at --------------------------------------------------------

// A request to move keyboard focus: a permission row, the setup-code field or the recovery button.
struct FocusTarget
{
    enum class Kind { permission, setupCode, recovery };
    Kind kind = Kind::setupCode;
    std::optional<PermissionKind> permission; // only for Kind::permission

    static FocusTarget forPermission(PermissionKind kind) { return {Kind::permission, kind}; }
    static FocusTarget setupCode() { return {Kind::setupCode, std::nullopt}; }
    static FocusTarget recovery() { return {Kind::recovery, std::nullopt}; }
    bool operator==(const FocusTarget &) const = default;
};

// What the error panel offers as its button.
struct RecoveryAction
{
    enum class Kind { openSystemSettings, none, enterInstallCode, retryInstall, restartAgent, openLogs,
                      checkForUpdates, recheckPermissions };
    Kind kind = Kind::none;
    std::optional<PermissionKind> permission; // only for Kind::openSystemSettings

    static RecoveryAction openSystemSettings(std::optional<PermissionKind> kind) { return {Kind::openSystemSettings, kind}; }
    static RecoveryAction make(Kind kind) { return {kind, std::nullopt}; }
    // The button title; absent for `none`.
    std::optional<QString> title() const;
    bool operator==(const RecoveryAction &) const = default;
};

struct DisplayError
{
    QString code;
    QString message;
    QString impact;
    RecoveryAction recovery;
    // The tool's own line, shown as technical detail where the message is the system's own text.
    std::optional<QString> detail = std::nullopt;

    // Maps a code and an optional raw message onto what the user sees (model/Failure.cpp).
    static DisplayError from(const QString &code, const std::optional<QString> &message);
    bool operator==(const DisplayError &) const = default;
};

struct ActivityEvent
{
    enum class Source { agent, system };
    QUuid id;
    QDateTime occurredAt;
    Source source = Source::agent;
    QString summary;

    static QString sourceName(Source source);
    bool operator==(const ActivityEvent &) const = default;
};

// ---- The agent's status -----------------------------------------------------------------------

struct StatusSnapshot
{
    std::optional<QString> currentTask;
    bool isWorking = false;
    bool bridgeConnected = false;
    bool handshakeComplete = false;
    std::optional<QDateTime> bridgeHeartbeatAt;
    bool cloudConnected = false;
    std::optional<QDateTime> cloudHeartbeatAt;
    std::optional<QString> agentVersion;
    std::optional<QString> lastErrorCode;
    std::optional<qint64> processID;
    qint64 queueSize = 0;
    quint64 statusSequence = 0;

    static StatusSnapshot empty() { return {}; }
    bool operator==(const StatusSnapshot &) const = default;
};

// ---- Records that cross the boundaries of the subsystems --------------------------------------

// The credentials of a freshly created workspace account and the page where its owner grants
// the agent access. Lives only in memory: never persisted, never logged.
struct JITWorkspaceAuthorization
{
    QString provider; // "google" or "zoho"
    QString email;
    QString password;
    QUrl authURL;

    bool operator==(const JITWorkspaceAuthorization &) const = default;
};

// One answer of the onboarding service about the agent's channel binding.
struct OwnerSetupSession
{
    // The owner still has to bind a channel.
    bool required = true;
    // The binding page to open, when one is available.
    std::optional<QUrl> url;
    std::optional<QDateTime> expiresAt;
    // The service has a live binding session whose link this system does not hold; a new link
    // would invalidate the old one.
    bool hasLiveSession = false;
    // For a reused link: whether a binding attempt is pending; absent when unknown.
    std::optional<bool> hasPendingBinding;

    bool operator==(const OwnerSetupSession &) const = default;
};

// A channel-binding link and the expiry the onboarding service gave it. Its JSON form is the
// keychain entry's (channel/OwnerSetupLinkStore.cpp).
struct OwnerSetupLink
{
    QUrl url;
    std::optional<QDateTime> expiresAt;

    bool operator==(const OwnerSetupLink &) const = default;

    // {"url": absolute string, "expiresAt": seconds since 2001-01-01T00:00:00Z}; the expiry
    // key is left out when there is none.
    QByteArray toJson() const;
    // Absent for anything that is not such an object (bad JSON, no "url", wrong types) or whose
    // url is not an absolute https link (plain http only on localhost) that reads back as itself.
    static std::optional<OwnerSetupLink> fromJson(const QByteArray &data);
};
