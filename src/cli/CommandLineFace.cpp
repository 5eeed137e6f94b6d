// The command line's entry for a subcommand, in a process with no window system: the running
// instance answers when there is one; otherwise the read-only commands read the profile and the
// actions run on a model of their own, which holds the instance's place while they run.
#include "cli/CommandService.h"

#include "app/AppModel.h"
#include "app/Diagnostics.h"
#include "app/InterfaceLanguage.h"
#include "cli/Doctor.h"
#include "cli/StatusReport.h"
#include "core/Tasks.h"
#include "platform/Bundle.h"
#include "platform/SingleInstance.h"
#include "status/AgentStatusClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>

namespace CommandLineFace {

namespace {

using namespace std::chrono_literals;
using CommandLine::Answer;
using CommandLine::Request;
using CommandLine::Subcommand;

bool isAction(Subcommand command)
{
    return command == Subcommand::restart || command == Subcommand::recheck || command == Subcommand::update
        || command == Subcommand::exportDiagnostics;
}

QCoro::Task<std::optional<AgentRuntimeStatus>> sample(QString profileDirectory)
{
    AgentStatusClient client(profileDirectory);
    std::optional<AgentRuntimeStatus> document;
    try {
        document = co_await client.fetch();
    } catch (...) {
        // The agent did not answer: the report says so.
    }
    co_return document;
}

// A model of this process's own, without a window and without the launch's work: the actions
// run on the same controllers as in the window. While they run, it is the instance, so that a
// second command is refused by the same rule and no window starts a second model beside it.
QCoro::Task<Answer> runHeadless(Request request)
{
    SingleInstance instance;
    instance.setShowsWindow(false);
    if (!instance.claim(false))
        co_return Answer{1, {}, QCoreApplication::translate("CommandLineFace", "Quorvantis 刚刚启动；请再运行一次这个命令。\n")};
    AppModel::Options options;
    options.bootstrapRetryDelays = {2s, 4s, 8s};
    options.autoResume = false;
    AppModel model(std::move(options));
    CommandService service(model);
    instance.setRequestHandler(
        [&service](const QByteArray &line, std::function<void(QByteArray)> reply) { service.handle(line, std::move(reply)); });
    co_return co_await service.run(std::move(request));
}

QCoro::Task<Answer> runWithoutInstance(Request request)
{
    const QString profile = AgentStatusClient::defaultProfileDirectory();
    switch (request.command) {
    case Subcommand::status: {
        const auto document = co_await sample(profile);
        const QString version = Bundle::infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QStringLiteral("--"));
        const StatusReport report = StatusReport::fromProfile(profile, document, version);
        co_return CommandService::statusAnswer(report, request.json, QDateTime::currentDateTimeUtc());
    }
    case Subcommand::doctor: {
        Doctor::Inputs inputs{.home = QDir::homePath(), .profileDirectory = profile, .permissions = std::nullopt};
        const QList<Doctor::Check> checks = co_await Doctor::run(std::move(inputs));
        co_return Doctor::answer(checks);
    }
    case Subcommand::show:
        co_return Answer{1, {}, QCoreApplication::translate("CommandLineFace", "Quorvantis 没有在运行；运行 quorvantis-companion 打开窗口。\n")};
    case Subcommand::quit:
        co_return Answer{0, {}, QCoreApplication::translate("CommandLineFace", "Quorvantis 没有在运行。\n")};
    case Subcommand::language:
        co_return CommandService::languageAnswer(profile, request.language);
    case Subcommand::restart:
    case Subcommand::recheck:
    case Subcommand::update:
    case Subcommand::exportDiagnostics:
        break;
    }
    co_return co_await runHeadless(std::move(request));
}

QCoro::Task<Answer> answerFor(Request request)
{
    // The choice of language is a file in the profile, read at start: no instance takes part.
    if (request.command == Subcommand::language)
        co_return co_await runWithoutInstance(std::move(request));
    Answer answer;
    const auto exchange = SingleInstance::ask(SingleInstance::defaultName(), CommandService::encode(request),
                                              isAction(request.command) ? -1 : 60000);
    using Outcome = SingleInstance::Exchange::Outcome;
    switch (exchange.outcome) {
    case Outcome::answered:
        answer = CommandService::decodeAnswer(exchange.answer)
                     .value_or(Answer{1, {}, QCoreApplication::translate("CommandLineFace", "正在运行的 Quorvantis 给出了无法读取的回答。\n")});
        break;
    case Outcome::refused:
    case Outcome::failed:
        answer = Answer{1, {}, exchange.reason + u'\n'};
        break;
    case Outcome::noInstance:
        answer = co_await runWithoutInstance(std::move(request));
        break;
    }
    co_return answer;
}

QCoro::Task<void> runAndExit(Request request)
{
    const Answer answer = co_await answerFor(std::move(request));
    QTextStream(stdout) << answer.out;
    QTextStream(stderr) << answer.err;
    QCoreApplication::exit(answer.exitCode);
}

} // namespace

int run(int argc, char **argv, Request request)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quorvantis"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("quorvantis.dev"));
    InterfaceLanguage::install(application);
    if (request.resources)
        Bundle::setResourceDirectory(*request.resources);
    // The instance writes where the user meant, whatever its own working directory.
    if (request.command == Subcommand::exportDiagnostics) {
        request.path = request.path ? QFileInfo(*request.path).absoluteFilePath()
                                    : QDir::current().filePath(Diagnostics::suggestedFileName(QDateTime::currentDateTimeUtc()));
    }
    // Inside the event loop, so that an answer at once still ends it.
    QTimer::singleShot(0, &application, [request] { Quorvantis::startDetached(runAndExit(request), "command line"); });
    return application.exec();
}

} // namespace CommandLineFace
