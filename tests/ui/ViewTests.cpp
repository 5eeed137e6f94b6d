// The window (setup screen, dashboard, banner, sheets) and the tray panel offscreen, on models
// put into each state through their own operations, and the application entry.
#include "Scene.h"

#include "ui/AgentUpdateBanner.h"
#include "ui/AuthorizationCard.h"
#include "ui/ChannelBindingSessionSheet.h"
#include "ui/DashboardView.h"
#include "ui/MenuBarContent.h"
#include "ui/PermissionPromptSheet.h"
#include "ui/QuorvantisApp.h"
#include "ui/RootContentView.h"
#include "ui/SetupView.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

// What a user sees of one model: the window, shown and active, and the tray panel.
struct Window
{
    Scene s;
    AppModel &m;
    RootContentView root{&m};
    MenuBarContent panel{&m, {.openMainWindow = {}, .quit = [this] { ++quits; }}};
    int quits = 0;

    // Shown and active; what the scene's construction asked of the service and the clock is forgotten.
    explicit Window(const QString &scene) : m(s.reach(scene))
    {
        root.show();
        panel.show();
        QApplication::setActiveWindow(&root);
        settle();
        s.onboarding->calls.clear();
        s.time.clearRequested();
    }
    SetupView *setup() { return root.setupView(); }
    DashboardView *dashboard() { return static_cast<DashboardView *>(root.dashboardView()); }
    // As it shows when it is presented (a hidden view renders when it is shown).
    ChannelBindingSessionSheet *sheet()
    {
        auto *sheet = root.channelBindingSheet()->findChild<ChannelBindingSessionSheet *>();
        sheet->render();
        return sheet;
    }
    AgentUpdateBanner *banner() { return static_cast<AgentUpdateBanner *>(root.updateBanner()); }
    PermissionRow *row(const QString &kind)
    {
        return dashboard()->statusPane()->permissionRows().at(kind == u"screen" ? 0 : kind == u"access" ? 1 : 2);
    }

    QAbstractButton *button(const QString &name)
    {
        SystemStatusPane *pane = dashboard()->statusPane();
        const QHash<QString, QAbstractButton *> buttons{
            {"primary", setup()->primaryButton()}, {"enroll", setup()->enrollmentLink()}, {"reveal", setup()->authorizationCard()->revealButton()}, {"copy password", setup()->authorizationCard()->copyPasswordButton()}, {"open page", setup()->authorizationCard()->openButton()},
            {"recheck", root.permissionPrompt()->recheckButton()}, {"bind", dashboard()->overviewPane()->channelStatus()->bindButton()},
            {"open link", sheet()->openButton()}, {"copy link", sheet()->copyButton()}, {"regenerate", sheet()->regenerateButton()},
            {"refresh", sheet()->refreshButton()}, {"close sheet", sheet()->closeButton()}, {"update", banner()->updateButton()},
            {"dismiss", banner()->closeButton()}, {"pane update", pane->updateButton()}, {"logs", pane->logsButton()},
            {"releases", pane->releasesButton()}, {"quit", panel.quitButton()}, {"recovery", pane->errorSection()->recoveryButton()},
            {"row disk", row(QStringLiteral("disk"))->actionButton()}, {"row screen", row(QStringLiteral("screen"))->actionButton()}};
        return buttons.value(name);
    }

