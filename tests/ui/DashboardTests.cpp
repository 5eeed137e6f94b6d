#include "platform/Bundle.h"
#include "support/AwaitTask.h"
#include "support/ModelFixture.h"
#include "ui/AgentUpdateBanner.h"
#include "ui/ChannelBindingSessionSheet.h"
#include "ui/DashboardView.h"
#include "ui/Symbols.h"
#include "ui/Views.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace std::chrono_literals;
using Kind = AppModel::RecoveryAction::Kind;

namespace {

// Lets the views re-render: they render on the event-loop turn after a model change.
void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

QCoro::Task<CLIResult> blockedRun(VirtualTime *time)
{
    co_await time->sleep(10s);
    co_return CLIResult{0, std::nullopt};
}

QCoro::Task<OwnerSetupSession> pendingSession(QUrl url)
{
    OwnerSetupSession session;
    session.required = true;
    session.url = url;
    co_return session;
}

// A browser that never opens, recording what it was asked to open.
QCoro::Task<bool> failedOpen(QList<QUrl> *opened, QUrl url)
{
    opened->append(url);
    co_return false;
}

// Records the pages and folders the model asks the desktop to open.
void recordOpened(ModelFixture &fixture, QList<QUrl> &opened)
{
    fixture.effects.openURL = [&opened](QUrl url) {
        opened.append(url);
        return true;
    };
}

// The pixels of an icon at one size, for comparing which picture an icon shows.
QImage iconImage(const QIcon &icon, int side = 32)
{
    return icon.pixmap(QSize(side, side), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class DashboardTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<ModelFixture>();
        Motion::setReducedMotionOverride(std::nullopt);
    }
    void cleanup()
    {
        m_fixture.reset();
        Motion::setReducedMotionOverride(std::nullopt);
    }

    void emptyActivityListSaysSo()
    {
        AppModel &model = m_fixture->make();
        AgentOverviewPane pane(&model);
        ActivityList *list = pane.activityList();
        QCOMPARE(list->emptyLabel()->text(), QStringLiteral("尚无活动"));
        QVERIFY(!list->emptyLabel()->isHidden());
        QCOMPARE(list->rowCount(), 0);

        model.appendActivity(QStringLiteral("Started working"));
        model.appendActivity(QStringLiteral("Task complete"));
        settle();
        QVERIFY(list->emptyLabel()->isHidden());
        // Newest first, as the model keeps them.
        QCOMPARE(list->summaries(), (QStringList{QStringLiteral("Task complete"), QStringLiteral("Started working")}));
        const QDateTime at(QDate(2026, 3, 4), QTime(9, 5, 7), Qt::LocalTime);
        QCOMPARE(ActivityList::timeText(at), QStringLiteral("09:05:07"));
    }

    void overviewShowsHeadlineTaskAndChannel()
    {
        AppModel &model = m_fixture->make();
        model.installStage = AppModel::InstallStage::channel;
        model.overallState = AppModel::OverallState::online;
        AgentOverviewPane pane(&model);
        QCOMPARE(pane.headlineLabel()->text(), QStringLiteral("Waiting for channel binding"));
        QCOMPARE(pane.detailLabel()->text(), QStringLiteral("Agent is running in the background"));
        QCOMPARE(pane.taskLabel()->text(), QStringLiteral("Waiting for channel binding"));
        OwnerSetupChannelStatus *channel = pane.channelStatus();
        QCOMPARE(channel->stateLabel()->text(), QStringLiteral("等待完成绑定"));
        QVERIFY(!channel->bindButton()->isHidden());
        channel->bindButton()->click();
        QVERIFY(model.isChannelBindingSheetPresented());

        model.channelBindingCompleted = true;
        settle();
        QVERIFY(channel->bindButton()->isHidden());

        // A relaunch after the installation finished: bound, though this run saw no binding.
        AppModel &relaunched = m_fixture->make();
        relaunched.installStage = std::nullopt;
        relaunched.onboardingCompleted = true;
        AgentOverviewPane later(&relaunched);
        settle();
        QCOMPARE(later.channelStatus()->stateLabel()->text(), QStringLiteral("已绑定"));
        QVERIFY(later.channelStatus()->bindButton()->isHidden());
    }

    void systemPaneSectionsAndRows()
    {
        AppModel &model = m_fixture->make();
        model.appVersion = QStringLiteral("2.1.0");
        SystemStatusPane pane(&model);
        QCOMPARE(pane.sectionTitles(),
                 (QStringList{QStringLiteral("连接"), QStringLiteral("系统"), QStringLiteral("权限"), QStringLiteral("操作")}));
        QCOMPARE(pane.rowValue(QStringLiteral("连接状态")), QStringLiteral("未连接"));
        QCOMPARE(pane.rowValue(QStringLiteral("最近响应")), QStringLiteral("尚未收到"));
        QCOMPARE(pane.rowValue(QStringLiteral("App 版本")), QStringLiteral("2.1.0"));
        QCOMPARE(pane.rowValue(QStringLiteral("Agent 版本")), QStringLiteral("--"));

        AppModel::StatusSnapshot snapshot;
        snapshot.bridgeConnected = true;
        snapshot.isWorking = true;
        snapshot.agentVersion = QStringLiteral("1.4.2");
        snapshot.bridgeHeartbeatAt = m_fixture->time.now();
        model.statusSnapshot = snapshot;
        settle();
        QCOMPARE(pane.rowValue(QStringLiteral("Agent")), QStringLiteral("正在工作"));
        QCOMPARE(pane.rowValue(QStringLiteral("Agent 版本")), QStringLiteral("1.4.2"));

        // The heartbeat ages only while shown. The row's once-a-second tick, sped up: the test waits for the tick, not for a second.
        pane.findChild<QTimer *>(QStringLiteral("heartbeat-timer"))->setInterval(5);
        QVERIFY(!pane.agesHeartbeat());
        pane.show();
        QVERIFY(pane.agesHeartbeat());
        QCOMPARE(pane.rowValue(QStringLiteral("最近响应")), QStringLiteral("刚刚"));
        // Time passes without a new sample: the row follows the clock by itself.
        m_fixture->time.advance(std::chrono::seconds(12));
        QVERIFY(QuorvantisTest::spinUntil(
            [&] { return pane.rowValue(QStringLiteral("最近响应")) == QStringLiteral("12 秒前"); }));
        pane.hide();
        QVERIFY(!pane.agesHeartbeat());
    }

    void paneActions()
    {
        QList<QUrl> opened;
        recordOpened(*m_fixture, opened);
        AppModel &model = m_fixture->make();
        SystemStatusPane pane(&model);
        const QList<QPushButton *> agentActions{pane.updateButton(), pane.restartButton(), pane.recheckButton()};
        for (QPushButton *button : agentActions)
            QVERIFY2(!button->isEnabled(), qPrintable(button->text()));
        model.configurationReady = true;
        settle();
        for (QPushButton *button : agentActions)
            QVERIFY2(button->isEnabled(), qPrintable(button->text()));
        // Neither the logs nor the releases page need the agent.
        pane.logsButton()->click();
        pane.releasesButton()->click();
        QVERIFY(QuorvantisTest::spinUntil([&] { return opened.size() == 2; }));
        QVERIFY(opened.at(0).isLocalFile());
        QVERIFY(!opened.at(1).isLocalFile());
    }

    void bothUpdatePlacesAreBusyTogether()
    {
        int runs = 0;
        VirtualTime *time = &m_fixture->time;
        m_fixture->effects.runScript = [&runs, time](QString, AppModel::OutputHandler) {
            ++runs;
            return blockedRun(time);
        };
        AppModel &model = m_fixture->make();
        model.availableAgentVersion = QStringLiteral("1.5.0");
        AgentUpdateBanner banner(&model);
        SystemStatusPane pane(&model);
        QCOMPARE(banner.textLabel()->fullText(), QStringLiteral("Agent 1.5.0 可更新"));
        // Updating needs a configured agent.
        QVERIFY(!banner.updateButton()->isEnabled());
        model.configurationReady = true;
        settle();
        QVERIFY(banner.updateButton()->isEnabled());
        QVERIFY(banner.busyIndicator()->isHidden());

        banner.updateButton()->click();
        QVERIFY(QuorvantisTest::spinUntil([&] { return model.isUpdatingAgent(); }));
        settle();
        // The banner swaps its button for the running update...
        QVERIFY(banner.updateButton()->isHidden());
        QVERIFY(!banner.busyIndicator()->isHidden());
        QCOMPARE(banner.busyLabel()->text(), QStringLiteral("正在更新 Agent…"));
        // ...and the pane's button says the same and refuses a second update.
        QCOMPARE(pane.updateButton()->text(), QStringLiteral("正在更新 Agent…"));
        QVERIFY(!pane.updateButton()->isEnabled());
        QVERIFY(!pane.updateSpinner()->isHidden());
        QVERIFY(!pane.restartButton()->isEnabled());
        pane.updateButton()->click();
        banner.updateButton()->click();
        settle();
        QCOMPARE(runs, 1);

        time->advance(10s);
        QVERIFY(QuorvantisTest::spinUntil([&] { return !model.isUpdatingAgent(); }));
        settle();
        QCOMPARE(pane.updateButton()->text(), QStringLiteral("更新 Agent"));
        QVERIFY(pane.updateButton()->isEnabled());
        QVERIFY(pane.updateSpinner()->isHidden());
    }

    void bannerTruncatesAndDismisses()
    {
        AppModel &model = m_fixture->make();
        model.availableAgentVersion = QStringLiteral("1.5.0-beta.20260306.build.4711.very-long-prerelease-tag");
        AgentUpdateBanner banner(&model);
        banner.resize(260, banner.sizeHint().height());
        banner.show();
        settle();
        const QString shown = banner.textLabel()->text();
        QVERIFY2(shown.contains(QChar(0x2026)), qPrintable(shown));
        QVERIFY(shown.endsWith(QStringLiteral("可更新")));
        QCOMPARE(banner.textLabel()->accessibleName(), model.agentUpdateBannerText());

        banner.closeButton()->click();
        QVERIFY(!model.showsAgentUpdateBanner());
        QCOMPARE(model.dismissedAgentVersion, model.availableAgentVersion());
    }

    void recoveryButtonOnlyWithATitle_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("title");
        QTest::newRow("none") << int(Kind::none) << QString();
        QTest::newRow("enterInstallCode") << int(Kind::enterInstallCode) << QStringLiteral("输入新安装码");
        QTest::newRow("restartAgent") << int(Kind::restartAgent) << QStringLiteral("重启 Agent");
    }

