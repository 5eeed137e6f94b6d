// Startup benchmark: the time from process start to the first painted main window, and the
// resident memory once the process has settled, compared with a minimal Qt Widgets program
// that shows one empty window (startup_bench_baseline), on the same machine in the same run.
//
//   startup_bench [--rounds N] [--settle MS]
//
// Each round starts both programs once (in alternating order, so neither always runs on a warm
// cache) with QT_QPA_PLATFORM=offscreen and a throw-away HOME; the medians are compared. The
// application runs as it does for a user, except that automatic resumption is off: with an
// empty profile the resume would start installing the agent's runtime.

#include "FirstPaintProbe.h"

#include "app/AppModel.h"
#include "ui/QuorvantisApp.h"
#include "ui/MenuBarContent.h"
#include "ui/SetupView.h"
#include "ui/DashboardView.h"
#include "ui/ChannelBindingSessionSheet.h"
#include "ui/AgentUpdateBanner.h"
#include "ui/RootContentView.h"
#include "ui/Symbols.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

constexpr double target = 1.5;

// The measured program: the application's own start, as QuorvantisApp::run does it.
int runApplication(int argc, char **argv, int settleMs)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvantis"));
    QApplication::setOrganizationDomain(QStringLiteral("quorvantis.dev"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(Symbols::quorvantisLogo());
    AppModel::Options options = QuorvantisApp::modelOptions();
    options.autoResume = false;
    QuorvantisApp app(std::move(options));
    FirstPaintProbe probe(app.mainWindow(), settleMs);
    app.openMainWindow();
    return application.exec();
}

// Where the start-up time goes: the application's pieces built one by one, each timed.
int runPhases(int argc, char **argv)
{
    QElapsedTimer clock;
    clock.start();
    auto mark = [&clock](const char *phase) {
        std::fprintf(stderr, "%8.1f ms  %s\n", double(clock.nsecsElapsed()) / 1e6, phase);
    };
    QApplication application(argc, argv);
    mark("application");
    QApplication::setWindowIcon(Symbols::quorvantisLogo());
    mark("window icon");
    AppModel::Options options = QuorvantisApp::modelOptions();
    options.autoResume = false;
    AppModel model(std::move(options));
    mark("model");
    if (qEnvironmentVariableIsSet("PHASE_DETAIL")) {
        QFontMetrics(QApplication::font()).horizontalAdvance(QStringLiteral("Agent"));
        mark("latin text");
        QFontMetrics(QApplication::font()).horizontalAdvance(QStringLiteral("在这台上安装"));
        mark("chinese text");
        {
            QImage image(200, 40, QImage::Format_ARGB32_Premultiplied);
            QPainter painter(&image);
            painter.drawText(5, 20, QStringLiteral("在这台上安装、授权并运行 Agent"));
        }
        mark("chinese drawn");
        for (const char *name : {"checkmark.circle.fill", "xmark", "circle.dashed", "accessibility", "internaldrive"}) {
            Symbols::icon(QString::fromLatin1(name));
            mark(name);
        }
        delete new SetupView(&model);
        mark("setup view");
        {
            DashboardView dashboard(&model);
            mark("dashboard (empty)");
            dashboard.statusPane();
            mark("dashboard (built)");
        }
        delete new ChannelBindingSessionSheet(&model);
        mark("sheet");
        delete new AgentUpdateBanner(&model);
        mark("banner");
    }
    RootContentView window(&model);
    mark("main window");
    MenuBarContent panel(&model, {});
    mark("tray panel");
    window.show();
    mark("shown");
    FirstPaintProbe probe(&window, 0);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] { mark("painted"); });
    return application.exec();
}

struct Sample
{
    double startupMs = 0;
    long rssKilobytes = 0;
};

std::optional<Sample> measure(const QString &program, const QStringList &arguments, const QString &home)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);

    Sample sample;
    bool painted = false;
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return std::nullopt;
    QByteArray pending;
    while (process.state() != QProcess::NotRunning || process.bytesAvailable() > 0) {
        if (process.bytesAvailable() == 0 && !process.waitForReadyRead(30000))
            break;
        pending += process.readAll();
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (line == "painted" && !painted) {
                painted = true;
                sample.startupMs = double(clock.nsecsElapsed()) / 1e6;
            } else if (line.startsWith("rss ")) {
                sample.rssKilobytes = line.mid(4).toLong();
            }
        }
    }
    process.waitForFinished(10000);
    if (!painted || sample.rssKilobytes <= 0)
        return std::nullopt;
    return sample;
}

