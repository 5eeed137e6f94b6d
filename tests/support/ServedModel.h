#pragma once

// The model fixture of the view scenes: a real loopback HTTP server behind the profile's status
// port, a scripted onboarding service and recorded desktop effects.

#include "support/AwaitTask.h"
#include "support/LoopbackHttpServer.h"
#include "support/ModelFixture.h"

#include <QElapsedTimer>
#include <QList>

namespace QuorvantisTest {

using namespace std::chrono_literals;

// One status document of the agent.
struct Sample
{
    bool ready = true;
    bool busy = false;
    qint64 queueSize = 0;
    std::optional<bool> compacting;
    std::optional<QString> codingStatus; // a coding session with this status
    QString version = QStringLiteral("1.4.0");
    QString sampledAt = QStringLiteral("2027-01-15T08:00:00Z");
    qint64 pid = 4242;

    QByteArray json() const
    {
        QByteArray out = "{\"sampledAt\":\"" + sampledAt.toUtf8() + "\",\"lifecycle\":\"running\",";
        out += "\"ready\":" + QByteArray(ready ? "true" : "false");
        out += ",\"version\":\"" + version.toUtf8() + "\"";
        out += ",\"busy\":" + QByteArray(busy ? "true" : "false");
        out += ",\"queueSize\":" + QByteArray::number(queueSize);
        out += ",\"pid\":" + QByteArray::number(pid);
        if (compacting)
            out += ",\"compacting\":" + QByteArray(*compacting ? "true" : "false");
        if (codingStatus)
            out += ",\"codingSession\":{\"status\":\"" + codingStatus->toUtf8() + "\",\"taskSummary\":\"t\"}";
        return out + "}";
    }

    AgentRuntimeStatus decoded() const { return AgentRuntimeStatus::decode(json()); }
};

// The onboarding service as the model sees it through its ownerSetupRequest effect.
struct OnboardingScript
{
    struct Call
    {
        std::optional<QUrl> existingURL;
        bool forceRefresh = false;
    };
    struct Outcome
    {
        std::optional<OwnerSetupSession> session;
        std::exception_ptr error;
    };

    QList<Call> calls;
    QList<Outcome> outcomes;         // consumed in order
    OwnerSetupSession whenExhausted; // answer once the list is used up
    VirtualTime *time = nullptr;
    std::chrono::milliseconds latency{0}; // virtual time each request takes

    void answer(OwnerSetupSession session) { outcomes.append({std::move(session), nullptr}); }
    template <typename E>
    void fail(E error)
    {
        outcomes.append({std::nullopt, std::make_exception_ptr(std::move(error))});
    }
};

inline QCoro::Task<OwnerSetupSession> scriptedOwnerSetupRequest(std::shared_ptr<OnboardingScript> script,
                                                                std::optional<QUrl> existingURL, bool forceRefresh)
{
    script->calls.append({existingURL, forceRefresh});
    if (script->latency.count() > 0)
        co_await script->time->sleep(script->latency);
    // A copy: QCoro's co_return moves out of a non-const lvalue.
    if (script->outcomes.isEmpty()) {
        const OwnerSetupSession answer = script->whenExhausted;
        co_return answer;
    }
    const OnboardingScript::Outcome next = script->outcomes.takeFirst();
    if (next.error)
        std::rethrow_exception(next.error);
    co_return *next.session;
}

struct DesktopRecord
{
    QList<std::optional<OwnerSetupLink>> savedLinks;
    QList<QUrl> opened;
    QList<QUrl> copied;
    bool openResult = true;
    bool copyResult = true;
    int updateChecks = 0;
    std::optional<QString> offeredVersion;
};

inline QCoro::Task<bool> recordedOpen(std::shared_ptr<DesktopRecord> record, QUrl url)
{
    record->opened.append(url);
    co_return record->openResult;
}

inline QCoro::Task<std::optional<QString>> recordedUpdateVersion(std::shared_ptr<DesktopRecord> record)
{
    ++record->updateChecks;
    const std::optional<QString> offered = record->offeredVersion;
    co_return offered;
}

inline OwnerSetupSession session(bool required, std::optional<QUrl> url = std::nullopt,
                                 std::optional<bool> pending = std::nullopt, bool liveSession = false,
                                 std::optional<QDateTime> expiresAt = std::nullopt)
{
    OwnerSetupSession s;
    s.required = required;
    s.url = std::move(url);
    s.expiresAt = std::move(expiresAt);
    s.hasLiveSession = liveSession;
    s.hasPendingBinding = pending;
    return s;
}

inline QUrl bindingLink(const QString &token = QStringLiteral("tok-a"))
{
    return QUrl(QStringLiteral("https://onboarding.example/agents/ada-agent/setup#") + token);
}

inline const QByteArray statusToken = "status-secret-7f3a9c";

} // namespace QuorvantisTest

