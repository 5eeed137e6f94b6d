// What the fault tests kill: the application's model with its default wiring on the sandbox home
// of its environment, doing at each stage what the user does, until the agent is online. Every
// start resumes where the last one was killed. Arguments: the bundle, "code" or "enrol", and where
// to write the diagnostics archive once online. The setup code comes on standard input, so that no
// argument list or environment holds it. Exit status: 0 online, 2 an error was shown, 3 stuck, 4 no
// archive.
#include "app/Diagnostics.h"
#include "platform/Bundle.h"
#include "support/AwaitTask.h"
#include "support/Sandbox.h"

#include <QCoro/QCoroTimer>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>

using namespace std::chrono_literals;
using Stage = AppModel::InstallStage;

namespace {

// One line of the transcript the test shows: what happened, and at which stage.
void say(const AppModel &model, const QString &what)
{
    const std::optional<Stage> stage = model.installStage();
    std::printf("%s at %s\n", qPrintable(what), stage ? qPrintable(rawValue(*stage)) : "-");
    std::fflush(stdout);
}

QCoro::Task<int> drive(AppModel *model, QString code, bool enrol)
{
    QUrl pressed;
    for (int tick = 0; tick < 1500; ++tick) {
        co_await QCoro::sleepFor(100ms);
        if (const auto &error = model->lastError()) {
            say(*model, QStringLiteral("error ") + error->code);
            co_return 2;
        }
        const std::optional<Stage> stage = model->installStage();
        if (!stage && model->overallState() == AppModel::OverallState::online)
            co_return 0;
        const bool permissionDue = !model->permissionOperationInFlight() && model->currentPermissionOnboardingKind();
        if (stage == Stage::permissions && permissionDue) {
            if (model->permissionPromptKind())
                co_await model->confirmPermissionOnboarding();
            else
                co_await model->continuePermissionOnboarding();
        } else if (stage == Stage::setup && !model->isSubmittingSetup()) {
            if (enrol) {
                model->beginEnrollmentSetup();
                model->setSetupAgentName(QStringLiteral("faults-agent"));
                model->setEnrollmentWorkspace(AppModel::EnrollmentWorkspace::google);
            } else {
                model->setSetupCodeInput(code);
            }
            co_await model->submitActiveSetup();
        } else if (stage == Stage::channel && model->ownerSetupPending() && !model->ownerSetupRequestInFlight()) {
            // The binding sheet's "重新生成", then the owner presses the page's button.
            if (!model->ownerSetupURL()) {
                co_await model->refreshOwnerSetup(true);
            } else if (*model->ownerSetupURL() != pressed) {
                pressed = *model->ownerSetupURL();
                QProcess::startDetached(QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/simctl"),
                                        {QStringLiteral("--home"), QDir::homePath(), QStringLiteral("click-binding")});
            }
        }
    }
    co_return 3;
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (argc != 4)
        return 64;
    Bundle::setResourceDirectory(QString::fromLocal8Bit(argv[1]));
    const QString code = QTextStream(stdin).readLine();
    QuorvantisTest::Application launched;
    AppModel &model = launched.relaunch();
    say(model, QStringLiteral("launched"));
    int status = QuorvantisTest::await(drive(&model, code, qstrcmp(argv[2], "enrol") == 0), 200000);
    if (status == 0 && !Diagnostics::write(Diagnostics::gather(model), QString::fromLocal8Bit(argv[3])))
        status = 4;
    say(model, QStringLiteral("finished with %1").arg(status));
    // A quit: requests under way end on the next turns of the event loop, and the model's loops
    // see it gone.
    launched.quit(true);
    return status;
}
