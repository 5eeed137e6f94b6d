// The onboarding request flow over a scripted network, from the agent's config.json and the link
// file to the session it returns: every request goes to the origin of the service the
// configuration names (or of the override), with no CR, LF or NUL in a header name or value; the
// API key goes only in those requests and a link's token only to the link's own origin; a link
// the flow returns is a valid binding link of the service for the agent, and a link asked for
// anew is then what the link file gives back; what fails, fails with one of the errors the
// client documents.

#include "FuzzSupport.h"
#include "ScriptedNetwork.h"
#include "Targets.h"

#include <QDir>
#include <QTemporaryDir>

#include <map>

namespace {

using json = nlohmann::json;
using ScriptedNetwork::Answer;

const QTemporaryDir &profile()
{
    static const QTemporaryDir dir;
    return dir;
}

void writeProfileFile(const QString &name, const std::optional<QByteArray> &content)
{
    const QString path = QDir(profile().path()).filePath(name);
    if (!content) {
        QFile::remove(path);
        return;
    }
    // A plain write: an atomic one syncs to disk, which would cost most of a run.
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(*content) == content->size(), path);
}

QString pick(FuzzedDataProvider &data, std::initializer_list<const char *> usual)
{
    const auto index = data.ConsumeIntegralInRange<size_t>(0, usual.size());
    return index < usual.size() ? QString::fromUtf8(usual.begin()[index]) : Fuzz::text(data, false);
}

// Mostly the first, at times one of the others.
QString usually(FuzzedDataProvider &data, std::initializer_list<const char *> choices)
{
    return data.ConsumeIntegralInRange(0, 3) != 0 ? QString::fromUtf8(*choices.begin()) : pick(data, choices);
}

// A binding link as a service would write it, or something near it.
QString linkText(FuzzedDataProvider &data, const QString &linkBase, const QString &agent)
{
    if (data.ConsumeIntegralInRange(0, 7) == 0)
        return Fuzz::text(data, false);
    QString base = data.ConsumeIntegralInRange(0, 3) != 0 ? linkBase : pick(data, {"https://onboarding.example.test", "http://localhost:8080"});
    while (base.endsWith(u'/'))
        base.chop(1);
    const QString name = data.ConsumeIntegralInRange(0, 3) != 0 ? QString::fromLatin1(QUrl::toPercentEncoding(agent))
                                                                 : Fuzz::text(data, false);
    return base + usually(data, {"/api/agents/", "/", "/x/"}) + name + usually(data, {"/setup", "/setup/", "/other"})
        + usually(data, {"#token", "?a=b#t", "", "#"});
}

// The answer's body as the service would write it for what was asked, or anything.
QByteArray answerBody(FuzzedDataProvider &data, const ScriptedNetwork::Request &request, const QString &linkBase,
                      const QString &agent)
{
    if (data.ConsumeIntegralInRange(0, 7) == 0)
        return QByteArray::fromStdString(data.ConsumeRandomLengthString(256));
    json document = json::object();
    if (request.method == "POST") {
        document["setupUrl"] = linkText(data, linkBase, agent).toStdString();
        if (data.ConsumeBool())
            document["expiresAt"] = pick(data, {"2026-05-01T10:00:00Z"}).toStdString();
    } else if (request.url.path().endsWith(QLatin1String("/setup"))) {
        json attempts = json::array();
        const int count = data.ConsumeIntegralInRange(0, 3);
        for (int i = 0; i < count; ++i)
            attempts.push_back(json{{"status", pick(data, {"pending", "done"}).toStdString()}});
        document["liveAttempts"] = attempts;
    } else {
        document["onboardingComplete"] = data.ConsumeIntegralInRange(0, 3) == 0;
        document["hasLiveSession"] = data.ConsumeBool();
        if (data.ConsumeBool())
            document["expiresAt"] = pick(data, {"2026-05-01T10:00:00Z", "2026-05-01T12:00:00+02:00"}).toStdString();
    }
    return QByteArray::fromStdString(document.dump());
}

struct Outcome
{
    std::optional<Product::OwnerSetupSession> session;
    std::exception_ptr failure;
    bool done = false;
};

// The flow completes without suspending: the scripted network answers at once.
QCoro::Task<void> drive(Product::OwnerSetupClient *client, std::optional<QUrl> existing, bool forceRefresh, Outcome *out)
{
    try {
        out->session = co_await client->request(std::move(existing), forceRefresh);
    } catch (...) {
        out->failure = std::current_exception();
    }
    out->done = true;
}