    void recoveryButtonOnlyWithATitle()
    {
        QFETCH(int, kind);
        QFETCH(QString, title);
        AppModel &model = m_fixture->make();
        SystemStatusPane pane(&model);
        QVERIFY(!pane.sectionTitles().contains(QStringLiteral("最后错误")));
        model.lastError = AppModel::DisplayError{QStringLiteral("SOME_CODE"), QStringLiteral("出了问题"),
                                                 QStringLiteral("安装或运行尚未完成。"),
                                                 AppModel::RecoveryAction::make(Kind(kind))};
        settle();
        QCOMPARE(pane.sectionTitles().last(), QStringLiteral("最后错误"));
        QPushButton *recovery = pane.errorSection()->recoveryButton();
        QCOMPARE(!recovery->isHidden(), !title.isEmpty());
        if (!title.isEmpty())
            QCOMPARE(recovery->text(), title);
        QStringList texts;
        for (QLabel *label : pane.errorSection()->findChildren<QLabel *>())
            texts.append(label->text());
        QVERIFY(texts.contains(QStringLiteral("出了问题")));
        QVERIFY(texts.contains(QStringLiteral("SOME_CODE")));
    }

    void focusTargetsAndRecovery()
    {
        QList<QUrl> opened;
        recordOpened(*m_fixture, opened);
        AppModel &model = m_fixture->make();
        model.permissions.mutate([](QList<AppModel::PermissionItem> &items) {
            for (auto &item : items)
                item.nativeState = AppModel::PermissionNativeState::notGranted;
        });
        DashboardView dashboard(&model);
        model.fail(QStringLiteral("SOMETHING_ODD")); // unknown codes offer the logs directory
        dashboard.resize(960, 640);
        dashboard.show();
        QApplication::setActiveWindow(&dashboard);
        QVERIFY(QTest::qWaitForWindowActive(&dashboard));
        settle();
        QPushButton *recovery = dashboard.statusPane()->errorSection()->recoveryButton();
        QCOMPARE(recovery->text(), QStringLiteral("打开日志目录"));
        QVERIFY(!recovery->hasFocus());

        model.requestFocus(AppModel::FocusTarget::recovery());
        settle();
        QVERIFY(recovery->hasFocus());

        QTest::keyClick(recovery, Qt::Key_Space);
        QVERIFY(QuorvantisTest::spinUntil([&] { return opened.size() == 1; }));
        QVERIFY(opened.first().isLocalFile());

        // A permission's focus target is its row's action.
        model.requestFocus(AppModel::FocusTarget::forPermission(PermissionKind::fullDiskAccess));
        settle();
        QVERIFY(dashboard.statusPane()->permissionRows().at(2)->actionButton()->hasFocus());
    }

