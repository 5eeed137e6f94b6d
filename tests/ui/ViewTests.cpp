// The window (setup screen, dashboard, banner, sheets) and the tray panel offscreen, on models
// put into each state through their own operations, in each language, and the application entry.
#include "Scene.h"

#include "platform/PlatformWords.h"
#include "process/InstallLog.h"
#include "support/Test.h"
#include "ui/AgentUpdateBanner.h"
#include "ui/AuthorizationCard.h"
#include "ui/ChannelBindingSessionSheet.h"
#include "ui/DashboardView.h"
#include "ui/InterfaceLanguage.h"
#include "ui/MenuBarContent.h"
#include "ui/PermissionPromptSheet.h"
#include "ui/QuorvantisApp.h"
#include "ui/RootContentView.h"
#include "ui/SetupView.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScreen>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <QTranslator>

using namespace std::chrono_literals;

namespace {

// A button's text, and whether it is off.
QString on(const QAbstractButton *button)
{
    return button->text() + (button->isEnabled() ? QString() : QStringLiteral(" (off)"));
}

// " name" while the widget is shown.
QString shown(const char *name, const QWidget *widget)
{
    return widget->isHidden() ? QString() : u' ' + QLatin1String(name);
}

// The texts of `top` that do not fit where its layout put them: a wrapped label shorter than
// its text, a one-line label or a button narrower than its text, a widget reaching past the
// window's edge. With `untranslated`, also every text still in Chinese.
QStringList misfits(QWidget *top, bool untranslated)
{
    static const QRegularExpression han(QStringLiteral("\\p{Han}"));
    QStringList found;
    const auto report = [&found](const QWidget *widget, const QString &what, const QString &text) {
        found << QStringLiteral("%1 %2: %3").arg(QString::fromLatin1(widget->metaObject()->className()), what, text.left(40));
    };
    for (QWidget *widget : top->findChildren<QWidget *>()) {
        if (!widget->isVisibleTo(top))
            continue;
        if (widget->mapTo(top, QPoint(widget->width(), 0)).x() > top->width())
            report(widget, QStringLiteral("past the edge"), widget->objectName());
        QString text;
        bool fits = true;
        // Subclasses of QLabel (an elided line) shorten their text on purpose.
        if (auto *label = qobject_cast<QLabel *>(widget); label && label->metaObject() == &QLabel::staticMetaObject) {
            text = label->text();
            fits = label->wordWrap() ? label->height() >= label->heightForWidth(label->width())
                                     : label->width() >= label->sizeHint().width();
        } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            text = button->text();
            fits = button->width() >= button->sizeHint().width();
        }
        if (!text.isEmpty() && !fits)
            report(widget, QStringLiteral("clipped"), text);
        if (untranslated && text.contains(han))
            report(widget, QStringLiteral("untranslated"), text);
    }
    return found;
}

// What a user sees of one model: the window, shown and active, and the tray panel.
struct Window
{
    Scene s;
    AppModel &m;
    RootContentView root{&m};
    MenuBarContent panel{&m, {}};

    // A scene (see Scene::reach), then the steps of a user or of the outside world (see act).
    explicit Window(const QString &steps) : m(s.reach(steps.section(QStringLiteral("; "), 0, 0)))
    {
        root.show();
        panel.show();
        QApplication::setActiveWindow(&root);
        settle();
        for (const QString &step : steps.split(QStringLiteral("; ")).mid(1))
            act(step);
    }
    SetupView *setup() { return root.setupView(); }
    DashboardView *dashboard() { return static_cast<DashboardView *>(root.dashboardView()); }
    SystemStatusPane *pane() { return dashboard()->statusPane(); }
    // As it shows when it is presented (a hidden view renders when it is shown).
    ChannelBindingSessionSheet *sheet()
    {
        auto *sheet = root.channelBindingSheet()->findChild<ChannelBindingSessionSheet *>();
        sheet->render();
        return sheet;
    }
    AgentUpdateBanner *banner() { return static_cast<AgentUpdateBanner *>(root.updateBanner()); }
    // The dashboard's permission row of "screen", "access" or "disk".
    PermissionRow *row(const QString &kind)
    {
        return pane()->permissionRows().at(kind == u"screen" ? 0 : kind == u"access" ? 1 : 2);
    }

