#include "app/CommandLine.h"

#include "BuildConfiguration.h"
#include "platform/Bundle.h"
#include "setup/BundleComponents.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

namespace CommandLine {

namespace {

// What QGuiApplication and QApplication take from the command line themselves.
void addQtOptions(QCommandLineParser &parser)
{
    const auto hidden = [&parser](const QString &name, bool takesValue) {
        QCommandLineOption option(name, QString(), takesValue ? QStringLiteral("value") : QString());
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    };
    for (const char *name : {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                             "qwindowtitle", "qwindowicon", "session", "style", "stylesheet", "display", "geometry",
                             "title", "name", "visual", "im", "qmljsdebugger", "fn", "font", "bg", "background", "fg",
                             "foreground", "btn", "button", "ncols", "cmap", "inputstyle"})
        hidden(QLatin1String(name), true);
    for (const char *name : {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"})
        hidden(QLatin1String(name), false);
}

} // namespace

std::optional<Answer> check(const QStringList &arguments, const QString &version, const QStringList &components)
{
    QCommandLineParser parser;
    // Qt's options are single-dash words ("-platform offscreen"), not bundles of letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral("Quorvantis：安装并照看本机的 Quorvantis Agent。"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOption(QCommandLineOption(QStringLiteral("resources"),
                                        QStringLiteral("Use DIR as the application's resource directory."),
                                        QStringLiteral("DIR")));
    addQtOptions(parser);

    const QString program = QFileInfo(arguments.value(0, QStringLiteral("quorvantis-companion"))).fileName();
    if (!parser.parse(arguments)) {
        return Answer{2, {},
                      QStringLiteral("%1：%2\n运行 %1 --help 查看可用的选项。\n").arg(program, parser.errorText())};
    }
    const QString report = components.isEmpty() ? QString() : components.join(u'\n') + u'\n';
    if (parser.isSet(versionOption))
        return Answer{0, QStringLiteral("Quorvantis %1\n").arg(version) + report, {}};
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all")))
        return Answer{0, parser.helpText() + (report.isEmpty() ? QString() : u'\n' + report), {}};
    return std::nullopt;
}

std::optional<int> answerBeforeStart(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // A usage error needs nothing else; the help and the version read the bundle, which a core
    // application locates (no display needed).
    auto answer = check(arguments, {}, {});
    if (!answer)
        return std::nullopt;
    std::optional<QCoreApplication> core;
    if (answer->exitCode == 0) {
        core.emplace(argc, argv);
        QCommandLineParser resources;
        resources.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        const QCommandLineOption resourcesOption(QStringLiteral("resources"), QString(), QStringLiteral("DIR"));
        resources.addOption(resourcesOption);
        resources.parse(arguments); // the full check above has passed
        if (resources.isSet(resourcesOption))
            Bundle::setResourceDirectory(resources.value(resourcesOption));
        const QString version = Bundle::infoString(QStringLiteral("CFBundleShortVersionString"))
                                    .value_or(QStringLiteral(QUORVANTIS_BUILD_VERSION));
        QCoreApplication::setApplicationVersion(version);
        answer = check(arguments, version, BundleComponents::commandLineReport());
    }
    QTextStream(stdout) << answer->out;
    QTextStream(stderr) << answer->err;
    return answer->exitCode;
}

} // namespace CommandLine