    void permissionRowStates_data()
    {
        QTest::addColumn<int>("nativeState");
        QTest::addColumn<bool>("verified");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<bool>("button");
        QTest::newRow("verified") << int(AppModel::PermissionNativeState::granted) << true << QStringLiteral("已配置")
                                  << QStringLiteral("checkmark.circle.fill") << false;
        QTest::newRow("not granted") << int(AppModel::PermissionNativeState::notGranted) << false
                                     << QStringLiteral("请完成系统授权") << QStringLiteral("exclamationmark.triangle") << true;
        QTest::newRow("never probed") << int(AppModel::PermissionNativeState::unknown) << false
                                      << QStringLiteral("等待检查") << QStringLiteral("circle.dashed") << false;
    }

    void permissionRowStates()
    {
        QFETCH(int, nativeState);
        QFETCH(bool, verified);
        QFETCH(QString, text);
        QFETCH(QString, symbol);
        QFETCH(bool, button);
        QList<std::optional<PermissionKind>> settingsOpened;
        m_fixture->effects.openSystemSettings = [&settingsOpened](std::optional<PermissionKind> kind) {
            settingsOpened.append(kind);
        };
        AppModel &model = m_fixture->make();
        model.permissions.mutate([&](QList<AppModel::PermissionItem> &items) {
            items[2].nativeState = AppModel::PermissionNativeState(nativeState);
            items[2].verified = verified;
        });
        PermissionRow row(&model, PermissionKind::fullDiskAccess, true);
        QCOMPARE(row.stateMark()->text(), text);
        QCOMPARE(row.stateMark()->symbol(), symbol);
        QCOMPARE(!row.actionButton()->isHidden(), button);
        if (button) {
            row.actionButton()->click();
            QCOMPARE(settingsOpened, (QList<std::optional<PermissionKind>>{PermissionKind::fullDiskAccess}));
        }
        PermissionRow withoutAction(&model, PermissionKind::fullDiskAccess, false);
        QVERIFY(withoutAction.actionButton()->isHidden());
    }

