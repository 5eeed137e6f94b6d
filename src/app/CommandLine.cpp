#include "app/CommandLine.h"

#include "BuildConfiguration.h"
#include "app/InterfaceLanguage.h"
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

struct Word
{
    Subcommand command;
    const char *name;
    const char *usage;
    const char *description;
};

// In the order the help lists them.
constexpr Word words[] = {
    {Subcommand::status, "status", "status [--json]", QT_TRANSLATE_NOOP("CommandLine", "安装阶段、Agent 状态、权限、Channel 和版本")},
    {Subcommand::doctor, "doctor", "doctor", QT_TRANSLATE_NOOP("CommandLine", "逐项检查 Quorvantis 依赖的环境，并给出修复方法")},
    {Subcommand::restart, "restart", "restart", QT_TRANSLATE_NOOP("CommandLine", "重启 Agent")},
    {Subcommand::recheck, "recheck", "recheck", QT_TRANSLATE_NOOP("CommandLine", "重新检查系统权限")},
    {Subcommand::update, "update", "update", QT_TRANSLATE_NOOP("CommandLine", "更新 Agent")},
    {Subcommand::exportDiagnostics, "export-diagnostics", "export-diagnostics [PATH]",
     QT_TRANSLATE_NOOP("CommandLine", "导出诊断信息（已移除令牌和密钥）")},
    {Subcommand::show, "show", "show", QT_TRANSLATE_NOOP("CommandLine", "显示正在运行的 Quorvantis 的窗口")},
    {Subcommand::quit, "quit", "quit", QT_TRANSLATE_NOOP("CommandLine", "退出正在运行的 Quorvantis")},
    {Subcommand::language, "language", "language [zh_CN|en|system]",
     QT_TRANSLATE_NOOP("CommandLine", "显示或选择界面语言（system：跟随系统）；重新打开后生效")},
};

QString subcommandHelp()
{
    QString text = u'\n' + QCoreApplication::translate("CommandLine", "命令（Quorvantis 正在运行时由它执行；否则直接读取配置目录，操作在后台执行后退出）：") + u'\n';
    for (const Word &word : words) {
        text += QStringLiteral("  %1%2\n").arg(QString::fromUtf8(word.usage).leftJustified(28),
                                               QCoreApplication::translate("CommandLine", word.description));
    }
    text += u'\n' + QCoreApplication::translate("CommandLine", "退出状态：0 成功，1 检查或操作失败，2 用法错误。") + u'\n';
    return text;
}

Answer usageError(const QString &program, const QString &what)
{
    return Answer{2, {}, QCoreApplication::translate("CommandLine", "%1：%2\n运行 %1 --help 查看可用的选项。").arg(program, what) + u'\n'};
}

} // namespace

QString name(Subcommand command)
{
    for (const Word &word : words) {
        if (word.command == command)
            return QString::fromLatin1(word.name);
    }
    return {};
}

std::optional<Subcommand> subcommandNamed(const QString &text)
{
    for (const Word &word : words) {
        if (text == QLatin1String(word.name))
            return word.command;
    }
    return std::nullopt;
}

const QList<Subcommand> &subcommands()
{
    static const QList<Subcommand> all = [] {
        QList<Subcommand> list;
        for (const Word &word : words)
            list.append(word.command);
        return list;
    }();
    return all;
}

Parsed parse(const QStringList &arguments, const QString &version, const QStringList &components)
{
    QCommandLineParser parser;
    // Qt's options are single-dash words ("-platform offscreen"), not bundles of letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QCoreApplication::translate("CommandLine", "Quorvantis：安装并照看本机的 Quorvantis Agent。"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption resources(QStringLiteral("resources"),
                                       QCoreApplication::translate("CommandLine", "Use DIR as the application's resource directory."),
                                       QStringLiteral("DIR"));
    parser.addOption(resources);
    const QCommandLineOption json(QStringLiteral("json"),
                                  QCoreApplication::translate("CommandLine", "status: print one JSON object."));
    parser.addOption(json);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QCoreApplication::translate("CommandLine", "One of the commands below; none opens the window."),
                                 QStringLiteral("[command]"));
    addQtOptions(parser);

    const QString program = QFileInfo(arguments.value(0, QStringLiteral("quorvantis-companion"))).fileName();
    if (!parser.parse(arguments))
        return {usageError(program, parser.errorText()), std::nullopt};
    const QString report = components.isEmpty() ? QString() : components.join(u'\n') + u'\n';
    if (parser.isSet(versionOption))
        return {Answer{0, QStringLiteral("Quorvantis %1\n").arg(version) + report, {}}, std::nullopt};
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        return {Answer{0, parser.helpText() + subcommandHelp() + (report.isEmpty() ? QString() : u'\n' + report), {}},
                std::nullopt};
    }

    const QStringList words = parser.positionalArguments();
    if (words.isEmpty()) {
        if (parser.isSet(json))
            return {usageError(program, QCoreApplication::translate("CommandLine", "--json 只能与 status 一起使用。")), std::nullopt};
        return {};
    }
    const auto command = subcommandNamed(words.first());
    if (!command)
        return {usageError(program, QCoreApplication::translate("CommandLine", "未知的命令：%1").arg(words.first())), std::nullopt};
    const qsizetype allowed = *command == Subcommand::exportDiagnostics || *command == Subcommand::language ? 2 : 1;
    if (words.size() > allowed)
        return {usageError(program, QCoreApplication::translate("CommandLine", "%1 不接受参数 %2").arg(words.first(), words.at(allowed))), std::nullopt};
    if (parser.isSet(json) && *command != Subcommand::status)
        return {usageError(program, QCoreApplication::translate("CommandLine", "--json 只能与 status 一起使用。")), std::nullopt};
    Request request{.command = *command, .json = parser.isSet(json), .path = std::nullopt, .resources = std::nullopt,
                    .language = std::nullopt};
    if (*command == Subcommand::language && words.size() > 1) {
        const auto language = words.at(1) == u"system" ? std::optional<QString>(words.at(1)) : InterfaceLanguage::supported(words.at(1));
        if (!language) {
            return {usageError(program, QCoreApplication::translate("CommandLine", "没有这种界面语言：%1（可用：%2、system）")
                                            .arg(words.at(1), InterfaceLanguage::available().join(QCoreApplication::translate("CommandLine", "、")))),
                    std::nullopt};
        }
        request.language = language;
    } else if (words.size() > 1) {
        request.path = words.at(1);
    }
    if (parser.isSet(resources))
        request.resources = parser.value(resources);
    return {std::nullopt, request};
}

std::optional<Answer> check(const QStringList &arguments, const QString &version, const QStringList &components)
{
    return parse(arguments, version, components).answer;
}

BeforeStart readBeforeStart(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // A subcommand needs nothing else. An answer is given in the interface's language, and the
    // help and the version read the bundle: a core application does both (no display needed).
    Parsed parsed = parse(arguments, {}, {});
    if (parsed.request)
        return {std::nullopt, parsed.request};
    auto answer = parsed.answer;
    if (!answer)
        return {};
    QCoreApplication core(argc, argv);
    InterfaceLanguage::install(core);
    answer = check(arguments, {}, {});
    if (answer->exitCode == 0) {
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
    return {answer->exitCode, std::nullopt};
}

} // namespace CommandLine
