// What the output pipeline costs the process that consumes a child's output, against `cat` and
// `sed -E` consuming the same bytes. The input is generated into a file first, so no side pays
// for making it; in every run the producer is `cat FILE` and only the consumer's CPU counts:
//
//   cat       cat FILE | cat > OUT                       (the consumer cat's CPU, from wait4)
//   sed       cat FILE | sed -E -e R1 ... -e R5 > OUT    (the same five redaction rules)
//   pipeline  CLIService::execute("-c", "cat FILE") as the application runs its children: the
//             merged output split into lines, redacted, error-tested, written to an install log
//             and handed to a callback (this process's CPU, children excluded)
//
// Some lines carry secrets: a label with an e-mail or a password, a URL, a setup code, a JSON
// credential, and the text the child was given on standard input. A second run of the pipeline
// measures how late the UI thread's event loop serves a timer due every 4 ms (its worst lateness
// is the worst stall); that timer's own wakeups are kept out of the CPU figure. Each round runs
// the three in a rotating order and prints its ratios; min / median / max of the rounds follow.
//
//   output_pipeline_bench [--size MiB] [--rounds N] [--only short|long]
//
// Targets: pipeline at most 5x cat on 80-character lines and 2x on 64 KiB lines, below sed on
// both, worst stall at most 16 ms.

#include "process/CLIService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const secretOnStdin = "s3cret-given-on-stdin";

double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double selfCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Lines of exactly `lineLength` bytes before the line feed: mostly plain progress, some coloured,
// and one in eight carrying something the redaction must remove.
QByteArray makeBlock(int lineLength, qint64 blockBytes)
{
    const QList<QByteArray> plain{
        "Progress: resolved 812, reused 790, downloaded 22, added 0",
        " + @quorvantis/agent-core 2.3.1",
        "npm warn deprecated inflight@1.0.6: This module is not supported",
        "\x1b[32mok\x1b[0m Installed dependencies in 3.2s",
        "{\"type\":\"progress\",\"phase\":\"install\",\"percent\":42}",
        "ERR_FETCH_404  GET failed: Not Found",
        "Packages: +128",
        "node_modules/.pnpm/some-package@4.5.6/node_modules/some-package: Running postinstall",
    };
    const QList<QByteArray> secret{
        "Email: owner@example.invalid signed in",
        "Password: correct horse battery staple",
        "Downloading https://example.invalid/tarball/pkg-1.2.3.tgz?token=abc",
        "Redeeming QVS2-7K3M-9PQR-T2VW for agent-7k3m9pqr",
        "{\"email\":\"owner@example.invalid\",\"password\":\"hunter2hunter2\"}",
        QByteArray("echoed back: ") + secretOnStdin,
    };
    QByteArray block;
    block.reserve(blockBytes + lineLength + 1);
    int index = 0;
    while (block.size() < blockBytes) {
        QByteArray line = index % 8 == 7 ? secret[(index / 8) % secret.size()] : plain[index % plain.size()];
        ++index;
        if (line.size() < lineLength) {
            // Pad with words, so that no line is one endless token.
            while (line.size() < lineLength)
                line += " lorem ipsum dolor";
        }
        line.truncate(lineLength);
        block += line;
        block += '\n';
    }
    return block;
}

// The five redaction rules as sed -E expressions.
QStringList sedRules()
{
    return {
        QStringLiteral("s/(Email:[[:space:]]*)[^[:space:]]+/\\1[REDACTED]/Ig"),
        QStringLiteral("s/(Password:[[:space:]]*)[^[:space:]].*/\\1[REDACTED]/I"),
        QStringLiteral("s#https?://[^[:space:]]+#[URL REDACTED]#g"),
        QStringLiteral("s/\\b(QVS2|QVI1)-[0-9A-HJKMNP-TV-Z]{4}-[0-9A-HJKMNP-TV-Z]{4}-[0-9A-HJKMNP-TV-Z]{4}\\b/[SETUP CODE REDACTED]/Ig"),
        QStringLiteral("s/(\"(email|password)\"[[:space:]]*:[[:space:]]*)\"([^\"\\\\]|\\\\.)*\"/\\1\"[REDACTED]\"/Ig"),
    };
}

