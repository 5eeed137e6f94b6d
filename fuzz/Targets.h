#pragma once

// The one place the fuzz targets reach product code through. When a function is renamed or
// moves, re-point its adapter here (and its sources in CMakeLists.txt); the targets stay as they
// are.

#include "core/Configuration.h"
#include "authorization/JITAuthorizationParser.h"
#include "channel/OnboardingDocuments.h"
#include "channel/OwnerSetupClient.h"
#include "channel/OwnerSetupLinkStore.h"
#include "core/DateTime.h"
#include "model/Failure.h"
#include "model/ProfileMarkers.h"
#include "process/InstallLog.h"
#include "process/OutputPipeline.h"
#include "process/QuorvantisNativeError.h"
#include "process/Redaction.h"
#include "setup/BundleStamp.h"
#include "setup/SetupCode.h"
#include "setup/SetupOutput.h"
#include "status/AgentRuntimeStatus.h"
#include "updates/AgentUpdateProbe.h"
#include "updates/AgentVersion.h"

#include <nlohmann/json.hpp>

namespace Product {

// ---- A child's output: escapes, redaction, the whole pipeline ------------------------------

inline QString stripEscapes(QStringView text, std::vector<qsizetype> *origins)
{
    return Redaction::stripEscapes(text, origins);
}
using RedactionPattern = Redaction::Pattern;
inline std::vector<Redaction::Match> redactionMatches(QStringView text, RedactionPattern pattern)
{
    return Redaction::matches(text, pattern);
}
inline QString redact(const QString &line, const QStringList &secrets) { return Redaction::redact(line, secrets); }
inline QString sanitize(const QString &line) { return InstallLog::sanitize(line); }
inline std::optional<QString> errorCandidate(const QString &line) { return InstallLog::errorCandidate(line); }
using CleanedLine = InstallLog::CleanedLine;
inline CleanedLine clean(const QString &line) { return InstallLog::clean(line); }
using OutputPipeline = ::OutputPipeline;
inline CleanedLine clean(const QString &line, const QStringList &secrets) { return InstallLog::clean(line, secrets); }
inline std::unique_ptr<QFile> openLog(const QString &path) { return InstallLog::openLog(path); }
inline void writeLog(const QString &text, QFile *log) { InstallLog::writeLog(text, log); }

// ---- Workspace authorization ----------------------------------------------------------------

using AuthorizationParser = JITAuthorizationOutputParser;
using Authorization = JITWorkspaceAuthorization;
inline std::optional<QUrl> validatedAuthorizationURL(const QString &text, const QString &provider)
{
    return JITAuthorizationOutputParser::validatedAuthorizationURL(text, provider);
}
inline qsizetype characterCount(QStringView text) { return JITAuthorizationOutputParser::characterCount(text); }
inline const QStringList &authorizationHosts(const QString &provider)
{
    static const QStringList none;
    return provider == u"google" ? Configuration::googleOAuthHosts() : provider == u"zoho" ? Configuration::zohoOAuthHosts() : none;
}

// ---- Setup codes and agent names ------------------------------------------------------------

inline QString formattedSetupCode(const QString &text) { return formattedQuorvantisSetupCodeInput(text); }
inline std::optional<QString> canonicalSetupCode(const QString &text) { return canonicalQuorvantisSetupCode(text); }
// As the model applies it: to the trimmed, lower-cased name.
inline bool isValidAgentName(const QString &name) { return ::isValidAgentName(name); }

// ---- Agent status ---------------------------------------------------------------------------

inline AgentRuntimeStatus decodeRuntimeStatus(const QByteArray &body) { return AgentRuntimeStatus::decode(body); }
using RuntimeStatusError = AgentRuntimeStatusDecodingError;
inline std::optional<QDateTime> parseDate(QStringView text, bool fractions)
{
    return DateTime::parseRFC3339(text, fractions ? DateTime::FractionalSeconds::accepted : DateTime::FractionalSeconds::rejected);
}

// ---- Onboarding service and binding links ---------------------------------------------------

inline OnboardingDocuments::ServiceConfiguration decodeServiceConfiguration(const QByteArray &data,
                                                                           const std::optional<QUrl> &serviceOverride)
{
    return OnboardingDocuments::decodeServiceConfiguration(data, serviceOverride);
}
inline OnboardingDocuments::ProvisioningStatus decodeProvisioningStatus(const QByteArray &body)
{
    return OnboardingDocuments::decodeProvisioningStatus(body);
}
inline OnboardingDocuments::SetupLink decodeSetupLink(const QByteArray &body, const QUrl &service, const QString &agent)
{
    return OnboardingDocuments::decodeSetupLink(body, service, agent);
}
inline bool isAllowedServiceURL(const QUrl &url) { return OwnerSetupClient::isAllowedServiceURL(url); }
inline bool isValidSetupURL(const QUrl &link, const QUrl &service, const QString &agent)
{
    return OwnerSetupClient::isValidSetupURL(link, service, agent);
}
inline std::optional<QDateTime> onboardingDate(const QString &text) { return OwnerSetupClient::date(text); }
using OwnerSetupLink = ::OwnerSetupLink;
// The request flow and the link file "mac-app-owner-setup-url" it keeps in the profile.
using OwnerSetupClient = ::OwnerSetupClient;
using OwnerSetupSession = ::OwnerSetupSession;
using OwnerSetupFileError = ::OwnerSetupFileError;
inline bool hasSameOrigin(const QUrl &a, const QUrl &b) { return OwnerSetupClient::hasSameOrigin(a, b); }
inline QString linkFileName() { return OwnerSetupClient::linkFileName(); }
// A link's text as the client reads it, from an answer or the link file.
inline std::optional<QUrl> parseLinkText(const QString &text) { return OnboardingServiceConfiguration::parseURL(text); }

// ---- Versions and the enrolment stamp -------------------------------------------------------

inline std::optional<QString> sanitizedVersion(const QString &text) { return AgentVersion::sanitized(text); }
inline bool parsesAsVersion(const QString &text) { return AgentVersion::parse(text).has_value(); }
inline bool isNewerVersion(const QString &candidate, const QString &current) { return AgentVersion::isNewer(candidate, current); }
// The registry's document for the agent's "beta" tag, and the largest one read.
inline std::optional<QString> registryDocumentVersion(const QByteArray &body) { return AgentUpdateProbe::version(body); }
inline constexpr qint64 registryDocumentLimit = AgentUpdateProbe::maxBodyBytes;
inline std::optional<QString> revealStamp(const QByteArray &data) { return BundleStamp::reveal(data); }
inline QByteArray concealStamp(const QString &key) { return BundleStamp::conceal(key); }

// ---- Readers inside the application model ---------------------------------------------------

using SetupOutputEvent = SetupOutput::Event;
using SetupProgress = SetupOutput::Progress;
using SetupPackageProgress = SetupOutput::PackageProgress;
inline std::optional<SetupOutputEvent> parseSetupOutput(const QString &line) { return SetupOutput::parse(line); }
inline bool hasResumableSession(const QString &path) { return SetupState::hasResumableSession(path); }
inline bool hasClaimableCode(const QString &path) { return SetupState::hasClaimableCode(path); }
inline std::optional<InstallStage> readInstallStage(const QString &directory) { return ProfileMarkers::readInstallStage(directory); }
inline QSet<PermissionKind> readCompletedPermissions(const QString &directory)
{
    return ProfileMarkers::readCompletedPermissions(directory);
}
inline std::optional<PermissionKind> readAwaitingPermission(const QString &directory)
{
    return ProfileMarkers::readAwaitingPermission(directory);
}
inline std::optional<QString> safeErrorMessage(const std::optional<QString> &text) { return Failure::safeErrorMessage(text); }
inline DisplayError displayError(const QString &code, const std::optional<QString> &message)
{
    return DisplayError::from(code, message);
}

} // namespace Product
