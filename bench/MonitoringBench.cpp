// Measures what status monitoring costs the application: the process's CPU time (all threads,
// user + system) while the model polls a real status endpoint on loopback, once at the normal
// 2-second cadence and once at the channel stage's 0.5-second cadence.
//
//   monitoring_bench [--seconds N] [--only normal|channel]
//
// Targets: under 0.1 s of CPU per minute at 2 s, under 0.4 s per minute at 0.5 s.
//
// The endpoint runs in a forked child process so that its own work is not counted. In the
// channel stage the onboarding request and the link save are scripted (they would leave the
// machine and the keychain); what is measured is the model's loop, the status client and the
// refresh bookkeeping.

#include "app/AppModel.h"
#include "support/LoopbackHttpServer.h"

#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QByteArray statusDocument =
    R"({"sampledAt":"2027-01-15T08:00:00.123Z","lifecycle":"running","ready":true,"version":"1.4.0",)"
    R"("busy":false,"compacting":null,"queueSize":0,"pid":4242,"codingSession":null})";

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The status endpoint, in its own process. Writes its port to `portPipe`, then serves until
// the parent ends it (or dies).
[[noreturn]] void serveStatus(int argc, char **argv, int portPipe)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    QCoreApplication app(argc, argv);
    QuorvantisTest::LoopbackHttpServer server;
    server.setResponse(QStringLiteral("/tui/status"), QuorvantisTest::ScriptedResponse::json(200, statusDocument));
    const quint16 port = server.isListening() ? server.port() : 0;
    [[maybe_unused]] const auto written = write(portPipe, &port, sizeof port);
    close(portPipe);
    // The recorded requests would grow for the whole run; nobody reads them here.
    QTimer forget;
    QObject::connect(&forget, &QTimer::timeout, &server, [&server] { server.clearRequests(); });
    forget.start(1s);
    std::_Exit(app.exec());
}

struct SleepState
{
    bool sleeping = false;
};

// The model's sleeper: the same monotonic timer as the default, noting when the loop is
// parked, so the model can be taken down between two polls.
QCoro::Task<void> trackedSleep(std::shared_ptr<SleepState> state, std::chrono::milliseconds duration)
{
    state->sleeping = true;
    co_await QCoro::sleepFor(duration);
    state->sleeping = false;
}

QCoro::Task<std::optional<QString>> noNewerVersion()
{
    co_return std::nullopt;
}

QCoro::Task<OwnerSetupSession> bindingStillRequired(QUrl link)
{
    OwnerSetupSession session;
    session.required = true;
    session.url = link;
    session.hasPendingBinding = false;
    co_return session;
}

QCoro::Task<std::optional<OwnerSetupLink>> capturedLink(QUrl link)
{
    co_return OwnerSetupLink{link, std::nullopt};
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

struct Result
{
    double cpuSeconds = 0;
    quint64 samples = 0;
    quint64 failures = 0;
};

Result measure(quint16 port, bool channelStage, std::chrono::seconds duration)
{
    QTemporaryDir profile;
    writeFile(profile.filePath(QStringLiteral("config.json")), "{}");
    writeFile(profile.filePath(QStringLiteral("tui-port")), QByteArray::number(port) + "\n");
    writeFile(profile.filePath(QStringLiteral("tui-token")), "bench-token\n");
    if (channelStage)
        writeFile(profile.filePath(QStringLiteral("mac-app-install-stage")), "channel\n");

    const QUrl link(QStringLiteral("https://onboarding.invalid/api/agents/bench-agent/setup#token"));
    auto sleepState = std::make_shared<SleepState>();
    auto saves = std::make_shared<int>(0);

    AppModel::Effects effects;
    effects.agentUpdateVersion = [] { return noNewerVersion(); };
    effects.ownerSetupRequest = [link](std::optional<QUrl>, bool) { return bindingStillRequired(link); };
    effects.ownerSetupLinkSave = [saves](std::optional<OwnerSetupLink>) { ++*saves; };

    auto model = std::make_unique<AppModel>(AppModel::Options{
        .profileDirectory = profile.path(),
        .effects = effects,
        .ownerSetupLinkLoad = [link] { return capturedLink(link); },
        .bootstrapRetryDelays = {2s, 4s, 8s},
        .autoResume = false,
        .sleeper = [sleepState](std::chrono::milliseconds d) { return trackedSleep(sleepState, d); },
        .clock = {},
        .statusTimeout = std::nullopt,
    });

    QEventLoop loop;
    const double before = processCpuSeconds();
    model->startStatusMonitoring();
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
    const double after = processCpuSeconds();

    Result result{after - before, model->statusSampleSequence, quint64(model->consecutiveStatusFailures)};
    // Take the model down only while its loop sleeps: a fetch must not lose its client.
    while (!sleepState->sleeping)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    model.reset();
    return result;
}

void report(const char *name, std::chrono::milliseconds cadence, std::chrono::seconds duration, const Result &r,
            double targetPerMinute)
{
    const double perMinute = r.cpuSeconds * 60.0 / double(duration.count());
    std::printf("%-8s cadence %5lld ms  %4llds  %5llu samples  %llu failing  CPU %.4f s  => %.4f s CPU/min  "
                "(target < %.1f: %s)\n",
                name, static_cast<long long>(cadence.count()), static_cast<long long>(duration.count()),
                static_cast<unsigned long long>(r.samples), static_cast<unsigned long long>(r.failures), r.cpuSeconds,
                perMinute, targetPerMinute, perMinute < targetPerMinute ? "met" : "MISSED");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    std::chrono::seconds duration = 60s;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            duration = std::chrono::seconds(std::max(1, std::atoi(argv[++i])));
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--only normal|channel]\n", argv[0]);
            return 2;
        }
    }

    // Fork before anything starts a thread.
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    const pid_t server = fork();
    if (server < 0)
        return 1;
    if (server == 0) {
        close(fds[0]);
        serveStatus(argc, argv, fds[1]);
    }
    close(fds[1]);
    quint16 port = 0;
    const auto got = read(fds[0], &port, sizeof port);
    close(fds[0]);
    if (got != sizeof port || port == 0) {
        std::fprintf(stderr, "the status endpoint did not start\n");
        kill(server, SIGTERM);
        return 1;
    }

    QCoreApplication app(argc, argv);
    std::printf("status monitoring CPU cost, endpoint on 127.0.0.1:%u\n", unsigned(port));
    if (only.empty() || only == "normal")
        report("normal", 2000ms, duration, measure(port, false, duration), 0.1);
    if (only.empty() || only == "channel")
        report("channel", 500ms, duration, measure(port, true, duration), 0.4);

    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return 0;
}
