// What the fault tests kill: the application's model with its default wiring on the sandbox home
// of its environment, doing at each stage what the user does, until the agent is online. Every
// start resumes where the last one was killed. Arguments: the bundle and where to write the
// diagnostics archive once online. The setup code comes on standard input (an empty line: enrol),
// so that no argument list or environment holds it. Exit status: 0 online, 2 an error was shown,
// 3 stuck, 4 no archive.
#include "app/Diagnostics.h"
#include "platform/Bundle.h"
#include "support/AwaitTask.h"
#include "support/Sandbox.h"

#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>

using Stage = AppModel::InstallStage;

namespace {

// One line of the transcript the test shows: what happened, and at which stage.
void say(const AppModel &model, const QString &what)
{
    const std::optional<Stage> stage = model.installStage();
    std::printf("%s at %s\n", qPrintable(what), stage ? qPrintable(rawValue(*stage)) : "-");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication application(argc, argv);
    if (argc != 3)
        return 64;
    Bundle::setResourceDirectory(QString::fromLocal8Bit(argv[1]));
    const QString code = QTextStream(stdin).readLine();
    QuorvantisTest::Application launched;
    AppModel &model = launched.relaunch();
    int status = QuorvantisTest::await(QuorvantisTest::installUntilOnline(&model, code), 200000);
    if (status == 2)
        say(model, QStringLiteral("error ") + model.lastError()->code);
    if (status == 0 && !Diagnostics::write(Diagnostics::gather(model), QString::fromLocal8Bit(argv[2])))
        status = 4;
    say(model, QStringLiteral("finished with %1").arg(status));
    // A quit: requests under way end on the next turns of the event loop, and the model's loops
    // see it gone.
    launched.quit(true);
    return status;
}
