#pragma once

#include "ui/Views.h"

#include <QDialog>

#include <optional>

class AppModel;
class ModelObserver;
class QLabel;
class QPushButton;
class Spinner;
enum class PermissionKind;
enum class AccessibilityStep;

// The sheet that prepares one permission check: what the check does, then either the button
// that starts it or, after a failed probe, the way to System Settings and a re-check.
// Dismissing it (Escape, closing, "取消") clears the model's prompt.
class PermissionPromptSheet : public FittedDialog
{
    Q_OBJECT
public:
    explicit PermissionPromptSheet(AppModel *model, QWidget *parent = nullptr);

    static QString title(std::optional<PermissionKind> kind);
    static QString explanation(std::optional<PermissionKind> kind, AccessibilityStep step);
    static QString primaryTitle(std::optional<PermissionKind> kind, AccessibilityStep step);

    QLabel *titleLabel() const { return m_title; }
    QLabel *explanationLabel() const { return m_explanation; }
    QLabel *busyLabel() const { return m_busyText; }
    // Shown when this kind's settings pane could not be opened: what to do instead.
    QLabel *settingsFailureLabel() const { return m_settingsFailure; }
    // The buttons shown, in order, by their titles.
    QStringList visibleButtonTitles() const;
    QPushButton *cancelButton() const { return m_cancel; }
    QPushButton *settingsButton() const { return m_settings; }
    QPushButton *recheckButton() const { return m_recheck; }
    QPushButton *primaryButton() const { return m_primary; }

    void render();
    void reject() override;

private:
    void clearPrompt();

    AppModel *m_model;
    QLabel *m_title;
    QLabel *m_explanation;
    QWidget *m_busy;
    Spinner *m_spinner;
    QLabel *m_busyText;
    QLabel *m_settingsFailure;
    QPushButton *m_cancel;
    QPushButton *m_settings;
    QPushButton *m_recheck;
    QPushButton *m_primary;
    QPushButton *m_defaultButton = nullptr;
    BusyDelay *m_checking;
    ModelObserver *m_observer;
};