template <typename T>
T median(QList<T> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

int runDriver(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    int rounds = 7;
    int settleMs = 1500;
    const QStringList arguments = application.arguments();
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QStringLiteral("--rounds"))
            rounds = qMax(1, arguments.at(i + 1).toInt());
        else if (arguments.at(i) == QStringLiteral("--settle"))
            settleMs = qMax(0, arguments.at(i + 1).toInt());
    }

    const QString self = QCoreApplication::applicationFilePath();
    const QString baseline = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("startup_bench_baseline"));
    const QString settle = QString::number(settleMs);
    struct Program
    {
        QString name;
        QString path;
        QStringList arguments;
        bool installed; // a profile with a configured agent: the window opens on the dashboard
        QList<double> times;
        QList<long> memory;
    };
    QList<Program> programs{
        {QStringLiteral("empty window"), baseline, {settle}, false, {}, {}},
        {QStringLiteral("window with text"), baseline, {settle, QStringLiteral("text")}, false, {}, {}},
        {QStringLiteral("companion, setup"), self, {QStringLiteral("--child"), settle}, false, {}, {}},
        {QStringLiteral("companion, dashboard"), self, {QStringLiteral("--child"), settle}, true, {}, {}},
    };

    QTextStream out(stdout);
    for (int round = 0; round < rounds; ++round) {
        // A different program goes first each round, so none always runs on a warm cache.
        for (qsizetype k = 0; k < programs.size(); ++k) {
            Program &program = programs[(k + round) % programs.size()];
            QTemporaryDir home;
            if (program.installed) {
                const QString profile = home.filePath(QStringLiteral(".quorvantis/profiles/default"));
                QDir().mkpath(profile);
                QFile config(QDir(profile).filePath(QStringLiteral("config.json")));
                if (!config.open(QIODevice::WriteOnly) || config.write("{}\n") != 3)
                    return 1;
            }
            const auto sample = measure(program.path, program.arguments, home.path());
            if (!sample) {
                out << "run failed: " << program.name << Qt::endl;
                return 1;
            }
            program.times.append(sample->startupMs);
            program.memory.append(sample->rssKilobytes);
            out << QStringLiteral("round %1 %2: first paint %3 ms, resident %4 KiB")
                       .arg(round + 1)
                       .arg(program.name)
                       .arg(sample->startupMs, 0, 'f', 1)
                       .arg(sample->rssKilobytes)
                << Qt::endl;
        }
    }

    out << Qt::endl;
    for (const Program &program : programs)
        out << QStringLiteral("median %1: first paint %2 ms, resident %3 KiB")
                   .arg(program.name, -22)
                   .arg(median(program.times), 7, 'f', 1)
                   .arg(median(program.memory))
            << Qt::endl;
    const Program &empty = programs.at(0);
    const Program &text = programs.at(1);
    auto verdict = [](double ratio) { return ratio <= target ? QStringLiteral("ok") : QStringLiteral("OVER"); };
    for (const Program &program : programs.mid(2)) {
        const double timeRatio = median(program.times) / median(empty.times);
        const double memoryRatio = double(median(program.memory)) / double(median(empty.memory));
        out << QStringLiteral("%1 vs empty window: first paint ratio %2 %3, resident memory ratio %4 %5 (target <= %6)")
                   .arg(program.name)
                   .arg(timeRatio, 0, 'f', 2)
                   .arg(verdict(timeRatio))
                   .arg(memoryRatio, 0, 'f', 2)
                   .arg(verdict(memoryRatio))
                   .arg(target, 0, 'f', 1)
            << Qt::endl;
        out << QStringLiteral("%1 vs window with text: first paint ratio %2, resident memory ratio %3")
                   .arg(program.name)
                   .arg(median(program.times) / median(text.times), 0, 'f', 2)
                   .arg(double(median(program.memory)) / double(median(text.memory)), 0, 'f', 2)
            << Qt::endl;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--phases") == 0)
        return runPhases(argc, argv);
    if (argc > 2 && std::strcmp(argv[1], "--child") == 0)
        return runApplication(argc, argv, QByteArray(argv[2]).toInt());
    return runDriver(argc, argv);
}