    void permissionRowDuringOnboarding()
    {
        AppModel &model = m_fixture->make();
        model.installStage = AppModel::InstallStage::permissions;
        PermissionRow current(&model, PermissionKind::screenRecording, true);
        PermissionRow later(&model, PermissionKind::accessibility, true);
        // The current step can be continued from its row; later ones wait their turn.
        QVERIFY(!current.actionButton()->isHidden());
        QVERIFY(later.actionButton()->isHidden());
        current.actionButton()->click();
        QVERIFY(QuorvantisTest::spinUntil([&] { return model.permissionPromptKind().has_value(); }));
        QCOMPARE(*model.permissionPromptKind(), PermissionKind::screenRecording);

        model.permissionOperationInFlight = true;
        settle();
        QCOMPARE(current.stateMark()->text(), QStringLiteral("正在验证授权…"));
        QVERIFY(current.actionButton()->isHidden());
        QCOMPARE(later.stateMark()->text(), QStringLiteral("等待检查"));
    }

    void statusCoreMarks_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("symbol");
        QTest::newRow("notInstalled") << int(AppModel::OverallState::notInstalled) << QStringLiteral("circle.dashed");
        QTest::newRow("starting") << int(AppModel::OverallState::starting) << QString();
        QTest::newRow("waitingSetup") << int(AppModel::OverallState::waitingSetup) << QStringLiteral("key.horizontal");
        QTest::newRow("online") << int(AppModel::OverallState::online) << QStringLiteral("checkmark.circle.fill");
        QTest::newRow("error") << int(AppModel::OverallState::error) << QStringLiteral("xmark.octagon.fill");
    }

    void statusCoreMarks()
    {
        QFETCH(int, state);
        QFETCH(QString, symbol);
        AppModel &model = m_fixture->make();
        model.overallState = AppModel::OverallState(state);
        StatusCore core(&model, 112);
        QCOMPARE(core.markSymbol(), symbol);
        auto *spinner = core.findChild<Spinner *>();
        QVERIFY(spinner);
        QCOMPARE(!spinner->isHidden(), symbol.isEmpty());
    }

    void startingMarkStillUnderReducedMotion_data()
    {
        QTest::addColumn<bool>("reduced");
        QTest::newRow("reduced motion") << true;
        QTest::newRow("full motion") << false;
    }

    void startingMarkStillUnderReducedMotion()
    {
        QFETCH(bool, reduced);
        Motion::setReducedMotionOverride(reduced);
        AppModel &model = m_fixture->make();
        model.overallState = AppModel::OverallState::starting;
        StatusCore core(&model, 112);
        core.show();
        settle();
        auto *spinner = core.findChild<Spinner *>();
        QVERIFY(spinner && spinner->isVisible());
        const QImage first = spinner->grab().toImage();
        auto *timer = spinner->findChild<QTimer *>();
        QVERIFY(timer);
        QCOMPARE(timer->isActive(), !reduced);
        QTest::qWait(150);
        const QImage later = spinner->grab().toImage();
        QCOMPARE(first == later, reduced);
    }

    void missingLogoResourcesFallBack()
    {
        const QString saved = Bundle::resourceDirectory();
        QTemporaryDir empty;
        Bundle::setResourceDirectory(empty.path());
        const QImage fallback = iconImage(Symbols::icon(QStringLiteral("sparkles.rectangle.stack.fill")));
        QVERIFY(!fallback.isNull());
        QCOMPARE(iconImage(Symbols::quorvantisLogo()), fallback);
        QCOMPARE(iconImage(Symbols::quorvantisMenuBarLogo()), fallback);
        AppModel &model = m_fixture->make();
        model.overallState = AppModel::OverallState::online;
        StatusCore withoutLogo(&model, 112);
        const QImage fallbackEmblem = withoutLogo.grab().toImage();

        // With the bundle's image present, the emblem shows that image instead.
        QTemporaryDir bundled;
        QImage mark(64, 64, QImage::Format_ARGB32);
        mark.fill(QColor(220, 30, 30));
        QVERIFY(mark.save(bundled.filePath(QStringLiteral("QuorvantisMark.png"))));
        Bundle::setResourceDirectory(bundled.path());
        const QImage logo = iconImage(Symbols::quorvantisLogo());
        QVERIFY(logo != fallback);
        QCOMPARE(logo.pixelColor(16, 16), QColor(220, 30, 30));
        StatusCore withLogo(&model, 112);
        const QImage logoEmblem = withLogo.grab().toImage();
        QVERIFY(logoEmblem != fallbackEmblem);
        QCOMPARE(logoEmblem.pixelColor(logoEmblem.width() / 2, logoEmblem.height() / 2), QColor(220, 30, 30));
        Bundle::setResourceDirectory(saved);
    }

    void sheetDetailLinePrecedence_data()
    {
        QTest::addColumn<bool>("verified");
        QTest::addColumn<bool>("completed");
        QTest::addColumn<bool>("opening");
        QTest::addColumn<bool>("openFailed");
        QTest::addColumn<bool>("openedByAgent");
        QTest::addColumn<QString>("detail");
        const QString verifiedText = QStringLiteral("Ownership verified，正在完成连接并进入面板…");
        const QString openingText = QStringLiteral("正在打开系统浏览器。打开后可随时返回本窗口查看进度。");
        const QString failedText = QStringLiteral("浏览器没有打开时，请复制链接后在浏览器中完成绑定。");
        const QString agentText =
            QStringLiteral("绑定页面已打开，请在系统浏览器中完成操作。Quorvantis 会在后台等待，绑定成功后自动继续。");
        const QString defaultText =
            QStringLiteral("请在系统浏览器中选择 Channel。Quorvantis 会在后台等待，绑定成功后自动继续。");
        QTest::newRow("verified while opening") << true << false << true << true << true << verifiedText;
        QTest::newRow("completed") << false << true << false << true << false << verifiedText;
        QTest::newRow("opening over failed") << false << false << true << true << true << openingText;
        QTest::newRow("failed over opened by agent") << false << false << false << true << true << failedText;
        QTest::newRow("opened by agent") << false << false << false << false << true << agentText;
        QTest::newRow("otherwise") << false << false << false << false << false << defaultText;
    }

    void sheetDetailLinePrecedence()
    {
        QFETCH(bool, verified);
        QFETCH(bool, completed);
        QFETCH(bool, opening);
        QFETCH(bool, openFailed);
        QFETCH(bool, openedByAgent);
        QFETCH(QString, detail);
        AppModel &model = m_fixture->make();
        ChannelBindingSessionSheet sheet(&model);
        model.channelOwnershipVerified = verified;
        model.channelBindingCompleted = completed;
        model.isOpeningOwnerSetup = opening;
        model.ownerSetupOpenFailed = openFailed;
        model.ownerSetupPending = openedByAgent;
        model.ownerSetupHasLiveSession = openedByAgent;
        settle();
        QCOMPARE(ChannelBindingSessionSheet::sessionDetail(model), detail);
        QCOMPARE(sheet.detailLabel()->text(), detail);
        QVERIFY(sheet.accessibleName().startsWith(QStringLiteral("绑定 Channel，") + detail));
    }

    void sheetActionsFollowTheOwnerSetupFlags()
    {
        AppModel &model = m_fixture->make();
        ChannelBindingSessionSheet sheet(&model);
        QCOMPARE(sheet.openButton()->text(), QStringLiteral("打开浏览器"));
        // Without a link there is nothing to open or copy.
        QVERIFY(!sheet.openButton()->isEnabled());
        QVERIFY(!sheet.copyButton()->isEnabled());
        QVERIFY(sheet.refreshButton()->isEnabled());

        model.ownerSetupPending = true;
        model.ownerSetupURL = QUrl(QStringLiteral("https://onboarding.test/bind/abc"));
        model.ownerSetupDidOpen = true;
        settle();
        QVERIFY(sheet.openButton()->isEnabled());
        QVERIFY(sheet.copyButton()->isEnabled());
        QCOMPARE(sheet.openButton()->text(), QStringLiteral("重新打开浏览器"));

        model.isLoadingOwnerSetup = true;
        settle();
        for (QPushButton *button : {sheet.openButton(), sheet.copyButton(), sheet.regenerateButton(), sheet.refreshButton()})
            QVERIFY2(!button->isEnabled(), qPrintable(button->text()));
    }

    void sheetCopyOpenAndClose()
    {
        QList<QUrl> copied;
        QList<QUrl> opened;
        m_fixture->effects.ownerSetupCopy = [&copied](QUrl url) {
            copied.append(url);
            return true;
        };
        m_fixture->effects.ownerSetupOpen = [&opened](QUrl url) { return failedOpen(&opened, url); };
        AppModel &model = m_fixture->make();
        const QUrl link(QStringLiteral("https://onboarding.test/bind/abc"));
        model.ownerSetupPending = true;
        model.ownerSetupURL = link;
        model.isChannelBindingSheetPresented = true;
        ChannelBindingSessionSheet sheet(&model);

        sheet.copyButton()->click();
        settle();
        QCOMPARE(copied, QList<QUrl>{link});
        QCOMPARE(sheet.copyButton()->text(), QStringLiteral("已复制"));

        sheet.openButton()->click();
        QVERIFY(QuorvantisTest::spinUntil([&] { return model.ownerSetupOpenFailed(); }));
        settle();
        QCOMPARE(opened, QList<QUrl>{link});
        QCOMPARE(sheet.openButton()->text(), QStringLiteral("重试"));
        QCOMPARE(sheet.copyButton()->text(), QStringLiteral("复制链接"));
        QVERIFY(sheet.errorLabel()->isHidden());
        model.ownerSetupError = QStringLiteral("Channel 绑定配置无效");
        settle();
        const QString retry = QStringLiteral("没有成功打开默认浏览器，请复制链接后手动打开，或再次点击重试。");
        QVERIFY(!sheet.openFailureLabel()->isHidden());
        QVERIFY(!sheet.errorLabel()->isHidden());
        QCOMPARE(sheet.accessibleName(),
                 QStringLiteral("绑定 Channel，浏览器没有打开时，请复制链接后在浏览器中完成绑定。，") + retry
                     + QStringLiteral("，Channel 绑定配置无效"));
        // While a new attempt is opening, the old failure is not repeated.
        model.isOpeningOwnerSetup = true;
        settle();
        QVERIFY(sheet.openFailureLabel()->isHidden());

        sheet.closeButton()->click();
        QVERIFY(!model.isChannelBindingSheetPresented());
    }

    void sheetRequests()
    {
        QList<bool> forced;
        m_fixture->effects.ownerSetupRequest = [&forced](std::optional<QUrl>, bool force) {
            forced.append(force);
            return pendingSession(QUrl(QStringLiteral("https://onboarding.test/bind/abc")));
        };
        AppModel &model = m_fixture->make();
        model.configurationReady = true;
        model.installStage = AppModel::InstallStage::channel;
        m_fixture->time.clearRequested();
        ChannelBindingSessionSheet sheet(&model);
        sheet.show();
        settle();
        // Appearing refreshes the link, after a short delay.
        QCOMPARE(m_fixture->time.requested(), QList<std::chrono::milliseconds>{550ms});
        QVERIFY(forced.isEmpty());
        m_fixture->time.advance(550ms);
        QVERIFY(QuorvantisTest::spinUntil([&] { return forced.size() == 1 && !model.ownerSetupRequestInFlight; }));
        sheet.regenerateButton()->click();
        QVERIFY(QuorvantisTest::spinUntil([&] { return forced.size() == 2 && !model.ownerSetupRequestInFlight; }));
        sheet.refreshButton()->click();
        QVERIFY(QuorvantisTest::spinUntil([&] { return forced.size() == 3 && !model.ownerSetupRequestInFlight; }));
        QCOMPARE(forced, (QList<bool>{false, true, false}));
    }

    void dashboardIsBuiltWhenShownAndReachableByKeyboard()
    {
        AppModel &model = m_fixture->make();
        model.configurationReady = true;
        model.availableAgentVersion = QStringLiteral("1.5.0");
        model.lastError = AppModel::DisplayError::from(QStringLiteral("AGENT_START_TIMEOUT"), std::nullopt);
        model.appendActivity(QStringLiteral("Started working"));
        DashboardView dashboard(&model);
        QVERIFY(!dashboard.isBuilt());
        QVERIFY(dashboard.findChildren<QPushButton *>().isEmpty());
        dashboard.resize(960, 640);
        dashboard.show();
        QVERIFY(dashboard.isBuilt());
        // Shown at once with the page, already rendered from the model.
        QVERIFY(dashboard.statusPane()->isVisible());
        QCOMPARE(dashboard.overviewPane()->activityList()->summaries(), QStringList{QStringLiteral("Started working")});

        AgentUpdateBanner banner(&model);
        ChannelBindingSessionSheet sheet(&model);
        for (QWidget *root : QList<QWidget *>{&dashboard, &banner, &sheet}) {
            const auto buttons = root->findChildren<QAbstractButton *>();
            QVERIFY(!buttons.isEmpty());
            for (QAbstractButton *button : buttons)
                QVERIFY2(button->focusPolicy() & Qt::TabFocus, qPrintable(button->text() + button->toolTip()));
        }
    }

private:
    std::unique_ptr<ModelFixture> m_fixture;
};

QTEST_MAIN(DashboardTests)
#include "DashboardTests.moc"
