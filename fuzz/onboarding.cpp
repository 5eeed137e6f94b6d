// What the onboarding client reads: config.json yields a usable configuration or fails with a
// syntax error or the coded configuration error, nothing else; the status answer decodes or
// fails with "unavailable"; the link answer yields a valid binding link of the service for the
// agent or fails with "response invalid"; expiry dates are strict.

#include "FuzzSupport.h"
#include "Targets.h"

namespace {

const QUrl service(QStringLiteral("https://onboarding.example.test"));
const QString agent = QStringLiteral("ops-bot");

template <typename Decode>
void expectCode(Decode decode, const QString &code, const QByteArray &input)
{
    try {
        decode();
    } catch (const QuorvantisNativeError &error) {
        FUZZ_CHECK(error.code == code, error.code + QStringLiteral(": ") + QString::fromUtf8(input));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const int document = data.ConsumeIntegralInRange(0, 2);
    const QByteArray input = QByteArray::fromStdString(data.ConsumeRemainingBytesAsString());

    switch (document) {
    case 0:
        for (const std::optional<QUrl> &serviceOverride : {std::optional<QUrl>(), std::optional<QUrl>(service)}) {
            try {
                expectCode(
                    [&] {
                        const auto config = Product::decodeServiceConfiguration(input, serviceOverride);
                        FUZZ_CHECK(!config.agentName.isEmpty() && !config.apiKey.isEmpty(), QString::fromUtf8(input));
                        FUZZ_CHECK(Product::isAllowedServiceURL(config.serviceURL), QString::fromUtf8(input));
                    },
                    QStringLiteral("OWNER_SETUP_CONFIG_INVALID"), input);
            } catch (const nlohmann::json::parse_error &) {
            }
        }
        break;
    case 1:
        expectCode(
            [&] {
                const auto status = Product::decodeProvisioningStatus(input);
                FUZZ_CHECK(!status.expiresAt || status.expiresAt->isValid(), QString::fromUtf8(input));
            },
            QStringLiteral("OWNER_SETUP_UNAVAILABLE"), input);
        break;
    default:
        expectCode(
            [&] {
                const auto link = Product::decodeSetupLink(input, service, agent);
                FUZZ_CHECK(Product::isValidSetupURL(link.url, service, agent), QString::fromUtf8(input));
                FUZZ_CHECK(link.url.toString(QUrl::FullyEncoded).size() <= 2048 * 3, QString::fromUtf8(input));
            },
            QStringLiteral("OWNER_SETUP_RESPONSE_INVALID"), input);
    }

    const QString text = QString::fromUtf8(input);
    if (const auto date = Product::onboardingDate(text)) {
        FUZZ_CHECK(date->timeSpec() == Qt::UTC && !text.contains(u'.'), text);
        FUZZ_CHECK(Product::parseDate(text, false) == date, text);
    }
    return 0;
}