    // One step of a user or of the outside world; see the table rows.
    void act(const QString &step)
    {
        const QString verb = step.section(u' ', 0, 0), rest = step.section(u' ', 1);
        if (verb == u"code")
            m.setSetupCodeInput(rest);
        else if (verb == u"type")
            QTest::keyClicks(rest.startsWith(u"name ") ? setup()->agentNameField() : setup()->setupCodeField(), rest.mid(rest.startsWith(u"name ") ? 5 : 0));
        else if (verb == u"return" && rest == u"in field")
            QTest::keyClick(setup()->setupCodeField(), Qt::Key_Return);
        else if (verb == u"return") { // anywhere on the screen but in a text field
            setup()->setupCodeField()->clearFocus();
            QTest::keyClick(setup(), Qt::Key_Return);
        }
        else if (verb == u"click")
            QTest::mouseClick(button(rest), Qt::LeftButton);
        else if (verb == u"space")
            QTest::keyClick(button(rest), Qt::Key_Space);
        else if (verb == u"hold") { // every probe, browser opening and run (setup or update, then failing) stays open
            Step held = Step::exit(1);
            held.gate = s.gate();
            s.probe->gate = s.gate(); s.browser->gate = s.gate(); s.authorizationOpen->gate = s.gate();
            s.setupWithCode->steps = s.script->steps = {held};
        }
        else if (verb == u"release")
            s.release();
        else if (verb == u"pick")
            setup()->workspacePicker()->setCurrentIndex(setup()->workspacePicker()->findText(rest));
        else if (verb == u"workspace")
            m.setEnrollmentWorkspace(*fromRawValue<AppModel::EnrollmentWorkspace>(rest));
        else if (verb == u"fail")
            m.fail(rest);
        else if (verb == u"focus")
            rest == u"primary" ? setup()->primaryButton()->setFocus()
                : m.requestFocus(rest == u"code" ? AppModel::FocusTarget::setupCode() : rest == u"recovery" ? AppModel::FocusTarget::recovery()
                                                                                               : AppModel::FocusTarget::forPermission(PermissionKind::fullDiskAccess));
        else if (verb == u"continue" || verb == u"confirm")
            Quorvantis::startDetached(verb == u"continue" ? m.continuePermissionOnboarding() : m.confirmPermissionOnboarding(m.currentPermissionOnboardingKind()), "step");
        else if (verb == u"probes")
            s.probe->answers = {rest == u"pass"};
        else if (verb == u"browser")
            s.browser->answers = s.authorizationOpen->answers = {rest == u"opens"};
        else if (verb == u"recheck")
            await(m.refreshExistingPermissions());
        else if (verb == u"escape")
            QTest::keyClick(rest == u"prompt" ? static_cast<QWidget *>(root.permissionPrompt()) : root.channelBindingSheet(), Qt::Key_Escape);
        else if (verb == u"activate") { // from the desktop, or back from one of the window's own sheets
            QEvent deactivate(QEvent::WindowDeactivate), activate(QEvent::WindowActivate);
            QCoreApplication::sendEvent(&root, &deactivate);
            QCoreApplication::sendEvent(&root, &activate);
        } else if (verb == u"print") // a progress line of the held runtime run
            s.environmentPrepare->output(rest.contains(u'/') ? QStringLiteral(R"({"type":"packageProgress","completed":%1,"total":%2})")
                                                                    .arg(rest.section(u'/', 0, 0), rest.section(u'/', 1))
                                                              : QStringLiteral(R"({"type":"progress","phase":"%1","status":"running","detail":"%2"})")
                                                                    .arg(rest.section(u' ', 0, 0), rest.section(u' ', 1)));
        else if (verb == u"advance")
            s.time.advance(std::chrono::milliseconds(rest.toInt()));
        else if (verb == u"activity")
            m.appendActivity(rest);
        else if (verb == u"close" || verb == u"show") // the window
            verb == u"close" ? void(root.close()) : root.show();
        else if (verb == u"present")
            m.setChannelBindingSheetPresented(true);
        else if (verb == u"service") { // the onboarding service's next answer: a link, the agent's own page, a pending or
            const QChar a = rest.front(); // no longer pending attempt, bound; or a failure of a new link
            if (a == u'F')
                s.onboarding->fail(QuorvantisNativeError(QStringLiteral("OWNER_SETUP_INVALID"), QStringLiteral("Channel 绑定配置无效")));
            else
                s.onboarding->answer(a == u'A' ? session(true, std::nullopt, std::nullopt, true) : a == u'D' ? session(false)
                                         : session(true, bindingLink(), a == u'P' ? std::optional(true) : a == u'N' ? std::optional(false) : std::nullopt));
            await(m.refreshOwnerSetup(a == u'F'));
        } else if (verb == u"slow") { // the service takes a second to answer a new link
            s.onboarding->latency = 1s;
            Quorvantis::startDetached(m.refreshOwnerSetup(true), "slow");
        } else if (verb == u"outlast") // the busy delay
            QTest::qWait(int(BusyDelay::delay().count()) + 30);
        else if (verb == u"poll")
            s.poll();
        else if (verb == u"agent") { // starts: the daemon stage goes on to the channel
            s.agentStarted->answers = {true};
            await(m.finishDaemonInstallationIfNeeded());
        } else if (verb == u"recover") { // the installed agent's permissions are found withdrawn
            s.probe->answers = {false};
            await(m.recoverExistingConfigurationIfNeeded());
        } else
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        settle();
    }

    static QString on(const QAbstractButton *b) { return b->text() + (b->isEnabled() ? QString() : QStringLiteral(" (off)")); }
    static QString shown(const QString &name, const QWidget *w) { return w->isHidden() ? QString() : u' ' + name; }

