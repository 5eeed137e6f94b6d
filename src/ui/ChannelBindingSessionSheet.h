#pragma once

#include <QStringList>
#include <QWidget>

#include <chrono>

class AppModel;
class BusyDelay;
class QLabel;
class QPushButton;
class QToolButton;

// The window-side companion of the browser binding: what is happening, open the page again,
// copy the link, ask for a new one or refresh the state. It follows the model's owner-setup
// flags; of its own it keeps only how long a refresh has been loading, so that the half-second
// poll never flickers its buttons. The root window hosts it in a sheet.
class ChannelBindingSessionSheet : public QWidget
{
    Q_OBJECT
public:
    // How long after the sheet appears the binding state is refreshed.
    static constexpr std::chrono::milliseconds appearanceRefreshDelay{550};

    explicit ChannelBindingSessionSheet(AppModel *model, QWidget *parent = nullptr);

    static QString title();
    static QString sessionDetail(const AppModel &model);
    // The failure texts below the detail line (the failed browser open, the refresh error).
    static QStringList failureTexts(const AppModel &model);
    static QString accessibilitySummary(const AppModel &model);
    static QString openHelp(const AppModel &model);
    // Why opening and copying are not possible now, and what to press instead; empty when they are.
    static QString unavailableReason(const AppModel &model, bool loading);

    QLabel *detailLabel() const { return m_detail; }
    QLabel *openFailureLabel() const { return m_openFailure; }
    QLabel *errorLabel() const { return m_error; }
    QLabel *reasonLabel() const { return m_reason; }
    QPushButton *openButton() const { return m_open; }
    QPushButton *copyButton() const { return m_copy; }
    QPushButton *regenerateButton() const { return m_regenerate; }
    QPushButton *refreshButton() const { return m_refresh; }
    QToolButton *closeButton() const { return m_close; }
    void render();

protected:
    void showEvent(QShowEvent *event) override;

private:
    AppModel *m_model;
    QLabel *m_detail;
    QLabel *m_openFailure;
    QLabel *m_error;
    QLabel *m_reason;
    QPushButton *m_open;
    QPushButton *m_copy;
    QPushButton *m_regenerate;
    QPushButton *m_refresh;
    QToolButton *m_close;
    BusyDelay *m_loading;
};
