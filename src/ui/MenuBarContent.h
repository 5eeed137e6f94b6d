#pragma once

#include <QWidget>

#include <functional>

class AppModel;
class ModelObserver;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTimer;
class Spinner;
class SymbolLabel;

// The tray panel: a compact state of the agent and the everyday actions, without the window.
class MenuBarContent : public QWidget
{
    Q_OBJECT
public:
    static constexpr int panelWidth = 340;

    struct Actions
    {
        std::function<void()> openMainWindow;
        std::function<void()> quit;
    };

    MenuBarContent(AppModel *model, Actions actions, QWidget *parent = nullptr);

    static QString headerTitle(int overallState);
    static QString headerDetail(int overallState);

    QLabel *titleLabel() const { return m_title; }
    QLabel *detailLabel() const { return m_detail; }
    QLabel *taskLabel() const { return m_task; }
    SymbolLabel *permissionLabel() const { return m_permissions; }
    SymbolLabel *heartbeatLabel() const { return m_heartbeat; }
    QPushButton *openButton() const { return m_open; }
    QPushButton *restartButton() const { return m_restart; }
    QPushButton *recheckButton() const { return m_recheck; }
    QPushButton *updateButton() const { return m_update; }
    QPushButton *releasesButton() const { return m_releases; }
    QPushButton *logsButton() const { return m_logs; }
    QPushButton *diagnosticsButton() const { return m_diagnostics; }
    QLabel *noticeLabel() const { return m_notice; }
    // Desktop notifications on or off, kept in the profile.
    QCheckBox *notificationsToggle() const { return m_notifications; }
    // The interface's language: the system's, or one the user chose, kept in the profile and
    // applied at the next start (the note under it says so once the choice differs).
    QComboBox *languageChoice() const { return m_language; }
    QLabel *languageNote() const { return m_languageNote; }
    QPushButton *quitButton() const { return m_quit; }

    void render();
    // The panel's width is fixed: its height is what the wrapped texts need at that width.
    QSize sizeHint() const override;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void openMainWindow();
    void syncNotificationsToggle();
    void syncLanguageChoice();

    AppModel *m_model;
    Actions m_actions;
    QLabel *m_logo;
    QLabel *m_title;
    QLabel *m_detail;
    QLabel *m_task;
    SymbolLabel *m_permissions;
    SymbolLabel *m_heartbeat;
    QPushButton *m_open;
    QPushButton *m_restart;
    QPushButton *m_recheck;
    QPushButton *m_update;
    Spinner *m_updateSpinner;
    QPushButton *m_releases;
    QPushButton *m_logs;
    QPushButton *m_diagnostics;
    QLabel *m_notice;
    QCheckBox *m_notifications;
    QComboBox *m_language;
    QLabel *m_languageNote;
    QPushButton *m_quit;
    QTimer *m_clock;
    ModelObserver *m_observer;
};