    // What a user sees or gets; see the table rows.
    QString look(const QString &what)
    {
        if (what == u"page") { // once the switch is over; the setup screen and the dashboard are built only when first needed
            spinUntil([this] { return !root.transitionRunning(); }, 5000);
            const QString built = (root.isSetupViewBuilt() ? QStringLiteral("setup built, ") : QString()) + (dashboard()->isBuilt() ? "dashboard built, " : "");
            QWidget *page = root.page() == AppModel::RootPage::setup ? root.setupView() : root.dashboardView();
            return (root.lastTransition() ? QStringLiteral("%1 %2 ").arg(root.lastTransition()->durationMs).arg(root.lastTransition()->travel) : QString())
                + built + (page == root.dashboardView() ? "dashboard" : "setup")
                + (page->isVisible() && !page->graphicsEffect() && page->pos() == QPoint(0, 0) ? QString() : QStringLiteral(" (in transition)"));
        }
        SystemStatusPane *pane = dashboard()->statusPane();
        if (what == u"stage") { // the current-stage line, spoken with its label
            const QLabel *line = setup()->stageLabel();
            return line->accessibleName() == QStringLiteral("当前安装阶段，") + line->text() ? line->text() : QStringLiteral("(spoken differently)");
        }
        if (what == u"screen")
            return setup()->titleLabel()->text() + u':' + shown("entry", setup()->entryForm()) + shown("card", setup()->authorizationCard())
                + shown("permission", setup()->permissionSection()) + shown("error", setup()->errorSection());
        if (what == u"code")
            return setup()->setupCodeField()->text() + shown("name", setup()->agentNameBox()) + u' ' + setup()->setupCodeNote()->text();
        if (what == u"primary")
            return on(setup()->primaryButton()) + u' ' + QString::number(s.setupWithCode->calls.size());
        if (what == u"form")
            return m.setupEntryMode() == AppModel::SetupEntryMode::enroll ? setup()->workspacePicker()->currentText() + shown("link", setup()->enrollmentLink())
                                                                          : QStringLiteral("paste");
        if (what == u"name rule") // the model's message, once something is typed or Return finds it missing
            return setup()->agentNameValidation()->isHidden() ? QStringLiteral("hidden")
                : setup()->agentNameValidation()->text() == m.setupAgentNameValidationMessage() ? QStringLiteral("message") : QStringLiteral("other");
        if (what == u"package")
            return !setup()->packageProgress()->isVisible() ? QStringLiteral("hidden")
                : setup()->packageBar()->maximum() == 0     ? setup()->packageCaption()->text() + u' ' + setup()->packageBar()->accessibleName()
                                                            : setup()->packageCaption()->text() + u' ' + setup()->packageBar()->accessibleDescription();
        if (what == u"card") {
            const AuthorizationCard *card = setup()->authorizationCard();
            return card->titleLabel()->text() + u' ' + card->passwordLabel()->text() + u' ' + on(card->openButton()) + shown("failed", card->failureLabel())
                + (card->copiedSetupPassword() ? " copied" : "");
        }
        if (what == u"prompt")
            return (root.permissionPrompt()->isVisible() ? root.permissionPrompt()->titleLabel()->text() + ": " + root.permissionPrompt()->visibleButtonTitles().join(u", ")
                                                         : QStringLiteral("hidden"))
                + (m.permissionPromptKind() ? QString() : QStringLiteral(" (none)"));
        if (what == u"permission") {
            const QStringList texts = setup()->permissionTexts();
            return QStringList{"屏幕录制", "辅助功能", "完全磁盘访问"}.filter(QRegularExpression(QStringLiteral("^(%1)$").arg(texts.join(u'|')))).join(u',')
                + (texts.contains(QStringLiteral("正在验证系统权限。")) ? QStringLiteral(" verifying") : QString())
                + (texts.contains(m.permissionSettingsGuidance()) ? QStringLiteral(" guidance") : QString()) + u' ' + on(setup()->permissionStartButton());
        }
        if (what == u"checks")
            return QString::number(s.probe->calls);
        if (what == u"focus") {
            const QWidget *focus = QApplication::focusWidget();
            const QHash<const QWidget *, QString> names{{setup()->setupCodeField(), "code field"}, {button(QStringLiteral("recovery")), "recovery"},
                                                        {button(QStringLiteral("row disk")), "row disk"}, {setup()->primaryButton(), "primary"}};
            return names.value(focus, QStringLiteral("other"));
        }
        if (what == u"header") { // a spinner still under reduced motion
            const StatusCore *core = m.rootPage() == AppModel::RootPage::setup ? setup()->findChild<StatusCore *>() : dashboard()->overviewPane()->statusCore();
            const bool spins = core->findChild<Spinner *>()->findChild<QTimer *>()->isActive();
            return panel.titleLabel()->text() + u' ' + panel.detailLabel()->text() + u' '
                + (core->markSymbol().isEmpty() ? (spins ? QStringLiteral("spinner") : QStringLiteral("still spinner")) : core->markSymbol());
        }
        if (what == u"actions") // the agent's actions of the panel and the pane, the logs of the panel
            return on(panel.restartButton()) + u',' + on(panel.recheckButton()) + u',' + on(panel.updateButton()) + u',' + on(panel.logsButton())
                + u',' + on(pane->updateButton()) + shown("spinning", pane->updateSpinner()) + u',' + on(pane->restartButton()) + u',' + on(pane->recheckButton())
                + u' ' + QString::number(s.script->calls.size()) + QStringLiteral(" quits ") + QString::number(quits);
        if (what == u"opened") {
            QStringList kinds;
            for (const QUrl &url : s.opened)
                kinds << (url.isLocalFile() ? QStringLiteral("folder") : url.scheme());
            return kinds.join(u' ');
        }
        if (what == u"activity")
            return dashboard()->overviewPane()->activityList()->emptyLabel()->isHidden() ? dashboard()->overviewPane()->activityList()->summaries().join(u", ")
                                                                                         : dashboard()->overviewPane()->activityList()->emptyLabel()->text();
        if (what == u"overview") { // the model's headline, detail and task; the channel row and its button
            const AgentOverviewPane *overview = dashboard()->overviewPane();
            const bool follows = overview->headlineLabel()->text() == m.headlineStatusTitle() && overview->detailLabel()->text() == m.headlineStatusDetail()
                && overview->taskLabel()->text() == m.currentTask();
            return (follows ? QString() : QStringLiteral("(headline?) ")) + overview->channelStatus()->stateLabel()->text()
                + shown("bind", overview->channelStatus()->bindButton()) + (m.isChannelBindingSheetPresented() ? QStringLiteral(" sheet") : QString());
        }
        if (what == u"pane")
            return pane->sectionTitles().join(u',') + u' ' + pane->rowValue(QStringLiteral("连接状态")) + u',' + pane->rowValue(QStringLiteral("最近响应")) + u','
                + pane->rowValue(QStringLiteral("Agent")) + u',' + pane->rowValue(QStringLiteral("Agent 版本"))
                + (pane->rowValue(QStringLiteral("App 版本")) == m.appVersion() ? QString() : QStringLiteral(" (version?)"));
        if (what == u"error") {
            QStringList texts;
            for (QLabel *label : pane->errorSection()->findChildren<QLabel *>())
                texts << label->text();
            return pane->sectionTitles().last() + u' ' + on(pane->errorSection()->recoveryButton())
                + (pane->errorSection()->recoveryButton()->isVisible() ? QString() : QStringLiteral(" (hidden)"))
                + (texts.contains(m.lastError()->message) && texts.contains(m.lastError()->code) ? QString() : QStringLiteral(" (texts?)"));
        }
        if (what.startsWith(u"row ")) {
            const PermissionRow *row = this->row(what.mid(4));
            return row->stateMark()->text() + u' ' + row->stateMark()->symbol() + shown("action", row->actionButton()) + QStringLiteral(" settings ")
                + QString::number(s.settingsOpened.count(PermissionKind::fullDiskAccess)) + (m.permissionPromptKind() ? QStringLiteral(" prompt") : QString());
        }
        if (what == u"banner")
            return m.showsAgentUpdateBanner() ? banner()->textLabel()->fullText() + u' ' + on(banner()->updateButton()) + shown("spinner", banner()->busyIndicator())
                                         : QStringLiteral("hidden");
        if (what == u"sheet") {
            ChannelBindingSessionSheet *sheet = this->sheet();
            return sheet->accessibleName().startsWith(QStringLiteral("绑定 Channel，") + sheet->detailLabel()->text()) ? sheet->detailLabel()->text()
                                                                                                                  : QStringLiteral("(spoken differently)");
        }
        if (what == u"sheet actions") {
            ChannelBindingSessionSheet *sheet = this->sheet();
            return on(sheet->openButton()) + u',' + on(sheet->copyButton()) + u',' + on(sheet->regenerateButton()) + u',' + on(sheet->refreshButton())
                + shown("open failure", sheet->openFailureLabel()) + shown("error", sheet->errorLabel()) + u' ' + QString::number(s.desktop->copied.size())
                + (m.isChannelBindingSheetPresented() ? QStringLiteral(" presented") : QString());
        }
        if (what == u"keyboard") { // every button of the dashboard, the banner and the sheet reachable by Tab
            QStringList unreachable;
            for (QWidget *top : QList<QWidget *>{dashboard(), banner(), sheet()})
                for (QAbstractButton *button : top->findChildren<QAbstractButton *>())
                    unreachable << (button->focusPolicy() & Qt::TabFocus ? QString() : button->text() + button->toolTip());
            return unreachable.join(QString());
        }
        if (what == u"header before launch") // never shown by a running model
            return MenuBarContent::headerTitle(int(AppModel::OverallState::notInstalled));
        if (what == u"sheet shown")
            return (root.channelBindingSheet()->isVisible() ? QStringLiteral("shown") : QStringLiteral("waiting")) + (m.isChannelBindingSheetPresented() ? " presented" : "");
        if (what == u"sheet spoken")
            return sheet()->accessibleName();
        if (what == u"requests") { // the waits asked for, and whether each request to the service forced a new link
            QStringList asked;
            for (const auto wait : s.time.requested())
                asked << QString::number(wait.count());
            for (const auto &call : s.onboarding->calls)
                asked << (call.forceRefresh ? QStringLiteral("new") : QStringLiteral("same"));
            return asked.join(u' ');
        }
        return QStringLiteral("unknown look ") + what;
    }
};

} // namespace

class ViewTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:

    void init() { Motion::setReducedMotionOverride(false); }

    // A scene, then the steps of a user or of the outside world, then what is seen.
    void shows_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QString>("look");
        QTest::addColumn<QString>("seen");
        const auto row = [](const char *name, const char *scene, const char *look, const QString &seen) { QTest::newRow(name) << scene << look << seen; };
        // The current-stage line: the first that applies, each state also holding what ranks
        // below it where the model can get there.
        row("stage: authorization over the detail", "authorizing", "stage", "等待 Workspace 授权");
        row("stage: channel over its detail", "daemon; agent starts", "stage", "等待 Channel 绑定");
        row("stage: current permission over the running phase", "permissions 1", "stage", "配置辅助功能");
        row("stage: detail over the running phase", "submitting", "stage", "正在验证安装码");
        row("stage: first running phase", "daemon", "stage", title(SetupPhase::starting));
        row("stage: first failed phase", "runtime failed", "stage", title(SetupPhase::runtime) + "需要处理");
        row("stage: waiting in the setup stage", "setup", "stage", "Waiting for setup");
        row("stage: nothing else", "finished", "stage", "准备安装");
        // Which sections the setup screen shows.
        row("screen: runtime", "runtime", "screen", "安装 Quorvantis:");
        row("screen: setup", "setup", "screen", "Setup Quorvantis: entry");
        row("screen: authorization pending", "authorizing", "screen", "Setup Quorvantis: entry card");
        row("screen: configured at setup", "configured setup", "screen", "Setup Quorvantis:");
        row("screen: permissions", "permissions 0", "screen", "安装 Quorvantis: permission");
        row("screen: failure", "runtime failed", "screen", "安装 Quorvantis: error");
        // The code field formats what is typed; an instant code needs a name.
        const QString regular = QStringLiteral("注册完成后会启动 Agent，并进入 Channel 绑定。");
        row("code: QVS2", "setup; type qvs2abcd", "code", "QVS2-ABCD " + regular);
        row("code: QVI1 prefix only", "setup; type qvi1", "code", "QVI1 " + regular);
        row("code: QVI1", "setup; type qvi1abcd", "code", "QVI1-ABCD name 将即时创建 Agent。若安装码包含 Workspace，稍后会请你完成授权。");
        // Return is the default action, once at a time; a focus request brings the code field back.
        row("return: nothing to submit", "setup; return", "primary", "继续设置 (off) 0");
        row("return: submits", "setup; code QVS2-7K2M-9PQR-X4TV; return", "primary", "继续设置 (off) 1");
        row("return: focus request", "setup; type qvs27k2m9pqrx4tv; focus primary; focus code", "focus", "code field");
        row("return: in the field", "setup; type qvs27k2m9pqrx4tv; return in field", "primary", "继续设置 (off) 1");
        row("return: not while running", "setup; hold; code QVS2-7K2M-9PQR-X4TV; click primary; code QVS2-7K2M-9PQR-X4TV; click primary; return", "primary", "正在注册… (off) 1");
        row("return: again once done", "setup; hold; code QVS2-7K2M-9PQR-X4TV; return; release; code QVS2-7K2M-9PQR-X4TV", "primary", "继续设置 1");
        // Enrolment: the picker and the model follow each other; the name rule reads as a hint
        // until something is typed.
        row("enrolment: paste first", "setup", "form", "paste");
        row("enrolment: the picker", "setup; click enroll; pick Zoho", "form", "Zoho");
        row("enrolment: the model", "setup; click enroll; pick Zoho; workspace google", "form", "Google");
        row("enrolment: no rule before typing", "setup; click enroll", "name rule", "hidden");
        row("enrolment: the rule once typed", "setup; click enroll; type name Bad Name!", "name rule", "message");
        row("enrolment: the rule on Return", "setup; click enroll; return", "name rule", "message");
        row("return: a typo is no error", "setup; type qvs27k2m; return in field", "screen", "Setup Quorvantis: entry");
        row("enrolment: no submit on a bad name", "setup; click enroll; type name Bad Name!", "primary", "继续设置 (off) 0");
        // The package bar of the runtime run: only while its package step runs.
        row("package: counting", "preparing; print runtime 安装 Quorvantis", "package", "正在计算安装内容… 正在计算安装内容");
        row("package: no total yet", "preparing; print runtime 安装 Quorvantis; print 0/0", "package", "正在计算安装内容… 正在计算安装内容");
        row("package: a third", "preparing; print runtime 安装 Quorvantis; print 1/3", "package", "1/3 · 33% 已安装 1 个包，共 3 个，33%");
        row("package: over the total", "preparing; print runtime 安装 Quorvantis; print 12/10", "package", "10/10 · 100% 已安装 10 个包，共 10 个，100%");
        row("package: runtime finished", "preparing; print runtime 安装 Quorvantis; print 36/36; release", "package", "hidden");
        row("package: a later step", "preparing; print runtime 安装 Quorvantis; print 36/36; print preflight 检查运行环境", "package", "hidden");
        // The authorization card masks the password until revealed, and opens the page.
        const QString mask = AuthorizationCard::maskedPassword(), open = QStringLiteral("我已保存登录信息，打开授权页面");
        row("card: masked", "authorizing", "card", "完成 Google Workspace 授权 " + mask + u' ' + open);
        row("card: revealed", "authorizing; click reveal", "card", "完成 Google Workspace 授权 s3cret-Pass " + open);
        row("card: hidden again", "authorizing; click reveal; click reveal", "card", "完成 Google Workspace 授权 " + mask + u' ' + open);
        row("card: copied", "authorizing; click copy password", "card", "完成 Google Workspace 授权 " + mask + u' ' + open + " copied");
        row("card: the page did not open", "authorizing; browser fails; click open page", "card", "完成 Google Workspace 授权 " + mask + u' ' + open + " failed");
        row("card: opening", "authorizing; hold; click open page", "card", "完成 Google Workspace 授权 " + mask + " 正在打开授权页面… (off)");
        // The permission prompt's buttons, its dismissal, and the re-checks it and the window start.
        row("prompt: screen recording", "permissions 0; continue", "prompt", "准备授权屏幕录制: 取消, 开始验证");
        row("prompt: accessibility, node", "permissions 1; continue", "prompt", "准备授权辅助功能: 取消, 继续授权Node");
        row("prompt: accessibility, cliclick", "permissions 1; continue; confirm", "prompt", "准备授权辅助功能: 取消, 继续授权cliclick");
        row("prompt: after a failed probe", "permissions 0; probes fail; continue; confirm", "prompt", "准备授权屏幕录制: 取消, 打开系统设置, 重新检查");
        row("prompt: escape dismisses it", "permissions 0; probes fail; continue; confirm; escape prompt", "prompt", "hidden (none)");
        row("prompt: escape, then back from the desktop", "permissions 0; probes fail; continue; confirm; escape prompt; activate", "checks", "2");
        row("prompt: back from its own sheet", "permissions 0; probes fail; continue; confirm; activate from sheet", "checks", "1");
        row("prompt: re-check", "permissions 0; probes fail; continue; confirm; click recheck", "checks", "2");
        row("prompt: closed by the re-check", "permissions 0; probes fail; continue; confirm; click recheck", "prompt", "hidden (none)");
        // The permission step of the setup screen.
        row("permission: current step", "permissions 1", "permission", "辅助功能 开始授权");
        row("permission: checking", "permissions 1; hold; confirm", "permission", "辅助功能 verifying 正在验证授权… (off)");
        row("permission: failed", "permissions 1; hold; probes fail; confirm; release", "permission", "辅助功能 guidance 开始授权");
        // The page follows the validated installation with the transition the motion setting asks
        // for; the setup screen and the dashboard are built only when first shown.
        row("page: the dashboard at launch", "installed", "page", "dashboard built, dashboard");
        row("page: the setup screen at launch", "setup", "page", "setup built, setup");
        row("page: to the dashboard", "daemon; agent starts", "page", "200 4 setup built, dashboard built, dashboard");
        row("page: back to setup, reduced motion", "reduced motion; installed; recover", "page", "150 0 setup built, dashboard built, setup");
        row("keyboard: every button", "offered; fail AGENT_START_TIMEOUT; activity Started working; present", "keyboard", "");
        // The tray panel's header and the emblem follow the overall state.
        row("header: starting", "runtime", "header", "正在安装 Quorvantis 正在准备运行环境。 spinner");
        row("header: starting, reduced motion", "reduced motion; runtime", "header", "正在安装 Quorvantis 正在准备运行环境。 still spinner");
        row("header: before any launch state", "setup", "header before launch", "等待安装");
        row("header: waiting", "setup", "header", "等待 setup 输入 JIT Code 或 Setup Code 完成设备注册。 key.horizontal");
        row("header: online", "installed", "header", "在线 Agent 已安装并启动。 checkmark.circle.fill");
        row("header: error", "setup; fail SOMETHING_ODD", "header", "需要处理 Quorvantis 尚未就绪，请查看详情。 xmark.octagon.fill");
        // The agent's actions need a configured agent, and are refused while it updates.
        const QString off = QStringLiteral("重启 Agent (off),重新检查权限 (off),更新 Agent (off),打开日志目录");
        row("actions: not configured", "setup", "actions", off + ",更新 Agent (off),重启 Agent (off),重新检查权限 (off) 0 quits 0");
        row("actions: configured", "installed", "actions", "重启 Agent,重新检查权限,更新 Agent,打开日志目录,更新 Agent,重启 Agent,重新检查权限 0 quits 0");
        row("actions: updating", "offered; hold; click update; click update; click pane update", "actions",
            "重启 Agent (off),重新检查权限 (off),正在更新 Agent… (off),打开日志目录,正在更新 Agent… (off) spinning,重启 Agent (off),重新检查权限 (off) 1 quits 0");
        row("actions: updated", "offered; hold; click update; release", "actions", "重启 Agent,重新检查权限,更新 Agent,打开日志目录,更新 Agent,重启 Agent,重新检查权限 1 quits 0");
        row("actions: quit", "setup; click quit", "actions", off + ",更新 Agent (off),重启 Agent (off),重新检查权限 (off) 0 quits 1");
        row("actions: logs and releases without an agent", "setup; click logs; click releases", "opened", "folder https");
        // The update banner.
        row("banner: offered", "offered", "banner", "Agent 1.5.0 可更新 更新");
        row("banner: updating", "offered; hold; click update", "banner", "Agent 1.5.0 可更新 正在更新 Agent… (off) spinner");
        row("banner: dismissed", "offered; click dismiss", "banner", "hidden");
        // The dashboard.
        row("activity: none", "installed", "activity", "尚无活动");
        row("activity: newest first", "installed; activity Started working; activity Task complete", "activity", "Task complete, Started working");
        row("overview: binding", "channel", "overview", "等待完成绑定 bind");
        row("overview: bind button", "channel; click bind", "overview", "等待完成绑定 bind sheet");
        row("overview: bound", "channel; service D", "overview", "已绑定");
        row("overview: bound before this launch", "installed", "overview", "已绑定");
        row("pane: no sample yet", "installed offline", "pane", "连接,系统,权限,操作 未连接,尚未收到,未连接,--");
        row("pane: a sample", "installed offline; poll", "pane", "连接,系统,权限,操作 已连接,刚刚,在线,1.4.0");
        row("error: a code no longer redeemable", "installed; fail SETUP_CODE_UNAVAILABLE", "error", "最后错误 输入新安装码");
        row("error: the daemon did not start", "installed; fail AGENT_START_TIMEOUT", "error", "最后错误 重试");
        row("error: anything else", "installed; fail SOMETHING_ODD", "error", "最后错误 打开日志目录");
        row("focus: the recovery button", "installed; fail SOMETHING_ODD; focus recovery", "focus", "recovery");
        row("focus: its action", "installed; fail SOMETHING_ODD; focus recovery; space recovery", "opened", "folder");
        row("focus: a permission's action", "installed; probes fail; recheck; focus disk", "focus", "row disk");
        row("row: verified", "installed; recheck", "row disk", "已配置 checkmark.circle.fill settings 0");
        row("row: never probed", "setup", "row disk", "等待检查 circle.dashed settings 0");
        row("row: not granted opens its settings", "installed; probes fail; recheck; click row disk", "row disk", "请完成系统授权 exclamationmark.triangle action settings 1");
        row("row: the current onboarding step", "permissions 0", "row screen", "等待检查 circle.dashed action settings 0");
        row("row: a later step waits", "permissions 0", "row access", "等待检查 circle.dashed settings 0");
        row("row: continues the onboarding", "permissions 0; click row screen", "row screen", "等待检查 circle.dashed action settings 0 prompt");
        row("row: while checked", "permissions 0; hold; confirm", "row screen", "正在验证授权… arrow.triangle.2.circlepath settings 0");
        // The binding sheet: its detail line (the first that applies) and its actions.
        const QString verified = QStringLiteral("Ownership verified，正在完成连接并进入面板…");
        row("sheet: verified, while opening", "binding; service P; service N; hold; click open link", "sheet", verified);
        row("sheet: bound", "binding; service L; service D", "sheet", verified);
        row("sheet: opening", "binding; service L; hold; click open link", "sheet", "正在打开系统浏览器。打开后可随时返回本窗口查看进度。");
        row("sheet: failed, over opened by the agent", "binding; service L; browser fails; click open link; service A", "sheet", "浏览器没有打开时，请复制链接后在浏览器中完成绑定。");
        row("sheet: opened by the agent", "binding; service A", "sheet", "绑定页面已打开，请在系统浏览器中完成操作。Quorvantis 会在后台等待，绑定成功后自动继续。");
        row("sheet: otherwise", "binding; service L", "sheet", "请在系统浏览器中选择 Channel。Quorvantis 会在后台等待，绑定成功后自动继续。");
        row("sheet: failures spoken", "binding; service L; browser fails; click open link; service F", "sheet spoken",
            "绑定 Channel，浏览器没有打开时，请复制链接后在浏览器中完成绑定。，没有成功打开默认浏览器，请复制链接后手动打开，或再次点击重试。，Channel 绑定配置无效");
        row("sheet: appearing refreshes after a moment", "channel; present", "requests", "550");
        row("sheet: then the link, a new one, a re-read", "channel; present; advance 550; click regenerate; click refresh", "requests", "550 same new same");
        row("sheet actions: a new attempt does not repeat the old failure", "binding; service L; browser fails; click open link; hold; click open link",
            "sheet actions", "打开浏览器 (off),复制链接 (off),重新生成 (off),刷新状态 0");
        // Sheets belong to the window: while it is closed they wait; closing it dismisses nothing.
        row("sheet: waits for a closed window", "channel; close window; present", "sheet shown", "waiting presented");
        row("sheet: shown with the window", "channel; close window; present; show window", "sheet shown", "shown presented");
        row("sheet: closing the window dismisses nothing", "channel; present; close window", "sheet shown", "waiting presented");
        row("sheet actions: no link", "binding", "sheet actions", "打开浏览器 (off),复制链接 (off),重新生成,刷新状态 0");
        row("sheet actions: copied", "binding; service L; click copy link", "sheet actions", "打开浏览器,已复制,重新生成,刷新状态 1");
        row("sheet actions: opened", "binding; service L; click copy link; click open link", "sheet actions", "重新打开浏览器,复制链接,重新生成,刷新状态 1");
        row("sheet actions: failures", "binding; service L; browser fails; click open link; service F", "sheet actions", "重试,复制链接,重新生成,刷新状态 open failure error 0");
        row("sheet actions: while a link is fetched", "binding; present; service L; slow; outlast", "sheet actions", "打开浏览器 (off),复制链接 (off),重新生成 (off),刷新状态 (off) 0 presented");
        row("sheet actions: closed", "binding; present; click close sheet", "sheet actions", "打开浏览器 (off),复制链接 (off),重新生成,刷新状态 0");
        row("sheet actions: escape", "binding; present; escape sheet", "sheet actions", "打开浏览器 (off),复制链接 (off),重新生成,刷新状态 0");
        row("sheet actions: presented", "binding; present", "sheet actions", "打开浏览器 (off),复制链接 (off),重新生成,刷新状态 0 presented");
    }

    void shows()
    {
        QFETCH(QString, scene);
        QFETCH(QString, look);
        QFETCH(QString, seen);
        QStringList steps = scene.split(QStringLiteral("; "));
        Motion::setReducedMotionOverride(steps.first() == u"reduced motion" && !steps.takeFirst().isEmpty());
        Window window(steps.first());
        for (const QString &step : steps.mid(1)) {
            window.act(step);
            if (QTest::currentTestFailed())
                return;
        }
        QCOMPARE(window.look(look), seen);
    }



    // The setup screen opens at its top whatever it holds; only what appears afterwards (the
    // permission step, an error, the authorization card) scrolls itself into view.
    void setupScreenScrolling()
    {
        for (const QString appears : {"permission", "error", "authorization"}) {
            for (const bool opensWithIt : {true, false}) {
                Scene s;
                AppModel &m = s.reach(appears == u"permission" ? "preparing" : appears == u"error" ? "permissions 0" : "submitting");
                const auto failure = [&m] { m.fail(QStringLiteral("AGENT_RESTART_FAILED")); };
                const auto change = [&] { appears == u"permission" ? s.release() : appears == u"error" ? failure() : s.setupWithCode->authorization(authorization()); };
                if (appears != u"error")
                    failure(); // a screen taller than the window
                if (opensWithIt)
                    change();
                RootContentView root(&m);
                root.resize(RootContentView::minimumContentSize);
                root.show();
                QVERIFY(QTest::qWaitForWindowExposed(&root));
                settle();
                SetupView *view = root.setupView();
                const QScrollBar *bar = view->scrollArea()->verticalScrollBar();
                QVERIFY2(bar->value() == 0 && bar->maximum() > 0, qPrintable(appears));
                if (!opensWithIt)
                    change();
                QWidget *target = appears == u"permission" ? view->permissionSection() : appears == u"error" ? view->errorSection() : view->authorizationCard();
                QWidget *viewport = view->scrollArea()->viewport();
                QTRY_VERIFY2(opensWithIt || (bar->value() > 0 && target->isVisible() && viewport->rect().contains(QRect(target->mapTo(viewport, QPoint(0, 0)), target->size()))), qPrintable(appears));
            }
        }
    }

    // A wait shorter than the busy delay never shows, poll after poll; a press shows at once; a
    // running action cannot be started again, and its end is said.
    void busyStates()
    {
        BusyDelay::setDelayForTesting(std::chrono::hours(1)); // no wait here outlasts it
        Window w(QStringLiteral("binding"));
        w.act(QStringLiteral("present"));
        w.act(QStringLiteral("service L"));
        ChannelBindingSessionSheet *sheet = w.sheet();
        const auto buttons = [sheet] { return Window::on(sheet->openButton()) + Window::on(sheet->regenerateButton()) + Window::on(sheet->refreshButton()); };
        const QString idle = buttons();
        w.s.onboarding->whenExhausted = session(true, bindingLink());
        w.s.onboarding->latency = 100ms;
        for (int poll = 0; poll < 2; ++poll) {
            auto refresh = w.m.refreshOwnerSetup(true);
            settle();
            QVERIFY(w.m.isLoadingOwnerSetup());
            QCOMPARE(buttons(), idle);
            w.s.time.advance(100ms);
            await(std::move(refresh));
            settle();
            QCOMPARE(buttons(), idle);
        }
        QTest::mouseClick(sheet->regenerateButton(), Qt::LeftButton);
        settle();
        QVERIFY(!sheet->regenerateButton()->isEnabled() && !sheet->reasonLabel()->isHidden());
        w.s.time.advance(100ms);
        QTRY_COMPARE(buttons(), idle);
        BusyDelay::setDelayForTesting(std::nullopt);

        Window d(QStringLiteral("installed"));
        Step held = Step::success();
        held.gate = d.s.gate();
        d.s.daemonInstall->steps = {held};
        QPushButton *restart = d.dashboard()->statusPane()->restartButton();
        QTest::mouseClick(restart, Qt::LeftButton);
        settle();
        QCOMPARE(Window::on(restart), QStringLiteral("正在重启 Agent… (off)"));
        QCOMPARE(Window::on(d.panel.restartButton()), QStringLiteral("正在重启 Agent… (off)"));
        QTest::mouseClick(restart, Qt::LeftButton);
        Quorvantis::startDetached(d.m.perform(AppModel::RecoveryAction::make(AppModel::RecoveryAction::Kind::restartAgent)), "again");
        d.s.release();
        QTRY_COMPARE(Window::on(restart), QStringLiteral("重启 Agent"));
        QCOMPARE(d.s.daemonInstall->calls.size(), 1);
        QVERIFY(!d.m.lastError());
        QCOMPARE(d.dashboard()->statusPane()->noticeLabel()->text(), QStringLiteral("已重启 Agent"));
    }

    // A view renders on the turn after the model announced a change, once per burst.
    void rendersAreCoalesced()
    {
        Scene s;
        AppModel &m = s.reach(QStringLiteral("setup"));
        QObject owner;
        int renders = 0;
        ModelObserver observer(&m, &owner, [&renders] { ++renders; });
        m.setSetupAgentName(QStringLiteral("a"));
        m.requestFocus(AppModel::FocusTarget::setupCode());
        QVERIFY(observer.renderPending() && renders == 0);
        settle();
        QCOMPARE(renders, 1);
    }





    // The window and the tray panel share one model; the panel is built when first needed;
    // closing the window ends the process only where no tray leads back; Ctrl+O and the panel's
    // open button bring a closed window back.
    void scenesShareOneModel()
    {
        QApplication::setQuitOnLastWindowClosed(QSystemTrayIcon::isSystemTrayAvailable());
        Scene s;
        AppModel::Options options = QuorvantisApp::modelOptions(QProcessEnvironment());
        options.profileDirectory = s.profileDirectory();
        options.effects = s.effects;
        options.sleeper = [&time = s.time](std::chrono::milliseconds d) { return time.sleep(d); };
        QuorvantisApp app(std::move(options));
        QVERIFY(QApplication::quitOnLastWindowClosed() == !app.hasSystemTray() && !app.isMenuBarContentBuilt());
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
        app.mainWindow()->close();
        QTest::mouseClick(panel->openButton(), Qt::LeftButton);
        QVERIFY(app.mainWindow()->isVisible());
    }
};

QTEST_MAIN(ViewTests)
#include "ViewTests.moc"
