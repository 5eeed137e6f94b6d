// quorvantis-gallery OUTDIR: renders the setup screen, the sheets and the tray panel offscreen
// in representative states, one PNG per state, for reviewing the look without a desktop.
// Every model here runs on scripted effects: nothing real is started.

#include "DashboardGallery.h"
#include "app/AppModel.h"
#include "support/ModelFixture.h"
#include "ui/AuthorizationCard.h"
#include "ui/MenuBarContent.h"
#include "ui/PermissionPromptSheet.h"
#include "ui/RootContentView.h"
#include "ui/SetupView.h"
#include "ui/Views.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QScrollArea>

#include <cstdio>
#include <functional>

namespace {

using Stage = AppModel::InstallStage;
using Phase = AppModel::SetupPhase;
using State = AppModel::ProgressState;

QString outputDirectory;
int written = 0;

void settle()
{
    for (int i = 0; i < 4; ++i)
        QCoreApplication::processEvents();
}

void save(QWidget *widget, const QString &name)
{
    const QString path = QDir(outputDirectory).filePath(name + QStringLiteral(".png"));
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return;
    }
    ++written;
}

void phases(AppModel &model, std::initializer_list<std::pair<Phase, State>> states)
{
    model.setupProgress.mutate([&](QList<AppModel::SetupProgressItem> &items) {
        for (auto &item : items)
            item.state = State::pending;
        for (const auto &[phase, state] : states) {
            for (auto &item : items) {
                if (item.phase == phase)
                    item.state = state;
            }
        }
    });
}

void completeUpTo(AppModel &model, Phase last, State lastState)
{
    model.setupProgress.mutate([&](QList<AppModel::SetupProgressItem> &items) {
        for (auto &item : items)
            item.state = item.phase < last ? State::complete : item.phase == last ? lastState : State::pending;
    });
}

void verified(AppModel &model, int count)
{
    model.permissions.mutate([&](QList<AppModel::PermissionItem> &items) {
        for (int i = 0; i < items.size(); ++i) {
            items[i].verified = i < count;
            items[i].nativeState = i < count ? AppModel::PermissionNativeState::granted : AppModel::PermissionNativeState::unknown;
        }
    });
}

// One window shot: the root at its default width, tall enough to show the whole setup screen.
void shootWindow(const QString &name, const std::function<void(AppModel &)> &configure,
                 const std::function<void(RootContentView &)> &after = {})
{
    ModelFixture fixture;
    fixture.effects.enrollmentKeyProvider = [] { return std::optional<QString>(QStringLiteral("gallery-key")); };
    AppModel &model = fixture.make();
    configure(model);
    RootContentView root(&model);
    root.show();
    settle();
    if (after)
        after(root);
    settle();
    const int content = root.setupView()->scrollArea()->widget()->sizeHint().height();
    root.resize(RootContentView::defaultSize.width(), qMax(RootContentView::defaultSize.height(), content));
    settle();
    save(&root, name);
    if (root.permissionPrompt()->isVisible()) {
        root.permissionPrompt()->adjustSize();
        settle();
        save(root.permissionPrompt(), name + QStringLiteral("-prompt"));
    }
    if (root.channelBindingSheet()->isVisible()) {
        root.channelBindingSheet()->adjustSize();
        settle();
        save(root.channelBindingSheet(), name + QStringLiteral("-sheet"));
    }
}

void permissionStates()
{
    struct Step
    {
        const char *name;
        PermissionKind kind;
        int verifiedBefore;
        AccessibilityStep step;
    };
    const Step steps[] = {
        {"screen-recording", PermissionKind::screenRecording, 0, AccessibilityStep::node},
        {"accessibility-node", PermissionKind::accessibility, 1, AccessibilityStep::node},
        {"accessibility-cliclick", PermissionKind::accessibility, 1, AccessibilityStep::cliclick},
        {"full-disk-access", PermissionKind::fullDiskAccess, 2, AccessibilityStep::node},
    };
    for (const Step &step : steps) {
        for (const bool settingsForm : {false, true}) {
            const QString name = QStringLiteral("permissions-%1-%2")
                                     .arg(QString::fromLatin1(step.name), settingsForm ? u"settings" : u"verify");
            shootWindow(name, [&](AppModel &model) {
                model.installStage = Stage::permissions;
                completeUpTo(model, Phase::permissions, State::running);
                model.overallState = AppModel::OverallState::starting;
                verified(model, step.verifiedBefore);
                model.accessibilityStep = step.step;
                model.permissionSettingsPrompt = settingsForm;
                if (settingsForm) {
                    model.permissionAwaitingReturn = step.kind;
                    model.accessibilityProbeOutcome = AccessibilityProbeOutcome::denied;
                }
                model.permissionPromptKind = step.kind;
            });
        }
    }
    {
        // The window as it opens at its default size: the top of the screen in view.
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.installStage = Stage::permissions;
        completeUpTo(model, Phase::permissions, State::running);
        model.overallState = AppModel::OverallState::starting;
        RootContentView root(&model);
        root.show();
        settle();
        save(&root, QStringLiteral("permissions-default-size"));
    }
    shootWindow(QStringLiteral("permissions-verifying"), [](AppModel &model) {
        model.installStage = Stage::permissions;
        completeUpTo(model, Phase::permissions, State::running);
        model.overallState = AppModel::OverallState::starting;
        verified(model, 0);
        model.permissionOperationInFlight = true;
    });
    shootWindow(QStringLiteral("permissions-accessibility-mismatch"), [](AppModel &model) {
        model.installStage = Stage::permissions;
        completeUpTo(model, Phase::permissions, State::running);
        verified(model, 1);
        model.permissionAwaitingReturn = PermissionKind::accessibility;
        model.accessibilityProbeOutcome = AccessibilityProbeOutcome::mismatch;
    });
}

