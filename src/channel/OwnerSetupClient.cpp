#include "channel/OwnerSetupClient.h"

#include "channel/OnboardingDocuments.h"
#include "core/DateTime.h"
#include "net/BoundedHttp.h"
#include "process/QuorvantisNativeError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSaveFile>
#include <QStringDecoder>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

struct DeleteLater
{
    void operator()(QObject *object) const { object->deleteLater(); }
};

constexpr qint64 maximumLinkFileBytes = 16 * 1024;

QString unavailablePageMessage()
{
    return QCoreApplication::translate("OwnerSetupClient", "暂时无法获取 Channel 绑定页面");
}

QuorvantisNativeError unavailable(const QString &message)
{
    return QuorvantisNativeError(QStringLiteral("OWNER_SETUP_UNAVAILABLE"), message);
}

QuorvantisNativeError stateChanged()
{
    return QuorvantisNativeError(QStringLiteral("OWNER_SETUP_STATE_CHANGED"),
                                 QCoreApplication::translate("OwnerSetupClient", "Channel 绑定状态已更新，正在重新检查"));
}

std::optional<QString> strictUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// The decoded path segments, without the empty ones around and between slashes.
QStringList pathComponents(const QUrl &url)
{
    QStringList components;
    const QStringList encoded = url.path(QUrl::FullyEncoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &segment : encoded)
        components.append(QUrl::fromPercentEncoding(segment.toUtf8()));
    return components;
}

// The base URL with each segment appended as one path component.
QUrl endpoint(QUrl base, const QStringList &segments)
{
    QString path = base.path(QUrl::FullyEncoded);
    for (const QString &segment : segments) {
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        path += QString::fromLatin1(QUrl::toPercentEncoding(segment));
    }
    base.setPath(path, QUrl::TolerantMode);
    return base;
}

QUrl provisioningURL(const QUrl &service, const QString &agentName)
{
    return endpoint(service, {QStringLiteral("api"), QStringLiteral("agents"), agentName, QStringLiteral("owner-provisioning")});
}

QUrl setupStatusURL(const QUrl &service, const QString &agentName)
{
    return endpoint(service, {QStringLiteral("api"), QStringLiteral("agents"), agentName, QStringLiteral("setup")});
}

QNetworkRequest bearerRequest(const QUrl &url, const QString &token)
{
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setRawHeader("Accept", "application/json");
    return request;
}

struct HttpAnswer
{
    int status = 0;
    QByteArray body;
    // The body was larger than any answer of the service and was not read.
    bool tooLarge = false;
};

json parseObject(const QByteArray &body)
{
    json value = json::parse(body.constBegin(), body.constEnd(), nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return json();
    return value;
}

} // namespace

struct OwnerSetupClient::Shared
{
    QString profileDirectory;
    std::optional<QUrl> serviceURLOverride;
    Timeouts timeouts;
    std::unique_ptr<QNetworkAccessManager, DeleteLater> network;
};

