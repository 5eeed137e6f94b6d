// Offscreen tests of the main window's views: what they show for a model state and which model
// operation each control reaches.

#include "app/AppModel.h"
#include "support/ModelFixture.h"
#include "ui/AuthorizationCard.h"
#include "ui/MenuBarContent.h"
#include "ui/PermissionPromptSheet.h"
#include "ui/RootContentView.h"
#include "ui/SetupView.h"
#include "ui/Symbols.h"
#include "ui/Views.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <memory>

using Stage = AppModel::InstallStage;
using Phase = AppModel::SetupPhase;
using State = AppModel::ProgressState;

namespace {

QCoro::Task<bool> answer(bool value)
{
    co_return value;
}

// Every permission probe fails; the returned counter counts them.
std::shared_ptr<int> countFailingChecks(ModelFixture &fixture)
{
    auto checks = std::make_shared<int>(0);
    fixture.effects.permissionCheck = [checks](PermissionKind) {
        ++*checks;
        return answer(false);
    };
    return checks;
}

QCoro::Task<CLIResult> countedExit(std::shared_ptr<int> calls, qint32 status)
{
    ++*calls;
    co_return CLIResult{status, std::nullopt};
}

// Lets every coalesced render run.
void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

void setPhase(AppModel &model, Phase phase, State state)
{
    model.setupProgress.mutate([&](QList<AppModel::SetupProgressItem> &items) {
        for (auto &item : items) {
            if (item.phase == phase)
                item.state = state;
        }
    });
}

void verifyUpTo(AppModel &model, int count)
{
    model.permissions.mutate([&](QList<AppModel::PermissionItem> &items) {
        for (int i = 0; i < items.size(); ++i) {
            items[i].verified = i < count;
            items[i].nativeState = i < count ? AppModel::PermissionNativeState::granted : AppModel::PermissionNativeState::unknown;
        }
    });
}

// A model restored at the setup stage, the way a launch after the permissions finds it.
AppModel &makeAtSetupStage(ModelFixture &fixture)
{
    fixture.writeProfileFile(QStringLiteral("mac-app-install-stage"), "setup\n");
    AppModel &model = fixture.make();
    if (model.installStage != AppModel::InstallStage::setup)
        qFatal("the model did not restore the setup stage");
    return model;
}

JITWorkspaceAuthorization request(const QString &password, const QString &provider = QStringLiteral("google"))
{
    return {provider, QStringLiteral("owner@example.com"), password,
            QUrl(QStringLiteral("https://accounts.example.com/o/oauth2/auth"))};
}

} // namespace

class ViewTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        Motion::setReducedMotionOverride(false);
    }

    // ---- The current-stage line ------------------------------------------------------------

    // Each row also sets up everything that ranks below its rule, so the order is checked.
    void stageLine_data()
    {
        QTest::addColumn<int>("stage"); // -1: none yet
        QTest::addColumn<bool>("authorization");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QList<int>>("running");
        QTest::addColumn<QList<int>>("failed");
        QTest::addColumn<QString>("expected");
        const QString detail = QStringLiteral("正在验证安装码");
        const int redeem = int(Phase::redeem), configure = int(Phase::configure), verify = int(Phase::verify);
        QTest::newRow("authorization wins over everything") << int(Stage::channel) << true << detail << QList<int>{}
                                                            << QList<int>{} << "等待 Workspace 授权";
        QTest::newRow("channel stage") << int(Stage::channel) << false << detail << QList<int>{redeem} << QList<int>{}
                                       << "等待 Channel 绑定";
        QTest::newRow("current permission") << int(Stage::permissions) << false << detail << QList<int>{} << QList<int>{}
                                            << "配置辅助功能";
        QTest::newRow("progress detail") << int(Stage::setup) << false << detail << QList<int>{configure} << QList<int>{}
                                         << detail;
        QTest::newRow("first running phase") << int(Stage::setup) << false << QString() << QList<int>{configure, verify}
                                             << QList<int>{redeem} << "写入安全配置";
        QTest::newRow("first failed phase") << int(Stage::setup) << false << QString() << QList<int>{}
                                            << QList<int>{redeem, verify} << "验证安装码需要处理";
        QTest::newRow("waiting in the setup stage") << int(Stage::setup) << false << QString() << QList<int>{}
                                                    << QList<int>{} << "Waiting for setup";
        QTest::newRow("nothing yet") << -1 << false << QString() << QList<int>{} << QList<int>{} << "准备安装";
    }

    void stageLine()
    {
        QFETCH(int, stage);
        QFETCH(bool, authorization);
        QFETCH(QString, detail);
        QFETCH(QList<int>, running);
        QFETCH(QList<int>, failed);
        QFETCH(QString, expected);
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.installStage = stage < 0 ? std::nullopt : std::optional(Stage(stage));
        model.setupProgress = QList<AppModel::SetupProgressItem>();
        for (const Phase phase : allCases<Phase>())
            model.setupProgress.mutate([phase](auto &items) { items.append({phase, State::pending}); });
        if (authorization)
            model.setupAuthorization = request(QStringLiteral("secret"));
        if (!detail.isEmpty())
            model.setupProgressDetail = detail;
        verifyUpTo(model, 1);
        for (const int phase : running)
            setPhase(model, Phase(phase), State::running);
        for (const int phase : failed)
            setPhase(model, Phase(phase), State::failed);

        QCOMPARE(SetupView::currentStageText(model), expected);
        SetupView view(&model);
        settle();
        QCOMPARE(view.stageLabel()->text(), expected);
        QCOMPARE(view.stageLabel()->accessibleName(), QStringLiteral("当前安装阶段，") + expected);
    }

    // ---- The entry form --------------------------------------------------------------------

    void codeNote_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("note");
        const QString instant = QStringLiteral("将即时创建 Agent。若安装码包含 Workspace，稍后会请你完成授权。");
        const QString regular = QStringLiteral("注册完成后会启动 Agent，并进入 Channel 绑定。");
        QTest::newRow("QVS2 code") << "qvs2abcd" << "QVS2-ABCD" << regular;
        QTest::newRow("QVI1 prefix only") << "qvi1" << "QVI1" << regular;
        QTest::newRow("QVI1 code") << "qvi1abcd" << "QVI1-ABCD" << instant;
    }

    void codeNote()
    {
        QFETCH(QString, typed);
        QFETCH(QString, field);
        QFETCH(QString, note);
        ModelFixture fixture;
        AppModel &model = makeAtSetupStage(fixture);
        SetupView view(&model);
        view.show();
        QTest::keyClicks(view.setupCodeField(), typed);
        settle();
        QCOMPARE(model.setupCode(), field);
        QCOMPARE(view.setupCodeField()->text(), field);
        QCOMPARE(view.setupCodeNote()->text(), note);
        // An instant code cannot be submitted without a name, so the field must be there.
        QCOMPARE(view.agentNameBox()->isVisible(), field.startsWith(QStringLiteral("QVI1-")));
    }

    void returnIsTheDefaultAction()
    {
        ModelFixture fixture;
        auto calls = std::make_shared<int>(0);
        fixture.effects.setupWithCode = [calls](QString, std::optional<QString>, AppModel::OutputHandler,
                                                AppModel::AuthorizationHandler) { return countedExit(calls, 1); };
        AppModel &model = makeAtSetupStage(fixture);
        SetupView view(&model);
        view.show();
        settle();
        // Nothing to submit yet: Return does nothing.
        view.setupCodeField()->clearFocus();
        QTest::keyClick(&view, Qt::Key_Return);
        settle();
        QCOMPARE(*calls, 0);
        model.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        settle();
        QTest::keyClick(&view, Qt::Key_Return);
        QTRY_COMPARE(*calls, 1);
        // A later focus request brings the code field back, where Return submits too.
        QTest::keyClicks(view.setupCodeField(), QStringLiteral("QVS27K2M9PQRX4TV"));
        view.primaryButton()->setFocus();
        model.focusTarget = AppModel::FocusTarget::setupCode();
        model.focusRevision = model.focusRevision() + 1;
        settle();
        QCOMPARE(view.focusWidget(), view.setupCodeField());
        QTest::keyClick(view.setupCodeField(), Qt::Key_Return);
        QTRY_COMPARE(*calls, 2);

        // While a registration runs, neither the button nor Return starts another.
        model.setSetupCodeInput(QStringLiteral("QVS2-7K2M-9PQR-X4TV"));
        model.isSubmittingSetup = true;
        settle();
        QCOMPARE(view.primaryButton()->text(), QStringLiteral("正在注册…"));
        QVERIFY(!view.primaryButton()->isEnabled());
        QTest::mouseClick(view.primaryButton(), Qt::LeftButton);
        QTest::keyClick(view.setupCodeField(), Qt::Key_Return);
        settle();
        QCOMPARE(*calls, 2);
        model.isSubmittingSetup = false;
        settle();
        QCOMPARE(view.primaryButton()->text(), QStringLiteral("继续设置"));
        QVERIFY(view.primaryButton()->isEnabled());
    }

    void enrollmentForm()
    {
        ModelFixture fixture;
        fixture.effects.enrollmentKeyProvider = [] { return std::optional<QString>(QStringLiteral("key")); };
        AppModel &model = makeAtSetupStage(fixture);
        SetupView view(&model);
        view.show();
        settle();
        QVERIFY(view.enrollmentLink()->isEnabled());
        QTest::mouseClick(view.enrollmentLink(), Qt::LeftButton);
        settle();
        QCOMPARE(model.setupEntryMode(), AppModel::SetupEntryMode::enroll);
        QVERIFY(view.workspacePicker()->isVisible());
        QComboBox *picker = view.workspacePicker();
        picker->setCurrentIndex(picker->findText(QStringLiteral("Zoho")));
        QCOMPARE(model.enrollmentWorkspace(), AppModel::EnrollmentWorkspace::zoho);
        // And the other way round: the picker follows the model.
        model.enrollmentWorkspace = AppModel::EnrollmentWorkspace::google;
        settle();
        QCOMPARE(picker->currentText(), QStringLiteral("Google"));

        // Before anything is typed the name rule reads as a hint, not as a failure.
        auto colour = [&] { return view.agentNameValidation()->palette().color(QPalette::WindowText); };
        QCOMPARE(colour(), UIToken::secondaryLabel(&view));
        QTest::keyClicks(view.agentNameField(), QStringLiteral("Bad Name!"));
        settle();
        const auto message = model.setupAgentNameValidationMessage();
        QVERIFY(message.has_value());
        QCOMPARE(view.agentNameValidation()->text(), *message);
        QCOMPARE(colour(), UIToken::destructive());
        QVERIFY(!view.primaryButton()->isEnabled());
    }

    // Every row of the open picker, the selected one included, shows its title legibly.
    void workspacePopupRowsAreLegible()
    {
        ModelFixture fixture;
        AppModel &model = makeAtSetupStage(fixture);
        model.setupEntryMode = AppModel::SetupEntryMode::enroll;
        model.enrollmentWorkspace = AppModel::EnrollmentWorkspace::zoho;
        RootContentView root(&model);
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
            QRgb background = counts.cbegin().key();
            for (auto it = counts.cbegin(); it != counts.cend(); ++it)
                if (it.value() > counts.value(background))
                    background = it.key();
            int contrasting = 0;
            for (auto it = counts.cbegin(); it != counts.cend(); ++it)
                if (qAbs(qGray(it.key()) - qGray(background)) > 110)
                    contrasting += it.value();
            QVERIFY2(contrasting > 12, qPrintable(picker->itemText(row)));
        }
        picker->hidePopup();
    }

    void sectionsFollowTheStage()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.installStage = Stage::runtime;
        SetupView view(&model);
        view.show();
        settle();
        QVERIFY(!view.entryForm()->isVisible());
        QCOMPARE(view.titleLabel()->text(), QStringLiteral("安装 Quorvantis"));
        model.installStage = Stage::setup;
        model.focusRevision = model.focusRevision() + 1; // any write re-renders
        settle();
        QVERIFY(view.entryForm()->isVisible());
        QCOMPARE(view.titleLabel()->text(), QStringLiteral("Setup Quorvantis"));
        // The authorization card only while a request is pending.
        QVERIFY(!view.authorizationCard()->isVisible());
        model.setupAuthorization = request(QStringLiteral("pw"));
        settle();
        QVERIFY(view.authorizationCard()->isVisible());
        model.setupAuthorization = std::nullopt;
        model.configurationReady = true;
        settle();
        QVERIFY(!view.authorizationCard()->isVisible());
        QVERIFY(!view.entryForm()->isVisible());
    }

    // ---- Progress ---------------------------------------------------------------------------

    void packageProgress_data()
    {
        QTest::addColumn<bool>("preparing");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<int>("completed");
        QTest::addColumn<int>("total");
        QTest::addColumn<QString>("caption"); // empty: the package bar is hidden
        QTest::addColumn<QString>("spoken");
        const QString step = QStringLiteral("安装 Quorvantis");
        QTest::newRow("counting") << true << step << 0 << 0 << "正在计算安装内容…" << "";
        QTest::newRow("a third") << true << step << 1 << 3 << "1/3 · 33%" << "已安装 1 个包，共 3 个，33%";
        QTest::newRow("over the total") << true << step << 12 << 10 << "12/10 · 100%" << "已安装 12 个包，共 10 个，100%";
        QTest::newRow("package step, no count yet") << true << step << -1 << -1 << "正在计算安装内容…" << "";
        // The model keeps the last count once the package step is over: the bar goes anyway.
        QTest::newRow("runtime finished") << false << step << 36 << 36 << "" << "";
        QTest::newRow("a later step") << true << QStringLiteral("检查运行环境") << 36 << 36 << "" << "";
    }

    void packageProgress()
    {
        QFETCH(bool, preparing);
        QFETCH(QString, detail);
        QFETCH(int, completed);
        QFETCH(int, total);
        QFETCH(QString, caption);
        QFETCH(QString, spoken);
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.installStage = Stage::runtime;
        SetupView view(&model);
        view.show();
        model.isPreparingEnvironment = preparing;
        model.setupProgressDetail = detail;
        if (completed >= 0)
            model.packageInstallProgress = AppModel::PackageInstallProgress{completed, total};
        settle();
        QCOMPARE(view.packageProgress()->isVisible(), !caption.isEmpty());
        if (caption.isEmpty())
            return;
        QCOMPARE(view.packageCaption()->text(), caption);
        QCOMPARE(view.packageBar()->maximum() > 0, !spoken.isEmpty());
        if (!spoken.isEmpty())
            QCOMPARE(view.packageBar()->accessibleDescription(), spoken);
        else
            QCOMPARE(view.packageBar()->accessibleName(), QStringLiteral("正在计算安装内容"));
    }

    // ---- The authorization card -------------------------------------------------------------

    void cardMasksEveryPassword_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("3 characters") << "a1!";
        QTest::newRow("40 characters") << "0123456789abcdefghij0123456789ABCDEFGHIJ";
    }

    void cardMasksEveryPassword()
    {
        QFETCH(QString, password);
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.setupAuthorization = request(password);
        QStringList copied;
        AuthorizationCard card(&model, nullptr, [&copied](const QString &text) {
            copied.append(text);
            return true;
        });
        card.show();
        settle();
        const QString bullets = QString(12, QChar(0x2022));
        QCOMPARE(card.passwordLabel()->text(), bullets);
        QVERIFY(!card.passwordLabel()->accessibleName().contains(password));
        QTest::mouseClick(card.revealButton(), Qt::LeftButton);
        QCOMPARE(card.passwordLabel()->text(), password);
        QTest::mouseClick(card.revealButton(), Qt::LeftButton);
        QCOMPARE(card.passwordLabel()->text(), bullets);

        QTest::mouseClick(card.copyPasswordButton(), Qt::LeftButton);
        QCOMPARE(copied, QStringList{password});
        QCOMPARE(card.copyPasswordButton()->text(), QStringLiteral("已复制"));
    }

    void cardOpenButtonStates()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.setupAuthorization = request(QStringLiteral("pw"), QStringLiteral("zoho"));
        AuthorizationCard card(&model, nullptr, [](const QString &) { return false; });
        card.show();
        settle();
        QCOMPARE(card.titleLabel()->text(), QStringLiteral("完成 Zoho Workspace 授权"));
        // A failed copy does not claim success.
        QTest::mouseClick(card.copyEmailButton(), Qt::LeftButton);
        QCOMPARE(card.copyEmailButton()->text(), QStringLiteral("复制邮箱"));
        QVERIFY(!card.copiedSetupEmail());
        QVERIFY(card.openButton()->isEnabled());
        QVERIFY(!card.failureLabel()->isVisible());
        model.isOpeningSetupAuthorization = true;
        settle();
        QCOMPARE(card.openButton()->text(), QStringLiteral("正在打开授权页面…"));
        QVERIFY(!card.openButton()->isEnabled());
        model.isOpeningSetupAuthorization = false;
        model.setupAuthorizationOpenFailed = true;
        settle();
        QVERIFY(card.failureLabel()->isVisible());
    }

    // ---- The permission prompt and section ---------------------------------------------------

    void promptButtons_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("settingsForm");
        QTest::addColumn<bool>("cliclickStep");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("buttons");
        const QStringList settings{QStringLiteral("取消"), QStringLiteral("打开系统设置"), QStringLiteral("重新检查")};
        QTest::newRow("screen recording") << int(PermissionKind::screenRecording) << false << false << "准备授权屏幕录制"
                                          << QStringList{"取消", "开始验证"};
        QTest::newRow("accessibility node") << int(PermissionKind::accessibility) << false << false << "准备授权辅助功能"
                                            << QStringList{"取消", "继续授权Node"};
        QTest::newRow("accessibility cliclick") << int(PermissionKind::accessibility) << false << true << "准备授权辅助功能"
                                                << QStringList{"取消", "继续授权cliclick"};
        QTest::newRow("screen recording, settings") << int(PermissionKind::screenRecording) << true << false
                                                    << "准备授权屏幕录制" << settings;
    }

    void promptButtons()
    {
        QFETCH(int, kind);
        QFETCH(bool, settingsForm);
        QFETCH(bool, cliclickStep);
        QFETCH(QString, title);
        QFETCH(QStringList, buttons);
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.installStage = Stage::permissions;
        model.accessibilityStep = cliclickStep ? AccessibilityStep::cliclick : AccessibilityStep::node;
        model.permissionSettingsPrompt = settingsForm;
        model.permissionPromptKind = PermissionKind(kind);
        RootContentView root(&model);
        root.show();
        settle();
        PermissionPromptSheet *prompt = root.permissionPrompt();
        QVERIFY(prompt->isVisible());
        QCOMPARE(prompt->titleLabel()->text(), title);
        QCOMPARE(prompt->visibleButtonTitles(), buttons);
        QVERIFY(!prompt->explanationLabel()->text().isEmpty());
    }

    void dismissingAndRecheckingThePrompt()
    {
        ModelFixture fixture;
        const auto checks = countFailingChecks(fixture);
        AppModel &model = fixture.make();
        model.installStage = Stage::permissions;
        model.permissionSettingsPrompt = true;
        model.permissionPromptKind = PermissionKind::screenRecording;
        RootContentView root(&model);
        root.show();
        settle();
        QTest::keyClick(root.permissionPrompt(), Qt::Key_Escape);
        QVERIFY(!model.permissionPromptKind().has_value());
        QVERIFY(!model.permissionSettingsPrompt());
        settle();
        QVERIFY(!root.permissionPrompt()->isVisible());
        // The model opening it again shows it again; rechecking from it closes it and probes.
        model.permissionPromptKind = PermissionKind::screenRecording;
        settle();
        QVERIFY(root.permissionPrompt()->isVisible());
        QTest::mouseClick(root.permissionPrompt()->recheckButton(), Qt::LeftButton);
        QVERIFY(!model.permissionPromptKind().has_value());
        QTRY_COMPARE(*checks, 1);
    }

    void permissionSectionTexts()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.installStage = Stage::permissions;
        verifyUpTo(model, 1);
        SetupView view(&model);
        view.show();
        settle();
        QVERIFY(view.permissionSection()->isVisible());
        // The second permission is the current one.
        QVERIFY(view.permissionTexts().contains(QStringLiteral("辅助功能")));
        QVERIFY(!view.permissionTexts().contains(model.permissionSettingsGuidance()));

        // A failed probe: the guidance appears.
        model.permissionAwaitingReturn = PermissionKind::accessibility;
        model.permissionSettingsPrompt = true;
        settle();
        QVERIFY(view.permissionTexts().contains(model.permissionSettingsGuidance()));

        // A running check: the verifying texts and the busy button.
        model.permissionAwaitingReturn = std::nullopt;
        model.permissionSettingsPrompt = false;
        model.permissionOperationInFlight = true;
        settle();
        QVERIFY(view.permissionTexts().contains(QStringLiteral("正在验证系统权限。")));
        QCOMPARE(view.permissionStartButton()->text(), QStringLiteral("正在验证授权…"));
        QVERIFY(!view.permissionStartButton()->isEnabled());
    }

    // ---- The root window ---------------------------------------------------------------------

    void pageSwitch_data()
    {
        QTest::addColumn<bool>("reduced");
        QTest::addColumn<int>("duration");
        QTest::addColumn<qreal>("travel");
        QTest::newRow("full motion") << false << 200 << qreal(4.0);
        QTest::newRow("reduced motion") << true << 150 << qreal(0.0);
    }

    void pageSwitch()
    {
        QFETCH(bool, reduced);
        QFETCH(int, duration);
        QFETCH(qreal, travel);
        ModelFixture fixture;
        AppModel &model = fixture.make();
        RootContentView root(&model);
        root.setReducedMotion(reduced);
        root.show();
        settle();
        QCOMPARE(root.page(), AppModel::RootPage::setup);
        QVERIFY(!root.lastTransition());
        model.installationValidated = true;
        settle();
        QCOMPARE(root.page(), AppModel::RootPage::dashboard);
        const auto transition = root.lastTransition();
        QVERIFY(transition.has_value());
        QCOMPARE(transition->durationMs, duration);
        QCOMPARE(transition->travel, travel);
        QTRY_VERIFY(!root.transitionRunning());
        QVERIFY(root.dashboardView()->isVisible());
        QVERIFY(!root.dashboardView()->graphicsEffect());
        QCOMPARE(root.dashboardView()->pos(), QPoint(0, 0));
    }

    // The setup screen opens at its top whatever it holds; only what appears afterwards (the
    // permission step, an error, the authorization card) scrolls itself into view.
    void setupScreenScrolling_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("permission step appears") << "permissions";
        QTest::newRow("error appears") << "error";
        QTest::newRow("authorization appears") << "authorization";
    }

    void setupScreenScrolling()
    {
        QFETCH(QString, change);
        const auto error = AppModel::DisplayError::from(QStringLiteral("AGENT_RESTART_FAILED"), std::nullopt);
        // Opened in the state the change leads to: the view stays at the top.
        {
            ModelFixture fixture;
            AppModel &model = fixture.make();
            model.installStage = Stage::permissions;
            model.lastError = error;
            if (change == u"authorization")
                model.setupAuthorization = request(QStringLiteral("secret-1"));
            RootContentView root(&model);
            root.show();
            QVERIFY(QTest::qWaitForWindowExposed(&root));
            settle();
            const QScrollBar *bar = root.setupView()->scrollArea()->verticalScrollBar();
            QVERIFY2(bar->maximum() > 0, "the screen must be taller than the window");
            QCOMPARE(bar->value(), 0);
        }
        // The same thing appearing while the user looks at the top of a small window: it is
        // brought into view.
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.installStage = change == u"permissions" ? Stage::runtime : Stage::permissions;
        if (change != u"error")
            model.lastError = error;
        RootContentView root(&model);
        root.resize(RootContentView::minimumContentSize);
        root.show();
        QVERIFY(QTest::qWaitForWindowExposed(&root));
        settle();
        QScrollArea *scroll = root.setupView()->scrollArea();
        QCOMPARE(scroll->verticalScrollBar()->value(), 0);
        QWidget *target = root.setupView()->authorizationCard();
        if (change == u"permissions") {
            model.installStage = Stage::permissions;
            model.setupProgressDetail = std::nullopt; // the stage is plain state: announce it
            target = root.setupView()->permissionSection();
        } else if (change == u"error") {
            model.lastError = error;
            target = root.setupView()->errorSection();
        } else {
            model.setupAuthorization = request(QStringLiteral("secret-1"));
        }
        settle();
        QTRY_VERIFY(scroll->verticalScrollBar()->value() > 0);
        QVERIFY(target->isVisible());
        QVERIFY(scroll->viewport()->rect().contains(QRect(target->mapTo(scroll->viewport(), QPoint(0, 0)), target->size())));
    }

    void setupScreenIsBuiltWhenFirstNeeded()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.installationValidated = true;
        RootContentView root(&model);
        root.setReducedMotion(true);
        root.show();
        settle();
        QCOMPARE(root.page(), AppModel::RootPage::dashboard);
        // The setup screen is built the first time the window needs it.
        QVERIFY(!root.isSetupViewBuilt());
        model.installationValidated = false;
        settle();
        QCOMPARE(root.page(), AppModel::RootPage::setup);
        QTRY_VERIFY(!root.transitionRunning());
        QVERIFY(root.setupView()->isVisible());
    }

    void announcementsAreSpokenOncePerRevision()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        RootContentView root(&model);
        root.show();
        settle();
        QVERIFY(root.spokenAnnouncements().isEmpty());
        model.announcement = QStringLiteral("权限已验证");
        model.announcementRevision = model.announcementRevision() + 1;
        settle();
        QCOMPARE(root.spokenAnnouncements(), QStringList{QStringLiteral("权限已验证")});
        QCOMPARE(root.announcementRegion()->accessibleName(), QStringLiteral("权限已验证"));

        // The same revision again, even with the same text written again, is not spoken.
        model.announcement = QStringLiteral("权限已验证");
        model.announcementRevision = model.announcementRevision();
        model.isCheckingPermission = true;
        settle();
        QCOMPARE(root.spokenAnnouncements().size(), 1);

        model.announcementRevision = model.announcementRevision() + 1;
        settle();
        QCOMPARE(root.spokenAnnouncements().size(), 2);
    }

    void windowActivationRechecksTheAwaitedPermission()
    {
        ModelFixture fixture;
        const auto checks = countFailingChecks(fixture);
        fixture.writeProfileFile(QStringLiteral("mac-app-install-stage"), "permissions\n");
        AppModel &model = fixture.make();
        QCOMPARE(model.installStage, std::optional(Stage::permissions));
        model.permissionAwaitingReturn = PermissionKind::screenRecording;
        RootContentView root(&model);
        root.show();
        settle();
        const int before = *checks;
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&root, &activate);
        QTRY_COMPARE(*checks, before + 1);

        // Coming back from one of the window's own sheets is no return from the desktop.
        model.permissionPromptKind = PermissionKind::screenRecording;
        settle();
        QVERIFY(root.permissionPrompt()->isVisible());
        QEvent deactivate(QEvent::WindowDeactivate);
        QCoreApplication::sendEvent(&root, &deactivate);
        QCoreApplication::sendEvent(&root, &activate);
        settle();
        QCOMPARE(*checks, before + 1);
    }

    void sheetsWaitForTheWindow()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        RootContentView root(&model);
        model.isChannelBindingSheetPresented = true;
        settle();
        QVERIFY(!root.channelBindingSheet()->isVisible());
        root.show();
        settle();
        QVERIFY(root.channelBindingSheet()->isVisible());
        QTest::keyClick(root.channelBindingSheet(), Qt::Key_Escape);
        QVERIFY(!model.isChannelBindingSheetPresented());
        model.isChannelBindingSheetPresented = true;
        settle();
        root.close();
        settle();
        QVERIFY(!root.channelBindingSheet()->isVisible());
        // Closing the window is no dismissal of the sheet.
        QVERIFY(model.isChannelBindingSheetPresented());
    }

    // ---- The tray panel ----------------------------------------------------------------------

    void panelHeader_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("detail");
        using O = AppModel::OverallState;
        QTest::newRow("not installed") << int(O::notInstalled) << "等待安装" << "Quorvantis 尚未安装。";
        QTest::newRow("starting") << int(O::starting) << "正在安装" << "Quorvantis 正在准备运行环境。";
        QTest::newRow("waiting") << int(O::waitingSetup) << "等待 setup" << "输入 JIT Code 或 Setup Code 完成设备注册。";
        QTest::newRow("online") << int(O::online) << "在线" << "Agent 已安装并启动。";
        QTest::newRow("error") << int(O::error) << "需要处理" << "Quorvantis 尚未就绪，请查看详情。";
    }

    void panelHeader()
    {
        QFETCH(int, state);
        QFETCH(QString, title);
        QFETCH(QString, detail);
        ModelFixture fixture;
        AppModel &model = fixture.make();
        MenuBarContent panel(&model, {});
        model.overallState = AppModel::OverallState(state);
        settle();
        QCOMPARE(panel.titleLabel()->text(), title);
        QCOMPARE(panel.detailLabel()->text(), detail);
    }

    void panelActions()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        int quits = 0;
        MenuBarContent panel(&model, {.openMainWindow = {}, .quit = [&quits] { ++quits; }});
        panel.show();
        settle();
        const QList<QPushButton *> agentActions{panel.restartButton(), panel.recheckButton(), panel.updateButton()};
        for (QPushButton *button : agentActions)
            QVERIFY2(!button->isEnabled(), qPrintable(button->text()));
        QVERIFY(panel.logsButton()->isEnabled());
        model.configurationReady = true;
        settle();
        for (QPushButton *button : agentActions)
            QVERIFY(button->isEnabled());
        model.isUpdatingAgent = true;
        settle();
        QCOMPARE(panel.updateButton()->text(), QStringLiteral("正在更新 Agent…"));
        for (QPushButton *button : agentActions)
            QVERIFY(!button->isEnabled());
        QTest::mouseClick(panel.quitButton(), Qt::LeftButton);
        QCOMPARE(quits, 1);
    }

    // ---- Symbols -----------------------------------------------------------------------------

    void everySymbolHasADrawing_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name :
             {"lock.shield", "checkmark.circle.fill", "xmark.circle.fill", "circle", "circle.dashed", "key.horizontal",
              "xmark.octagon.fill", "exclamationmark.triangle.fill", "exclamationmark.triangle", "person.badge.key",
              "rectangle.inset.filled.and.person.filled", "accessibility", "internaldrive", "hand.raised", "network",
              "sparkles.rectangle.stack.fill", "xmark", "arrow.triangle.2.circlepath", "chevron.down"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void everySymbolHasADrawing()
    {
        QFETCH(QString, name);
        QVERIFY(Symbols::hasBundledSymbol(name));
        const QImage image = Symbols::bundledPixmap(name, 24).toImage();
        // Something was drawn: the image is not all transparent.
        QImage blank(image.size(), image.format());
        blank.fill(Qt::transparent);
        QVERIFY(image != blank);
    }
};

QTEST_MAIN(ViewTests)
#include "ViewTests.moc"
