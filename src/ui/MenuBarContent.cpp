#include "ui/MenuBarContent.h"

#include "app/AppModel.h"
#include "app/InterfaceLanguage.h"
#include "app/ProfileFiles.h"
#include "status/StatusController.h"
#include "ui/DiagnosticsExport.h"
#include "ui/Symbols.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLocale>
#include <QHBoxLayout>
#include <QLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

namespace {

using Typography = UIToken::Typography;
using RecoveryKind = AppModel::RecoveryAction::Kind;

QPushButton *menuItem(const QString &text)
{
    auto *button = new QPushButton(text);
    button->setFlat(true);
    button->setMinimumHeight(26);
    UIToken::apply(button, Typography::body);
    QColor hover = UIToken::accent();
    hover.setAlphaF(0.12f);
    button->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 3px 10px; border: none; border-radius: 5px; }"
                                         "QPushButton:hover, QPushButton:focus { background: %1; }"
                                         "QPushButton:disabled { color: %2; }")
                              .arg(hover.name(QColor::HexArgb), UIToken::tertiaryLabel(button).name()));
    return button;
}

} // namespace

QString MenuBarContent::headerTitle(int overallState)
{
    return StatusController::overallStateTitle(AppModel::OverallState(overallState));
}

QString MenuBarContent::headerDetail(int overallState)
{
    switch (AppModel::OverallState(overallState)) {
    case AppModel::OverallState::notInstalled: return tr("Quorvantis 尚未安装。");
    case AppModel::OverallState::starting: return tr("Quorvantis 正在准备运行环境。");
    case AppModel::OverallState::waitingSetup: return tr("输入 JIT Code 或 Setup Code 完成设备注册。");
    case AppModel::OverallState::online: return tr("Agent 已安装并启动。");
    case AppModel::OverallState::error: return tr("Quorvantis 尚未就绪，请查看详情。");
    }
    return {};
}

