// Measures the whole output pipeline of the runner (split, parse, redact, error test, log write,
// hand-off) on a real child against the same output piped to /dev/null by cat.
//
//   output_pipeline_bench [--size MiB] [--only short|long]
//
// Targets: within 10x of cat for 80-character lines, within 3x for 64 KiB lines; peak memory
// flat; the worst event-loop stall is reported.

#include "process/CLIService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

#include <sys/resource.h>

namespace {

qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    static const QRegularExpression peak(QStringLiteral("VmHWM:\\s+(\\d+) kB"));
    return peak.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}

void resetPeakResident()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// A block of typical install output: mostly plain progress, some coloured, some with URLs,
// error words, labels and JSON progress events, every line exactly `lineLength` bytes.
QByteArray makeBlock(int lineLength, qint64 blockBytes)
{
    const QList<QByteArray> samples{
        "Progress: resolved 812, reused 790, downloaded 22, added 0",
        " + @quorvantis/agent-core 2.3.1",
        "npm warn deprecated inflight@1.0.6: This module is not supported",
        "Downloading https://example.invalid/tarball/pkg-1.2.3.tgz",
        "\x1b[32mok\x1b[0m Installed dependencies in 3.2s",
        "{\"type\":\"progress\",\"phase\":\"install\",\"percent\":42}",
        "ERR_FETCH_404  GET failed: Not Found",
        "Packages: +128",
        "Email: nobody@example.invalid (will be masked)",
        "node_modules/.pnpm/some-package@4.5.6/node_modules/some-package: Running postinstall",
    };
    QByteArray block;
    block.reserve(blockBytes + lineLength);
    int index = 0;
    while (block.size() < blockBytes) {
        QByteArray line = samples[index++ % samples.size()];
        line = line.leftJustified(lineLength - 1, line.size() < 40 ? ' ' : 'x', true);
        block += line;
        block += '\n';
    }
    return block;
}

// CPU seconds of this process and of its finished children: on a busy machine the wall time
// says more about the neighbours than about the pipeline.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Measurement
{
    double seconds = 0;
    double cpu = 0;
    qint64 lines = 0;
    qint64 worstStallMs = 0;
    qint64 peakGrowthKiB = 0;
};

Measurement runThroughCat(const QString &generator)
{
    const double childrenBefore = cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), generator + QStringLiteral(" | cat >/dev/null")});
    process.waitForFinished(-1);
    Measurement measurement;
    measurement.seconds = timer.elapsed() / 1000.0;
    measurement.cpu = cpuSeconds(RUSAGE_CHILDREN) - childrenBefore;
    return measurement;
}

Measurement runThroughPipeline(const QString &generator, const QString &logPath)
{
    CLIService::Options options;
    options.installLogPath = logPath;
    options.onboardingOverride = [] { return std::optional<QUrl>(); };
    CLIService cli(options);

    Measurement measurement;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        measurement.worstStallMs = std::max(measurement.worstStallMs, sinceTick.restart() - 1);
    });

    resetPeakResident();
    const qint64 peakBefore = peakResidentKiB();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer timer;
    timer.start();
    sinceTick.start();
    ticker.start();

    bool done = false;
    // Named, so the captures outlive the coroutine.
    const auto body = [&]() -> QCoro::Task<void> {
        const QStringList arguments{QStringLiteral("-c"), generator};
        co_await cli.execute(arguments, std::nullopt, [&](const QString &) { ++measurement.lines; });
        done = true;
    };
    auto task = body();
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);

    measurement.seconds = timer.elapsed() / 1000.0;
    measurement.cpu = cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    ticker.stop();
    measurement.peakGrowthKiB = peakResidentKiB() - peakBefore;
    return measurement;
}

bool report(const char *name, const Measurement &cat, const Measurement &pipeline, qint64 bytes, double target)
{
    const double ratio = pipeline.seconds / std::max(cat.seconds, 0.001);
    std::printf("%s\n", name);
    std::printf("  cat > /dev/null : %8.3f s  (%7.1f MiB/s), cpu %.3f s\n", cat.seconds, bytes / 1048576.0 / cat.seconds,
                cat.cpu);
    std::printf("  pipeline        : %8.3f s  (%7.1f MiB/s), cpu %.3f s, %lld lines\n", pipeline.seconds,
                bytes / 1048576.0 / pipeline.seconds, pipeline.cpu, static_cast<long long>(pipeline.lines));
    std::printf("  cpu ratio       : %8.2fx\n", pipeline.cpu / std::max(cat.cpu, 0.001));
    std::printf("  ratio           : %8.2fx  (target %.0fx) %s\n", ratio, target, ratio <= target ? "met" : "MISSED");
    std::printf("  worst stall     : %8lld ms\n", static_cast<long long>(pipeline.worstStallMs));
    std::printf("  peak growth     : %8lld KiB\n", static_cast<long long>(pipeline.peakGrowthKiB));
    return ratio <= target;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("size"), QStringLiteral("MiB of output per case (default 256)."), QStringLiteral("MiB"),
                      QStringLiteral("256")});
    parser.addOption({QStringLiteral("only"), QStringLiteral("Run only the short or the long lines."), QStringLiteral("case")});
    parser.process(app);

    const qint64 bytes = parser.value(QStringLiteral("size")).toLongLong() * 1024 * 1024;
    const QString only = parser.value(QStringLiteral("only"));
    QTemporaryDir directory;
    bool allMet = true;

    struct Case
    {
        const char *key;
        const char *name;
        int lineLength;
        double target;
    };
    for (const Case &entry : {Case{"short", "80-character lines", 80, 10.0}, Case{"long", "64 KiB lines", 64 * 1024, 3.0}}) {
        if (!only.isEmpty() && only != QLatin1String(entry.key))
            continue;
        const qint64 blockBytes = 4 * 1024 * 1024;
        const QByteArray block = makeBlock(entry.lineLength, blockBytes);
        const QString blockPath = directory.filePath(QStringLiteral("block-%1").arg(entry.key));
        QFile file(blockPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(block) != block.size())
            return 2;
        file.close();
        const qint64 repeats = std::max<qint64>(1, bytes / block.size());
        const QString generator = QStringLiteral("for ((i = 0; i < %1; i++)); do cat '%2'; done").arg(repeats).arg(blockPath);

        const Measurement cat = runThroughCat(generator);
        const Measurement pipeline = runThroughPipeline(generator, directory.filePath(QStringLiteral("install.log")));
        allMet = report(entry.name, cat, pipeline, repeats * block.size(), entry.target) && allMet;
        QFile::remove(directory.filePath(QStringLiteral("install.log")));
        QFile::remove(directory.filePath(QStringLiteral("install.log.previous")));
    }
    return allMet ? 0 : 1;
}