// Runs `cat input | consumer > output` and returns the consumer's CPU seconds.
double consumerCpu(const QString &input, const QStringList &consumer, const QString &output)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t producer = fork();
    if (producer == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        const QByteArray path = input.toLocal8Bit();
        execlp("cat", "cat", path.constData(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::vector<QByteArray> words;
    for (const QString &word : consumer)
        words.push_back(word.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const QByteArray outputPath = output.toLocal8Bit();
    const pid_t reader = fork();
    if (reader == 0) {
        dup2(fds[0], 0);
        close(fds[0]);
        close(fds[1]);
        const int out = open(outputPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        close(out);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[0]);
    close(fds[1]);
    int status = 0;
    rusage usage{};
    waitpid(producer, &status, 0);
    wait4(reader, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct PipelineRun
{
    double cpu = -1;
    qint64 lines = 0;
    qint64 worstStallMs = 0;
};

PipelineRun pipelineCpu(const QString &input, const QString &logPath, bool measureStall)
{
    CLIService::Options options;
    options.installLogPath = logPath;
    options.onboardingOverride = [] { return std::optional<QUrl>(); };
    CLIService cli(options);

    PipelineRun run;
    constexpr int tickMs = 4;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(tickMs);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        run.worstStallMs = std::max(run.worstStallMs, sinceTick.restart() - tickMs);
    });

    bool done = false;
    bool failed = false;
    const double before = selfCpu();
    sinceTick.start();
    if (measureStall)
        ticker.start();
    // The captures must outlive the coroutine: the lambda is a named local.
    const auto body = [&]() -> QCoro::Task<void> {
        try {
            const QStringList arguments{QStringLiteral("-c"), QStringLiteral("exec cat '%1'").arg(input)};
            const CLIResult result = co_await cli.execute(arguments, QString::fromLatin1(secretOnStdin),
                                                          [&](const QString &) { ++run.lines; });
            failed = result.status != 0;
        } catch (...) {
            failed = true;
        }
        done = true;
    };
    auto task = body();
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    ticker.stop();
    run.cpu = failed ? -1 : selfCpu() - before;
    return run;
}

struct Range
{
    double min, median, max;
};

Range range(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("size"), QStringLiteral("MiB of output per case (default 64)."),
                      QStringLiteral("MiB"), QStringLiteral("64")});
    parser.addOption({QStringLiteral("rounds"), QStringLiteral("Rounds (default 5)."), QStringLiteral("N"),
                      QStringLiteral("5")});
    parser.addOption({QStringLiteral("only"), QStringLiteral("Run only the short or the long lines."),
                      QStringLiteral("case")});
    parser.process(app);

    const qint64 bytes = std::max(1LL, parser.value(QStringLiteral("size")).toLongLong()) * 1024 * 1024;
    const int rounds = std::max(1, parser.value(QStringLiteral("rounds")).toInt());
    const QString only = parser.value(QStringLiteral("only"));
    QTemporaryDir directory;
    const QString output = directory.filePath(QStringLiteral("out"));
    const QString log = directory.filePath(QStringLiteral("install.log"));
    QStringList sed{QStringLiteral("sed"), QStringLiteral("-E")};
    for (const QString &rule : sedRules())
        sed << QStringLiteral("-e") << rule;

    struct Case
    {
        const char *key;
        const char *name;
        int lineLength;
        double catTarget;
    };
    bool allMet = true;
    for (const Case &entry : {Case{"short", "80-character lines", 80, 5.0}, Case{"long", "64 KiB lines", 64 * 1024, 2.0}}) {
        if (!only.isEmpty() && only != QLatin1String(entry.key))
            continue;
        const QString input = directory.filePath(QStringLiteral("input-%1").arg(entry.key));
        {
            const QByteArray block = makeBlock(entry.lineLength, 4 * 1024 * 1024);
            QFile file(input);
            if (!file.open(QIODevice::WriteOnly))
                return 2;
            for (qint64 written = 0; written < bytes; written += block.size()) {
                if (file.write(block) != block.size())
                    return 2;
            }
        }
        std::printf("%s, %lld MiB, %d rounds (consumer CPU seconds)\n", entry.name,
                    static_cast<long long>(bytes >> 20), rounds);
        std::vector<double> catCpu, sedCpu, ourCpu, toCat, toSed, stalls;
        for (int round = 0; round < rounds; ++round) {
            double c = -1, s = -1;
            PipelineRun p;
            for (int k = 0; k < 3; ++k) {
                switch ((k + round) % 3) {
                case 0: c = consumerCpu(input, {QStringLiteral("cat")}, output); break;
                case 1: s = consumerCpu(input, sed, output); break;
                case 2:
                    // The timer that measures the stall wakes the thread 250 times a second: its
                    // run is not the one whose CPU counts.
                    QFile::remove(log);
                    p = pipelineCpu(input, log, false);
                    QFile::remove(log);
                    p.worstStallMs = pipelineCpu(input, log, true).worstStallMs;
                    break;
                }
            }
            if (c <= 0 || s <= 0 || p.cpu <= 0) {
                std::printf("  round %d failed (cat %.3f, sed %.3f, pipeline %.3f)\n", round + 1, c, s, p.cpu);
                return 1;
            }
            catCpu.push_back(c);
            sedCpu.push_back(s);
            ourCpu.push_back(p.cpu);
            toCat.push_back(p.cpu / c);
            toSed.push_back(p.cpu / s);
            stalls.push_back(double(p.worstStallMs));
            std::printf("  round %d: cat %.3f s, sed %.3f s, pipeline %.3f s (%lld lines), x cat %.2f, x sed %.2f, "
                        "worst stall %lld ms\n",
                        round + 1, c, s, p.cpu, static_cast<long long>(p.lines), p.cpu / c, p.cpu / s,
                        static_cast<long long>(p.worstStallMs));
            std::fflush(stdout);
        }
        const auto print = [](const char *what, const Range &r, const char *unit) {
            std::printf("  %-22s min %8.3f  median %8.3f  max %8.3f %s\n", what, r.min, r.median, r.max, unit);
        };
        print("cat", range(catCpu), "s");
        print("sed -E, five rules", range(sedCpu), "s");
        print("pipeline", range(ourCpu), "s");
        const Range catRatio = range(toCat), sedRatio = range(toSed), stall = range(stalls);
        print("pipeline / cat", catRatio, "x");
        print("pipeline / sed", sedRatio, "x");
        print("worst UI stall", stall, "ms");
        const bool met = catRatio.median <= entry.catTarget && sedRatio.median < 1.0 && stall.max <= 16;
        std::printf("  targets: <= %.0fx cat, < 1x sed, stall <= 16 ms: %s\n\n", entry.catTarget,
                    met ? "met" : "MISSED");
        allMet = allMet && met;
        QFile::remove(input);
    }
    return allMet ? 0 : 1;
}