MenuBarContent::MenuBarContent(AppModel *model, Actions actions, QWidget *parent)
    : QWidget(parent), m_model(model), m_actions(std::move(actions)), m_logo(new QLabel),
      m_title(makeLabel({}, Typography::bodyStrong)), m_detail(makeLabel({}, Typography::meta, true)),
      m_task(makeLabel({}, Typography::body)), m_permissions(new SymbolLabel(QStringLiteral("hand.raised"))),
      m_heartbeat(new SymbolLabel(QStringLiteral("network"))), m_open(new QPushButton(tr("打开 Quorvantis"))),
      m_restart(menuItem(tr("重启 Agent"))), m_recheck(menuItem(tr("重新检查权限"))),
      m_update(menuItem(tr("更新 Agent"))), m_updateSpinner(new Spinner(12)),
      m_releases(menuItem(tr("检查 App 更新"))), m_logs(menuItem(tr("打开日志目录"))),
      m_diagnostics(menuItem(DiagnosticsExport::actionTitle())), m_notice(makeLabel({}, Typography::meta, true)), m_notifications(new QCheckBox(tr("桌面通知"))),
      m_language(new QComboBox), m_languageNote(makeLabel(tr("重新打开 Quorvantis 后生效。"), Typography::meta, true)),
      m_quit(menuItem(tr("退出 Quorvantis"))), m_clock(new QTimer(this)),
      m_observer(new ModelObserver(model, this, [this] { render(); }, ModelChangeGroups::all))
{
    setObjectName(QStringLiteral("menu-bar-content"));
    setWindowTitle(QStringLiteral("Quorvantis"));
    setFixedWidth(panelWidth);
    UIToken::tint(this);

    const int logo = Symbols::menuBarLogoSize;
    m_logo->setPixmap(Symbols::quorvantisMenuBarLogo().pixmap(QSize(logo, logo), devicePixelRatioF()));
    m_logo->setFixedSize(logo, logo);
    m_logo->setAccessibleName(QStringLiteral("Quorvantis"));
    UIToken::applySecondary(m_permissions->textLabel(), Typography::meta);
    UIToken::applySecondary(m_heartbeat->textLabel(), Typography::meta);

    auto *headerText = new QVBoxLayout;
    headerText->setSpacing(1);
    headerText->addWidget(m_title);
    headerText->addWidget(m_detail);
    auto *header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(m_logo, 0, Qt::AlignTop);
    header->addLayout(headerText, 1);

    stylePrimaryButton(m_open);
    const QKeySequence openShortcut(Qt::CTRL | Qt::Key_O); // Command-O on macOS
    m_open->setToolTip(tr("打开 Quorvantis（%1）").arg(openShortcut.toString(QKeySequence::NativeText)));
    auto *shortcut = new QShortcut(openShortcut, this);
    connect(shortcut, &QShortcut::activated, this, &MenuBarContent::openMainWindow);

    auto *updateInside = new QHBoxLayout(m_update);
    updateInside->setContentsMargins(0, 0, 10, 0);
    updateInside->addStretch();
    updateInside->addWidget(m_updateSpinner, 0, Qt::AlignVCenter);

    QPalette quitPalette = m_quit->palette();
    quitPalette.setColor(QPalette::ButtonText, UIToken::destructive());
    m_quit->setPalette(quitPalette);
    m_quit->setStyleSheet(m_quit->styleSheet() + QStringLiteral("QPushButton { color: %1; }").arg(UIToken::destructive().name()));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 10);
    layout->setSpacing(8);
    layout->addLayout(header);
    layout->addWidget(makeDivider());
    layout->addWidget(m_task);
    layout->addWidget(m_permissions);
    layout->addWidget(m_heartbeat);
    layout->addSpacing(2);
    layout->addWidget(m_open);
    layout->addWidget(makeDivider());
    auto *items = new QVBoxLayout;
    items->setSpacing(0);
    for (QPushButton *button : {m_restart, m_recheck, m_update, m_releases, m_logs, m_diagnostics})
        items->addWidget(button);
    layout->addLayout(items);
    m_notice->setObjectName(QStringLiteral("action-notice"));
    m_notice->setContentsMargins(10, 2, 10, 2);
    m_notice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_notice);
    layout->addWidget(makeDivider());
    UIToken::apply(m_notifications, Typography::body);
    m_notifications->setStyleSheet(QStringLiteral("QCheckBox { padding: 3px 10px; }"));
    m_notifications->setToolTip(tr("Agent 离线、需要处理或有新版本时通知你。"));
    layout->addWidget(m_notifications);
    auto *languageRow = new QHBoxLayout;
    languageRow->setContentsMargins(10, 0, 10, 0);
    auto *languageLabel = makeLabel(tr("界面语言"), Typography::body);
    languageLabel->setBuddy(m_language);
    languageRow->addWidget(languageLabel);
    languageRow->addStretch();
    languageRow->addWidget(m_language);
    layout->addLayout(languageRow);
    m_language->addItem(tr("跟随系统"), QString());
    for (const QString &language : InterfaceLanguage::available())
        m_language->addItem(InterfaceLanguage::displayName(language), language);
    m_language->setToolTip(tr("重新打开 Quorvantis 后生效。"));
    m_languageNote->setContentsMargins(10, 0, 10, 0);
    m_languageNote->hide();
    layout->addWidget(m_languageNote);
    layout->addWidget(makeDivider());
    layout->addWidget(m_quit);

    auto perform = [this](RecoveryKind kind, const char *what) {
        Quorvantis::startDetached(m_model->perform(AppModel::RecoveryAction::make(kind)), what);
    };
    connect(m_open, &QPushButton::clicked, this, &MenuBarContent::openMainWindow);
    connect(m_restart, &QPushButton::clicked, this, [perform] { perform(RecoveryKind::restartAgent, "restart agent"); });
    connect(m_recheck, &QPushButton::clicked, this,
            [perform] { perform(RecoveryKind::recheckPermissions, "recheck permissions"); });
    connect(m_update, &QPushButton::clicked, this,
            [this] { Quorvantis::startDetached(m_model->updateAgent(), "update agent"); });
    connect(m_releases, &QPushButton::clicked, this,
            [perform] { perform(RecoveryKind::checkForUpdates, "check for app updates"); });
    connect(m_logs, &QPushButton::clicked, this, [perform] { perform(RecoveryKind::openLogs, "open logs"); });
    connect(m_diagnostics, &QPushButton::clicked, this, [this] {
        // A popup panel closes as soon as the save dialog takes the focus; it must not take
        // the dialog down with it.
        const bool popup = windowFlags().testFlag(Qt::Popup);
        if (popup)
            hide();
        DiagnosticsExport::run(m_model, popup ? nullptr : this);
    });
    syncNotificationsToggle();
    connect(m_notifications, &QCheckBox::toggled, this, [this](bool on) {
        ProfileFiles::setNotificationsEnabled(ProfileFiles::profileDirectory(*m_model), on);
    });
    syncLanguageChoice();
    connect(m_language, &QComboBox::activated, this, [this](int index) {
        const QString language = m_language->itemData(index).toString();
        const QString profile = ProfileFiles::profileDirectory(*m_model);
        ProfileFiles::setLanguage(profile, language.isEmpty() ? std::nullopt : std::optional<QString>(language));
        syncLanguageChoice();
    });
    connect(m_quit, &QPushButton::clicked, this, [this] {
        if (m_actions.quit)
            m_actions.quit();
    });

    // The heartbeat line is relative to now: keep it current while the panel is open.
    m_clock->setInterval(1000);
    connect(m_clock, &QTimer::timeout, this, &MenuBarContent::render);
    render();
}

