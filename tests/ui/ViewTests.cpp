// The main window's setup screen, its sheets and its root offscreen, on models put into each
// state through their own operations: what the views show and which operation each control reaches.
#include "Scene.h"

#include "ui/AuthorizationCard.h"
#include "ui/PermissionPromptSheet.h"
#include "ui/RootContentView.h"
#include "ui/SetupView.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

namespace {

const QString failCode = QStringLiteral("AGENT_RESTART_FAILED");

QString progressLine(const char *phase, const QString &detail)
{
    return QStringLiteral(R"({"type":"progress","phase":"%1","status":"running","detail":"%2"})").arg(QLatin1String(phase), detail);
}

QString packageLine(int completed, int total)
{
    return QStringLiteral(R"({"type":"packageProgress","completed":%1,"total":%2})").arg(completed).arg(total);
}

// The states the tables name.
AppModel &reach(Scene &s, const QString &name)
{
    if (name == u"authorizing")
        return s.submitting(authorization());
    if (name == u"submitting")
        return s.submitting();
    if (name == u"channel") { // reached from the daemon stage, with the channel stage's detail
        s.agentStarted->answers = {true};
        AppModel &m = s.at("daemon", true);
        await(m.finishDaemonInstallationIfNeeded());
        return m;
    }
    if (name == u"permission")
        return s.permissions(1);
    if (name == u"daemon")
        return s.at("daemon", true);
    if (name == u"runtime failed") {
        s.environmentPrepare->steps = {Step::exit(1)};
        AppModel &m = s.at("runtime");
        await(m.prepareEnvironmentIfNeeded());
        return m;
    }
    if (name == u"configured setup")
        return s.at("setup", true);
    if (name == u"finished")
        return s.at("", true);
    return s.at(qPrintable(name));
}

} // namespace

class ViewTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Motion::setReducedMotionOverride(false); }

    void stageLine_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QString>("text");
        // Each state also holds what ranks below its rule where the model can get there.
        QTest::newRow("authorization over the detail") << "authorizing" << "等待 Workspace 授权";
        QTest::newRow("channel stage over its detail") << "channel" << "等待 Channel 绑定";
        QTest::newRow("current permission over the running phase") << "permission" << "配置辅助功能";
        QTest::newRow("detail over the running phase") << "submitting" << "正在验证安装码";
        QTest::newRow("first running phase") << "daemon" << title(SetupPhase::starting);
        QTest::newRow("first failed phase") << "runtime failed" << title(SetupPhase::runtime) + "需要处理";
        QTest::newRow("waiting in the setup stage") << "setup" << "Waiting for setup";
        QTest::newRow("nothing else") << "finished" << "准备安装";
    }

    void stageLine()
    {
        QFETCH(QString, scene);
        QFETCH(QString, text);
        Scene s;
        SetupView view(&reach(s, scene));
        settle();
        QCOMPARE(view.stageLabel()->text(), text);
        QCOMPARE(view.stageLabel()->accessibleName(), QStringLiteral("当前安装阶段，") + text);
    }

    void sections_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("shown"); // the sections that show
        QTest::newRow("runtime") << "runtime" << "安装 Quorvantis" << "";
        QTest::newRow("setup") << "setup" << "Setup Quorvantis" << "entry";
        QTest::newRow("authorization pending") << "authorizing" << "Setup Quorvantis" << "entry card";
        QTest::newRow("configured at setup") << "configured setup" << "Setup Quorvantis" << "";
        QTest::newRow("permissions") << "permission" << "安装 Quorvantis" << "permission";
        QTest::newRow("failure") << "runtime failed" << "安装 Quorvantis" << "error";
    }

    void sections()
    {
        QFETCH(QString, scene);
        QFETCH(QString, title);
        QFETCH(QString, shown);
        Scene s;
        SetupView view(&reach(s, scene));
        view.show();
        settle();
        QCOMPARE(view.titleLabel()->text(), title);
        QCOMPARE(view.entryForm()->isVisible(), shown.contains(u"entry"));
        QCOMPARE(view.authorizationCard()->isVisible(), shown.contains(u"card"));
        QCOMPARE(view.permissionSection()->isVisible(), shown.contains(u"permission"));
        QCOMPARE(view.errorSection()->isVisible(), shown.contains(u"error"));
    }

    void codeNote_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("instant"); // a name is needed, and the note says so
        QTest::newRow("QVS2 code") << "qvs2abcd" << "QVS2-ABCD" << false;
        QTest::newRow("QVI1 prefix only") << "qvi1" << "QVI1" << false;
        QTest::newRow("QVI1 code") << "qvi1abcd" << "QVI1-ABCD" << true;
    }

    void codeNote()
    {
        QFETCH(QString, typed);
        QFETCH(QString, field);
        QFETCH(bool, instant);
        Scene s;
        AppModel &m = s.at("setup");
        SetupView view(&m);
        view.show();
        QTest::keyClicks(view.setupCodeField(), typed);
        settle();
        QCOMPARE(m.setupCode(), field);
        QCOMPARE(view.setupCodeField()->text(), field);
        QCOMPARE(view.setupCodeNote()->text(), instant ? QStringLiteral("将即时创建 Agent。若安装码包含 Workspace，稍后会请你完成授权。")
                                                       : QStringLiteral("注册完成后会启动 Agent，并进入 Channel 绑定。"));
        QCOMPARE(view.agentNameBox()->isVisible(), instant);
    }

    void returnSubmitsOnceAtATime()
    {
        Scene s;
        AppModel &m = s.at("setup");
        SetupView view(&m);
        view.show();
        settle();
        const auto calls = [&s] { return s.setupWithCode->calls.size(); };
        // Nothing to submit yet: Return does nothing.
        view.setupCodeField()->clearFocus();
        QTest::keyClick(&view, Qt::Key_Return);
        settle();
        QCOMPARE(calls(), 0);
        m.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        settle();
        QTest::keyClick(&view, Qt::Key_Return);
        QTRY_COMPARE(calls(), 1);
        // A later focus request brings the code field back, where Return submits too.
        QTest::keyClicks(view.setupCodeField(), QStringLiteral("QVS27K2M9PQRX4TV"));
        view.primaryButton()->setFocus();
        m.requestFocus(AppModel::FocusTarget::setupCode());
        settle();
        QCOMPARE(view.focusWidget(), view.setupCodeField());
        Step held = Step::exit(1);
        held.gate = s.gate;
        s.setupWithCode->steps = {held};
        QTest::keyClick(view.setupCodeField(), Qt::Key_Return);
        QTRY_COMPARE(calls(), 2);
        // While it runs, neither the button nor Return starts another.
        m.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        settle();
        QCOMPARE(view.primaryButton()->text(), QStringLiteral("正在注册…"));
        QVERIFY(!view.primaryButton()->isEnabled());
        QTest::mouseClick(view.primaryButton(), Qt::LeftButton);
        QTest::keyClick(view.setupCodeField(), Qt::Key_Return);
        s.gate->open();
        settle();
        QCOMPARE(calls(), 2);
        QVERIFY(!m.isSubmittingSetup());
        QCOMPARE(view.primaryButton()->text(), QStringLiteral("继续设置"));
        QVERIFY(view.primaryButton()->isEnabled());
    }

    void enrollmentForm()
    {
        Scene s;
        AppModel &m = s.at("setup");
        SetupView view(&m);
        view.show();
        settle();
        QTest::mouseClick(view.enrollmentLink(), Qt::LeftButton);
        settle();
        QCOMPARE(m.setupEntryMode(), AppModel::SetupEntryMode::enroll);
        QVERIFY(view.workspacePicker()->isVisible() && !view.enrollmentLink()->isVisible());
        QComboBox *picker = view.workspacePicker();
        picker->setCurrentIndex(picker->findText(QStringLiteral("Zoho")));
        QCOMPARE(m.enrollmentWorkspace(), AppModel::EnrollmentWorkspace::zoho);
        m.setEnrollmentWorkspace(AppModel::EnrollmentWorkspace::google);
        settle();
        QCOMPARE(picker->currentText(), QStringLiteral("Google"));
        // Before anything is typed the name rule reads as a hint, not as a failure.
        const auto colour = [&] { return view.agentNameValidation()->palette().color(QPalette::WindowText); };
        QCOMPARE(colour(), UIToken::secondaryLabel(&view));
        QTest::keyClicks(view.agentNameField(), QStringLiteral("Bad Name!"));
        settle();
        QCOMPARE(view.agentNameValidation()->text(), m.setupAgentNameValidationMessage().value_or(QString()));
        QCOMPARE(colour(), UIToken::destructive());
        QVERIFY(!view.primaryButton()->isEnabled());
    }

    // Every row of the open picker, the selected one included, shows its title legibly.
    void workspacePopupRowsAreLegible()
    {
        Scene s;
        AppModel &m = s.at("setup");
        m.beginEnrollmentSetup();
        m.setEnrollmentWorkspace(AppModel::EnrollmentWorkspace::zoho);
        RootContentView root(&m);
        root.show();
        QVERIFY(QTest::qWaitForWindowExposed(&root));
        settle();
        QComboBox *picker = root.setupView()->workspacePicker();
        picker->showPopup();
        QAbstractItemView *list = picker->view();
        QTRY_VERIFY(list->isVisible());
        settle();
        const QImage image = list->viewport()->grab().toImage();
        for (int row = 0; row < picker->count(); ++row) {
            const QRect rect = list->visualRect(list->model()->index(row, 0)) & list->viewport()->rect();
            QVERIFY(!rect.isEmpty());
            // The row's background is its most common colour; the text must stand out from it.
            QHash<QRgb, int> counts;
            for (int y = rect.top(); y <= rect.bottom(); ++y)
                for (int x = rect.left(); x <= rect.right(); ++x)
                    ++counts[image.pixel(x * image.devicePixelRatio(), y * image.devicePixelRatio())];
            const QRgb background = std::max_element(counts.cbegin(), counts.cend()).key();
            int contrasting = 0;
            for (auto it = counts.cbegin(); it != counts.cend(); ++it)
                contrasting += qAbs(qGray(it.key()) - qGray(background)) > 110 ? it.value() : 0;
            QVERIFY2(contrasting > 12, qPrintable(picker->itemText(row)));
        }
        picker->hidePopup();
    }

    // The runtime run's own progress lines drive the package bar; it shows only while the
    // package step runs.
    void packageProgress_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("finished");
        QTest::addColumn<QString>("caption"); // empty: the package bar is hidden
        QTest::addColumn<QString>("spoken");  // empty: still counting
        const QString step = progressLine("runtime", QStringLiteral("安装 Quorvantis"));
        QTest::newRow("counting") << QStringList{step} << false << "正在计算安装内容…" << "";
        QTest::newRow("no total yet") << QStringList{step, packageLine(0, 0)} << false << "正在计算安装内容…" << "";
        QTest::newRow("a third") << QStringList{step, packageLine(1, 3)} << false << "1/3 · 33%" << "已安装 1 个包，共 3 个，33%";
        QTest::newRow("over the total") << QStringList{step, packageLine(12, 10)} << false << "10/10 · 100%" << "已安装 10 个包，共 10 个，100%";
        QTest::newRow("runtime finished") << QStringList{step, packageLine(36, 36)} << true << "" << "";
        QTest::newRow("a later step") << QStringList{step, packageLine(36, 36), progressLine("preflight", QStringLiteral("检查运行环境"))}
                                      << false << "" << "";
    }

    void packageProgress()
    {
        QFETCH(QStringList, lines);
        QFETCH(bool, finished);
        QFETCH(QString, caption);
        QFETCH(QString, spoken);
        Scene s;
        SetupView view(&s.preparing(lines));
        view.show();
        if (finished)
            s.gate->open();
        settle();
        QCOMPARE(view.packageProgress()->isVisible(), !caption.isEmpty());
        if (caption.isEmpty())
            return;
        QCOMPARE(view.packageCaption()->text(), caption);
        QCOMPARE(view.packageBar()->maximum() > 0, !spoken.isEmpty());
        QCOMPARE(spoken.isEmpty() ? view.packageBar()->accessibleName() : view.packageBar()->accessibleDescription(),
                 spoken.isEmpty() ? QStringLiteral("正在计算安装内容") : spoken);
    }

    void authorizationCard_data()
    {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QString>("password");
        QTest::newRow("3 characters") << "google" << "a1!";
        QTest::newRow("40 characters") << "zoho" << "0123456789abcdefghij0123456789ABCDEFGHIJ";
    }

    void authorizationCard()
    {
        QFETCH(QString, provider);
        QFETCH(QString, password);
        Scene s;
        s.authorizationOpen->answers = {false};
        s.authorizationOpen->gate = std::make_shared<Gate>();
        AppModel &m = s.submitting(JITWorkspaceAuthorization{provider, QStringLiteral("bot@example.org"), password,
                                                             QUrl(QStringLiteral("https://accounts.example.org/auth"))});
        QStringList copied;
        bool copies = false;
        AuthorizationCard card(&m, nullptr, [&](const QString &text) {
            if (copies)
                copied << text;
            return copies;
        });
        card.show();
        settle();
        QCOMPARE(card.titleLabel()->text(), QStringLiteral("完成 %1 Workspace 授权").arg(provider == u"zoho" ? "Zoho" : "Google"));
        QCOMPARE(card.passwordLabel()->text(), AuthorizationCard::maskedPassword());
        QVERIFY(!card.passwordLabel()->accessibleName().contains(password));
        QTest::mouseClick(card.revealButton(), Qt::LeftButton);
        QCOMPARE(card.passwordLabel()->text(), password);
        QTest::mouseClick(card.revealButton(), Qt::LeftButton);
        QCOMPARE(card.passwordLabel()->text(), AuthorizationCard::maskedPassword());
        // A failed copy does not claim success.
        QTest::mouseClick(card.copyEmailButton(), Qt::LeftButton);
        QCOMPARE(card.copyEmailButton()->text(), QStringLiteral("复制邮箱"));
        copies = true;
        QTest::mouseClick(card.copyPasswordButton(), Qt::LeftButton);
        QCOMPARE(copied, QStringList{password});
        QCOMPARE(card.copyPasswordButton()->text(), QStringLiteral("已复制"));

        // Opening the page: busy while the browser is asked, then the failure.
        QVERIFY(card.openButton()->isEnabled() && !card.failureLabel()->isVisible());
        QTest::mouseClick(card.openButton(), Qt::LeftButton);
        settle();
        QCOMPARE(card.openButton()->text(), QStringLiteral("正在打开授权页面…"));
        QVERIFY(!card.openButton()->isEnabled());
        s.authorizationOpen->gate->open();
        settle();
        QVERIFY(card.failureLabel()->isVisible() && card.openButton()->isEnabled());
        QCOMPARE(s.authorizationOpen->opened, QList<QUrl>{m.setupAuthorization()->authURL});
    }

    void promptButtons_data()
    {
        QTest::addColumn<int>("verified");
        QTest::addColumn<QString>("then"); // "node passed" or "probe failed"
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("buttons");
        QTest::newRow("screen recording") << 0 << "" << "准备授权屏幕录制" << QStringList{"取消", "开始验证"};
        QTest::newRow("accessibility node") << 1 << "" << "准备授权辅助功能" << QStringList{"取消", "继续授权Node"};
        QTest::newRow("accessibility cliclick") << 1 << "node passed" << "准备授权辅助功能" << QStringList{"取消", "继续授权cliclick"};
        QTest::newRow("after a failed probe") << 0 << "probe failed" << "准备授权屏幕录制"
                                              << QStringList{"取消", "打开系统设置", "重新检查"};
    }

    void promptButtons()
    {
        QFETCH(int, verified);
        QFETCH(QString, then);
        QFETCH(QString, title);
        QFETCH(QStringList, buttons);
        Scene s;
        AppModel &m = s.permissions(verified);
        s.probe->answers = {then != u"probe failed"};
        await(m.continuePermissionOnboarding());
        if (!then.isEmpty())
            await(m.confirmPermissionOnboarding());
        RootContentView root(&m);
        root.show();
        settle();
        PermissionPromptSheet *prompt = root.permissionPrompt();
        QVERIFY(prompt->isVisible());
        QCOMPARE(prompt->titleLabel()->text(), title);
        QCOMPARE(prompt->visibleButtonTitles(), buttons);
        QVERIFY(!prompt->explanationLabel()->text().isEmpty());
    }

    // Escape dismisses the prompt in the model; shown again, its "重新检查" closes it and probes.
    // Activation from the desktop re-probes the awaited permission; coming back from one of the
    // window's own sheets does not.
    void promptDismissalAndActivation()
    {
        Scene s;
        s.probe->answers = {false};
        AppModel &m = s.permissions();
        await(m.confirmPermissionOnboarding(PermissionKind::screenRecording));
        RootContentView root(&m);
        root.show();
        settle();
        QVERIFY(root.permissionPrompt()->isVisible());
        QTest::keyClick(root.permissionPrompt(), Qt::Key_Escape);
        QVERIFY(!m.permissionPromptKind() && !m.permissionSettingsPrompt());
        settle();
        QVERIFY(!root.permissionPrompt()->isVisible());

        const int probes = s.probe->calls;
        QEvent deactivate(QEvent::WindowDeactivate);
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&root, &deactivate);
        QCoreApplication::sendEvent(&root, &activate);
        QTRY_COMPARE(s.probe->calls, probes + 1);

        // The model asks again: shown again, and its own activation is no return from the desktop.
        await(m.confirmPermissionOnboarding(PermissionKind::screenRecording));
        settle();
        QVERIFY(root.permissionPrompt()->isVisible());
        QCoreApplication::sendEvent(&root, &deactivate);
        QCoreApplication::sendEvent(&root, &activate);
        settle();
        QCOMPARE(s.probe->calls, probes + 2);
        QTest::mouseClick(root.permissionPrompt()->recheckButton(), Qt::LeftButton);
        QVERIFY(!m.permissionPromptKind());
        QTRY_COMPARE(s.probe->calls, probes + 3);
    }

    void permissionSection()
    {
        Scene s;
        AppModel &m = s.permissions(1);
        SetupView view(&m);
        view.show();
        settle();
        QVERIFY(view.permissionTexts().contains(QStringLiteral("辅助功能")));
        QVERIFY(!view.permissionTexts().contains(m.permissionSettingsGuidance()));
        // A running check: the verifying texts and the busy button.
        s.probe->answers = {false};
        s.probe->gate = s.gate;
        Quorvantis::startDetached(m.confirmPermissionOnboarding(PermissionKind::accessibility), "check");
        settle();
        QVERIFY(view.permissionTexts().contains(QStringLiteral("正在验证系统权限。")));
        QCOMPARE(view.permissionStartButton()->text(), QStringLiteral("正在验证授权…"));
        QVERIFY(!view.permissionStartButton()->isEnabled());
        // It failed: the guidance.
        s.gate->open();
        settle();
        QVERIFY(view.permissionTexts().contains(m.permissionSettingsGuidance()));
        QVERIFY(!view.permissionTexts().contains(QStringLiteral("正在验证系统权限。")));
        QVERIFY(view.permissionStartButton()->isEnabled());
    }

    // The page follows the validated installation, with the transition the motion setting
    // asks for; the setup screen is only built the first time it is needed.
    void pageSwitch_data()
    {
        QTest::addColumn<bool>("reduced");
        QTest::addColumn<int>("duration");
        QTest::addColumn<qreal>("travel");
        QTest::newRow("to the dashboard, full motion") << false << 200 << qreal(4.0);
        QTest::newRow("back to setup, reduced motion") << true << 150 << qreal(0.0);
    }

    void pageSwitch()
    {
        QFETCH(bool, reduced);
        QFETCH(int, duration);
        QFETCH(qreal, travel);
        Scene s;
        s.agentStarted->answers = {true};
        AppModel &m = reduced ? s.installed() : s.at("daemon", true);
        RootContentView root(&m);
        root.setReducedMotion(reduced);
        root.show();
        settle();
        QCOMPARE(root.isSetupViewBuilt(), !reduced);
        QVERIFY(!root.lastTransition());
        s.probe->answers = {false};
        await(reduced ? m.recoverExistingConfigurationIfNeeded() : m.finishDaemonInstallationIfNeeded());
        settle();
        const auto page = reduced ? AppModel::RootPage::setup : AppModel::RootPage::dashboard;
        QCOMPARE(root.page(), page);
        QCOMPARE(root.lastTransition()->durationMs, duration);
        QCOMPARE(root.lastTransition()->travel, travel);
        QTRY_VERIFY(!root.transitionRunning());
        QWidget *shown = reduced ? root.setupView() : root.dashboardView();
        QVERIFY(shown->isVisible() && !shown->graphicsEffect());
        QCOMPARE(shown->pos(), QPoint(0, 0));
    }

    // The setup screen opens at its top whatever it holds; only what appears afterwards (the
    // permission step, an error, the authorization card) scrolls itself into view.
    void setupScreenScrolling_data()
    {
        QTest::addColumn<QString>("appears");
        QTest::newRow("permission step") << "permissions";
        QTest::newRow("error") << "error";
        QTest::newRow("authorization card") << "authorization";
    }

    void setupScreenScrolling()
    {
        QFETCH(QString, appears);
        for (const bool opensWithIt : {true, false}) {
            Scene s;
            AppModel &m = appears == u"permissions" ? s.preparing({}) : appears == u"error" ? s.permissions() : s.submitting();
            if (appears != u"error")
                m.fail(failCode); // a screen taller than the window
            const auto change = [&] {
                if (appears == u"permissions")
                    s.gate->open();
                else if (appears == u"error")
                    m.fail(failCode);
                else
                    s.setupWithCode->authorization(authorization());
            };
            if (opensWithIt)
                change();
            RootContentView root(&m);
            root.resize(RootContentView::minimumContentSize);
            root.show();
            QVERIFY(QTest::qWaitForWindowExposed(&root));
            settle();
            const QScrollBar *bar = root.setupView()->scrollArea()->verticalScrollBar();
            QCOMPARE(bar->value(), 0);
            if (opensWithIt) {
                QVERIFY2(bar->maximum() > 0, "the screen must be taller than the window");
                continue;
            }
            change();
            settle();
            QTRY_VERIFY(bar->value() > 0);
            SetupView *view = root.setupView();
            QWidget *target = appears == u"permissions" ? view->permissionSection()
                : appears == u"error"                   ? view->errorSection()
                                                        : static_cast<QWidget *>(view->authorizationCard());
            QVERIFY(target->isVisible());
            QWidget *viewport = view->scrollArea()->viewport();
            QVERIFY(viewport->rect().contains(QRect(target->mapTo(viewport, QPoint(0, 0)), target->size())));
        }
    }

    void sheetsWaitForTheWindow()
    {
        Scene s;
        AppModel &m = s.at("channel", true);
        RootContentView root(&m);
        m.setChannelBindingSheetPresented(true);
        settle();
        QVERIFY(!root.channelBindingSheet()->isVisible());
        root.show();
        settle();
        QVERIFY(root.channelBindingSheet()->isVisible());
        QTest::keyClick(root.channelBindingSheet(), Qt::Key_Escape);
        QVERIFY(!m.isChannelBindingSheetPresented());
        m.setChannelBindingSheetPresented(true);
        settle();
        root.close();
        settle();
        QVERIFY(!root.channelBindingSheet()->isVisible());
        // Closing the window is no dismissal of the sheet.
        QVERIFY(m.isChannelBindingSheetPresented());
    }

    // A view renders on the turn after the model announced a change, once per burst.
    void rendersAreCoalesced()
    {
        Scene s;
        AppModel &m = s.at("setup");
        QObject owner;
        int renders = 0;
        ModelObserver observer(&m, &owner, [&renders] { ++renders; });
        m.setSetupAgentName(QStringLiteral("a"));
        m.requestFocus(AppModel::FocusTarget::setupCode());
        m.appendActivity(QStringLiteral("b"));
        QVERIFY(observer.renderPending());
        QCOMPARE(renders, 0);
        settle();
        QCOMPARE(renders, 1);
    }
};

QTEST_MAIN(ViewTests)
#include "ViewTests.moc"
