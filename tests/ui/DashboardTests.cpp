// The dashboard, the update banner, the channel-binding sheet, the tray panel and the
// application entry offscreen, on models put into each state through their own operations.
#include "Scene.h"

#include "platform/Bundle.h"
#include "ui/AgentUpdateBanner.h"
#include "ui/ChannelBindingSessionSheet.h"
#include "ui/DashboardView.h"
#include "ui/MenuBarContent.h"
#include "ui/QuorvantisApp.h"
#include "ui/RootContentView.h"
#include "ui/Symbols.h"

#include <QApplication>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

QStringList appMessages;

void collect(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "quorvantis.app")
        appMessages.append(message);
}

// The application's own model options with the scripted effects, profile and time of `s`.
AppModel::Options scriptedOptions(Scene &s)
{
    AppModel::Options options = QuorvantisApp::modelOptions(QProcessEnvironment());
    options.profileDirectory = s.profileDirectory();
    options.effects = s.effects;
    options.autoResume = false;
    options.sleeper = [&time = s.time](std::chrono::milliseconds d) { return time.sleep(d); };
    options.clock = [&time = s.time] { return time.now(); };
    options.ownerSetupLinkLoad = s.ownerSetupLinkLoad;
    options.ownerSetupLinkSave = [](std::optional<QUrl>, std::optional<QDateTime>) {};
    return options;
}

QImage iconImage(const QIcon &icon)
{
    return icon.pixmap(QSize(32, 32), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
}

// The states the tables name.
AppModel &reach(Scene &s, const QString &name)
{
    if (name == u"installed")
        return s.installed();
    if (name == u"failed") {
        AppModel &m = s.at("setup");
        m.fail(QStringLiteral("SOMETHING_ODD"));
        return m;
    }
    return s.at(qPrintable(name));
}

} // namespace

class DashboardTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // First: the note is said once per process, so no other app object may come before.
    void withoutATrayTheWindowStaysTheWayIn()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("this desktop has a system tray");
        const auto previous = qInstallMessageHandler(collect);
        {
            Scene first, second;
            QuorvantisApp one(scriptedOptions(first));
            QuorvantisApp two(scriptedOptions(second));
            QVERIFY(!one.hasSystemTray() && !two.hasSystemTray());
        }
        qInstallMessageHandler(previous);
        QCOMPARE(appMessages.size(), 1);
        QVERIFY(appMessages.first().contains(QStringLiteral("main window")));
    }

    void init() { Motion::setReducedMotionOverride(std::nullopt); }

    void modelOptions_data()
    {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<bool>("autoResume");
        QTest::newRow("plain process") << "HOME=/tmp" << true;
        QTest::newRow("under the test harness") << "XCTestConfigurationFilePath=/x.xctestconfiguration" << false;
        QTest::newRow("harness variable without a value") << "XCTestConfigurationFilePath=" << false;
    }

    void modelOptions()
    {
        QFETCH(QString, environment);
        QFETCH(bool, autoResume);
        QProcessEnvironment env;
        env.insert(environment.section(u'=', 0, 0), environment.section(u'=', 1));
        const AppModel::Options options = QuorvantisApp::modelOptions(env);
        QCOMPARE(options.autoResume, autoResume);
        // The real process runs on the real effects, not on test doubles.
        QVERIFY(!options.cli && !options.sleeper);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("resources");
        QTest::newRow("none") << QStringList{"quorvantis"} << QString();
        QTest::newRow("separate value") << QStringList{"quorvantis", "--resources", "/opt/q/Resources"} << "/opt/q/Resources";
        QTest::newRow("joined value") << QStringList{"quorvantis", "--resources=/srv/r"} << "/srv/r";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, resources);
        QCOMPARE(QuorvantisApp::parseCommandLine(arguments).resourceDirectory.value_or(QString()), resources);
    }

    void theBuildBundlesTheLogoImages_data()
    {
        QTest::addColumn<QString>("resource");
        QTest::addColumn<int>("size");
        QTest::newRow("application logo") << "QuorvantisMark" << 256;
        QTest::newRow("tray logo") << "QuorvantisMenuBar" << 36;
    }

    void theBuildBundlesTheLogoImages()
    {
        QFETCH(QString, resource);
        QFETCH(int, size);
        const auto path = Bundle::resourcePath(resource, QStringLiteral("png"));
        QVERIFY2(path.has_value(), qPrintable(Bundle::resourceDirectory()));
        const QImage image(*path);
        QCOMPARE(image.size(), QSize(size, size));
        // Our artwork: the accent-coloured face, left of the white ring.
        const QColor middle = image.pixelColor(size / 10, size / 2);
        QVERIFY2(middle.blue() > middle.red() + 40, qPrintable(middle.name()));
        const QIcon logo = resource == u"QuorvantisMark" ? Symbols::quorvantisLogo() : Symbols::quorvantisMenuBarLogo();
        QVERIFY(logo.cacheKey() != Symbols::icon(QStringLiteral("sparkles.rectangle.stack.fill")).cacheKey());
    }

    void missingLogoResourcesFallBack()
    {
        const QString saved = Bundle::resourceDirectory();
        QTemporaryDir empty, bundled;
        Bundle::setResourceDirectory(empty.path());
        const QImage fallback = iconImage(Symbols::icon(QStringLiteral("sparkles.rectangle.stack.fill")));
        QVERIFY(!fallback.isNull());
        QCOMPARE(iconImage(Symbols::quorvantisLogo()), fallback);
        QCOMPARE(iconImage(Symbols::quorvantisMenuBarLogo()), fallback);
        Scene s;
        AppModel &m = s.installed();
        const QImage fallbackEmblem = StatusCore(&m, 112).grab().toImage();
        // With the bundle's image present, the emblem shows that image instead.
        QImage mark(64, 64, QImage::Format_ARGB32);
        mark.fill(QColor(220, 30, 30));
        QVERIFY(mark.save(bundled.filePath(QStringLiteral("QuorvantisMark.png"))));
        Bundle::setResourceDirectory(bundled.path());
        QCOMPARE(iconImage(Symbols::quorvantisLogo()).pixelColor(16, 16), QColor(220, 30, 30));
        const QImage logoEmblem = StatusCore(&m, 112).grab().toImage();
        QVERIFY(logoEmblem != fallbackEmblem);
        QCOMPARE(logoEmblem.pixelColor(logoEmblem.width() / 2, logoEmblem.height() / 2), QColor(220, 30, 30));
        Bundle::setResourceDirectory(saved);
    }

    void everySymbolHasADrawing()
    {
        for (const char *name : {"lock.shield", "checkmark.circle.fill", "xmark.circle.fill", "circle", "circle.dashed", "key.horizontal",
                                 "xmark.octagon.fill", "exclamationmark.triangle.fill", "exclamationmark.triangle", "person.badge.key",
                                 "rectangle.inset.filled.and.person.filled", "accessibility", "internaldrive", "hand.raised",
                                 "network", "sparkles.rectangle.stack.fill", "xmark", "arrow.triangle.2.circlepath", "chevron.down"}) {
            QVERIFY2(Symbols::hasBundledSymbol(QLatin1String(name)), name);
            const QImage image = Symbols::bundledPixmap(QLatin1String(name), 24).toImage();
            QImage blank(image.size(), image.format());
            blank.fill(Qt::transparent);
            QVERIFY2(image != blank, name);
        }
    }

    // The window and the tray panel share one model; the panel is built when first needed;
    // closing the window ends the process only where no tray leads back to it; Ctrl+O and the
    // panel's open button bring a closed window back.
    void scenesShareOneModel()
    {
        QApplication::setQuitOnLastWindowClosed(QSystemTrayIcon::isSystemTrayAvailable());
        Scene s;
        QuorvantisApp app(scriptedOptions(s));
        QCOMPARE(QApplication::quitOnLastWindowClosed(), !app.hasSystemTray());
        QVERIFY(!app.isMenuBarContentBuilt());
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
        QTRY_VERIFY(app.mainWindow()->isVisible());
        QVERIFY(!panel->isVisible());
        app.mainWindow()->close();
        QTest::mouseClick(panel->openButton(), Qt::LeftButton);
        QVERIFY(app.mainWindow()->isVisible());
    }

    void panelAndEmblem_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("mark"); // empty: the spinner
        QTest::newRow("starting") << "runtime" << "正在安装" << "Quorvantis 正在准备运行环境。" << "";
        QTest::newRow("waiting") << "setup" << "等待 setup" << "输入 JIT Code 或 Setup Code 完成设备注册。" << "key.horizontal";
        QTest::newRow("online") << "installed" << "在线" << "Agent 已安装并启动。" << "checkmark.circle.fill";
        QTest::newRow("error") << "failed" << "需要处理" << "Quorvantis 尚未就绪，请查看详情。" << "xmark.octagon.fill";
    }

    void panelAndEmblem()
    {
        QFETCH(QString, scene);
        QFETCH(QString, title);
        QFETCH(QString, detail);
        QFETCH(QString, mark);
        Scene s;
        AppModel &m = reach(s, scene);
        MenuBarContent panel(&m, {});
        StatusCore core(&m, 112);
        QCOMPARE(panel.titleLabel()->text(), title);
        QCOMPARE(panel.detailLabel()->text(), detail);
        QCOMPARE(core.markSymbol(), mark);
        QCOMPARE(!core.findChild<Spinner *>()->isHidden(), mark.isEmpty());
        // Before any launch state (never shown by a running model).
        QCOMPARE(MenuBarContent::headerTitle(int(AppModel::OverallState::notInstalled)), QStringLiteral("等待安装"));
    }

    void startingSpinnerStillUnderReducedMotion()
    {
        for (const bool reduced : {true, false}) {
            Motion::setReducedMotionOverride(reduced);
            Scene s;
            StatusCore core(&s.at("runtime"), 112);
            core.show();
            settle();
            auto *spinner = core.findChild<Spinner *>();
            QVERIFY(spinner->isVisible());
            QCOMPARE(spinner->findChild<QTimer *>()->isActive(), !reduced);
        }
    }

    void activityList()
    {
        Scene s;
        AppModel &m = s.at("setup");
        AgentOverviewPane pane(&m);
        ActivityList *list = pane.activityList();
        QCOMPARE(list->emptyLabel()->text(), QStringLiteral("尚无活动"));
        QVERIFY(!list->emptyLabel()->isHidden() && list->rowCount() == 0);
        m.appendActivity(QStringLiteral("Started working"));
        m.appendActivity(QStringLiteral("Task complete"));
        settle();
        QVERIFY(list->emptyLabel()->isHidden());
        QCOMPARE(list->summaries(), (QStringList{"Task complete", "Started working"}));
        QCOMPARE(ActivityList::timeText(QDateTime(QDate(2026, 3, 4), QTime(9, 5, 7), Qt::LocalTime)), QStringLiteral("09:05:07"));
    }

    void overviewAndChannelRow()
    {
        Scene s;
        AppModel &m = s.channel();
        AgentOverviewPane pane(&m);
        QCOMPARE(pane.headlineLabel()->text(), m.headlineStatusTitle());
        QCOMPARE(pane.detailLabel()->text(), m.headlineStatusDetail());
        QCOMPARE(pane.taskLabel()->text(), m.currentTask());
        OwnerSetupChannelStatus *channel = pane.channelStatus();
        QCOMPARE(channel->stateLabel()->text(), QStringLiteral("等待完成绑定"));
        channel->bindButton()->click();
        QVERIFY(m.isChannelBindingSheetPresented());
        s.onboarding->answer(session(false));
        await(m.refreshOwnerSetup(false));
        settle();
        QVERIFY(m.channelBindingCompleted() && channel->bindButton()->isHidden());
        // A relaunch after the installation finished: bound, though this run saw no binding.
        Scene again;
        AppModel &relaunched = again.installed();
        AgentOverviewPane later(&relaunched);
        QCOMPARE(later.channelStatus()->stateLabel()->text(), QStringLiteral("已绑定"));
        QVERIFY(later.channelStatus()->bindButton()->isHidden());
    }

    void systemPane()
    {
        Scene s;
        Sample working;
        working.busy = true;
        s.statusAnswer = ScriptedResponse::json(200, working.json());
        AppModel &m = s.installed(false);
        SystemStatusPane pane(&m);
        QCOMPARE(pane.sectionTitles(), (QStringList{"连接", "系统", "权限", "操作"}));
        QCOMPARE(pane.rowValue(QStringLiteral("连接状态")), QStringLiteral("未连接"));
        QCOMPARE(pane.rowValue(QStringLiteral("最近响应")), QStringLiteral("尚未收到"));
        QCOMPARE(pane.rowValue(QStringLiteral("App 版本")), m.appVersion());
        QCOMPARE(pane.rowValue(QStringLiteral("Agent 版本")), QStringLiteral("--"));
        s.poll();
        settle();
        QCOMPARE(pane.rowValue(QStringLiteral("Agent")), QStringLiteral("正在工作"));
        QCOMPARE(pane.rowValue(QStringLiteral("Agent 版本")), QStringLiteral("1.4.0"));
        // The heartbeat ages only while shown; its once-a-second tick sped up.
        pane.findChild<QTimer *>(QStringLiteral("heartbeat-timer"))->setInterval(5);
        QVERIFY(!pane.agesHeartbeat());
        pane.show();
        QVERIFY(pane.agesHeartbeat());
        QCOMPARE(pane.rowValue(QStringLiteral("最近响应")), QStringLiteral("刚刚"));
        s.time.advance(12s);
        QVERIFY(spinUntil([&] { return pane.rowValue(QStringLiteral("最近响应")) == QStringLiteral("12 秒前"); }));
        pane.hide();
        QVERIFY(!pane.agesHeartbeat());
    }

    // The agent's actions need a configured agent; the logs and the releases page do not. An
    // update makes the banner, the pane and the tray panel busy together and refuses a second.
    void actionsAndUpdate()
    {
        Scene s;
        QList<QUrl> opened;
        s.effects.openURL = [&opened](QUrl url) { opened << url; return true; };
        {
            MenuBarContent early(&s.at("setup"), {});
            SystemStatusPane earlyPane(&s.model());
            for (QPushButton *button : {early.restartButton(), early.recheckButton(), early.updateButton(), earlyPane.updateButton(),
                                        earlyPane.restartButton(), earlyPane.recheckButton()})
                QVERIFY2(!button->isEnabled(), qPrintable(button->text()));
            QVERIFY(early.logsButton()->isEnabled());
            earlyPane.logsButton()->click();
            earlyPane.releasesButton()->click();
            QVERIFY(spinUntil([&] { return opened.size() == 2; }));
            QVERIFY(opened.at(0).isLocalFile() && !opened.at(1).isLocalFile());
        }

        Step held = Step::success();
        held.gate = s.gate;
        s.script->steps = {held};
        AppModel &m = s.updateOffered(QStringLiteral("1.5.0"));
        int quits = 0;
        MenuBarContent panel(&m, {.openMainWindow = {}, .quit = [&quits] { ++quits; }});
        AgentUpdateBanner banner(&m);
        SystemStatusPane pane(&m);
        QCOMPARE(banner.textLabel()->fullText(), m.agentUpdateBannerText());
        QVERIFY(banner.updateButton()->isEnabled() && banner.busyIndicator()->isHidden());
        for (QPushButton *button : {panel.restartButton(), panel.recheckButton(), panel.updateButton()})
            QVERIFY(button->isEnabled());
        banner.updateButton()->click();
        QVERIFY(spinUntil([&] { return m.isUpdatingAgent(); }));
        settle();
        QVERIFY(banner.updateButton()->isHidden() && !banner.busyIndicator()->isHidden());
        for (const QString &text : {banner.busyLabel()->text(), pane.updateButton()->text(), panel.updateButton()->text()})
            QCOMPARE(text, QStringLiteral("正在更新 Agent…"));
        for (QPushButton *button : {pane.updateButton(), pane.restartButton(), panel.restartButton(), panel.recheckButton(), panel.updateButton()})
            QVERIFY2(!button->isEnabled(), qPrintable(button->text()));
        QVERIFY(!pane.updateSpinner()->isHidden());
        pane.updateButton()->click();
        banner.updateButton()->click();
        settle();
        QCOMPARE(s.script->calls.size(), 1);
        s.gate->open();
        QVERIFY(spinUntil([&] { return !m.isUpdatingAgent(); }));
        settle();
        QCOMPARE(pane.updateButton()->text(), QStringLiteral("更新 Agent"));
        QVERIFY(pane.updateButton()->isEnabled() && pane.updateSpinner()->isHidden());
        QTest::mouseClick(panel.quitButton(), Qt::LeftButton);
        QCOMPARE(quits, 1);
    }

    void bannerTruncatesAndDismisses()
    {
        Scene s;
        AppModel &m = s.updateOffered(QStringLiteral("1.5.0-beta.20260306.build.4711.very-long-prerelease-tag"));
        AgentUpdateBanner banner(&m);
        banner.resize(260, banner.sizeHint().height());
        banner.show();
        settle();
        const QString shown = banner.textLabel()->text();
        QVERIFY2(shown.contains(QChar(0x2026)) && shown.endsWith(QStringLiteral("可更新")), qPrintable(shown));
        QCOMPARE(banner.textLabel()->accessibleName(), m.agentUpdateBannerText());
        banner.closeButton()->click();
        QVERIFY(!m.showsAgentUpdateBanner());
        QCOMPARE(m.dismissedAgentVersion(), m.availableAgentVersion());
    }

    void errorSection_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("button");
        QTest::newRow("a code that can no longer be redeemed") << "SETUP_CODE_UNAVAILABLE" << "输入新安装码";
        QTest::newRow("the daemon did not start") << "AGENT_START_TIMEOUT" << "重试";
        QTest::newRow("anything else") << "SOMETHING_ODD" << "打开日志目录";
    }

    void errorSection()
    {
        QFETCH(QString, code);
        QFETCH(QString, button);
        Scene s;
        AppModel &m = s.installed();
        SystemStatusPane pane(&m);
        QVERIFY(!pane.sectionTitles().contains(QStringLiteral("最后错误")));
        m.fail(code);
        settle();
        QCOMPARE(pane.sectionTitles().last(), QStringLiteral("最后错误"));
        QCOMPARE(pane.errorSection()->recoveryButton()->text(), button);
        QStringList texts;
        for (QLabel *label : pane.errorSection()->findChildren<QLabel *>())
            texts << label->text();
        QVERIFY(texts.contains(m.lastError()->message) && texts.contains(code));
    }

    // Focus requests reach the recovery button and a permission row's action.
    void focusTargetsAndRecovery()
    {
        Scene s;
        QList<QUrl> opened;
        s.effects.openURL = [&opened](QUrl url) { opened << url; return true; };
        AppModel &m = s.installed();
        s.probe->answers = {false};
        await(m.refreshExistingPermissions());
        DashboardView dashboard(&m);
        m.fail(QStringLiteral("SOMETHING_ODD"));
        dashboard.resize(960, 640);
        dashboard.show();
        QApplication::setActiveWindow(&dashboard);
        QVERIFY(QTest::qWaitForWindowActive(&dashboard));
        settle();
        QPushButton *recovery = dashboard.statusPane()->errorSection()->recoveryButton();
        QVERIFY(!recovery->hasFocus());
        m.requestFocus(AppModel::FocusTarget::recovery());
        settle();
        QVERIFY(recovery->hasFocus());
        QTest::keyClick(recovery, Qt::Key_Space);
        QVERIFY(spinUntil([&] { return opened.size() == 1 && opened.first().isLocalFile(); }));
        m.requestFocus(AppModel::FocusTarget::forPermission(PermissionKind::fullDiskAccess));
        settle();
        QVERIFY(dashboard.statusPane()->permissionRows().at(2)->actionButton()->hasFocus());
    }

    void permissionRow_data()
    {
        QTest::addColumn<int>("probed"); // -1: never probed
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("symbol");
        QTest::newRow("verified") << 1 << "已配置" << "checkmark.circle.fill";
        QTest::newRow("not granted") << 0 << "请完成系统授权" << "exclamationmark.triangle";
        QTest::newRow("never probed") << -1 << "等待检查" << "circle.dashed";
    }

    void permissionRow()
    {
        QFETCH(int, probed);
        QFETCH(QString, text);
        QFETCH(QString, symbol);
        Scene s;
        QList<std::optional<PermissionKind>> settingsOpened;
        s.effects.openSystemSettings = [&](std::optional<PermissionKind> kind) { settingsOpened << kind; };
        AppModel &m = s.installed();
        s.probe->answers = {probed == 1};
        if (probed >= 0)
            await(m.refreshExistingPermissions());
        PermissionRow row(&m, PermissionKind::fullDiskAccess, true);
        PermissionRow withoutAction(&m, PermissionKind::fullDiskAccess, false);
        QCOMPARE(row.stateMark()->text(), text);
        QCOMPARE(row.stateMark()->symbol(), symbol);
        QCOMPARE(!row.actionButton()->isHidden(), probed == 0);
        QVERIFY(withoutAction.actionButton()->isHidden());
        if (!row.actionButton()->isHidden())
            row.actionButton()->click();
        QCOMPARE(settingsOpened, probed == 0 ? QList<std::optional<PermissionKind>>{PermissionKind::fullDiskAccess}
                                             : QList<std::optional<PermissionKind>>());
    }

    void permissionRowDuringOnboarding()
    {
        Scene s;
        AppModel &m = s.permissions();
        PermissionRow current(&m, PermissionKind::screenRecording, true);
        PermissionRow later(&m, PermissionKind::accessibility, true);
        // The current step can be continued from its row; later ones wait their turn.
        QVERIFY(!current.actionButton()->isHidden() && later.actionButton()->isHidden());
        current.actionButton()->click();
        QVERIFY(spinUntil([&] { return m.permissionPromptKind() == PermissionKind::screenRecording; }));
        s.probe->gate = s.gate;
        Quorvantis::startDetached(m.confirmPermissionOnboarding(), "check");
        settle();
        QCOMPARE(current.stateMark()->text(), QStringLiteral("正在验证授权…"));
        QVERIFY(current.actionButton()->isHidden());
        QCOMPARE(later.stateMark()->text(), QStringLiteral("等待检查"));
    }

    void sheetDetailLine_data()
    {
        // What the service and the browser did, in order: L a link, A the agent's own page
        // open (no link), P a pending attempt, N none pending, D bound, F a failed open, O an
        // open still under way.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("detail");
        const QString verified = QStringLiteral("Ownership verified，正在完成连接并进入面板…");
        QTest::newRow("verified, while opening") << "PNO" << verified;
        QTest::newRow("bound") << "LD" << verified;
        QTest::newRow("opening") << "LO" << "正在打开系统浏览器。打开后可随时返回本窗口查看进度。";
        QTest::newRow("failed, over opened by the agent") << "LFA" << "浏览器没有打开时，请复制链接后在浏览器中完成绑定。";
        QTest::newRow("opened by the agent")
            << "A" << "绑定页面已打开，请在系统浏览器中完成操作。Quorvantis 会在后台等待，绑定成功后自动继续。";
        QTest::newRow("otherwise") << "L" << "请在系统浏览器中选择 Channel。Quorvantis 会在后台等待，绑定成功后自动继续。";
    }

    void sheetDetailLine()
    {
        QFETCH(QString, steps);
        QFETCH(QString, detail);
        Scene s;
        auto browser = std::make_shared<ScriptedAnswer>();
        browser->answers = {!steps.contains(u'F')};
        s.effects.ownerSetupOpen = [browser](QUrl url) { return reply(browser, url); };
        AppModel &m = s.channel(session(true));
        ChannelBindingSessionSheet sheet(&m);
        const auto answer = [](QChar step) {
            if (step == u'A')
                return session(true, std::nullopt, std::nullopt, true);
            const auto pending = step == u'P' ? std::optional(true) : step == u'N' ? std::optional(false) : std::nullopt;
            return step == u'D' ? session(false) : session(true, bindingLink(), pending);
        };
        for (const QChar step : steps) {
            if (step == u'O')
                browser->gate = s.gate;
            if (step == u'F' || step == u'O') {
                Quorvantis::startDetached(m.openOwnerSetup(), "open");
            } else {
                s.onboarding->answer(answer(step));
                await(m.refreshOwnerSetup(false));
            }
        }
        settle();
        QCOMPARE(sheet.detailLabel()->text(), detail);
        QVERIFY(sheet.accessibleName().startsWith(QStringLiteral("绑定 Channel，") + detail));
    }

    void sheetActions()
    {
        Scene s;
        AppModel &m = s.channel(session(true));
        ChannelBindingSessionSheet sheet(&m);
        // Without a link there is nothing to open or copy.
        QVERIFY(!sheet.openButton()->isEnabled() && !sheet.copyButton()->isEnabled() && sheet.refreshButton()->isEnabled());
        QCOMPARE(sheet.openButton()->text(), QStringLiteral("打开浏览器"));
        s.onboarding->answer(session(true, bindingLink()));
        await(m.refreshOwnerSetup(false));
        settle();
        sheet.copyButton()->click();
        settle();
        QCOMPARE(s.desktop->copied, QList<QUrl>{bindingLink()});
        QCOMPARE(sheet.copyButton()->text(), QStringLiteral("已复制"));
        sheet.openButton()->click();
        QVERIFY(spinUntil([&] { return m.ownerSetupDidOpen(); }));
        settle();
        QCOMPARE(sheet.openButton()->text(), QStringLiteral("重新打开浏览器"));
        QCOMPARE(sheet.copyButton()->text(), QStringLiteral("复制链接"));
        QVERIFY(sheet.openButton()->isEnabled() && sheet.copyButton()->isEnabled());

        // A failed open, then a refresh that fails: both said, and spoken.
        s.desktop->openResult = false;
        sheet.openButton()->click();
        QVERIFY(spinUntil([&] { return m.ownerSetupOpenFailed(); }));
        s.onboarding->fail(QuorvantisNativeError(QStringLiteral("OWNER_SETUP_INVALID"), QStringLiteral("Channel 绑定配置无效")));
        await(m.refreshOwnerSetup(true));
        settle();
        QCOMPARE(sheet.openButton()->text(), QStringLiteral("重试"));
        QVERIFY(!sheet.openFailureLabel()->isHidden() && !sheet.errorLabel()->isHidden());
        QCOMPARE(sheet.accessibleName(), QStringLiteral("绑定 Channel，浏览器没有打开时，请复制链接后在浏览器中完成绑定。，"
                                                        "没有成功打开默认浏览器，请复制链接后手动打开，或再次点击重试。，Channel 绑定配置无效"));
        // While the service is asked, nothing else can be started from the sheet.
        s.onboarding->latency = 1s;
        Quorvantis::startDetached(m.refreshOwnerSetup(true), "regenerate");
        settle();
        for (QPushButton *button : {sheet.openButton(), sheet.copyButton(), sheet.regenerateButton(), sheet.refreshButton()})
            QVERIFY2(!button->isEnabled(), qPrintable(button->text()));
        s.time.advance(1s);
        m.setChannelBindingSheetPresented(true);
        sheet.closeButton()->click();
        QVERIFY(!m.isChannelBindingSheetPresented());
    }

    // Appearing refreshes the link after a short delay; "重新生成" asks for a new one,
    // "刷新状态" re-reads.
    void sheetRequests()
    {
        Scene s;
        AppModel &m = s.channel();
        s.onboarding->calls.clear();
        s.time.clearRequested();
        ChannelBindingSessionSheet sheet(&m);
        sheet.show();
        settle();
        QCOMPARE(s.time.requested(), QList<std::chrono::milliseconds>{550ms});
        QVERIFY(s.onboarding->calls.isEmpty());
        s.time.advance(550ms);
        QVERIFY(spinUntil([&] { return s.onboarding->calls.size() == 1 && !m.ownerSetupRequestInFlight(); }));
        sheet.regenerateButton()->click();
        QVERIFY(spinUntil([&] { return s.onboarding->calls.size() == 2 && !m.ownerSetupRequestInFlight(); }));
        sheet.refreshButton()->click();
        QVERIFY(spinUntil([&] { return s.onboarding->calls.size() == 3 && !m.ownerSetupRequestInFlight(); }));
        QList<bool> forced;
        for (const auto &call : s.onboarding->calls)
            forced << call.forceRefresh;
        QCOMPARE(forced, (QList<bool>{false, true, false}));
    }

    void dashboardIsBuiltWhenShownAndReachableByKeyboard()
    {
        Scene s;
        AppModel &m = s.updateOffered(QStringLiteral("1.5.0"));
        m.fail(QStringLiteral("AGENT_START_TIMEOUT"));
        m.appendActivity(QStringLiteral("Started working"));
        DashboardView dashboard(&m);
        QVERIFY(!dashboard.isBuilt() && dashboard.findChildren<QPushButton *>().isEmpty());
        dashboard.resize(960, 640);
        dashboard.show();
        // Shown at once with the page, already rendered from the model.
        QVERIFY(dashboard.isBuilt() && dashboard.statusPane()->isVisible());
        QCOMPARE(dashboard.overviewPane()->activityList()->summaries().first(), QStringLiteral("Started working"));
        AgentUpdateBanner banner(&m);
        ChannelBindingSessionSheet sheet(&m);
        for (QWidget *root : QList<QWidget *>{&dashboard, &banner, &sheet}) {
            const auto buttons = root->findChildren<QAbstractButton *>();
            QVERIFY(!buttons.isEmpty());
            for (QAbstractButton *button : buttons)
                QVERIFY2(button->focusPolicy() & Qt::TabFocus, qPrintable(button->text() + button->toolTip()));
        }
    }
};

QTEST_MAIN(DashboardTests)
#include "DashboardTests.moc"