void MenuBarContent::openMainWindow()
{
    if (m_actions.openMainWindow)
        m_actions.openMainWindow();
}

void MenuBarContent::render()
{
    const int state = int(m_model->journey().overallState());
    setTextIfChanged(m_title, headerTitle(state));
    // "请查看详情" only where there are details: the error itself, or since when the agent is silent.
    QString detail = headerDetail(state);
    if (const auto &error = m_model->attention().lastError(); error && state == int(AppModel::OverallState::error))
        detail = error->message;
    else if (const auto offline = m_model->status().offlineDetail())
        detail = *offline;
    setTextIfChanged(m_detail, detail);
    const QString task = m_model->status().currentTask();
    setTextIfChanged(m_task, task);
    m_task->setAccessibleName(tr("当前任务，%1").arg(task));
    m_permissions->setText(m_model->permissions().permissionSummary());
    m_heartbeat->setText(m_model->status().heartbeatDescription(m_model->now()));

    const bool updating = m_model->updates().isUpdatingAgent();
    const bool configured = m_model->journey().configurationReady();
    renderRecoveryButton(m_restart, *m_model, int(RecoveryKind::restartAgent), tr("重启 Agent"), configured,
                         QString());
    renderRecoveryButton(m_recheck, *m_model, int(RecoveryKind::recheckPermissions), tr("重新检查权限"),
                         configured && !m_model->journey().installStage(),
                         m_model->journey().installStage() ? tr("安装完成后可重新检查权限。") : tr("重新检查系统权限。"));
    const auto line = actionLine(*m_model);
    setTextIfChanged(m_notice, line.value_or(QString()));
    m_notice->setVisible(line.has_value());
    if (updating)
        setEnabledKeepingFocus(m_update, false);
    else
        renderAgentAction(m_update, *m_model, configured, tr("更新 Agent 到最新版本并重新启动。"));
    m_update->setText(updating ? tr("正在更新 Agent…") : tr("更新 Agent"));
    m_updateSpinner->setVisible(updating);
}

QSize MenuBarContent::sizeHint() const
{
    // The default hint lays wrapping labels out narrower than the panel, and the surplus height
    // then opens uneven gaps between the rows.
    if (layout() && layout()->hasHeightForWidth())
        return {panelWidth, layout()->totalHeightForWidth(panelWidth)};
    return QWidget::sizeHint();
}

void MenuBarContent::syncNotificationsToggle()
{
    // The tray's own menu may have changed the setting meanwhile.
    const QSignalBlocker quiet(m_notifications);
    m_notifications->setChecked(ProfileFiles::notificationsEnabled(ProfileFiles::profileDirectory(*m_model)));
}

void MenuBarContent::syncLanguageChoice()
{
    const auto chosen = ProfileFiles::language(ProfileFiles::profileDirectory(*m_model));
    const auto language = chosen ? InterfaceLanguage::supported(*chosen) : std::nullopt;
    const QSignalBlocker quiet(m_language);
    m_language->setCurrentIndex(std::max(0, m_language->findData(language.value_or(QString()))));
    // The texts were made at start-up: another language shows from the next start on.
    const QString next = InterfaceLanguage::choose(language, QLocale::system().uiLanguages());
    m_languageNote->setVisible(next != InterfaceLanguage::name());
}

void MenuBarContent::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    syncNotificationsToggle();
    syncLanguageChoice();
    render();
    m_clock->start();
    // The panel takes the keyboard as it opens: a screen reader names it, and Tab goes on to its
    // controls (nothing is highlighted until then).
    if (!focusWidget()) {
        setFocusPolicy(Qt::ClickFocus);
        setFocus(Qt::PopupFocusReason);
    }
}

void MenuBarContent::hideEvent(QHideEvent *event)
{
    m_clock->stop();
    QWidget::hideEvent(event);
}