bool hasLineBreakOrNul(const QByteArray &bytes)
{
    return bytes.contains('\r') || bytes.contains('\n') || bytes.contains('\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const std::optional<QUrl> serviceOverride =
        data.ConsumeBool() ? std::optional<QUrl>(QUrl(QStringLiteral("https://override.example.test/base"))) : std::nullopt;
    const bool forceRefresh = data.ConsumeBool();
    const QString agent = pick(data, {"ops-bot", "a b", "ops/bot"});
    const QString apiKey = pick(data, {"service-key-0123456789"});
    const QString service = pick(data, {"https://onboarding.example.test", "http://localhost:8080/base/", "https://a.test:8443/p"});
    const bool rawConfig = data.ConsumeIntegralInRange(0, 7) == 0;
    const QByteArray config = rawConfig ? QByteArray::fromStdString(data.ConsumeRandomLengthString(256))
                                        : QByteArray::fromStdString(json{{"agentName", agent.toStdString()},
                                                                          {"onboardingServiceUrl", service.toStdString()},
                                                                          {"quorvantisServiceApiKey", apiKey.toStdString()}}
                                                                        .dump());
    writeProfileFile(QStringLiteral("config.json"), config);
    // The links the service hands out are of the service the client asks.
    const QString linkBase = serviceOverride ? serviceOverride->toString() : service;
    std::optional<QByteArray> linkFile;
    if (data.ConsumeBool())
        linkFile = (linkText(data, linkBase, agent) + QStringLiteral("\n")).toUtf8();
    writeProfileFile(Product::linkFileName(), linkFile);
    const std::optional<QUrl> existing =
        data.ConsumeBool() ? std::optional<QUrl>(QUrl(linkText(data, linkBase, agent))) : std::nullopt;

    // Each request is answered as the input says: mostly a success with the document asked for.
    ScriptedNetwork::script([&](const ScriptedNetwork::Request &request) {
        Answer answer;
        answer.status = data.ConsumeIntegralInRange(0, 3) != 0 ? 200 : int(pick(data, {"201", "409", "500", "302", "204"}).toInt());
        const int failure = data.ConsumeIntegralInRange(0, 15);
        answer.failure = failure == 0 ? Answer::Failure::network
            : failure == 1            ? Answer::Failure::timedOut
            : failure == 2            ? Answer::Failure::tooLarge
                                      : Answer::Failure::none;
        answer.body = answerBody(data, request, linkBase, agent);
        return answer;
    });

    // What the client must hold to: the configuration as the product reads it.
    std::optional<QUrl> chosen;
    QString configuredAgent, configuredKey;
    try {
        const auto decoded = Product::decodeServiceConfiguration(config, serviceOverride);
        chosen = decoded.serviceURL;
        configuredAgent = decoded.agentName;
        configuredKey = decoded.apiKey;
    } catch (...) {
    }

    // One client per override, kept for the process; the scripted network needs no manager.
    static std::map<bool, std::unique_ptr<Product::OwnerSetupClient>> clients;
    std::unique_ptr<Product::OwnerSetupClient> &client = clients[serviceOverride.has_value()];
    if (!client)
        client = std::make_unique<Product::OwnerSetupClient>(profile().path(), serviceOverride);

    Outcome outcome;
    { auto task = drive(client.get(), existing, forceRefresh, &outcome); }
    const QString detail = QString::fromUtf8(config) + u' ' + (existing ? existing->toString() : QString());
    FUZZ_CHECK(outcome.done, detail);

    const auto &requests = ScriptedNetwork::requests();
    FUZZ_CHECK(requests.size() <= 2, detail);
    FUZZ_CHECK(requests.empty() || chosen, detail);
    for (const ScriptedNetwork::Request &request : requests) {
        const QString where = request.url.toString() + u' ' + detail;
        FUZZ_CHECK(Product::hasSameOrigin(request.url, *chosen) && request.url.userInfo().isEmpty(), where);
        for (const auto &[name, value] : request.headers) {
            FUZZ_CHECK(!hasLineBreakOrNul(name) && !hasLineBreakOrNul(value), where + u' ' + QString::fromUtf8(value));
            if (name.compare("Authorization", Qt::CaseInsensitive) == 0 && request.method == "POST")
                FUZZ_CHECK(value == "Bearer " + configuredKey.toUtf8(), where);
        }
    }
    if (!requests.empty()) {
        // The first request asks for the status, with the service key.
        const auto &headers = requests.front().headers;
        FUZZ_CHECK(std::any_of(headers.cbegin(), headers.cend(),
                               [&](const auto &header) { return header.second == "Bearer " + configuredKey.toUtf8(); }),
                   detail);
    }

    if (outcome.failure) {
        try {
            std::rethrow_exception(outcome.failure);
        } catch (const QuorvantisNativeError &error) {
            static const QStringList documented{QStringLiteral("OWNER_SETUP_CONFIG_INVALID"), QStringLiteral("OWNER_SETUP_UNAVAILABLE"),
                                                QStringLiteral("OWNER_SETUP_STATE_CHANGED"),
                                                QStringLiteral("OWNER_SETUP_RESPONSE_INVALID")};
            FUZZ_CHECK(documented.contains(error.code), error.code + u' ' + detail);
        } catch (const nlohmann::json::parse_error &) {
            FUZZ_CHECK(rawConfig, detail);
        } catch (const HttpTransportError &) {
            FUZZ_CHECK(!requests.empty(), detail);
        } catch (const std::exception &error) {
            FUZZ_CHECK(false, QString::fromUtf8(error.what()) + u' ' + detail);
        }
        return 0;
    }

    FUZZ_CHECK(chosen && !requests.empty(), detail);
    const Product::OwnerSetupSession &session = *outcome.session;
    FUZZ_CHECK(session.required || !session.url, detail);
    if (session.url) {
        FUZZ_CHECK(Product::isValidSetupURL(*session.url, *chosen, configuredAgent), session.url->toString() + u' ' + detail);
        // The link's token is sent to the link's own origin only, as the bearer of its status.
        const QByteArray token = "Bearer " + session.url->fragment(QUrl::FullyEncoded).toUtf8();
        for (const ScriptedNetwork::Request &request : requests) {
            const bool carriesToken = std::any_of(request.headers.cbegin(), request.headers.cend(),
                                                  [&](const auto &header) { return header.second == token; });
            FUZZ_CHECK(!carriesToken || Product::hasSameOrigin(request.url, *session.url), detail);
        }
        if (forceRefresh) {
            const auto kept = client->capturedSetupURL(*chosen, configuredAgent);
            FUZZ_CHECK(kept == session.url, session.url->toString() + u' ' + detail);
        }
    }
    return 0;
}
