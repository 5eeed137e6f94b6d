// Brings a sandbox home to the state a benchmark measures, the way a user gets there: the
// runtime prepared, the three permissions granted and verified, and (unless asked to stop at the
// setup screen) a setup code submitted and the channel bound, so the window opens on the
// dashboard. Runs the application's model without a window, in the environment the sandbox
// gives the application (bench/measure applies it and grants the permissions first).
//
//   sandbox_install SIMCTL HOME BUNDLE setup|dashboard

#include "app/AppModel.h"
#include "core/Tasks.h"
#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QProcess>

#include <cstdio>
#include <functional>

namespace {

const AppModel *theModel = nullptr;

bool waitFor(const std::function<bool()> &condition, int timeoutMs, const char *what)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            std::fprintf(stderr, "sandbox_install: timed out waiting for %s\n", what);
            if (theModel)
                std::fprintf(stderr, "  stage %d, binding pending %d, binding error %s\n",
                             theModel->journey().installStage() ? int(*theModel->journey().installStage()) : -1,
                             int(theModel->channel().ownerSetupPending()),
                             qPrintable(theModel->channel().ownerSetupError().value_or(QString())));
            if (theModel && theModel->attention().lastError())
                std::fprintf(stderr, "  last error: %s %s\n", qPrintable(theModel->attention().lastError()->code),
                             qPrintable(theModel->attention().lastError()->message));
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

bool run(QCoro::Task<void> task, const char *what)
{
    auto done = std::make_shared<bool>(false);
    Quorvantis::startDetached(
        [](QCoro::Task<void> inner, std::shared_ptr<bool> flag) -> QCoro::Task<void> {
            co_await std::move(inner);
            *flag = true;
        }(std::move(task), done),
        what);
    return waitFor([done] { return *done; }, 60000, what);
}

QCoro::Task<std::optional<OwnerSetupLink>> noLink()
{
    co_return std::nullopt;
}

bool simctl(const QString &program, const QString &home, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, QStringList{QStringLiteral("--home"), home} + arguments);
    return process.waitForFinished(30000) && process.exitCode() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication application(argc, argv);
    if (argc != 5)
        return 2;
    const QString simctlPath = QString::fromLocal8Bit(argv[1]);
    const QString home = QString::fromLocal8Bit(argv[2]);
    Bundle::setResourceDirectory(QString::fromLocal8Bit(argv[3]));
    const bool toDashboard = QByteArray(argv[4]) == "dashboard";
    using Stage = InstallStage;

    AppModel model(AppModel::Options{
        // The captured binding link would go to the keychain; the dashboard does not need it.
        .ownerSetupLinkLoad = [] { return noLink(); },
        .ownerSetupLinkSave = [](std::optional<QUrl>, std::optional<QDateTime>) {},
        .bootstrapRetryDelays = {std::chrono::milliseconds(200)},
        .autoResume = true,
    });

    theModel = &model;
    if (!model.journey().installStage() && model.journey().configurationReady())
        return 0; // installed already
    if (!waitFor([&] { return model.journey().installStage() != Stage::runtime && !model.setup().isPreparingEnvironment(); }, 180000,
                 "the runtime"))
        return 1;
    for (int step = 0; step < 8 && model.journey().installStage() == Stage::permissions; ++step) {
        if (!model.permissions().currentPermissionOnboardingKind())
            break;
        const PermissionKind kind = *model.permissions().currentPermissionOnboardingKind();
        if (!run(model.continuePermissionOnboarding(), "permission onboarding")
            || !run(model.confirmPermissionOnboarding(), "permission check"))
            return 1;
        if (model.permissions().permissionPromptKind() == kind && !run(model.confirmPermissionOnboarding(), "second client"))
            return 1;
        if (!waitFor([&] { return model.permissions().permissions()[int(kind)].verified && !model.permissions().permissionOperationInFlight(); },
                     30000, "a verified permission"))
            return 1;
    }
    if (!waitFor([&] { return model.journey().installStage() != Stage::permissions; }, 30000, "the setup stage"))
        return 1;
    if (!toDashboard)
        return model.journey().installStage() == Stage::setup ? 0 : 1;

    if (model.journey().installStage() == Stage::setup) {
        model.setSetupCodeInput(QStringLiteral("QVS2-7K3M-9PQR-T2VW"));
        Quorvantis::startDetached(model.submitSetupCode(), "setup code submission");
    }
    if (!waitFor([&] { return model.journey().installStage() != Stage::setup && !model.setup().isSubmittingSetup(); }, 180000,
                 "the setup run"))
        return 1;
    if (model.journey().installStage() == Stage::channel) {
        // The owner presses the bind button of the page the agent opened (a binding completed
        // by an earlier attempt needs nothing more).
        simctl(simctlPath, home, {QStringLiteral("click-binding")});
        if (!waitFor([&] { return model.channel().ownerSetupSawPendingBinding() || model.journey().installStage() != Stage::channel; },
                     30000, "the pending binding"))
            return 1;
        if (model.journey().installStage() == Stage::channel && !simctl(simctlPath, home, {QStringLiteral("complete-binding")}))
            return 1;
    }
    if (!waitFor([&] { return !model.journey().installStage() && model.journey().overallState() == AppModel::OverallState::online; }, 120000,
                 "the agent online"))
        return 1;
    return 0;
}