    QAbstractButton *button(const QString &name)
    {
        const AuthorizationCard *card = setup()->authorizationCard();
        const ChannelBindingSessionSheet *sheet = this->sheet();
        const QHash<QString, QAbstractButton *> buttons{
            {"primary", setup()->primaryButton()},
            {"enroll", setup()->enrollmentLink()},
            {"reveal", card->revealButton()},
            {"open page", card->openButton()},
            {"recheck", root.permissionPrompt()->recheckButton()},
            {"prompt settings", root.permissionPrompt()->settingsButton()},
            {"step settings", setup()->permissionSettingsButton()},
            {"step start", setup()->permissionStartButton()},
            {"prompt primary", root.permissionPrompt()->primaryButton()},
            {"setup recovery", setup()->errorSection()->findChild<ErrorSection *>()->recoveryButton()},
            {"open link", sheet->openButton()},
            {"regenerate", sheet->regenerateButton()},
            {"update", banner()->updateButton()},
            {"pane update", pane()->updateButton()},
            {"restart", pane()->restartButton()},
            {"recovery", pane()->errorSection()->recoveryButton()},
            {"row disk", row(QStringLiteral("disk"))->actionButton()},
            {"row screen", row(QStringLiteral("screen"))->actionButton()},
            {"bind", dashboard()->overviewPane()->channelStatus()->bindButton()}};
        return buttons.value(name);
    }

