// quorvantis-gallery OUTDIR: renders the setup screen, the sheets and the tray panel offscreen
// in representative states, one PNG per state and language (OUTDIR/zh_CN, OUTDIR/en), for
// reviewing the look without a desktop.
// Every model here is put into its state through its own operations on scripted effects (the
// test scenes of tests/ui/Scene.h): nothing real is started.

#include "DashboardGallery.h"
#include "app/InterfaceLanguage.h"
#include "ui/Scene.h"
#include "ui/AuthorizationCard.h"
#include "ui/MenuBarContent.h"
#include "ui/PermissionPromptSheet.h"
#include "ui/RootContentView.h"
#include "ui/SetupView.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QScrollArea>
#include <QTranslator>

#include <cstdio>
#include <functional>

namespace {

QString outputDirectory;
int written = 0;

void save(QWidget *widget, const QString &name)
{
    const QString path = QDir(outputDirectory).filePath(name + QStringLiteral(".png"));
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return;
    }
    ++written;
}

QString progressLine(const QString &detail)
{
    return QStringLiteral(R"({"type":"progress","phase":"runtime","status":"running","detail":"%1"})").arg(detail);
}

QString packageLine(int completed, int total)
{
    return QStringLiteral(R"({"type":"packageProgress","completed":%1,"total":%2})").arg(completed).arg(total);
}

