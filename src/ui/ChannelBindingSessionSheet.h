#pragma once

#include <QStringList>
#include <QWidget>

#include <chrono>

class AppModel;
class QLabel;
class QPushButton;
class QToolButton;

// The window-side companion of the browser binding: what is happening, open the page again,
// copy the link, ask for a new one or refresh the state. It follows the model's owner-setup
// flags and keeps no state of its own; the root window hosts it in a sheet.
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

    QLabel *detailLabel() const { return m_detail; }
    QLabel *openFailureLabel() const { return m_openFailure; }
    QLabel *errorLabel() const { return m_error; }
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
    QPushButton *m_open;
    QPushButton *m_copy;
    QPushButton *m_regenerate;
    QPushButton *m_refresh;
    QToolButton *m_close;
};