class ServedModel : public ModelFixture
{
public:
    QuorvantisTest::LoopbackHttpServer server;
    std::shared_ptr<QuorvantisTest::OnboardingScript> onboarding = std::make_shared<QuorvantisTest::OnboardingScript>();
    std::shared_ptr<QuorvantisTest::DesktopRecord> desktop = std::make_shared<QuorvantisTest::DesktopRecord>();
    QuorvantisTest::ScriptedResponse statusAnswer =
        QuorvantisTest::ScriptedResponse::json(200, QuorvantisTest::Sample{}.json());

    ServedModel()
    {
        using namespace QuorvantisTest;
        statusTimeout = std::chrono::milliseconds(400);
        onboarding->time = &time;
        onboarding->whenExhausted = session(true, bindingLink());
        server.setHandler(QStringLiteral("/tui/status"), [this](const RecordedRequest &) { return statusAnswer; });
        effects.ownerSetupRequest = [script = onboarding](std::optional<QUrl> existing, bool force) {
            return scriptedOwnerSetupRequest(script, std::move(existing), force);
        };
        effects.ownerSetupOpen = [record = desktop](QUrl url) { return recordedOpen(record, std::move(url)); };
        effects.ownerSetupCopy = [record = desktop](QUrl url) {
            record->copied.append(url);
            return record->copyResult;
        };
        effects.ownerSetupLinkSave = [record = desktop](std::optional<OwnerSetupLink> link) {
            record->savedLinks.append(link);
        };
        effects.agentUpdateVersion = [record = desktop] { return recordedUpdateVersion(record); };
    }

    ~ServedModel()
    {
        // The status client must not be destroyed under a running fetch.
        QuorvantisTest::spinUntil([this] { return !fetchInFlight(); }, 10000);
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 30)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        reset();
    }

    // A model whose status port and token lead to the server; `configured` leaves config.json,
    // `stage` the persisted install stage.
    AppModel &makeServed(bool configured = true, std::optional<QString> stage = std::nullopt,
                         AppModel::LinkLoader loader = {})
    {
        if (configured)
            writeProfileFile(QStringLiteral("config.json"), "{}");
        if (stage)
            writeProfileFile(QStringLiteral("mac-app-install-stage"), stage->toUtf8() + "\n");
        writeProfileFile(QStringLiteral("tui-port"), QByteArray::number(server.port()) + "\n");
        writeProfileFile(QStringLiteral("tui-token"), QuorvantisTest::statusToken + "\n");
        if (loader)
            ownerSetupLinkLoad = std::move(loader);
        return make();
    }

    int statusRequests() const { return int(server.requestsFor(QStringLiteral("/tui/status")).size()); }

    // A fetch is running while the server holds an open connection for it.
    bool fetchInFlight() const { return server.openConnections() > 0; }

    void poll() { QuorvantisTest::await(model().refreshAgentStatus()); }

    // Waits until the polling loop has made `requests` status requests and sleeps again.
    bool loopReached(int requests)
    {
        return QuorvantisTest::spinUntil(
            [&] { return statusRequests() >= requests && time.pendingSleepers() >= 1 && !fetchInFlight(); });
    }
};