const JITWorkspaceAuthorization galleryAccount{QStringLiteral("google"), QStringLiteral("client-agent@example-workspace.com"),
                                               QStringLiteral("pA55-w0rd-Xq9!"), QUrl(QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"))};

// One window shot: the scene reached, then `steps` on its model, then the root at its default
// width, tall enough to show the whole setup screen; and the sheet that shows, on its own.
void shootWindow(const QString &name, const QString &scene, const std::function<void(Scene &, AppModel &)> &steps = {},
                 const std::function<void(RootContentView &)> &after = {})
{
    Scene s;
    AppModel &model = s.reach(scene);
    if (steps)
        steps(s, model);
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

// The accessibility probe leaves its detailed answer where the flow reads it.
void probeFails(Scene &s, AppModel &model, const QByteArray &outcome = "denied")
{
    s.probe->answers = {false};
    s.writeProfileFile(QStringLiteral("mac-app-accessibility-probe"), outcome + '\n');
    await(model.confirmPermissionOnboarding(model.permissions().currentPermissionOnboardingKind()));
}

void permissionStates()
{
    struct Step
    {
        const char *name;
        int verifiedBefore;
        bool cliclick;
    };
    const Step steps[] = {{"screen-recording", 0, false}, {"accessibility-node", 1, false}, {"accessibility-cliclick", 1, true}, {"full-disk-access", 2, false}};
    for (const Step &step : steps) {
        for (const bool settingsForm : {false, true}) {
            const QString name = QStringLiteral("permissions-%1-%2").arg(QString::fromLatin1(step.name), settingsForm ? u"settings" : u"verify");
            shootWindow(name, QStringLiteral("permissions %1").arg(step.verifiedBefore), [&](Scene &s, AppModel &model) {
                if (step.cliclick) // the real node passed; the prompt stays for cliclick
                    await(model.confirmPermissionOnboarding(PermissionKind::accessibility));
                await(model.continuePermissionOnboarding());
                if (settingsForm)
                    probeFails(s, model);
            });
        }
    }
    {
        // The window as it opens at its default size: the top of the screen in view.
        Scene s;
        RootContentView root(&s.reach(QStringLiteral("permissions 0")));
        root.show();
        settle();
        save(&root, QStringLiteral("permissions-default-size"));
    }
    shootWindow(QStringLiteral("permissions-verifying"), QStringLiteral("permissions 0"), [](Scene &s, AppModel &model) {
        s.probe->gate = s.gate();
        Quorvantis::startDetached(model.confirmPermissionOnboarding(PermissionKind::screenRecording), "gallery check");
    });
    shootWindow(QStringLiteral("permissions-accessibility-mismatch"), QStringLiteral("permissions 1"), [](Scene &s, AppModel &model) {
        probeFails(s, model, "mismatch");
        model.dismissPermissionPrompt();
    });
}

void setupStates()
{
    const auto code = [](const QString &text) { return [text](Scene &, AppModel &model) { model.setSetupCodeInput(text); }; };
    shootWindow(QStringLiteral("setup-paste-empty"), QStringLiteral("setup"));
    shootWindow(QStringLiteral("setup-paste-qvs2"), QStringLiteral("setup"), code(QStringLiteral("QVS2-7K2M-9PQR-X4TV")));
    shootWindow(QStringLiteral("setup-paste-qvi1"), QStringLiteral("setup"), code(QStringLiteral("QVI1-7K2M-9PQR-X4TV")));
    shootWindow(QStringLiteral("setup-paste-invalid"), QStringLiteral("setup"), code(QStringLiteral("ABCD-1234")));
    const auto enroll = [](const QString &name, AppModel::EnrollmentWorkspace workspace) {
        return [name, workspace](Scene &, AppModel &model) {
            model.beginEnrollmentSetup();
            model.setSetupAgentName(name);
            model.setEnrollmentWorkspace(workspace);
        };
    };
    shootWindow(QStringLiteral("setup-enroll-empty"), QStringLiteral("setup"), enroll({}, AppModel::EnrollmentWorkspace::none));
    shootWindow(QStringLiteral("setup-enroll-valid-zoho"), QStringLiteral("setup"), enroll(QStringLiteral("client-agent"), AppModel::EnrollmentWorkspace::zoho));
    shootWindow(QStringLiteral("setup-enroll-invalid-name"), QStringLiteral("setup"), enroll(QStringLiteral("Bad Name!"), AppModel::EnrollmentWorkspace::none));
    {
        // The picker open, its selected row included.
        Scene s;
        AppModel &model = s.reach(QStringLiteral("setup"));
        enroll({}, AppModel::EnrollmentWorkspace::zoho)(s, model);
        RootContentView root(&model);
        root.show();
        settle();
        QComboBox *picker = root.setupView()->workspacePicker();
        picker->showPopup();
        settle();
        save(picker->view()->window(), QStringLiteral("setup-enroll-picker-open"));
        picker->hidePopup();
    }
    shootWindow(QStringLiteral("setup-submitting"), QStringLiteral("submitting"));
    shootWindow(QStringLiteral("setup-retrying"), QStringLiteral("setup"), [](Scene &s, AppModel &model) {
        // The first attempt meets a busy service; the retry waits (on the scene's clock).
        s.setupWithCode->steps = {Step::exit(1, QStringLiteral("bootstrap_failed")), Step::success()};
        model.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        Quorvantis::startDetached(model.submitSetupCode(), "gallery submission");
    });
    // An enrolment into a Google workspace whose account waits for its owner's authorization.
    const auto authorizing = [enroll](Scene &s, AppModel &model) {
        enroll(QStringLiteral("client-agent"), AppModel::EnrollmentWorkspace::google)(s, model);
        Step held = Step::success();
        held.gate = s.gate();
        held.authorization = galleryAccount;
        s.setupEnroll->steps = {held};
        Quorvantis::startDetached(model.submitActiveSetup(), "gallery enrolment");
    };
    shootWindow(QStringLiteral("authorization-hidden"), QStringLiteral("setup"), authorizing);
    shootWindow(QStringLiteral("authorization-revealed"), QStringLiteral("setup"), authorizing,
                [](RootContentView &root) { root.setupView()->authorizationCard()->setRevealsSetupPassword(true); });
    shootWindow(QStringLiteral("authorization-opening"), QStringLiteral("setup"), [authorizing](Scene &s, AppModel &model) {
        authorizing(s, model);
        s.authorizationOpen->gate = s.gate();
        Quorvantis::startDetached(model.openSetupAuthorization(), "gallery open");
    });
    shootWindow(QStringLiteral("authorization-open-failed"), QStringLiteral("setup"), [authorizing](Scene &s, AppModel &model) {
        authorizing(s, model);
        s.authorizationOpen->answers = {false};
        await(model.openSetupAuthorization());
    });
}

void runtimeStates()
{
    const auto printing = [](QStringList lines) {
        return [lines](Scene &s, AppModel &) {
            for (const QString &line : lines)
                s.environmentPrepare->output(line);
        };
    };
    shootWindow(QStringLiteral("runtime-fresh"), QStringLiteral("preparing"));
    shootWindow(QStringLiteral("runtime-package-counting"), QStringLiteral("preparing"), printing({progressLine(QStringLiteral("安装 Quorvantis"))}));
    shootWindow(QStringLiteral("runtime-package-progress"), QStringLiteral("preparing"),
                printing({progressLine(QStringLiteral("安装 Quorvantis")), packageLine(137, 412)}));
    shootWindow(QStringLiteral("channel-waiting"), QStringLiteral("channel"),
                [](Scene &, AppModel &model) { model.setChannelBindingSheetPresented(true); });
}

void errorStates()
{
    struct Failure
    {
        const char *name;
        const char *scene;
        const char *code;
        const char *message;
    };
    const Failure failures[] = {
        {"code-unavailable", "submitting", "SETUP_CODE_UNAVAILABLE", nullptr},
        {"name-taken", "submitting", "SETUP_AGENT_NAME_TAKEN", nullptr},
        {"bootstrap", "submitting", "SETUP_EXIT_1", "bootstrap_failed"},
        {"runtime", "runtime failed", nullptr, nullptr},
        {"daemon-timeout", "daemon", "AGENT_START_TIMEOUT", nullptr},
        {"restart", "permissions 1", "AGENT_RESTART_FAILED", nullptr},
        {"component-missing", "submitting", "INSTALL_COMPONENT_MISSING", "安装组件不完整，请重新安装 Quorvantis"},
    };
    for (const Failure &failure : failures) {
        shootWindow(QStringLiteral("error-") + QString::fromLatin1(failure.name), QString::fromLatin1(failure.scene), [&](Scene &, AppModel &model) {
            if (failure.code)
                model.fail(QString::fromLatin1(failure.code), failure.message ? std::optional(QString::fromUtf8(failure.message)) : std::nullopt);
        });
    }
}

void panelStates()
{
    const std::pair<const char *, const char *> states[] = {{"starting", "runtime"}, {"waiting-setup", "setup"}, {"online", "installed"},
                                                            {"error", "failed"}, {"updating", "updating"}};
    for (const auto &[name, scene] : states) {
        Scene s;
        const QString base = QString::fromLatin1(scene);
        AppModel &model = s.reach(base == u"failed" ? QStringLiteral("setup") : base == u"updating" ? QStringLiteral("offered") : base);
        if (base == u"failed")
            model.fail(QStringLiteral("SOMETHING_ODD"));
        if (base == u"updating") {
            Step held = Step::success();
            held.gate = s.gate();
            s.script->steps = {held};
            Quorvantis::startDetached(model.updateAgent(), "gallery update");
        }
        MenuBarContent panel(&model, {});
        panel.show();
        settle();
        panel.adjustSize();
        settle();
        save(&panel, QStringLiteral("panel-") + QString::fromLatin1(name));
    }
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
    // Still pictures: no page animation, no spinning.
    Motion::setReducedMotionOverride(true);

    for (const QString &language : InterfaceLanguage::available()) {
        outputDirectory = QDir(arguments.at(1)).filePath(language);
        if (!QDir().mkpath(outputDirectory)) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(outputDirectory));
            return 1;
        }
        const std::unique_ptr<QTranslator> translator = InterfaceLanguage::translator(language);
        if (translator)
            QCoreApplication::installTranslator(translator.get());
        runtimeStates();
        permissionStates();
        setupStates();
        errorStates();
        panelStates();
        written += int(DashboardGallery::writeAll(outputDirectory).size());
        if (translator)
            QCoreApplication::removeTranslator(translator.get());
    }
    std::printf("%d images in %s\n", written, qPrintable(arguments.at(1)));
    return written > 0 ? 0 : 1;
}
