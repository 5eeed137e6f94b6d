// What the fault tests kill: the application's model with its default wiring on the sandbox home
// of its environment, doing at each stage what the user does, until the agent is online. Every
// start resumes where the last one was killed. Arguments: the bundle and where to write the
// diagnostics archive once online. The setup code comes on standard input (an empty line: enrol),
// so that no argument list or environment holds it. Exit status: 0 online, 2 an error was shown,
// 3 stuck, 4 no archive; an error's code goes to standard error.
#include "app/Diagnostics.h"
#include "platform/Bundle.h"
#include "support/AwaitTask.h"
#include "support/Sandbox.h"

#include <QGuiApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QGuiApplication application(argc, argv);
    Bundle::setResourceDirectory(QString::fromLocal8Bit(argv[1]));
    const QString code = QTextStream(stdin).readLine();
    QuorvantisTest::Application launched;
    AppModel &model = launched.relaunch();
    int status = QuorvantisTest::await(QuorvantisTest::installUntilOnline(&model, code), 200000);
    // The user presses "重试" once (a daemon installation a killed run left going can collide with
    // this one's); a second error, or one without a retry, ends the run.
    if (status == 2 && model.attention().lastError()->recovery.kind == AppModel::RecoveryAction::Kind::retryInstall) {
        qWarning("error %s, retried", qPrintable(model.attention().lastError()->code));
        QuorvantisTest::await(model.perform(model.attention().lastError()->recovery), 200000);
        status = QuorvantisTest::await(QuorvantisTest::installUntilOnline(&model, code), 200000);
    }
    if (status == 2)
        qWarning("error %s", qPrintable(model.attention().lastError()->code));
    if (status == 0 && !Diagnostics::write(Diagnostics::gather(model), QString::fromLocal8Bit(argv[2])))
        status = 4;
    // A quit: requests under way end on the next turns of the event loop, and the model's loops
    // see it gone.
    launched.quit(true);
    return status;
}
