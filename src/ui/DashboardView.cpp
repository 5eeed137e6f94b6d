#include "ui/DashboardView.h"

#include "permissions/PermissionKind.h"
#include "ui/Symbols.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int columnMargin = 24;
constexpr int sectionSpacing = 16;
constexpr int logoSize = 112;

QString joinSpoken(const QStringList &parts)
{
    QStringList present;
    for (const QString &part : parts) {
        if (!part.isEmpty())
            present.append(part);
    }
    return present.join(DashboardView::tr("，"));
}

void setAccessibleNameIfChanged(QWidget *widget, const QString &name)
{
    if (widget->accessibleName() != name)
        widget->setAccessibleName(name);
}

// A column that scrolls when the window is too short for it, without a frame of its own.
QScrollArea *scrollingColumn(QWidget *content, QWidget *parent)
{
    auto *scroll = new QScrollArea(parent);
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    return scroll;
}

QPushButton *makeBorderedButton(const QString &text, QWidget *parent = nullptr)
{
    auto *button = new QPushButton(text, parent);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setAutoDefault(false);
    // The same bordered accent button as the setup screen's secondary actions.
    styleSecondaryButton(button);
    return button;
}

} // namespace

// ---- ActivityList -------------------------------------------------------------------------

ActivityList::ActivityList(QWidget *parent)
    : QWidget(parent), m_empty(makeLabel(tr("尚无活动"), UIToken::Typography::meta, true)),
      m_rowsLayout(new QVBoxLayout)
{
    setObjectName(QStringLiteral("activity-list"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(makeLabel(tr("最近活动"), UIToken::Typography::section));
    layout->addWidget(m_empty);
    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    m_rowsLayout->setSpacing(6);
    layout->addLayout(m_rowsLayout);
    setAccessibleName(tr("最近活动"));
}

QString ActivityList::timeText(const QDateTime &occurredAt)
{
    return QLocale().toString(occurredAt.toLocalTime().time(), QStringLiteral("HH:mm:ss"));
}

void ActivityList::setEvents(const QList<AppModel::ActivityEvent> &events)
{
    if (events == m_events && (!m_rows.isEmpty() || events.isEmpty()))
        return;
    m_events = events;
    // Twenty short rows at most: rebuilding them is cheaper than diffing.
    for (QWidget *row : std::as_const(m_rows))
        delete row;
    m_rows.clear();
    for (const AppModel::ActivityEvent &event : events) {
        auto *row = new QWidget(this);
        auto *line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(10);
        auto *time = makeLabel(timeText(event.occurredAt), UIToken::Typography::caption, true, row);
        time->setWordWrap(false);
        time->setMinimumWidth(QFontMetrics(time->font()).horizontalAdvance(QStringLiteral("00:00:00")) + 2);
        auto *summary = makeLabel(event.summary, UIToken::Typography::body, false, row);
        summary->setObjectName(QStringLiteral("activity-summary"));
        line->addWidget(time, 0, Qt::AlignTop);
        line->addWidget(summary, 1);
        row->setAccessibleName(tr("%1，%2").arg(timeText(event.occurredAt), event.summary));
        m_rowsLayout->addWidget(row);
        m_rows.append(row);
    }
    m_empty->setVisible(events.isEmpty());
}

QStringList ActivityList::summaries() const
{
    QStringList texts;
    for (QWidget *row : m_rows) {
        if (auto *summary = row->findChild<QLabel *>(QStringLiteral("activity-summary")))
            texts.append(summary->text());
    }
    return texts;
}

// ---- OwnerSetupChannelStatus --------------------------------------------------------------

OwnerSetupChannelStatus::OwnerSetupChannelStatus(AppModel *model, QWidget *parent)
    : QWidget(parent), m_model(model), m_state(makeLabel({}, UIToken::Typography::body, true)),
      m_bind(makeBorderedButton(tr("Bind Channel")))
{
    setObjectName(QStringLiteral("channel-status"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    auto *title = makeLabel(tr("Channel"), UIToken::Typography::bodyStrong);
    title->setWordWrap(false);
    layout->addWidget(title);
    layout->addWidget(m_state, 1);
    layout->addWidget(m_bind);
    m_bind->setToolTip(tr("打开 Channel 绑定"));
    // Until the channel is bound this is the one thing the dashboard asks of the user.
    stylePrimaryButton(m_bind);
    connect(m_bind, &QPushButton::clicked, this, [this] { m_model->setChannelBindingSheetPresented(true); });
    new ModelObserver(model, this, [this] { render(); }, ModelChange::channel | ModelChange::journey);
    render();
}

void OwnerSetupChannelStatus::render()
{
    const QString summary = m_model->channel().channelBindingSummary();
    setTextIfChanged(m_state, summary);
    // The completion flag lives for one run only; after a relaunch the finished installation
    // is what says the channel was bound, and the row must not offer to bind it again.
    const bool bound = m_model->channel().channelBindingCompleted()
        || (m_model->journey().onboardingCompleted() && m_model->journey().installStage() != AppModel::InstallStage::channel);
    m_bind->setVisible(!bound);
    setAccessibleNameIfChanged(this, tr("Channel，%1").arg(summary));
}

// ---- AgentOverviewPane --------------------------------------------------------------------

AgentOverviewPane::AgentOverviewPane(AppModel *model, QWidget *parent)
    : QWidget(parent), m_model(model), m_core(new StatusCore(model, logoSize)),
      m_headline(makeLabel({}, UIToken::Typography::statusTitle)), m_detail(makeLabel({}, UIToken::Typography::body, true)),
      m_taskBlock(new QWidget), m_task(makeLabel({}, UIToken::Typography::task)),
      m_channel(new OwnerSetupChannelStatus(model)), m_activity(new ActivityList)
{
    setObjectName(QStringLiteral("agent-overview"));
    m_headline->setAlignment(Qt::AlignHCenter);
    m_detail->setAlignment(Qt::AlignHCenter);
    m_headline->setObjectName(QStringLiteral("headline"));
    m_headline->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *taskLayout = new QVBoxLayout(m_taskBlock);
    taskLayout->setContentsMargins(0, 0, 0, 0);
    taskLayout->setSpacing(4);
    taskLayout->addWidget(makeLabel(tr("当前任务"), UIToken::Typography::meta, true));
    taskLayout->addWidget(m_task);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(columnMargin, columnMargin, columnMargin, columnMargin);
    layout->setSpacing(sectionSpacing);
    auto *emblem = new QVBoxLayout;
    emblem->setSpacing(6);
    emblem->addWidget(m_core, 0, Qt::AlignHCenter);
    emblem->addSpacing(6);
    emblem->addWidget(m_headline);
    emblem->addWidget(m_detail);
    layout->addLayout(emblem);
    layout->addWidget(makeDivider());
    layout->addWidget(m_taskBlock);
    layout->addWidget(m_channel);
    layout->addWidget(makeDivider());
    layout->addWidget(m_activity);
    layout->addStretch(1);

    // The headline and the task read the journey, the status, a submission and the error shown.
    new ModelObserver(model, this, [this] { render(); },
                      ModelChange::status | ModelChange::journey | ModelChange::setup | ModelChange::attention
                          | ModelChange::activity);
    render();
}

void AgentOverviewPane::render()
{
    setTextIfChanged(m_headline, m_model->status().headlineStatusTitle());
    setTextIfChanged(m_detail, m_model->status().headlineStatusDetail());
    const QString task = m_model->status().currentTask();
    setTextIfChanged(m_task, task);
    setAccessibleNameIfChanged(m_taskBlock, tr("当前任务，%1").arg(task));
    setAccessibleNameIfChanged(m_task, tr("当前任务，%1").arg(task));
    m_activity->setEvents(m_model->attention().activities());
}

// ---- PermissionRow ------------------------------------------------------------------------

PermissionRow::PermissionRow(AppModel *model, PermissionKind kind, bool showsAction, QWidget *parent)
    : QWidget(parent), m_model(model), m_kind(kind), m_showsAction(showsAction),
      m_focusRevision(model->attention().focusRevision()), m_icon(new QLabel),
      m_name(makeLabel(PermissionKinds::title(kind), UIToken::Typography::bodyStrong)),
      m_purpose(makeLabel(PermissionKinds::description(kind), UIToken::Typography::meta, true)),
      m_stateMark(new SymbolLabel), m_action(makeBorderedButton(tr("处理")))
{
    setObjectName(QStringLiteral("permission-") + rawValue(kind));
    const int iconSide = 20;
    m_icon->setPixmap(Symbols::icon(Symbols::forPermission(kind)).pixmap(QSize(iconSide, iconSide), devicePixelRatioF()));
    m_icon->setFixedSize(iconSide + 4, iconSide + 2);
    m_icon->setAlignment(Qt::AlignCenter);
    UIToken::apply(m_stateMark->textLabel(), UIToken::Typography::meta);
    m_action->setToolTip(tr("处理%1权限").arg(PermissionKinds::title(kind)));
    m_action->setMaximumWidth(m_action->fontMetrics().horizontalAdvance(m_action->text()) + 40);

    m_stateMark->textLabel()->setWordWrap(false);
    auto *text = new QVBoxLayout;
    text->setContentsMargins(0, 0, 0, 0);
    text->setSpacing(1);
    text->addWidget(m_name);
    text->addWidget(m_purpose);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(10);
    layout->addWidget(m_icon, 0, Qt::AlignTop);
    layout->addLayout(text, 1);
    layout->addWidget(m_stateMark, 0, Qt::AlignVCenter);
    layout->addWidget(m_action, 0, Qt::AlignVCenter);

    connect(m_action, &QPushButton::clicked, this, [this] { act(); });
    new ModelObserver(model, this, [this] { render(); },
                      ModelChange::permissions | ModelChange::operations | ModelChange::attention | ModelChange::journey);
    render();
}

PermissionRow::State PermissionRow::state(const AppModel &model, const AppModel::PermissionItem &item)
{
    if (item.verified)
        return State::verified;
    // Only the onboarding step of the current kind probes one permission at a time; that is the
    // row that shows the check running.
    if (model.permissions().permissionOperationInFlight() && model.permissions().currentPermissionOnboardingKind() == item.rule.kind)
        return State::checking;
    if (item.nativeState == AppModel::PermissionNativeState::unknown)
        return State::unchecked;
    return State::needsAuthorization;
}

QString PermissionRow::stateText(State state)
{
    switch (state) {
    case State::verified: return tr("已配置");
    case State::checking: return tr("正在验证授权…");
    case State::unchecked: return tr("等待检查");
    case State::needsAuthorization: return tr("请完成系统授权");
    }
    return {};
}

QString PermissionRow::stateSymbol(State state)
{
    switch (state) {
    case State::verified: return QStringLiteral("checkmark.circle.fill");
    case State::checking: return QStringLiteral("arrow.triangle.2.circlepath");
    case State::unchecked: return QStringLiteral("circle.dashed");
    case State::needsAuthorization: return QStringLiteral("exclamationmark.triangle");
    }
    return {};
}

bool PermissionRow::needsUser(const AppModel &model, const AppModel::PermissionItem &item)
{
    const State current = state(model, item);
    if (current == State::verified || current == State::checking)
        return false;
    // The onboarding step of the current kind, or a permission a probe found missing.
    return model.permissions().currentPermissionOnboardingKind() == item.rule.kind || current == State::needsAuthorization;
}

QString PermissionRow::spokenSummary(const AppModel &model, const AppModel::PermissionItem &item)
{
    return joinSpoken({PermissionKinds::title(item.rule.kind), PermissionKinds::description(item.rule.kind),
                       stateText(state(model, item))})
           + tr("。");
}

void PermissionRow::act()
{
    // During onboarding the row continues the current step (the prompt, then the probe). After
    // the installation the onboarding steps no longer apply: the row opens the kind's System
    // Settings pane, and the model re-checks the permission while the user grants it there.
    if (m_model->permissions().currentPermissionOnboardingKind() == m_kind) {
        Quorvantis::startDetached(m_model->continuePermissionOnboarding(), "permission row: continue onboarding");
        return;
    }
    m_model->resolvePermission(m_kind);
}

void PermissionRow::render()
{
    const auto &items = m_model->permissions().permissions();
    const auto found = std::find_if(items.cbegin(), items.cend(),
                                    [this](const AppModel::PermissionItem &item) { return item.rule.kind == m_kind; });
    if (found == items.cend()) {
        setVisible(false);
        return;
    }
    const AppModel::PermissionItem &item = *found;
    m_state = state(*m_model, item);
    m_stateMark->setSymbol(stateSymbol(m_state));
    m_stateMark->setText(stateText(m_state));
    const bool showsButton = m_showsAction && needsUser(*m_model, item);
    m_action->setVisible(showsButton);
    renderAgentAction(m_action, *m_model, true,
                      tr("处理%1权限").arg(PermissionKinds::title(m_kind)));
    setAccessibleNameIfChanged(this, spokenSummary(*m_model, item));
    m_action->setAccessibleDescription(spokenSummary(*m_model, item));

    if (m_model->attention().focusRevision() != m_focusRevision) {
        m_focusRevision = m_model->attention().focusRevision();
        if (m_model->attention().focusTarget() == AppModel::FocusTarget::forPermission(m_kind) && m_action->isVisibleTo(window()))
            m_action->setFocus(Qt::OtherFocusReason);
    }
}

// ---- SystemStatusPane ---------------------------------------------------------------------

SystemStatusPane::SystemStatusPane(AppModel *model, QWidget *parent)
    : QWidget(parent), m_model(model), m_update(makeBorderedButton(tr("更新 Agent"))),
      m_updateSpinner(new Spinner(14)), m_restart(makeBorderedButton(tr("重启 Agent"))),
      m_recheck(makeBorderedButton(tr("重新检查权限"))),
      m_logs(makeBorderedButton(tr("打开日志目录"))),
      m_releases(makeBorderedButton(tr("检查 App 更新"))), m_errorBlock(new QWidget),
      m_error(new ErrorSection(model, true)), m_heartbeatTimer(new QTimer(this)), m_nextSampleGrace(new QTimer(this))
{
    setObjectName(QStringLiteral("system-status"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(columnMargin, columnMargin, columnMargin, columnMargin);
    layout->setSpacing(sectionSpacing);

    // The two fact sections share a line: the window stays short enough that the last error
    // is in view without scrolling.
    auto *facts = new QHBoxLayout;
    facts->setSpacing(28);
    auto *connection = new QGridLayout;
    m_agent = addRow(connection, tr("Agent"));
    m_bridge = addRow(connection, tr("连接状态"));
    m_heartbeat = addRow(connection, tr("最近响应"));
    connection->setRowStretch(connection->rowCount(), 1);
    facts->addWidget(section(tr("连接"), connection), 1);

    auto *system = new QGridLayout;
    m_appVersion = addRow(system, tr("App 版本"));
    m_agentVersion = addRow(system, tr("Agent 版本"));
    addRow(system, tr("登录时启动"))->setText(tr("自动管理"));
    addRow(system, QStringLiteral("Google Chrome"))->setText(tr("自动管理"));
    facts->addWidget(section(tr("系统"), system), 1);
    layout->addLayout(facts);

    auto *permissionList = new QVBoxLayout;
    permissionList->setSpacing(10);
    for (const AppModel::PermissionItem &item : model->permissions().permissions()) {
        auto *row = new PermissionRow(model, item.rule.kind, true);
        m_permissionRows.append(row);
        permissionList->addWidget(row);
    }
    layout->addWidget(section(tr("权限"), permissionList));

    auto *actions = new QVBoxLayout;
    actions->setSpacing(8);
    auto *agentLine = new QHBoxLayout;
    agentLine->setSpacing(8);
    agentLine->addWidget(m_update);
    agentLine->addWidget(m_updateSpinner);
    agentLine->addWidget(m_restart);
    agentLine->addWidget(m_recheck);
    agentLine->addStretch(1);
    actions->addLayout(agentLine);
    auto *otherLine = new QHBoxLayout;
    otherLine->setSpacing(8);
    otherLine->addWidget(m_logs);
    otherLine->addWidget(m_releases);
    otherLine->addStretch(1);
    actions->addLayout(otherLine);
    // How the last action ended, where nothing else in the window shows it.
    m_notice = makeLabel({}, UIToken::Typography::meta, true);
    m_notice->setObjectName(QStringLiteral("action-notice"));
    m_notice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    actions->addWidget(m_notice);
    layout->addWidget(section(tr("操作"), actions));

    auto *errorLayout = new QVBoxLayout(m_errorBlock);
    errorLayout->setContentsMargins(0, 0, 0, 0);
    errorLayout->setSpacing(sectionSpacing);
    errorLayout->addWidget(makeDivider());
    errorLayout->addWidget(m_error);
    layout->addWidget(m_errorBlock);
    layout->addStretch(1);

    using Kind = AppModel::RecoveryAction::Kind;
    auto performOnClick = [this](QPushButton *button, Kind kind, const char *what) {
        connect(button, &QPushButton::clicked, this,
                [this, kind, what] { Quorvantis::startDetached(m_model->perform(AppModel::RecoveryAction::make(kind)), what); });
    };
    performOnClick(m_restart, Kind::restartAgent, "restart agent");
    performOnClick(m_recheck, Kind::recheckPermissions, "recheck permissions");
    performOnClick(m_logs, Kind::openLogs, "open logs");
    performOnClick(m_releases, Kind::checkForUpdates, "check for app updates");
    connect(m_update, &QPushButton::clicked, this,
            [this] { Quorvantis::startDetached(m_model->updateAgent(), "update agent"); });

    // "最近响应" ages without any change of the model; only while someone can see it, so a
    // window closed to the tray does not wake the process every second. While samples keep
    // coming each one renders the row anew, so the tick starts only when the next sample is
    // late: two and a half ticks after the last one (the row reads "刚刚" for two seconds).
    m_heartbeatTimer->setObjectName(QStringLiteral("heartbeat-timer"));
    m_heartbeatTimer->setInterval(1000);
    connect(m_heartbeatTimer, &QTimer::timeout, this, &SystemStatusPane::refreshHeartbeat);
    m_nextSampleGrace->setSingleShot(true);
    connect(m_nextSampleGrace, &QTimer::timeout, this, [this] {
        refreshHeartbeat();
        m_heartbeatTimer->start();
    });

    new ModelObserver(model, this, [this] { render(); },
                      ModelChange::status | ModelChange::updates | ModelChange::journey | ModelChange::operations
                          | ModelChange::attention);
    // A sample that brings nothing new moves only the heartbeat: that row alone follows it.
    new ModelObserver(model, this, [this] { renderHeartbeat(); }, ModelChange::heartbeat);
    render();
}

void SystemStatusPane::renderHeartbeat()
{
    refreshHeartbeat();
    if (isVisible() && m_model->status().statusSnapshot().bridgeHeartbeatAt != m_heartbeatShown)
        waitForNextSample();
}

void SystemStatusPane::refreshHeartbeat()
{
    setTextIfChanged(m_heartbeat, m_model->status().heartbeatDescription(m_model->now()));
}

void SystemStatusPane::waitForNextSample()
{
    m_heartbeatShown = m_model->status().statusSnapshot().bridgeHeartbeatAt;
    m_heartbeatTimer->stop();
    m_nextSampleGrace->start(m_heartbeatTimer->interval() * 5 / 2);
}

void SystemStatusPane::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshHeartbeat();
    waitForNextSample();
}

void SystemStatusPane::hideEvent(QHideEvent *event)
{
    m_nextSampleGrace->stop();
    m_heartbeatTimer->stop();
    QWidget::hideEvent(event);
}

bool SystemStatusPane::agesHeartbeat() const
{
    return m_heartbeatTimer->isActive() || m_nextSampleGrace->isActive();
}

QLabel *SystemStatusPane::addRow(QGridLayout *grid, const QString &title)
{
    const int row = grid->rowCount();
    auto *name = makeLabel(title, UIToken::Typography::body, true);
    name->setWordWrap(false);
    auto *value = makeLabel({}, UIToken::Typography::body);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(name, row, 0);
    grid->addWidget(value, row, 1);
    grid->setColumnStretch(1, 1);
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(6);
    m_rows.append({title, value});
    return value;
}

QWidget *SystemStatusPane::section(const QString &title, QLayout *content)
{
    auto *box = new QWidget;
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto *heading = makeLabel(title, UIToken::Typography::section);
    heading->setAccessibleName(title);
    m_headings.append(heading);
    layout->addWidget(heading);
    layout->addLayout(content);
    return box;
}

QStringList SystemStatusPane::sectionTitles() const
{
    QStringList titles;
    for (QLabel *heading : m_headings)
        titles.append(heading->text());
    if (m_errorBlock->isVisibleTo(this))
        titles.append(tr("最后错误"));
    return titles;
}

QString SystemStatusPane::rowValue(const QString &title) const
{
    for (const auto &[name, value] : m_rows) {
        if (name == title)
            return value->text();
    }
    return {};
}

void SystemStatusPane::render()
{
    const auto &snapshot = m_model->status().statusSnapshot();
    setTextIfChanged(m_agent, m_model->status().agentProcessDescription());
    setTextIfChanged(m_bridge, snapshot.bridgeConnected ? tr("已连接") : tr("未连接"));
    renderHeartbeat();
    setTextIfChanged(m_appVersion, m_model->appVersion());
    setTextIfChanged(m_agentVersion, snapshot.agentVersion.value_or(QStringLiteral("--")));

    using Kind = AppModel::RecoveryAction::Kind;
    const bool updating = m_model->updates().isUpdatingAgent();
    const bool configured = m_model->journey().configurationReady();
    m_update->setText(updating ? tr("正在更新 Agent…") : tr("更新 Agent"));
    if (updating)
        setEnabledKeepingFocus(m_update, false);
    else
        renderAgentAction(m_update, *m_model, configured, tr("更新 Agent 到最新版本并重新启动。"));
    m_updateSpinner->setVisible(updating);
    renderRecoveryButton(m_restart, *m_model, int(Kind::restartAgent), tr("重启 Agent"), configured,
                         QString());
    // The permissions are re-checked on a finished installation; during one its stages do.
    const bool installing = m_model->journey().installStage().has_value();
    renderRecoveryButton(m_recheck, *m_model, int(Kind::recheckPermissions), tr("重新检查权限"),
                         configured && !installing,
                         installing ? tr("安装完成后可重新检查权限。") : tr("重新检查系统权限。"));
    const auto line = actionLine(*m_model);
    setTextIfChanged(m_notice, line.value_or(QString()));
    m_notice->setVisible(line.has_value());

    const auto &error = m_model->attention().lastError();
    m_errorBlock->setVisible(error.has_value());
    if (error && error != m_shownError) {
        // A new error is what the user has to see first, even when the column is scrolled.
        QTimer::singleShot(0, m_errorBlock, [this] {
            for (QWidget *ancestor = parentWidget(); ancestor; ancestor = ancestor->parentWidget()) {
                if (auto *scroll = qobject_cast<QScrollArea *>(ancestor)) {
                    scroll->ensureWidgetVisible(m_errorBlock, 0, 0);
                    break;
                }
            }
        });
    }
    m_shownError = error;
}

// ---- DashboardView ------------------------------------------------------------------------

DashboardView::DashboardView(AppModel *model, QWidget *parent) : QWidget(parent), m_model(model)
{
    setObjectName(QStringLiteral("dashboard"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
}

AgentOverviewPane *DashboardView::overviewPane()
{
    build();
    return m_overview;
}

SystemStatusPane *DashboardView::statusPane()
{
    build();
    return m_status;
}

void DashboardView::showEvent(QShowEvent *event)
{
    build();
    QWidget::showEvent(event);
}

void DashboardView::build()
{
    if (m_overview)
        return;
    m_overview = new AgentOverviewPane(m_model);
    m_status = new SystemStatusPane(m_model);
    auto *separator = new QFrame;
    separator->setFrameShape(QFrame::VLine);
    separator->setFrameShadow(QFrame::Plain);
    QPalette palette = separator->palette();
    palette.setColor(QPalette::WindowText, UIToken::tertiaryLabel(separator).lighter(130));
    separator->setPalette(palette);
    auto *columns = static_cast<QHBoxLayout *>(layout());
    const QList<QWidget *> parts{scrollingColumn(m_overview, this), separator, scrollingColumn(m_status, this)};
    // The columns take the keyboard to scroll: a screen reader names them as it lands there.
    parts.at(0)->setAccessibleName(tr("Agent 状态"));
    parts.at(2)->setAccessibleName(tr("系统状态"));
    columns->addWidget(parts.at(0), 5);
    columns->addWidget(parts.at(1));
    columns->addWidget(parts.at(2), 6);
    // Built while the page is being shown: show the parts now, not a turn later.
    if (isVisible()) {
        for (QWidget *part : parts)
            part->show();
    }
}
