#pragma once

#include <QLabel>
#include <QToolButton>
#include <QWidget>

class AppModel;
class QPushButton;
class Spinner;

// A one-line label that shortens its text in the middle, so both the product name and the
// version number stay readable in a narrow window.
class MiddleElidedLabel : public QLabel
{
    Q_OBJECT
public:
    explicit MiddleElidedLabel(QWidget *parent = nullptr);
    void setFullText(const QString &text);
    QString fullText() const { return m_fullText; }
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void refit();
    QString m_fullText;
};

// The small close button of the banner: the "xmark" symbol at 9 points, drawn in the secondary
// label colour while the pointer is over it and in the tertiary one otherwise.
class BannerCloseButton : public QToolButton
{
    Q_OBJECT
public:
    static constexpr int symbolSize = 9;
    explicit BannerCloseButton(QWidget *parent = nullptr);
    bool isHovered() const { return m_hovered; }
    // The colour the symbol is drawn in now.
    QColor symbolColor() const;

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_hovered = false;
    bool m_keyboardFocus = false;
};

// The offer of a newer agent above the page: its text, "更新" (or the running update) and the
// close button that dismisses this version.
class AgentUpdateBanner : public QWidget
{
    Q_OBJECT
public:
    explicit AgentUpdateBanner(AppModel *model, QWidget *parent = nullptr);

    bool isUpdateHovered() const { return m_updateHovered; }
    bool isDismissHovered() const { return m_close->isHovered(); }

    MiddleElidedLabel *textLabel() const { return m_text; }
    QPushButton *updateButton() const { return m_update; }
    // The progress indicator inside the button while the update runs.
    QWidget *busyIndicator() const;
    BannerCloseButton *closeButton() const { return m_close; }
    void render();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    AppModel *m_model;
    bool m_updateHovered = false;
    MiddleElidedLabel *m_text;
    QPushButton *m_update;
    Spinner *m_spinner;
    BannerCloseButton *m_close;
    QString m_updateStyle;
};
