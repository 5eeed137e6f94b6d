#pragma once

#include <QWidget>

#include "app/AppModel.h"

#include <QList>

#include <optional>

class AuthorizationCard;
class ErrorSection;
class ModelObserver;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class Spinner;
class StatusCore;
class SymbolLabel;

// The setup screen: from a fresh machine to a configured agent. The left column says where
// the installation stands; the right column holds the entry form, the progress, the workspace
// authorization card, the current permission step and the last error.
class SetupView : public QWidget
{
    Q_OBJECT
public:
    explicit SetupView(AppModel *model, QWidget *parent = nullptr);

    // The current-stage line of the left column.
    static QString currentStageText(const AppModel &model);
    // The spoken value of the overall progress bar.
    static QString progressSpokenValue(const AppModel &model);

    void render();

    // Parts the tests and the gallery reach.
    QLabel *stageLabel() const { return m_stage; }
    QLabel *titleLabel() const { return m_title; }
    QLabel *shieldNote() const;
    QWidget *entryForm() const { return m_entryForm; }
    QLabel *modeHeading() const { return m_modeHeading; }
    QLineEdit *setupCodeField() const { return m_codeField; }
    QLabel *setupCodeNote() const { return m_codeNote; }
    QLabel *setupCodeValidation() const { return m_codeValidation; }
    QPushButton *enrollmentLink() const { return m_enrollLink; }
    QWidget *agentNameBox() const { return m_nameBox; }
    QLineEdit *agentNameField() const { return m_nameField; }
    QLabel *agentNameValidation() const { return m_nameValidation; }
    QComboBox *workspacePicker() const { return m_workspace; }
    QPushButton *installCodeLink() const { return m_installCodeLink; }
    QPushButton *primaryButton() const { return m_primary; }
    QProgressBar *progressBar() const { return m_progressBar; }
    QWidget *packageProgress() const { return m_package; }
    QProgressBar *packageBar() const { return m_packageBar; }
    QLabel *packageCaption() const { return m_packageCaption; }
    AuthorizationCard *authorizationCard() const { return m_card; }
    QWidget *permissionSection() const { return m_permission; }
    QPushButton *permissionStartButton() const { return m_permissionStart; }
    QPushButton *permissionSettingsButton() const { return m_permissionSettings; }
    QWidget *errorSection() const { return m_errorBlock; }
    // How the last action ended, when it says what to do instead (a folder that did not open).
    QLabel *actionNotice() const { return m_notice; }
    QScrollArea *scrollArea() const { return m_scroll; }
    // Every visible text of the permission section, top to bottom.
    QStringList permissionTexts() const;

protected:
    // Return anywhere on the screen is the primary button, as a window's default action; the
    // text fields handle their own Return.
    void keyPressEvent(QKeyEvent *event) override;

private:
    struct ProgressRow
    {
        QWidget *row;
        QLabel *mark;
        Spinner *spinner;
        QLabel *title;
        QLabel *failed;
    };

    QWidget *buildLeftColumn();
    QWidget *buildEntryForm();
    QWidget *buildProgressSection();
    QWidget *buildPermissionSection();
    void renderEntryForm();
    // What the submit button does, for Return too: nothing while it is disabled.
    void submitIfAllowed();
    void renderProgress();
    void renderPermission();
    void applyFocusRequest();
    void scrollIntoView(QWidget *widget);

    AppModel *m_model;
    qint64 m_focusRevision = 0;
    bool m_permissionShown = false;
    bool m_cardShown = false;
    bool m_nameRuleRequested = false;
    bool m_rendered = false;
    std::optional<AppModel::DisplayError> m_shownError;

    StatusCore *m_statusCore = nullptr;
    SymbolLabel *m_shield = nullptr;
    QLabel *m_stage = nullptr;

    QScrollArea *m_scroll = nullptr;
    QLabel *m_title = nullptr;
    QWidget *m_entryForm = nullptr;
    QLabel *m_modeHeading = nullptr;
    QWidget *m_pasteBox = nullptr;
    QLineEdit *m_codeField = nullptr;
    QLabel *m_codeValidation = nullptr;
    QLabel *m_codeNote = nullptr;
    QPushButton *m_enrollLink = nullptr;
    QWidget *m_nameBox = nullptr;
    QWidget *m_enrollBox = nullptr;
    QLineEdit *m_nameField = nullptr;
    QLabel *m_nameValidation = nullptr;
    QComboBox *m_workspace = nullptr;
    QPushButton *m_installCodeLink = nullptr;
    QPushButton *m_primary = nullptr;
    Spinner *m_primarySpinner = nullptr;

    QProgressBar *m_progressBar = nullptr;
    QList<ProgressRow> m_rows;
    QLabel *m_detail = nullptr;
    QVBoxLayout *m_progressLayout = nullptr;
    QWidget *m_package = nullptr;
    QProgressBar *m_packageBar = nullptr;
    QLabel *m_packageCaption = nullptr;
    AuthorizationCard *m_card = nullptr;

    QWidget *m_permission = nullptr;
    QLabel *m_permissionProgress = nullptr;
    QProgressBar *m_permissionBar = nullptr;
    SymbolLabel *m_permissionKind = nullptr;
    QLabel *m_permissionPurpose = nullptr;
    QLabel *m_permissionStep = nullptr;
    QLabel *m_permissionIntro = nullptr;
    QLabel *m_permissionHint = nullptr;
    QWidget *m_verifying = nullptr;
    QLabel *m_verifyingTitle = nullptr;
    QLabel *m_verifyingDetail = nullptr;
    SymbolLabel *m_guidance = nullptr;
    SymbolLabel *m_settingsFailure = nullptr;
    QPushButton *m_permissionStart = nullptr;
    QPushButton *m_permissionSettings = nullptr;

    QWidget *m_errorBlock = nullptr;
    QLabel *m_notice = nullptr;
    ErrorSection *m_error = nullptr;
    ModelObserver *m_observer = nullptr;
};
