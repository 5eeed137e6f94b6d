#pragma once

#include "model/Published.h"
#include "ui/UIToken.h"

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include <chrono>
#include <functional>
#include <optional>

class AppModel;
class QPushButton;
class QTimer;
class QVBoxLayout;

// Small pieces the window's views share: the coalesced re-render, the motion preference,
// the spinner, symbol labels, the status emblem and the error section.

// Re-renders a view after the model changed something it shows (`interests`): once per turn of
// the event loop, after the turn's writes, and not at all for writes that changed nothing or
// changed only what the view does not show. A view that is hidden (a page not showing, a window
// closed to the tray) is not rendered: it is rendered when it is shown again, before it paints.
// Views of a window that was never shown or hidden yet (one still being built) render as before;
// a sheet goes with the window it belongs to.
class ModelObserver : public QObject
{
    Q_OBJECT
public:
    ModelObserver(AppModel *model, QObject *owner, std::function<void()> render,
                  ModelChanges interests = ModelChangeGroups::allButHeartbeat);
    // A render skipped while the owner was hidden, done when it is shown.
    bool renderDeferred() const { return m_deferred; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void modelChanged(ModelChanges changes);
    void renderNow();
    bool ownerHidden() const;

    QWidget *m_ownerWidget = nullptr;
    std::function<void()> m_render;
    ModelChanges m_interests;
    bool m_deferred = false;
};

// Presents a wait of the model only once it outlasts a short delay, so that a request that ends
// quickly (the binding sheet's half-second poll) never makes a button flicker. A wait the user
// started with a press shows at once: `pressed()` marks it.
class BusyDelay : public QObject
{
    Q_OBJECT
public:
    BusyDelay(QObject *owner, std::function<void()> render);
    // Whether the view shows `busy` now; called from the owner's render.
    bool shown(bool busy);
    // The user's own press starts a wait: shown from the press until the wait ends.
    void pressed() { m_pressed = true; }

    static std::chrono::milliseconds delay();
    // Tests shorten it; absent restores the default of 300 ms.
    static void setDelayForTesting(std::optional<std::chrono::milliseconds> delay);

private:
    std::function<void()> m_render;
    QTimer *m_timer;
    bool m_waiting = false;
    bool m_elapsed = false;
    bool m_pressed = false;
};

namespace Motion {
// Whether the desktop asks for reduced motion: a value set with setReducedMotionOverride
// (tests, the gallery) wins; otherwise QUORVANTIS_REDUCE_MOTION=1 in the environment or, on
// macOS, the user's accessibility preference.
bool prefersReducedMotion();
void setReducedMotionOverride(std::optional<bool> reduced);
} // namespace Motion

// A small indeterminate progress indicator (a rotating arc). Still when reduced motion is asked.
class Spinner : public QWidget
{
    Q_OBJECT
public:
    explicit Spinner(int diameter = 14, QWidget *parent = nullptr);
    QSize sizeHint() const override;
    void setColor(const QColor &color);

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    int m_diameter;
    int m_angle = 0;
    QColor m_color;
    QTimer *m_timer;
};

// A symbol followed by a wrapping text, the way the design pairs a symbol with a label.
class SymbolLabel : public QWidget
{
    Q_OBJECT
public:
    explicit SymbolLabel(const QString &symbol = {}, QWidget *parent = nullptr);
    void setSymbol(const QString &symbol, int size = 0);
    void setText(const QString &text);
    QString text() const;
    QString symbol() const { return m_symbol; }
    QLabel *textLabel() const { return m_text; }
    QLabel *iconLabel() const { return m_icon; }

private:
    QLabel *m_icon;
    QLabel *m_text;
    QString m_symbol;
    int m_size = 0;
};

// A sheet whose wrapping texts decide its height. A window manager opens a window at its size
// hint, which Qt computes without the texts' wrapping: the hint here is the height the content
// needs at the width the window opens with, and that height stays the minimum as texts change.
class FittedDialog : public QDialog
{
    Q_OBJECT
public:
    using QDialog::QDialog;
    QSize sizeHint() const override;

protected:
    bool event(QEvent *event) override;

private:
    void fitHeight();
};

// A thin horizontal rule between sections.
QFrame *makeDivider(QWidget *parent = nullptr);
// A plain widget with a vertical layout of no margins and `spacing` between its rows.
QWidget *makeColumn(QVBoxLayout *&layout, int spacing);
// A label in a text style; optional secondary colour; wraps.
QLabel *makeLabel(const QString &text, UIToken::Typography typography, bool secondary = false,
                  QWidget *parent = nullptr);
// A flat, link-coloured button.
QPushButton *makeLinkButton(const QString &text, QWidget *parent = nullptr);
// The prominent accent button of a screen or card, and the bordered secondary one.
void stylePrimaryButton(QPushButton *button);
void styleSecondaryButton(QPushButton *button);
// Text fields and pickers with room around their text and the accent focus ring.
void styleField(QWidget *field);
// Paints progress bars (and similar) in the accent colour.
void tintProgress(QWidget *bar);
// A recovery action's button while the action runs: disabled, with its busy title.
// A recovery action's button: its busy title while its operation runs, and otherwise as
// `renderAgentAction` for an action that acts on the agent (always usable for one that only opens
// something, when `enabled`).
void renderRecoveryButton(QPushButton *button, const AppModel &model, int kind, const QString &title, bool enabled,
                          const QString &tooltip);
// An action that acts on the agent: usable only while the model accepts a press (and `enabled`);
// its tooltip is then `tooltip`, else the model's one line on what runs.
void renderAgentAction(QPushButton *button, const AppModel &model, bool enabled, const QString &tooltip);
// Enables or disables a button without sending the keyboard focus on: a focused button that is
// disabled would hand it to its neighbour, and the next Space would run that. The focus rests on
// the button's parent meanwhile and returns when the button is usable again.
void setEnabledKeepingFocus(QPushButton *button, bool enabled);
// The line under a group of actions: what runs (so the disabled actions are explained), else how
// the last action ended.
std::optional<QString> actionLine(const AppModel &model);
// Sets a label's text only when it differs, so selections and accessibility are not reset.
void setTextIfChanged(QLabel *label, const QString &text);

// The circular status emblem: the logo and a mark chosen by the overall state.
class StatusCore : public QWidget
{
    Q_OBJECT
public:
    StatusCore(AppModel *model, int logoSize, QWidget *parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    // The mark's symbol; empty while the progress indicator is shown instead.
    QString markSymbol() const { return m_markSymbol; }
    void render();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    AppModel *m_model;
    int m_logoSize;
    QString m_markSymbol;
    // The logo at the window's pixel ratio: drawn again on every frame of the spinner.
    QPixmap m_logo;
    qreal m_logoRatio = 0;
    Spinner *m_spinner;
    ModelObserver *m_observer;
};

// The last recorded error with its recovery action.
class ErrorSection : public QWidget
{
    Q_OBJECT
public:
    ErrorSection(AppModel *model, bool showsAction, QWidget *parent = nullptr);
    QPushButton *recoveryButton() const { return m_recovery; }
    QPushButton *diagnosticsButton() const { return m_diagnostics; }
    void render();

private:
    AppModel *m_model;
    bool m_showsAction;
    qint64 m_focusRevision = 0;
    QLabel *m_heading;
    SymbolLabel *m_message;
    QLabel *m_impact;
    QLabel *m_code;
    QPushButton *m_recovery;
    QPushButton *m_diagnostics;
    ModelObserver *m_observer;
};