namespace {

QCoro::Task<HttpAnswer> perform(std::shared_ptr<OwnerSetupClient::Shared> shared, QNetworkRequest request, bool post)
{
    BoundedHttpOptions options;
    options.timeout = shared->timeouts.total;
    options.transferTimeout = shared->timeouts.transfer;
    options.maxBodyBytes = OwnerSetupClient::maximumAnswerBytes;
    try {
        // The manager lives as long as `shared`, which this frame holds. No co_await inside a
        // conditional expression: g++ 12 destroys its result too early.
        BoundedHttpResponse response;
        if (post)
            response = co_await BoundedHttp::post(shared->network.get(), request, {}, options);
        else
            response = co_await BoundedHttp::get(shared->network.get(), request, options);
        co_return HttpAnswer{response.status, std::move(response.body), false};
    } catch (const HttpTransportError &error) {
        // An oversized answer still told its status, which decides what the caller reports.
        if (error.kind != HttpTransportError::Kind::BodyTooLarge || error.status == 0)
            throw;
        co_return HttpAnswer{error.status, {}, true};
    }
}

QCoro::Task<std::optional<bool>> pendingBinding(std::shared_ptr<OwnerSetupClient::Shared> shared, QUrl setupURL,
                                                QUrl serviceURL)
{
    // The token is sent only where the link itself points.
    const QString token = setupURL.fragment(QUrl::FullyEncoded).trimmed();
    if (token.isEmpty() || !OwnerSetupClient::hasSameOrigin(setupURL, serviceURL))
        co_return std::nullopt;
    const QStringList components = pathComponents(setupURL);
    if (components.size() < 2 || components.last() != QLatin1String("setup"))
        co_return std::nullopt;
    const QString agentName = components.at(components.size() - 2);

    HttpAnswer answer;
    try {
        answer = co_await perform(shared, bearerRequest(setupStatusURL(serviceURL, agentName), token),
                                  false);
    } catch (...) {
        co_return std::nullopt;
    }
    if (answer.status != 200 || answer.tooLarge)
        co_return std::nullopt;
    const json document = parseObject(answer.body);
    if (!document.is_object())
        co_return std::nullopt;
    const auto attempts = document.find("liveAttempts");
    if (attempts == document.end() || !attempts->is_array())
        co_return std::nullopt;
    bool pending = false;
    for (const json &attempt : *attempts) {
        if (!attempt.is_object())
            co_return std::nullopt;
        const auto status = attempt.find("status");
        if (status != attempt.end() && status->is_string() && status->get<std::string>() == "pending")
            pending = true;
    }
    co_return pending;
}

QString linkFilePath(const QString &profileDirectory)
{
    return QDir(profileDirectory).filePath(OwnerSetupClient::linkFileName());
}

std::optional<QUrl> readLinkFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray data = file.read(maximumLinkFileBytes + 1);
    if (file.error() != QFileDevice::NoError || data.size() > maximumLinkFileBytes)
        return std::nullopt;
    const auto text = strictUtf8(data);
    if (!text)
        return std::nullopt;
    return OnboardingServiceConfiguration::parseURL(text->trimmed());
}

std::optional<QUrl> capturedLink(const QString &profileDirectory, const QUrl &serviceURL, const QString &agentName)
{
    auto url = readLinkFile(linkFilePath(profileDirectory));
    if (!url || !OwnerSetupClient::isValidSetupURL(*url, serviceURL, agentName))
        return std::nullopt;
    return url;
}

void saveLink(const QString &profileDirectory, const QUrl &url)
{
    const QString path = linkFilePath(profileDirectory);
    constexpr auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    // The link carries its access token: keep it private before a byte is written.
    file.setPermissions(ownerOnly);
    const QByteArray line = url.toString(QUrl::FullyEncoded).toUtf8() + '\n';
    if (file.write(line) != line.size() || !file.commit())
        return;
    QFile::setPermissions(path, ownerOnly);
}

QCoro::Task<OwnerSetupSession> requestSession(std::shared_ptr<OwnerSetupClient::Shared> shared,
                                              std::optional<QUrl> existingURL, bool forceRefresh)
{
    const OnboardingDocuments::ServiceConfiguration config =
        OnboardingDocuments::readServiceConfiguration(shared->profileDirectory, shared->serviceURLOverride);
    const QUrl provisioning = provisioningURL(config.serviceURL, config.agentName);

    const HttpAnswer statusAnswer = co_await perform(shared, bearerRequest(provisioning, config.apiKey), false);
    if (statusAnswer.status != 200 || statusAnswer.tooLarge)
        throw OnboardingDocuments::statusUnavailable();
    const OnboardingDocuments::ProvisioningStatus status = OnboardingDocuments::decodeProvisioningStatus(statusAnswer.body);

    OwnerSetupSession session;
    if (status.onboardingComplete) {
        session.required = false;
        co_return session;
    }
    session.expiresAt = status.expiresAt;

    if (!forceRefresh) {
        std::optional<QUrl> candidate = capturedLink(shared->profileDirectory, config.serviceURL, config.agentName);
        if (!candidate)
            candidate = existingURL;
        if (candidate && status.hasLiveSession
            && OwnerSetupClient::isValidSetupURL(*candidate, config.serviceURL, config.agentName)) {
            session.url = *candidate;
            session.hasPendingBinding = co_await pendingBinding(shared, *candidate, config.serviceURL);
        } else {
            // A held link is not offered while the service has no live session for it.
            session.hasLiveSession = status.hasLiveSession;
        }
        co_return session;
    }

    const HttpAnswer linkAnswer = co_await perform(shared, bearerRequest(provisioning, config.apiKey), true);
    if (linkAnswer.status == 409)
        throw stateChanged();
    if (linkAnswer.status < 200 || linkAnswer.status > 299)
        throw unavailable(unavailablePageMessage());
    // An answer too large to read is no link.
    const OnboardingDocuments::SetupLink link = OnboardingDocuments::decodeSetupLink(
        linkAnswer.tooLarge ? QByteArray() : linkAnswer.body, config.serviceURL, config.agentName);
    saveLink(shared->profileDirectory, link.url);

    session.url = link.url;
    session.expiresAt = link.expiresAt;
    co_return session;
}

} // namespace