void setupStates()
{
    auto setupStage = [](AppModel &model) {
        model.installStage = Stage::setup;
        model.overallState = AppModel::OverallState::waitingSetup;
        model.pendingSetupResume = false;
        completeUpTo(model, Phase::redeem, State::pending);
    };
    shootWindow(QStringLiteral("setup-paste-empty"), setupStage);
    shootWindow(QStringLiteral("setup-paste-qvs2"), [&](AppModel &model) {
        setupStage(model);
        model.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
    });
    shootWindow(QStringLiteral("setup-paste-qvi1"), [&](AppModel &model) {
        setupStage(model);
        model.setSetupCodeInput(QStringLiteral("QVI1-7K2M-9PQR-X4TV"));
    });
    shootWindow(QStringLiteral("setup-paste-invalid"), [&](AppModel &model) {
        setupStage(model);
        model.setupCode = QStringLiteral("ABCD-1234");
    });
    shootWindow(QStringLiteral("setup-enroll-empty"), [&](AppModel &model) {
        setupStage(model);
        model.setupEntryMode = AppModel::SetupEntryMode::enroll;
    });
    shootWindow(QStringLiteral("setup-enroll-valid-zoho"), [&](AppModel &model) {
        setupStage(model);
        model.setupEntryMode = AppModel::SetupEntryMode::enroll;
        model.setupAgentName = QStringLiteral("client-agent");
        model.enrollmentWorkspace = AppModel::EnrollmentWorkspace::zoho;
    });
    {
        // The picker open, its selected row included.
        ModelFixture fixture;
        fixture.effects.enrollmentKeyProvider = [] { return std::optional<QString>(QStringLiteral("gallery-key")); };
        AppModel &model = fixture.make();
        setupStage(model);
        model.setupEntryMode = AppModel::SetupEntryMode::enroll;
        model.enrollmentWorkspace = AppModel::EnrollmentWorkspace::zoho;
        RootContentView root(&model);
        root.show();
        settle();
        QComboBox *picker = root.setupView()->workspacePicker();
        picker->showPopup();
        settle();
        save(picker->view()->window(), QStringLiteral("setup-enroll-picker-open"));
        picker->hidePopup();
    }
    shootWindow(QStringLiteral("setup-enroll-invalid-name"), [&](AppModel &model) {
        setupStage(model);
        model.setupEntryMode = AppModel::SetupEntryMode::enroll;
        model.setupAgentName = QStringLiteral("Bad Name!");
    });
    shootWindow(QStringLiteral("setup-submitting"), [&](AppModel &model) {
        setupStage(model);
        model.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        model.isSubmittingSetup = true;
        completeUpTo(model, Phase::redeem, State::running);
        model.setupProgressDetail = QStringLiteral("正在验证安装码");
    });
    shootWindow(QStringLiteral("setup-retrying"), [&](AppModel &model) {
        setupStage(model);
        model.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        model.isSubmittingSetup = true;
        completeUpTo(model, Phase::redeem, State::running);
        model.setupProgressDetail = QStringLiteral("安装服务暂时繁忙，正在重试（2/4）");
    });
    const JITWorkspaceAuthorization authorization{QStringLiteral("google"), QStringLiteral("client-agent@example-workspace.com"),
                                                  QStringLiteral("pA55-w0rd-Xq9!"),
                                                  QUrl(QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"))};
    auto authorizing = [&](AppModel &model) {
        setupStage(model);
        model.setupEntryMode = AppModel::SetupEntryMode::enroll;
        model.setupAgentName = QStringLiteral("client-agent");
        model.enrollmentWorkspace = AppModel::EnrollmentWorkspace::google;
        model.isSubmittingSetup = true;
        completeUpTo(model, Phase::redeem, State::running);
        model.setupAuthorization = authorization;
    };
    shootWindow(QStringLiteral("authorization-hidden"), authorizing);
    shootWindow(QStringLiteral("authorization-revealed"), authorizing, [](RootContentView &root) {
        root.setupView()->findChild<AuthorizationCard *>()->setRevealsSetupPassword(true);
    });
    shootWindow(QStringLiteral("authorization-opening"), [&](AppModel &model) {
        authorizing(model);
        model.isOpeningSetupAuthorization = true;
    });
    shootWindow(QStringLiteral("authorization-open-failed"), [&](AppModel &model) {
        authorizing(model);
        model.setupAuthorizationOpenFailed = true;
    });
}

void runtimeStates()
{
    shootWindow(QStringLiteral("runtime-fresh"), [](AppModel &model) {
        model.installStage = Stage::runtime;
        model.overallState = AppModel::OverallState::starting;
        model.isPreparingEnvironment = true;
        phases(model, {{Phase::runtime, State::running}});
    });
    shootWindow(QStringLiteral("runtime-package-counting"), [](AppModel &model) {
        model.installStage = Stage::runtime;
        model.overallState = AppModel::OverallState::starting;
        model.isPreparingEnvironment = true;
        phases(model, {{Phase::runtime, State::running}});
        model.setupProgressDetail = QStringLiteral("安装 Quorvantis");
        model.packageInstallProgress = AppModel::PackageInstallProgress{0, 0};
    });
    shootWindow(QStringLiteral("runtime-package-progress"), [](AppModel &model) {
        model.installStage = Stage::runtime;
        model.overallState = AppModel::OverallState::starting;
        model.isPreparingEnvironment = true;
        phases(model, {{Phase::runtime, State::running}});
        model.setupProgressDetail = QStringLiteral("安装 Quorvantis");
        model.packageInstallProgress = AppModel::PackageInstallProgress{137, 412};
    });
    shootWindow(QStringLiteral("channel-waiting"), [](AppModel &model) {
        model.installStage = Stage::channel;
        model.overallState = AppModel::OverallState::starting;
        model.configurationReady = true;
        completeUpTo(model, Phase::channel, State::running);
        model.isChannelBindingSheetPresented = true;
    });
}

void errorStates()
{
    struct Failure
    {
        const char *name;
        const char *code;
        const char *message;
        Phase phase;
        Stage stage;
    };
    const Failure failures[] = {
        {"code-unavailable", "SETUP_CODE_UNAVAILABLE", nullptr, Phase::redeem, Stage::setup},
        {"name-taken", "SETUP_AGENT_NAME_TAKEN", nullptr, Phase::redeem, Stage::setup},
        {"bootstrap", "SETUP_EXIT_1", "bootstrap_failed", Phase::redeem, Stage::setup},
        {"runtime", "RUNTIME_PREPARE_EXIT_1", nullptr, Phase::runtime, Stage::runtime},
        {"daemon-timeout", "AGENT_START_TIMEOUT", nullptr, Phase::starting, Stage::daemon},
        {"restart", "AGENT_RESTART_FAILED", nullptr, Phase::permissions, Stage::permissions},
        {"component-missing", "INSTALL_COMPONENT_MISSING", "安装组件不完整，请重新安装 Quorvantis", Phase::redeem, Stage::setup},
    };
    for (const Failure &failure : failures) {
        shootWindow(QStringLiteral("error-") + QString::fromLatin1(failure.name), [&](AppModel &model) {
            model.installStage = failure.stage;
            model.overallState = AppModel::OverallState::error;
            completeUpTo(model, failure.phase, State::failed);
            if (failure.stage == Stage::permissions)
                verified(model, 1);
            model.lastError = AppModel::DisplayError::from(
                QString::fromLatin1(failure.code),
                failure.message ? std::optional<QString>(QString::fromUtf8(failure.message)) : std::nullopt);
        });
    }
}

void panelStates()
{
    using O = AppModel::OverallState;
    const std::pair<const char *, O> states[] = {{"not-installed", O::notInstalled}, {"starting", O::starting},
                                                 {"waiting-setup", O::waitingSetup}, {"online", O::online},
                                                 {"error", O::error}};
    for (const auto &[name, state] : states) {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.overallState = state;
        model.configurationReady = state == O::online || state == O::error;
        if (state == O::online)
            verified(model, 3);
        MenuBarContent panel(&model, {});
        panel.show();
        settle();
        panel.adjustSize();
        settle();
        save(&panel, QStringLiteral("panel-") + QString::fromLatin1(name));
    }
    ModelFixture fixture;
    AppModel &model = fixture.make();
    model.overallState = O::online;
    model.configurationReady = true;
    model.isUpdatingAgent = true;
    MenuBarContent panel(&model, {});
    panel.show();
    settle();
    panel.adjustSize();
    settle();
    save(&panel, QStringLiteral("panel-updating"));
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: quorvantis-gallery OUTDIR\n");
        return 2;
    }
    outputDirectory = arguments.at(1);
    if (!QDir().mkpath(outputDirectory)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(outputDirectory));
        return 1;
    }
    // Still pictures: no page animation, no spinning.
    Motion::setReducedMotionOverride(true);

    runtimeStates();
    permissionStates();
    setupStates();
    errorStates();
    panelStates();
    written += int(DashboardGallery::writeAll(outputDirectory).size());
    std::printf("%d images in %s\n", written, qPrintable(outputDirectory));
    return written > 0 ? 0 : 1;
}
