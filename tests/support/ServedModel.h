#pragma once

// The model fixture of the view scenes, the desktop tests and the gallery: a real loopback HTTP
// server behind the profile's status port, a scripted onboarding service, and what the desktop was
// asked to copy and the registry offers.

#include "support/AwaitTask.h"
#include "support/LoopbackHttpServer.h"
#include "support/ModelFixture.h"


namespace QuorvantisTest {

// Lets every coalesced render run.
inline void settle()
{
    for (int i = 0; i < 4; ++i)
        QCoreApplication::processEvents();
}

// One status document of the agent.
struct Sample
{
    bool busy = false;
    qint64 queueSize = 0;
    QString version = QStringLiteral("1.4.0");
    QString sampledAt = QStringLiteral("2027-01-15T08:00:00Z");
    qint64 pid = 4242;

    QByteArray json() const
    {
        return QStringLiteral(R"({"sampledAt":"%1","lifecycle":"running","ready":true,"version":"%2","busy":%3,)"
                              R"("queueSize":%4,"pid":%5})")
            .arg(sampledAt, version, busy ? QStringLiteral("true") : QStringLiteral("false"))
            .arg(queueSize)
            .arg(pid)
            .toUtf8();
    }
};

// The onboarding service as the model sees it through its ownerSetupRequest effect: the outcomes
// in order, then `whenExhausted`; each request takes `latency` of virtual time.
struct OnboardingScript
{
    QList<std::pair<OwnerSetupSession, std::exception_ptr>> outcomes;
    OwnerSetupSession whenExhausted;
    VirtualTime *time = nullptr;
    std::chrono::milliseconds latency{0};

    void answer(OwnerSetupSession session) { outcomes.append({std::move(session), nullptr}); }
    template <typename E>
    void fail(E error)
    {
        outcomes.append({OwnerSetupSession{}, std::make_exception_ptr(std::move(error))});
    }
};

inline QCoro::Task<OwnerSetupSession> scriptedOwnerSetupRequest(std::shared_ptr<OnboardingScript> script)
{
    if (script->latency.count() > 0)
        co_await script->time->sleep(script->latency);
    const auto [session, error] = script->outcomes.isEmpty() ? std::pair(script->whenExhausted, std::exception_ptr())
                                                             : script->outcomes.takeFirst();
    if (error)
        std::rethrow_exception(error);
    co_return session;
}

// A binding session: whether one is required, its link, whether the service saw a binding attempt
// pending, whether the agent's own page is open.
inline OwnerSetupSession session(bool required, std::optional<QUrl> url = std::nullopt,
                                 std::optional<bool> pending = std::nullopt, bool liveSession = false)
{
    return {.required = required,
            .url = std::move(url),
            .expiresAt = std::nullopt,
            .hasLiveSession = liveSession,
            .hasPendingBinding = pending};
}

inline QUrl bindingLink()
{
    return QUrl(QStringLiteral("https://onboarding.example/agents/ada-agent/setup#tok-a"));
}

inline const QByteArray statusToken = "status-secret-7f3a9c";

} // namespace QuorvantisTest

class ServedModel : public ModelFixture
{
public:
    QuorvantisTest::LoopbackHttpServer server;
    QuorvantisTest::ScriptedResponse statusAnswer
        = QuorvantisTest::ScriptedResponse::json(200, QuorvantisTest::Sample{}.json());
    std::shared_ptr<QuorvantisTest::OnboardingScript> onboarding = std::make_shared<QuorvantisTest::OnboardingScript>();
    QList<QUrl> copied;                    // links copied to the clipboard
    std::optional<QString> offeredVersion; // the registry's answer to an update check

    ServedModel()
    {
        using namespace QuorvantisTest;
        statusTimeout = std::chrono::milliseconds(400);
        onboarding->time = &time;
        onboarding->whenExhausted = session(true, bindingLink());
        server.setHandler(QStringLiteral("/tui/status"), [this](const RecordedRequest &) { return statusAnswer; });
        effects.ownerSetupRequest = [script = onboarding](std::optional<QUrl>, bool) {
            return scriptedOwnerSetupRequest(script);
        };
        effects.ownerSetupCopy = [this](QUrl url) {
            copied.append(url);
            return true;
        };
        effects.agentUpdateVersion = [this] { return value(offeredVersion); };
    }

    ~ServedModel()
    {
        // The status client must not be destroyed under a running fetch.
        QuorvantisTest::spinUntil([this] { return server.openConnections() == 0; }, 10000);
        QuorvantisTest::settle();
        reset();
    }

    // The profile's status port and token lead to the server.
    void serveStatus()
    {
        writeProfileFile(QStringLiteral("tui-port"), QByteArray::number(server.port()) + "\n");
        writeProfileFile(QStringLiteral("tui-token"), QuorvantisTest::statusToken + "\n");
    }

    // A model of a configured agent whose status endpoint is the server.
    AppModel &makeServed()
    {
        writeProfileFile(QStringLiteral("config.json"), "{}");
        serveStatus();
        return make();
    }

    void poll() { QuorvantisTest::await(AppModelAccess{model()}.status().refreshAgentStatus()); }
};