    // One step of a user or of the outside world: a verb, then what it acts on.
    void act(const QString &step)
    {
        const QString verb = step.section(u' ', 0, 0);
        const QString rest = step.section(u' ', 1);
        if (verb == u"code") {
            m.setSetupCodeInput(rest);
        } else if (verb == u"type") { // into the code field, or "name ..." into the name field
            const bool name = rest.startsWith(u"name ");
            QTest::keyClicks(name ? setup()->agentNameField() : setup()->setupCodeField(), rest.mid(name ? 5 : 0));
        } else if (verb == u"return") { // "in field", or anywhere on the screen but in a text field
            QWidget *target = setup()->setupCodeField();
            if (rest != u"in field") {
                target->clearFocus();
                target = setup();
            }
            QTest::keyClick(target, Qt::Key_Return);
        } else if (verb == u"click") {
            QTest::mouseClick(button(rest), Qt::LeftButton);
        } else if (verb == u"hold") { // every probe, page opening and run (setup or update, then failing) stays open
            s.probe->gate = s.gate();
            s.browser->gate = s.gate();
            s.authorizationOpen->gate = s.gate();
            s.setupWithCode->steps = s.script->steps = {Step::exit(1).heldAt(s.gate())};
            s.daemonInstall->steps = {Step::success().heldAt(s.gate())};
        } else if (verb == u"release") { // and lets a recovery action held open end
            s.release();
            spinUntil([this] { return !m.operations().operation(); }, 5000);
        } else if (verb == u"workspace") {
            m.setEnrollmentWorkspace(*fromRawValue<AppModel::EnrollmentWorkspace>(rest));
        } else if (verb == u"fail") {
            m.fail(rest);
        } else if (step == u"focus primary") {
            setup()->primaryButton()->setFocus();
        } else if (verb == u"space") { // on the button named, or wherever the focus is
            if (!rest.isEmpty())
                button(rest)->setFocus();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        } else if (verb == u"focus") { // the model asks for the code field, the recovery or the disk row
            using Target = AppModel::FocusTarget;
            const auto disk = Target::forPermission(PermissionKind::fullDiskAccess);
            AppModelAccess{m}.attention().requestFocus(rest == u"code" ? Target::setupCode() : rest == u"recovery" ? Target::recovery() : disk);
        } else if (verb == u"continue") {
            Quorvantis::startDetached(m.continuePermissionOnboarding(), "continue");
        } else if (verb == u"confirm") {
            Quorvantis::startDetached(m.confirmPermissionOnboarding(m.permissions().currentPermissionOnboardingKind()), "confirm");
        } else if (verb == u"probes") {
            s.probe->answers = {rest == u"pass"};
        } else if (verb == u"settings") { // "open" or "fail": whether the privacy panes open
            s.settingsOpen = rest == u"open";
        } else if (verb == u"pages") { // "open" or "fail": pages and folders on the desktop
            s.pagesOpen = rest == u"open";
        } else if (verb == u"browser") {
            s.browser->answers = s.authorizationOpen->answers = {rest == u"opens"};
        } else if (verb == u"recheck") {
            await(AppModelAccess{m}.permissions().refreshExistingPermissions());
        } else if (verb == u"escape") { // from the "prompt" or the "sheet"
            QWidget *sheet = rest == u"prompt" ? root.permissionPrompt() : root.channelBindingSheet();
            QTest::keyClick(sheet, Qt::Key_Escape);
        } else if (verb == u"activate") { // from the desktop, or back from one of the window's own sheets
            QEvent deactivate(QEvent::WindowDeactivate);
            QEvent activate(QEvent::WindowActivate);
            QCoreApplication::sendEvent(&root, &deactivate);
            QCoreApplication::sendEvent(&root, &activate);
        } else if (verb == u"advance") {
            s.time.advance(std::chrono::milliseconds(rest.toInt()));
        } else if (verb == u"window") { // "close" or "show"
            if (rest == u"close")
                root.close();
            else
                root.show();
        } else if (verb == u"present") {
            m.setChannelBindingSheetPresented(true);
        } else if (verb == u"service") {
            // The onboarding service's next answer: a Link, Done (bound); or a Failure of a new link.
            const QChar answer = rest.front();
            if (answer == u'F')
                s.onboarding->fail(
                    QuorvantisNativeError(QStringLiteral("OWNER_SETUP_INVALID"), QStringLiteral("invalid")));
            else
                s.onboarding->answer(answer == u'D' ? session(false) : session(true, bindingLink()));
            await(m.refreshOwnerSetup(answer == u'F'));
        } else if (verb == u"slow") { // the service takes a second to answer a new link: refreshed now
            s.onboarding->latency = 1s;
            s.onboarding->whenExhausted = session(true, bindingLink());
            Quorvantis::startDetached(m.refreshOwnerSetup(true), "slow");
        } else if (verb == u"patient") { // no wait outlasts the busy delay from here on
            BusyDelay::setDelayForTesting(std::chrono::hours(1));
        } else if (verb == u"restart") { // the agent, asked by the model
            const auto restart = AppModel::RecoveryAction::make(AppModel::RecoveryAction::Kind::restartAgent);
            Quorvantis::startDetached(m.perform(restart), "restart");
        } else if (verb == u"outlast") { // the busy delay
            QTest::qWait(int(BusyDelay::delay().count()) + 30);
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
        settle();
    }

    // What a user sees or gets; see the table rows.
    QString look(const QString &what)
    {
        if (what == u"stage") { // the current-stage line, spoken with its label
            const QLabel *line = setup()->stageLabel();
            const bool spoken = line->accessibleName() == QStringLiteral("当前安装阶段，") + line->text();
            return spoken ? line->text() : QStringLiteral("(spoken differently)");
        }
        if (what == u"screen")
            return setup()->titleLabel()->text() + shown("entry", setup()->entryForm());
        if (what == u"code")
            return setup()->setupCodeField()->text() + shown("name", setup()->agentNameBox());
        if (what == u"primary") // the button and the code runs so far
            return on(setup()->primaryButton()) + u' ' + QString::number(s.setupWithCode->calls.size());
        if (what == u"form")
            return setup()->workspacePicker()->currentText() + shown("link", setup()->enrollmentLink());
        if (what == u"name rule") { // the model's message, once something is typed or Return finds it missing
            const QLabel *rule = setup()->agentNameValidation();
            return rule->isHidden()                                      ? QStringLiteral("hidden")
                   : rule->text() == m.setup().setupAgentNameValidationMessage() ? "message"
                                                                         : "other";
        }
        if (what == u"card") { // the password shown, the open button, a failure
            const AuthorizationCard *card = setup()->authorizationCard();
            // A page that did not open leaves its link to copy.
            const bool link = card->failureLabel()->textLabel()->text().endsWith(
                m.authorization().setupAuthorization()->authURL.toString(QUrl::FullyEncoded));
            return card->passwordLabel()->text() + u' ' + on(card->openButton()) + shown("failed", card->failureLabel())
                   + (card->failureLabel()->isHidden() || link ? "" : " (no link)");
        }
        // The prompt, its buttons and its waiting line (or none, and whether the model still asks),
        // the probes run.
        if (what == u"prompt") {
            const PermissionPromptSheet *prompt = root.permissionPrompt();
            const QLabel *busy = prompt->busyLabel();
            const QString buttons = prompt->titleLabel()->text() + ": " + prompt->visibleButtonTitles().join(u", ")
                                    + (busy->isVisibleTo(prompt) ? u' ' + busy->text() : QString());
            return (prompt->isVisible() ? buttons : QStringLiteral("hidden"))
                   + (m.permissions().permissionPromptKind() ? "" : " (none)") + u' ' + QString::number(s.probe->calls);
        }
        if (what == u"permission") { // whether the step is verifying or guides to the settings, its button
            const QStringList texts = setup()->permissionTexts();
            return (texts.contains(QStringLiteral("正在验证系统权限。")) ? "verifying " : "")
                   + (texts.contains(m.permissions().permissionSettingsGuidance()) ? QStringLiteral("guidance ") : QString())
                   + on(setup()->permissionStartButton());
        }
        if (what == u"settings failure") { // the step's line, the prompt's, and the panes asked for
            const auto *step = setup()->findChild<SymbolLabel *>(QStringLiteral("permission-settings-failure"));
            const QLabel *prompt = root.permissionPrompt()->settingsFailureLabel();
            const bool inPrompt = root.permissionPrompt()->isVisible() && !prompt->isHidden();
            const QString line = step->isHidden() ? QStringLiteral("none") : step->textLabel()->text();
            if (inPrompt && prompt->text() != line)
                return QStringLiteral("(the prompt says otherwise) ") + prompt->text();
            return line + (inPrompt ? " prompt" : "") + QStringLiteral(" settings %1").arg(s.settingsOpened.size());
        }
        if (what == u"setup notice") { // the line under the setup screen's error section
            const QLabel *notice = setup()->actionNotice();
            return notice->isHidden() ? QStringLiteral("none") : notice->text();
        }
        if (what == u"focus") {
            const QHash<const QWidget *, QString> names{{setup()->setupCodeField(), "code field"},
                                                        {button(QStringLiteral("recovery")), "recovery"},
                                                        {button(QStringLiteral("row disk")), "row disk"},
                                                        {button(QStringLiteral("restart")), "restart"},
                                                        {setup()->permissionStartButton(), "permission start"},
                                                        {setup()->permissionSettingsButton(), "permission settings"}};
            // The window's own focus widget: the one the keyboard is back on once a sheet closes.
            return names.value(root.focusWidget(), QStringLiteral("other"));
        }
        if (what == u"actions") { // the panel's restart, update and logs, the pane's update; the update runs
            const QStringList buttons{on(panel.restartButton()), on(panel.updateButton()), on(panel.logsButton()),
                                      on(pane()->updateButton())};
            return buttons.join(u',') + shown("spinning", pane()->updateSpinner()) + u' '
                   + QString::number(s.script->calls.size());
        }
        if (what == u"overview") { // the channel row and its button, the sheet; the model's headline is shown
            const AgentOverviewPane *overview = dashboard()->overviewPane();
            const bool headline = overview->headlineLabel()->text() == m.status().headlineStatusTitle()
                                  && overview->detailLabel()->text() == m.status().headlineStatusDetail()
                                  && overview->taskLabel()->text() == m.status().currentTask();
            return (headline ? QString() : QStringLiteral("(headline?) "))
                   + overview->channelStatus()->stateLabel()->text()
                   + shown("bind", overview->channelStatus()->bindButton())
                   + (m.channel().isChannelBindingSheetPresented() ? " sheet" : "");
        }
        if (what.startsWith(u"row ")) { // its state and symbol, its action, the disk settings opened, a prompt
            const PermissionRow *row = this->row(what.mid(4));
            const qsizetype settings = s.settingsOpened.count(PermissionKind::fullDiskAccess);
            return row->stateMark()->text() + u' ' + row->stateMark()->symbol() + shown("action", row->actionButton())
                   + QStringLiteral(" settings %1").arg(settings) + (m.permissions().permissionPromptKind() ? " prompt" : "");
        }
        if (what == u"banner") {
            const QString seen = banner()->textLabel()->fullText() + u' ' + on(banner()->updateButton());
            return m.updates().showsAgentUpdateBanner() ? seen + shown("spinner", banner()->busyIndicator()) : "hidden";
        }
        if (what == u"sheet") { // the detail line, which the sheet's spoken name begins with
            const QString detail = sheet()->detailLabel()->text();
            const bool spoken = sheet()->accessibleName().startsWith(QStringLiteral("绑定 Channel，") + detail);
            return spoken ? detail : QStringLiteral("(spoken differently)");
        }
        if (what == u"sheet actions") { // its buttons, failures shown, links copied, whether presented
            const ChannelBindingSessionSheet *sheet = this->sheet();
            const QStringList buttons{on(sheet->openButton()), on(sheet->copyButton()), on(sheet->regenerateButton()),
                                      on(sheet->refreshButton())};
            return buttons.join(u',') + shown("open failure", sheet->openFailureLabel())
                   + shown("error", sheet->errorLabel()) + shown("reason", sheet->reasonLabel()) + u' '
                   + QString::number(s.copied.size()) + (m.channel().isLoadingOwnerSetup() ? " loading" : "")
                   + (m.channel().isChannelBindingSheetPresented() ? " presented" : "");
        }
        if (what == u"restart") { // the pane's and the panel's buttons, the restarts run
            const QString buttons = on(pane()->restartButton()) + u',' + on(panel.restartButton());
            return buttons + u' ' + QString::number(s.daemonInstall->calls.size());
        }
        if (what == u"keyboard") { // the buttons of the dashboard, the banner and the sheet that Tab cannot reach
            QStringList unreachable;
            for (QWidget *top : QList<QWidget *>{dashboard(), banner(), sheet()}) {
                for (const QAbstractButton *button : top->findChildren<QAbstractButton *>()) {
                    if (!(button->focusPolicy() & Qt::TabFocus))
                        unreachable << button->text() + button->toolTip();
                }
            }
            return unreachable.join(u',');
        }
        if (what == u"sheet shown") {
            const bool visible = root.channelBindingSheet()->isVisible();
            return (visible ? "shown" : "waiting") + QString(m.channel().isChannelBindingSheetPresented() ? " presented" : "");
        }
        return QStringLiteral("unknown look ") + what;
    }
};

} // namespace

class ViewTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        BusyDelay::setDelayForTesting(std::nullopt);
    }

    // A scene and the steps that follow it (see Window), then what is seen (see Window::look).
    void shows_data()
    {
        columns<QString, QString, QString>({"scene", "look", "seen"});
        QString look;
        const auto row = [&look](const char *name, const char *scene, const QString &seen) {
            QTest::newRow(qPrintable(look + ": " + QLatin1String(name))) << QString::fromUtf8(scene) << look << seen;
        };
        // The current-stage line: the first that applies (the top rank, over what ranks below it,
        // and the last).
        look = QStringLiteral("stage");
        row("authorization over the detail", "authorizing", "等待 Workspace 授权");
        row("waiting in the setup stage", "setup", "Waiting for setup");
        // Whether the setup screen shows its entry form (the scrolling test sees the other sections appear).
        look = QStringLiteral("screen");
        row("setup", "setup", "Setup Quorvantis entry");
        row("configured at setup", "configured setup", "Setup Quorvantis");
        // The code field formats what is typed; an instant code needs a name.
        look = QStringLiteral("code");
        row("QVS2", "setup; type qvs2abcd", "QVS2-ABCD");
        row("QVI1", "setup; type qvi1abcd", "QVI1-ABCD name");
        // Return is the default action, once at a time; a focus request brings the code field back.
        look = QStringLiteral("primary");
        const char *code = "code QVS2-7K2M-9PQR-X4TV";
        row("Return with nothing to submit", "setup; return", "继续设置 (off) 0");
        row("Return submits", "setup; code QVS2-7K2M-9PQR-X4TV; return", "继续设置 (off) 1");
        row("Return in the field", "setup; type qvs27k2m9pqrx4tv; return in field", "继续设置 (off) 1");
        row("Return not while running",
            qPrintable(QStringLiteral("setup; hold; %1; click primary; %1; return").arg(code)), "正在注册… (off) 1");
        row("Return again once done", qPrintable(QStringLiteral("setup; hold; %1; return; release; %1").arg(code)),
            "继续设置 1");
        look = QStringLiteral("focus");
        row("code field on request", "setup; type qvs27k2m9pqrx4tv; focus primary; focus code", "code field");
        row("the recovery button", "installed; fail SOMETHING_ODD; focus recovery", "recovery");
        row("a permission's action", "installed; probes fail; recheck; focus disk", "row disk");
        // A pressed action keeps the keyboard: Space again while it runs does nothing else, and
        // the focus is back on it when it ends.
        row("a pressed action", "installed; hold; space restart; space; space; release", "restart");
        row("the next step after a passing probe",
            "permissions 0; hold; probes pass; space step start; space prompt primary; release", "permission start");
        row("the step after a failed probe and Escape",
            "permissions 0; hold; probes fail; space step start; space prompt primary; release; escape prompt",
            "permission start");
        // Enrolment: the picker follows the model; the name rule reads as a hint until something
        // is typed.
        look = QStringLiteral("form");
        row("the model", "setup; click enroll; workspace google", "Google");
        look = QStringLiteral("name rule");
        row("none before typing", "setup; click enroll", "hidden");
        row("once typed", "setup; click enroll; type name Bad Name!", "message");
        row("on Return", "setup; click enroll; return", "message");
        // The authorization card masks the password until revealed, and opens the page.
        look = QStringLiteral("card");
        const QString mask = AuthorizationCard::maskedPassword();
        const QString open = QStringLiteral("我已保存登录信息，打开授权页面");
        row("revealed", "authorizing; click reveal", "s3cret-Pass " + open);
        row("the page did not open", "authorizing; browser fails; click open page", mask + u' ' + open + " failed");
        row("opening", "authorizing; hold; click open page", mask + " 正在打开授权页面… (off)");
        // The permission prompt's buttons, its dismissal, and the re-checks it and the window start.
        look = QStringLiteral("prompt");
        const char *failed = "permissions 0; probes fail; continue; confirm";
        row("screen recording", "permissions 0; continue", "准备授权屏幕录制: 取消, 开始验证 0");
        const QString awaiting = QStringLiteral("准备授权屏幕录制: 取消, 打开系统设置, 重新检查 正在等待授权…");
        row("after a failed probe", failed, awaiting + " 1");
        row("escape dismisses it", qPrintable(failed + QStringLiteral("; escape prompt")), "hidden (none) 1");
        row("back from the desktop", qPrintable(failed + QStringLiteral("; escape prompt; activate")),
            "hidden (none) 2");
        row("back from its own sheet", qPrintable(failed + QStringLiteral("; activate from sheet")), awaiting + " 1");
        row("closed by its re-check", qPrintable(failed + QStringLiteral("; click recheck")), "hidden (none) 2");
        row("closed once the permission passes", qPrintable(failed + QStringLiteral("; probes pass; advance 600")),
            "hidden (none) 2");
        // While the grant is awaited the prompt keeps one look, check after check.
        row("awaiting, checks later", qPrintable(failed + QStringLiteral("; advance 600; advance 450")), awaiting + " 3");
        // The permission step of the setup screen.
        look = QStringLiteral("permission");
        row("current step", "permissions 1", "开始授权");
        row("checking", "permissions 1; hold; confirm", "verifying 正在验证授权… (off)");
        row("failed", "permissions 1; hold; probes fail; confirm; release", "guidance 开始授权");
        // A privacy pane that does not open says what to do instead, under the step and in the
        // prompt; one that opens says nothing.
        look = QStringLiteral("settings failure");
        const QString noPane = PlatformWords::onMac()
            ? QStringLiteral("无法打开系统设置，请手动打开“系统设置 > 隐私与安全性 > 屏幕录制”。")
            : QStringLiteral("这台电脑没有“屏幕录制”的系统设置面板，无需手动打开；权限是否可用仍由 App 的真实探针检查决定。");
        const QString settingsForm = QStringLiteral("permissions 0; probes fail; continue; confirm");
        row("opened", qPrintable(settingsForm + "; click prompt settings"), "none settings 1");
        row("not opened", qPrintable(settingsForm + "; settings fail; click prompt settings"), noPane + " settings 1");
        row("the prompt again", qPrintable(settingsForm + "; settings fail; click prompt settings; confirm"),
            noPane + " prompt settings 1");
        row("opened on a second try",
            qPrintable(settingsForm + "; settings fail; click prompt settings; settings open; click step settings"),
            "none settings 2");
        row("the next permission",
            qPrintable(settingsForm + "; settings fail; click prompt settings; probes pass; activate"),
            "none settings 1");
        // A folder that does not open on the setup screen gives its path.
        look = QStringLiteral("setup notice");
        row("the logs did not open", "setup; fail SOMETHING_ODD; pages fail; click setup recovery",
            QStringLiteral("无法打开日志目录，请在文件管理器中打开：") + InstallLog::logsDirectory());
        look = QStringLiteral("keyboard");
        row("every button", "offered; fail AGENT_START_TIMEOUT; present", "");
        // The agent's actions need a configured agent, and are refused while it updates.
        look = QStringLiteral("actions");
        const QString off = QStringLiteral("重启 Agent (off),更新 Agent (off),打开日志目录,更新 Agent (off)");
        row("not configured", "setup", off + " 0");
        row("configured", "installed", "重启 Agent,更新 Agent,打开日志目录,更新 Agent 0");
        row("updating", "offered; hold; click update; click update; click pane update",
            "重启 Agent (off),正在更新 Agent… (off),打开日志目录,正在更新 Agent… (off) spinning 1");
        // A running action cannot be started again, and its end is said.
        look = QStringLiteral("restart");
        row("pressed", "installed; hold; click restart", "正在重启 Agent… (off),正在重启 Agent… (off) 1");
        row("pressed again, then by the model, then done",
            "installed; hold; click restart; click restart; restart; release", "重启 Agent,重启 Agent 1");
        // The update banner while the update runs.
        look = QStringLiteral("banner");
        row("updating", "offered; hold; click update", "Agent 1.5.0 可更新 正在更新 Agent… (off) spinner");
        // The dashboard.
        look = QStringLiteral("overview");
        row("bind button", "channel; click bind", "等待完成绑定 bind sheet");
        row("bound", "channel; service D", "已绑定");
        look = QStringLiteral("row disk");
        row("verified", "installed; recheck", "已配置 checkmark.circle.fill settings 0");
        row("not granted opens its settings", "installed; probes fail; recheck; click row disk",
            "请完成系统授权 exclamationmark.triangle action settings 1");
        look = QStringLiteral("row screen");
        row("the current onboarding step", "permissions 0", "等待检查 circle.dashed action settings 0");
        row("continues the onboarding", "permissions 0; click row screen",
            "等待检查 circle.dashed action settings 0 prompt");
        look = QStringLiteral("row access");
        row("a later step waits", "permissions 0", "等待检查 circle.dashed settings 0");
        // The binding sheet's detail line: the first that applies.
        look = QStringLiteral("sheet");
        row("opening", "binding; service L; hold; click open link",
            "正在打开系统浏览器。打开后可随时返回本窗口查看进度。");
        row("otherwise", "binding; service L",
            "请在系统浏览器中选择 Channel。Quorvantis 会在后台等待，绑定成功后自动继续。");
        // The sheet's actions.
        look = QStringLiteral("sheet actions");
        const QString noLink = QStringLiteral("打开浏览器 (off),复制链接 (off),重新生成,刷新状态 reason 0");
        row("presented without a link", "binding; present", noLink + " presented");
        row("escape", "binding; present; escape sheet", noLink);
        const QString ready = QStringLiteral("打开浏览器,复制链接,重新生成,刷新状态 0");
        const QString fetching
            = QStringLiteral("打开浏览器 (off),复制链接 (off),重新生成 (off),刷新状态 (off) reason 0");
        row("failures", "binding; service L; browser fails; click open link; service F",
            "重试,复制链接,重新生成,刷新状态 open failure error 0");
        // A wait shorter than the busy delay never shows, poll after poll; a press shows at once.
        const char *fetched = "binding; present; service L; patient; slow";
        row("a short wait never shows", fetched, ready + " loading presented");
        row("a press shows at once", qPrintable(fetched + QStringLiteral("; advance 1000; click regenerate")),
            fetching + " loading presented");
        row("and its end", qPrintable(fetched + QStringLiteral("; advance 1000; click regenerate; advance 1000")),
            ready + " presented");
        row("while a link is fetched", "binding; present; service L; slow; outlast", fetching + " loading presented");
        // Sheets belong to the window: while it is closed they wait; closing it dismisses nothing.
        look = QStringLiteral("sheet shown");
        row("waits for a closed window", "channel; window close; present", "waiting presented");
        row("shown with the window", "channel; window close; present; window show", "shown presented");
        row("closing the window dismisses nothing", "channel; present; window close", "waiting presented");
    }

    void shows()
    {
        QFETCH(QString, scene);
        QFETCH(QString, look);
        QFETCH(QString, seen);
        Window window(scene);
        const QString shownNow = window.look(look);
        // QUORVANTIS_VIEW_SHOTS=DIR keeps a picture of the screen at each row's end; under
        // under-window-manager.sh that is the gallery of these states as a desktop shows them.
        if (const QString shots = qEnvironmentVariable("QUORVANTIS_VIEW_SHOTS"); !shots.isEmpty()) {
            static const QRegularExpression unsafe(QStringLiteral("[^\\w]+"));
            const QString name = QString::fromUtf8(QTest::currentDataTag()).replace(unsafe, QStringLiteral("-"));
            QGuiApplication::primaryScreen()->grabWindow(0).save(QDir(shots).filePath(name + ".png"));
        }
        QCOMPARE(shownNow, seen);
    }

    // In each language the interface speaks every text of the window, its sheets and the tray
    // panel fits where the layout puts it, and a translation leaves no text in Chinese.
    void textsFit_data()
    {
        columns<QString, QString>({"language", "scene"});
        const char *failed = "permissions 0; probes fail; continue; confirm; advance 600";
        const char *failures = "binding; present; service L; browser fails; click open link; service F";
        const QStringList scenes{"setup", "setup; click enroll", "setup; fail SETUP_CODE_UNAVAILABLE", "submitting",
                                 "authorizing", "preparing", "runtime; fail SETUP_CODE_UNAVAILABLE", failed,
                                 "permissions 0; continue", "permissions 1; continue", "binding; present", failures,
                                 "binding; service L; present", "channel; present", "installed",
                                 "installed; fail SETUP_CODE_UNAVAILABLE", "offered"};
        for (const QString &language : InterfaceLanguage::available()) {
            for (const QString &scene : scenes)
                QTest::addRow("%s, %s", qPrintable(language), qPrintable(scene)) << language << scene;
        }
    }
    void textsFit()
    {
        QFETCH(QString, language);
        QFETCH(QString, scene);
        const std::unique_ptr<QTranslator> translator = InterfaceLanguage::translator(language);
        const bool translated = language != InterfaceLanguage::available().first();
        QCOMPARE(bool(translator), translated);
        if (translator)
            QCoreApplication::installTranslator(translator.get());
        Motion::setReducedMotionOverride(true); // still pictures: no page animation
        const auto restored = qScopeGuard([&translator] {
            QCoreApplication::removeTranslator(translator.get());
            Motion::setReducedMotionOverride(std::nullopt);
        });
        Window window(scene);
        QCOMPARE(window.root.size(), RootContentView::defaultSize);
        window.panel.adjustSize();
        settle();
        QStringList found;
        // Each sheet shown, as the platform (a window manager) sized it.
        const QList<QWidget *> tops{&window.root, window.root.permissionPrompt(), window.root.channelBindingSheet(),
                                    &window.panel};
        for (QWidget *top : tops) {
            if (top->isVisible() && QTest::qWaitForWindowExposed(top)) {
                settle();
                found += misfits(top, translated);
            }
        }
        QVERIFY2(found.isEmpty(), qPrintable(found.join(u'\n')));
    }

    // The setup screen opens at its top whatever it holds; only what appears afterwards (the
    // permission step, an error, the authorization card) scrolls itself into view.
    void setupScreenScrolling()
    {
        for (const QString appears : {"permission", "error", "authorization"}) {
            for (const bool opensWithIt : {true, false}) {
                Scene s;
                const bool error = appears == u"error";
                AppModel &m = s.reach(appears == u"permission" ? "preparing" : error ? "permissions 0" : "submitting");
                const auto appear = [&] {
                    if (appears == u"permission")
                        s.release();
                    else if (error)
                        m.fail(QStringLiteral("AGENT_RESTART_FAILED"));
                    else
                        s.setupWithCode->authorization(authorization());
                };
                if (!error)
                    m.fail(QStringLiteral("AGENT_RESTART_FAILED")); // a screen taller than the window
                if (opensWithIt)
                    appear();
                RootContentView root(&m);
                root.resize(RootContentView::minimumContentSize);
                root.show();
                QVERIFY(QTest::qWaitForWindowExposed(&root));
                settle();
                SetupView *view = root.setupView();
                const QScrollBar *bar = view->scrollArea()->verticalScrollBar();
                QVERIFY2(bar->value() == 0 && bar->maximum() > 0, qPrintable(appears));
                if (opensWithIt)
                    continue;
                appear();
                QWidget *target = appears == u"permission" ? view->permissionSection()
                                  : error                  ? view->errorSection()
                                                           : view->authorizationCard();
                const QWidget *viewport = view->scrollArea()->viewport();
                const auto inView = [&] {
                    const QRect area(target->mapTo(viewport, QPoint(0, 0)), target->size());
                    return bar->value() > 0 && target->isVisible() && viewport->rect().contains(area);
                };
                QTRY_VERIFY2(inView(), qPrintable(appears));
            }
        }
    }

    // The benchmark's compressed time (QUORVANTIS_TIME_SCALE) stays with the benchmark: any other
    // value leaves the model its own sleeper and clock; a scale of 1000 makes a 20 s wait of the
    // model end in 20 ms and the model's clock move 20 s meanwhile.
    void timeScaleOnlyWhenAsked_data()
    {
        columns<QString, bool>({"value", "scaled"});
        QTest::newRow("absent") << "" << false;
        QTest::newRow("1") << "1" << false;
        QTest::newRow("below 1") << "0.5" << false;
        QTest::newRow("not a number") << "fast" << false;
        QTest::newRow("1000") << "1000" << true;
    }
    void timeScaleOnlyWhenAsked()
    {
        QFETCH(QString, value);
        QFETCH(bool, scaled);
        QProcessEnvironment environment;
        if (!value.isEmpty())
            environment.insert(QStringLiteral("QUORVANTIS_TIME_SCALE"), value);
        const AppModel::Options options = QuorvantisApp::modelOptions(environment);
        QCOMPARE(bool(options.sleeper), scaled);
        QCOMPARE(bool(options.clock), scaled);
        if (!scaled)
            return;
        const QDateTime before = options.clock();
        QElapsedTimer timer;
        timer.start();
        await(options.sleeper(std::chrono::seconds(20)));
        QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(before.msecsTo(options.clock()) >= 19000);
    }

    // The window and the tray panel share one model; closing the window ends the process only
    // where no tray leads back; Ctrl+O brings a closed window back.
    void scenesShareOneModel()
    {
        QApplication::setQuitOnLastWindowClosed(QSystemTrayIcon::isSystemTrayAvailable());
        Scene s;
        AppModel::Options options = QuorvantisApp::modelOptions(QProcessEnvironment());
        options.profileDirectory = s.profileDirectory();
        options.effects = s.effects;
        options.sleeper = [&time = s.time](std::chrono::milliseconds d) { return time.sleep(d); };
        QuorvantisApp app(std::move(options));
        QCOMPARE(QApplication::quitOnLastWindowClosed(), !app.hasSystemTray());
        MenuBarContent *panel = app.menuBarContent();
        app.model()->fail(QStringLiteral("SOMETHING_ODD"));
        settle();
        QCOMPARE(panel->titleLabel()->text(), QStringLiteral("需要处理"));
        app.openMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(app.mainWindow()));
        app.mainWindow()->close();
        app.showMenuBarPanel();
        QVERIFY(panel->isVisible() && panel->windowFlags().testFlag(Qt::Popup));
        QTest::keyClick(panel, Qt::Key_O, Qt::ControlModifier);
        QTRY_VERIFY(app.mainWindow()->isVisible() && !panel->isVisible());
    }

    // Qt's own texts (dialog buttons, a field's context menu) speak the interface's language.
    void qtTextsInTheInterfaceLanguage()
    {
        QVERIFY(InterfaceLanguage::installQtTranslations(*qApp, QStringLiteral("zh_CN")));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
    }
};

QTEST_MAIN(ViewTests)
#include "ViewTests.moc"
#include "support/ModelAccess.h"
