#pragma once

#include "app/AppModel.h"

#include <QList>
#include <QWidget>

class ErrorSection;
class ModelObserver;
class QGridLayout;
class QLabel;
class QPushButton;
class QScrollArea;
class QTimer;
class QVBoxLayout;
class Spinner;
class StatusCore;
class SymbolLabel;

// The dashboard: once the installation is validated, the running agent on the left (emblem,
// headline, current task, channel binding, recent activity) and the system facts, permissions,
// actions and last error on the right.

// The recent activity, newest first, as the model keeps it.
class ActivityList : public QWidget
{
    Q_OBJECT
public:
    explicit ActivityList(QWidget *parent = nullptr);

    void setEvents(const QList<AppModel::ActivityEvent> &events);
    const QList<AppModel::ActivityEvent> &events() const { return m_events; }

    // The time of day shown beside an event.
    static QString timeText(const QDateTime &occurredAt);

    QLabel *emptyLabel() const { return m_empty; }
    int rowCount() const { return int(m_rows.size()); }
    // The visible summary of each row, top to bottom.
    QStringList summaries() const;

private:
    QList<AppModel::ActivityEvent> m_events;
    QLabel *m_empty;
    QVBoxLayout *m_rowsLayout;
    QList<QWidget *> m_rows;
};

// The channel row: the binding state and, until the channel is bound, "Bind Channel".
class OwnerSetupChannelStatus : public QWidget
{
    Q_OBJECT
public:
    explicit OwnerSetupChannelStatus(AppModel *model, QWidget *parent = nullptr);
    QLabel *stateLabel() const { return m_state; }
    QPushButton *bindButton() const { return m_bind; }
    void render();

private:
    AppModel *m_model;
    QLabel *m_state;
    QPushButton *m_bind;
};

// The left column.
class AgentOverviewPane : public QWidget
{
    Q_OBJECT
public:
    explicit AgentOverviewPane(AppModel *model, QWidget *parent = nullptr);

    StatusCore *statusCore() const { return m_core; }
    QLabel *headlineLabel() const { return m_headline; }
    QLabel *detailLabel() const { return m_detail; }
    QLabel *taskLabel() const { return m_task; }
    OwnerSetupChannelStatus *channelStatus() const { return m_channel; }
    ActivityList *activityList() const { return m_activity; }
    void render();

private:
    AppModel *m_model;
    StatusCore *m_core;
    QLabel *m_headline;
    QLabel *m_detail;
    QWidget *m_taskBlock;
    QLabel *m_task;
    OwnerSetupChannelStatus *m_channel;
    ActivityList *m_activity;
};

// One permission with its symbol, purpose and state, and "处理" while it needs the user.
class PermissionRow : public QWidget
{
    Q_OBJECT
public:
    enum class State { verified, checking, unchecked, needsAuthorization };

    PermissionRow(AppModel *model, PermissionKind kind, bool showsAction, QWidget *parent = nullptr);

    static State state(const AppModel &model, const AppModel::PermissionItem &item);
    static QString stateText(State state);
    static QString stateSymbol(State state);
    // Whether the user has something to do for this permission (the "处理" button).
    static bool needsUser(const AppModel &model, const AppModel::PermissionItem &item);
    // Name, purpose and state joined for assistive technology.
    static QString spokenSummary(const AppModel &model, const AppModel::PermissionItem &item);

    PermissionKind kind() const { return m_kind; }
    State currentState() const { return m_state; }
    SymbolLabel *stateMark() const { return m_stateMark; }
    QPushButton *actionButton() const { return m_action; }
    void render();

private:
    void act();

    AppModel *m_model;
    PermissionKind m_kind;
    bool m_showsAction;
    State m_state = State::unchecked;
    qint64 m_focusRevision;
    QLabel *m_icon;
    QLabel *m_name;
    QLabel *m_purpose;
    SymbolLabel *m_stateMark;
    QPushButton *m_action;
};

// The right column: connection, system, permissions, actions and the last error.
class SystemStatusPane : public QWidget
{
    Q_OBJECT
public:
    explicit SystemStatusPane(AppModel *model, QWidget *parent = nullptr);

    // The section headings, in order.
    QStringList sectionTitles() const;
    // The value shown in the row with this title ("Agent", "连接状态", "App 版本", ...).
    QString rowValue(const QString &title) const;

    QList<PermissionRow *> permissionRows() const { return m_permissionRows; }
    QPushButton *updateButton() const { return m_update; }
    QPushButton *restartButton() const { return m_restart; }
    QPushButton *recheckButton() const { return m_recheck; }
    QPushButton *logsButton() const { return m_logs; }
    QPushButton *releasesButton() const { return m_releases; }
    ErrorSection *errorSection() const { return m_error; }
    Spinner *updateSpinner() const { return m_updateSpinner; }
    QLabel *noticeLabel() const { return m_notice; }
    bool agesHeartbeat() const;
    void render();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QLabel *addRow(QGridLayout *grid, const QString &title);
    QWidget *section(const QString &title, QLayout *content);
    void refreshHeartbeat();
    // The heartbeat row, and its ageing restarted by a new sample.
    void renderHeartbeat();
    void waitForNextSample();

    AppModel *m_model;
    QList<QLabel *> m_headings;
    QList<std::pair<QString, QLabel *>> m_rows;
    QLabel *m_agent = nullptr;
    QLabel *m_bridge = nullptr;
    QLabel *m_heartbeat = nullptr;
    QLabel *m_appVersion = nullptr;
    QLabel *m_agentVersion = nullptr;
    QWidget *m_permissionsBox = nullptr;
    QList<PermissionRow *> m_permissionRows;
    QLabel *m_notice = nullptr;
    QPushButton *m_update;
    Spinner *m_updateSpinner;
    QPushButton *m_restart;
    QPushButton *m_recheck;
    QPushButton *m_logs;
    QPushButton *m_releases;
    QWidget *m_errorBlock;
    ErrorSection *m_error;
    std::optional<AppModel::DisplayError> m_shownError;
    QTimer *m_heartbeatTimer;
    QTimer *m_nextSampleGrace;
    std::optional<QDateTime> m_heartbeatShown;
};

// The panes are built when the dashboard is first shown (or asked for): a launch that opens
// on the setup screen does not pay for a page it may never show.
class DashboardView : public QWidget
{
    Q_OBJECT
public:
    explicit DashboardView(AppModel *model, QWidget *parent = nullptr);

    AgentOverviewPane *overviewPane();
    SystemStatusPane *statusPane();
    bool isBuilt() const { return m_overview != nullptr; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void build();

    AppModel *m_model;
    AgentOverviewPane *m_overview = nullptr;
    SystemStatusPane *m_status = nullptr;
};