OwnerSetupFileError::OwnerSetupFileError(const QString &detail) : std::runtime_error(detail.toStdString()) {}

OwnerSetupClient::OwnerSetupClient(QString profileDirectory, std::optional<QUrl> serviceURLOverride, Timeouts timeouts)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->profileDirectory = std::move(profileDirectory);
    m_shared->serviceURLOverride = std::move(serviceURLOverride);
    m_shared->timeouts = timeouts;
    m_shared->network.reset(BoundedHttp::makeManager().release());
}

OwnerSetupClient::~OwnerSetupClient() = default;

const QString &OwnerSetupClient::profileDirectory() const
{
    return m_shared->profileDirectory;
}

const std::optional<QUrl> &OwnerSetupClient::serviceURLOverride() const
{
    return m_shared->serviceURLOverride;
}

QCoro::Task<OwnerSetupSession> OwnerSetupClient::request(std::optional<QUrl> existingURL, bool forceRefresh)
{
    return requestSession(m_shared, std::move(existingURL), forceRefresh);
}

QCoro::Task<std::optional<bool>> OwnerSetupClient::hasPendingBinding(QUrl setupURL, QUrl serviceURL)
{
    return pendingBinding(m_shared, std::move(setupURL), std::move(serviceURL));
}

QString OwnerSetupClient::linkFileName()
{
    return QStringLiteral("mac-app-owner-setup-url");
}

std::optional<QUrl> OwnerSetupClient::capturedSetupURL(const QUrl &serviceURL, const QString &agentName) const
{
    return capturedLink(m_shared->profileDirectory, serviceURL, agentName);
}

void OwnerSetupClient::saveCapturedSetupURL(const QUrl &url) const
{
    saveLink(m_shared->profileDirectory, url);
}

bool OwnerSetupClient::hasSameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().toLower() == b.scheme().toLower() && a.host().toLower() == b.host().toLower()
        && effectivePort(a) == effectivePort(b);
}

int OwnerSetupClient::effectivePort(const QUrl &url)
{
    if (url.port() >= 0)
        return url.port();
    return url.scheme().toLower() == QLatin1String("https") ? 443 : 80;
}

bool OwnerSetupClient::isValidSetupURL(const QUrl &link, const QUrl &serviceURL, const QString &agentName)
{
    if (!link.isValid() || !hasSameOrigin(link, serviceURL) || !link.userName().isEmpty() || !link.password().isEmpty()
        || link.authority().contains(QLatin1Char('@')) || link.fragment().isEmpty())
        return false;
    const QStringList components = pathComponents(link);
    return components.size() >= 2 && components.last() == QLatin1String("setup")
        && components.at(components.size() - 2) == agentName;
}

std::optional<QDateTime> OwnerSetupClient::date(const json &value)
{
    if (!value.is_string())
        return std::nullopt;
    return date(QString::fromStdString(value.get<std::string>()));
}

std::optional<QDateTime> OwnerSetupClient::date(const QString &text)
{
    const auto parsed = DateTime::parseRFC3339(text, DateTime::FractionalSeconds::rejected);
    if (!parsed)
        return std::nullopt;
    return parsed->toUTC();
}
