#include "channel/OnboardingDocuments.h"

#include "core/OnboardingServiceConfiguration.h"
#include "channel/OwnerSetupClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <nlohmann/json.hpp>

#include <algorithm>

namespace OnboardingDocuments {

namespace {

using json = nlohmann::json;

constexpr qint64 maximumConfigBytes = 1024 * 1024;

QuorvantisNativeError configInvalid()
{
    return QuorvantisNativeError(QStringLiteral("OWNER_SETUP_CONFIG_INVALID"), QCoreApplication::translate("OnboardingDocuments", "Channel 绑定配置无效"));
}

QuorvantisNativeError responseInvalid()
{
    return QuorvantisNativeError(QStringLiteral("OWNER_SETUP_RESPONSE_INVALID"), QCoreApplication::translate("OnboardingDocuments", "Channel 绑定页面无效"));
}

std::optional<QString> nonEmptyString(const json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return std::nullopt;
    QString value = QString::fromStdString(found->get<std::string>());
    if (value.isEmpty())
        return std::nullopt;
    return value;
}

bool hasControlCharacters(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

json parseObject(const QByteArray &body)
{
    json value = json::parse(body.constBegin(), body.constEnd(), nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return json();
    return value;
}

std::optional<QDateTime> dateAt(const json &object, const char *key)
{
    const auto found = object.find(key);
    return found != object.end() ? OwnerSetupClient::date(*found) : std::nullopt;
}

} // namespace

ServiceConfiguration readServiceConfiguration(const QString &profileDirectory, const std::optional<QUrl> &serviceOverride)
{
    QFile file(QDir(profileDirectory).filePath(QStringLiteral("config.json")));
    if (!file.open(QIODevice::ReadOnly))
        throw OwnerSetupFileError(QStringLiteral("config.json: ") + file.errorString());
    const QByteArray data = file.read(maximumConfigBytes + 1);
    if (file.error() != QFileDevice::NoError)
        throw OwnerSetupFileError(QStringLiteral("config.json: ") + file.errorString());
    if (data.size() > maximumConfigBytes)
        throw OwnerSetupFileError(QStringLiteral("config.json is too large"));
    return decodeServiceConfiguration(data, serviceOverride);
}

ServiceConfiguration decodeServiceConfiguration(const QByteArray &data, const std::optional<QUrl> &serviceOverride)
{
    // A syntax error is the caller's to see as it is. A number beyond what a double holds is
    // valid JSON the reader cannot represent: the document is unusable, not malformed.
    json config;
    try {
        config = json::parse(data.constBegin(), data.constEnd());
    } catch (const json::out_of_range &) {
        throw configInvalid();
    }
    if (!config.is_object())
        throw configInvalid();

    const auto agentName = nonEmptyString(config, "agentName");
    const auto serviceText = nonEmptyString(config, "onboardingServiceUrl");
    const auto apiKey = nonEmptyString(config, "quorvantisServiceApiKey");
    if (!agentName || !serviceText || !apiKey)
        throw configInvalid();
    // The name becomes a path segment and the key a header value: neither may reshape the request.
    if (*agentName == QLatin1String(".") || *agentName == QLatin1String("..") || hasControlCharacters(*apiKey))
        throw configInvalid();
    const auto configured = OnboardingServiceConfiguration::parseURL(*serviceText);
    if (!configured)
        throw configInvalid();
    const QUrl chosen = serviceOverride.value_or(*configured);
    if (!OwnerSetupClient::isAllowedServiceURL(chosen))
        throw configInvalid();
    return {*agentName, chosen, *apiKey};
}

ProvisioningStatus decodeProvisioningStatus(const QByteArray &body)
{
    const json status = parseObject(body);
    const auto complete = status.is_object() ? status.find("onboardingComplete") : status.end();
    if (!status.is_object() || complete == status.end() || !complete->is_boolean())
        throw statusUnavailable();
    ProvisioningStatus decoded;
    decoded.onboardingComplete = complete->get<bool>();
    if (decoded.onboardingComplete)
        return decoded;
    const auto live = status.find("hasLiveSession");
    decoded.hasLiveSession = live != status.end() && live->is_boolean() && live->get<bool>();
    decoded.expiresAt = dateAt(status, "expiresAt");
    return decoded;
}

SetupLink decodeSetupLink(const QByteArray &body, const QUrl &serviceURL, const QString &agentName)
{
    const json link = parseObject(body);
    const auto setupUrl = link.is_object() ? link.find("setupUrl") : link.end();
    if (!link.is_object() || setupUrl == link.end() || !setupUrl->is_string())
        throw responseInvalid();
    const QString setupText = QString::fromStdString(setupUrl->get<std::string>());
    if (setupText.size() > OwnerSetupClient::maximumSetupURLLength)
        throw responseInvalid();
    const auto url = OnboardingServiceConfiguration::parseURL(setupText);
    if (!url || !OwnerSetupClient::isValidSetupURL(*url, serviceURL, agentName))
        throw responseInvalid();
    return {*url, dateAt(link, "expiresAt")};
}

QuorvantisNativeError statusUnavailable()
{
    return QuorvantisNativeError(QStringLiteral("OWNER_SETUP_UNAVAILABLE"), QCoreApplication::translate("OnboardingDocuments", "暂时无法获取 Channel 绑定状态"));
}

} // namespace OnboardingDocuments
