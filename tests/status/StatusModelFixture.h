#pragma once

// A model for the status and channel-binding flows: a temporary profile directory whose status
// port points at a real loopback HTTP server, scripted onboarding effects and virtual time.

#include "app/AppModel.h"
#include "channel/OwnerSetupClient.h"
#include "support/AwaitTask.h"
#include "support/LoopbackHttpServer.h"
#include "support/VirtualTime.h"

#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QTemporaryDir>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace StatusTest {

using namespace std::chrono_literals;
using QuorvantisTest::LoopbackHttpServer;
using QuorvantisTest::ScriptedResponse;

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
    QList<Outcome> outcomes;           // consumed in order
    OwnerSetupSession whenExhausted;   // answer once the list is used up
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

inline QCoro::Task<std::optional<OwnerSetupLink>> noCapturedLink()
{
    co_return std::nullopt;
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

class ModelFixture
{
public:
    VirtualTime time;
    QTemporaryDir dir;
    LoopbackHttpServer server;
    std::shared_ptr<OnboardingScript> onboarding = std::make_shared<OnboardingScript>();
    std::shared_ptr<DesktopRecord> desktop = std::make_shared<DesktopRecord>();
    ScriptedResponse statusAnswer = ScriptedResponse::json(200, Sample{}.json());
    std::chrono::milliseconds statusTimeout{400};
    // Last changes to the effects before the model is built.
    std::function<void(AppModel::Effects &)> customizeEffects;
    std::unique_ptr<AppModel> model;

    ModelFixture()
    {
        onboarding->time = &time;
        onboarding->whenExhausted = session(true, bindingLink());
        server.setHandler(QStringLiteral("/tui/status"),
                          [this](const QuorvantisTest::RecordedRequest &) { return statusAnswer; });
    }

    ~ModelFixture()
    {
        // The status client must not be destroyed under a running fetch.
        QuorvantisTest::spinUntil([this] { return !fetchInFlight(); }, 10000);
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 30)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        model.reset();
    }

    QString path(const QString &name) const { return dir.filePath(name); }

    void writeFile(const QString &name, const QByteArray &content) const
    {
        QFile file(path(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(content);
    }

    QByteArray readFile(const QString &name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // configured: config.json exists (setup succeeded); stage: the persisted install stage.
    void prepareProfile(bool configured, std::optional<QString> stage)
    {
        if (configured)
            writeFile(QStringLiteral("config.json"), "{}");
        if (stage)
            writeFile(QStringLiteral("mac-app-install-stage"), stage->toUtf8() + "\n");
        writeFile(QStringLiteral("tui-port"), QByteArray::number(server.port()) + "\n");
        writeFile(QStringLiteral("tui-token"), statusToken + "\n");
    }

    AppModel::Effects effects() const
    {
        AppModel::Effects e;
        auto script = onboarding;
        auto record = desktop;
        e.ownerSetupRequest = [script](std::optional<QUrl> existing, bool force) {
            return scriptedOwnerSetupRequest(script, std::move(existing), force);
        };
        e.ownerSetupOpen = [record](QUrl url) { return recordedOpen(record, std::move(url)); };
        e.ownerSetupCopy = [record](QUrl url) {
            record->copied.append(url);
            return record->copyResult;
        };
        e.ownerSetupLinkSave = [record](std::optional<OwnerSetupLink> link) { record->savedLinks.append(link); };
        e.agentUpdateVersion = [record] { return recordedUpdateVersion(record); };
        if (customizeEffects)
            customizeEffects(e);
        return e;
    }

    AppModel &make(bool configured = true, std::optional<QString> stage = std::nullopt,
                   AppModel::LinkLoader loader = [] { return noCapturedLink(); })
    {
        prepareProfile(configured, stage);
        VirtualTime *t = &time;
        model = std::make_unique<AppModel>(AppModel::Options{
            .profileDirectory = dir.path(),
            .effects = effects(),
            .ownerSetupLinkLoad = std::move(loader),
            .bootstrapRetryDelays = {2s, 4s, 8s},
            .autoResume = false,
            .sleeper = [t](std::chrono::milliseconds d) { return t->sleep(d); },
            .clock = [t] { return t->now(); },
            .statusTimeout = statusTimeout,
        });
        return *model;
    }

    int statusRequests() const { return int(server.requestsFor(QStringLiteral("/tui/status")).size()); }

    // A fetch is running while the server holds an open connection for it or the loop is not
    // parked in its sleep.
    bool fetchInFlight() const { return server.openConnections() > 0; }

    void poll() { QuorvantisTest::await(model->refreshAgentStatus()); }

    // Waits until the polling loop has made `requests` status requests and sleeps again.
    bool loopReached(int requests)
    {
        return QuorvantisTest::spinUntil(
            [&] { return statusRequests() >= requests && time.pendingSleepers() >= 1 && !fetchInFlight(); });
    }
};

} // namespace StatusTest
