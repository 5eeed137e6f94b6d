#include "ui/Views.h"

#include "app/AppModel.h"
#include "recovery/RecoveryController.h"
#include "ui/DiagnosticsExport.h"
#include "ui/Symbols.h"
#include "ui/UIToken.h"

#include <QCoreApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSettings>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>

// ---- ModelObserver ------------------------------------------------------------------------

ModelObserver::ModelObserver(AppModel *model, QObject *owner, std::function<void()> render, ModelChanges interests)
    : QObject(owner), m_render(std::move(render)), m_interests(interests)
{
    connect(model, &AppModel::changed, this, &ModelObserver::modelChanged);
    if (owner && owner->isWidgetType()) {
        m_ownerWidget = static_cast<QWidget *>(owner);
        m_ownerWidget->installEventFilter(this);
    }
}

void ModelObserver::modelChanged(ModelChanges changes)
{
    if (!(changes & m_interests))
        return;
    // Nothing is rendered for a hidden view: showing it renders it.
    if (ownerHidden()) {
        m_deferred = true;
        return;
    }
    renderNow();
}

bool ModelObserver::ownerHidden() const
{
    if (!m_ownerWidget || m_ownerWidget->isVisible())
        return false;
    // A window nobody has shown or hidden yet is still being put together (and read) by its
    // builder: its views stay current. A sheet counts with the window it belongs to.
    QWidget *window = m_ownerWidget->window();
    while (QWidget *parent = window->parentWidget())
        window = parent->window();
    return window->testAttribute(Qt::WA_WState_ExplicitShowHide);
}

void ModelObserver::renderNow()
{
    m_deferred = false;
    m_render();
}

bool ModelObserver::eventFilter(QObject *watched, QEvent *event)
{
    // Rendered before the paint that shows it, so no stale frame is seen.
    if (event->type() == QEvent::Show && watched == m_ownerWidget && m_deferred)
        renderNow();
    return QObject::eventFilter(watched, event);
}

// ---- BusyDelay ----------------------------------------------------------------------------

namespace {

std::optional<std::chrono::milliseconds> busyDelayForTesting;

} // namespace

BusyDelay::BusyDelay(QObject *owner, std::function<void()> render)
    : QObject(owner), m_render(std::move(render)), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_elapsed = true;
        m_render();
    });
}

bool BusyDelay::shown(bool busy)
{
    if (!busy) {
        m_timer->stop();
        m_waiting = m_elapsed = m_pressed = false;
        return false;
    }
    if (!m_waiting) {
        m_waiting = true;
        m_timer->start(delay());
    }
    return m_elapsed || m_pressed;
}

std::chrono::milliseconds BusyDelay::delay()
{
    using namespace std::chrono_literals;
    return busyDelayForTesting.value_or(300ms);
}

void BusyDelay::setDelayForTesting(std::optional<std::chrono::milliseconds> delay)
{
    busyDelayForTesting = delay;
}

// ---- Motion -------------------------------------------------------------------------------

namespace Motion {

namespace {
std::optional<bool> &reducedOverride()
{
    static std::optional<bool> value;
    return value;
}
} // namespace

bool prefersReducedMotion()
{
    if (reducedOverride())
        return *reducedOverride();
    if (qEnvironmentVariableIntValue("QUORVANTIS_REDUCE_MOTION") == 1)
        return true;
#ifdef Q_OS_MACOS
    // Qt 6.4 carries no reduced-motion hint; the accessibility preference lives in the
    // universal-access domain of the user's defaults.
    const QSettings universalAccess(QStringLiteral("apple.com"), QStringLiteral("universalaccess"));
    return universalAccess.value(QStringLiteral("reduceMotion"), false).toBool();
#else
    // Elsewhere the environment variable is the switch a user or the desktop session sets.
    return false;
#endif
}

void setReducedMotionOverride(std::optional<bool> reduced)
{
    reducedOverride() = reduced;
}

} // namespace Motion

// ---- Spinner ------------------------------------------------------------------------------

Spinner::Spinner(int diameter, QWidget *parent)
    : QWidget(parent), m_diameter(diameter), m_color(UIToken::accent()), m_timer(new QTimer(this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(diameter, diameter);
    m_timer->setInterval(60);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
    setAccessibleName(tr("正在进行"));
}

QSize Spinner::sizeHint() const
{
    return {m_diameter, m_diameter};
}

void Spinner::setColor(const QColor &color)
{
    m_color = color;
    update();
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = qMax(1.5, m_diameter / 8.0);
    const QRectF box = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    QColor track = m_color;
    track.setAlphaF(0.18f);
    painter.setPen(QPen(track, pen));
    painter.drawEllipse(box);
    painter.setPen(QPen(m_color, pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(box, (90 - m_angle) * 16, -100 * 16);
}

void Spinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!Motion::prefersReducedMotion())
        m_timer->start();
}

void Spinner::hideEvent(QHideEvent *event)
{
    m_timer->stop();
    QWidget::hideEvent(event);
}

// ---- SymbolLabel --------------------------------------------------------------------------

SymbolLabel::SymbolLabel(const QString &symbol, QWidget *parent)
    : QWidget(parent), m_icon(new QLabel(this)), m_text(new QLabel(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(m_icon, 0, Qt::AlignTop);
    layout->addWidget(m_text, 1);
    m_text->setWordWrap(true);
    m_text->setTextFormat(Qt::PlainText);
    // The symbol is decoration; the text carries the meaning.
    m_icon->setAccessibleName(QString());
    setSymbol(symbol);
}

void SymbolLabel::setSymbol(const QString &symbol, int size)
{
    if (symbol == m_symbol && size == m_size && (size != 0 || !symbol.isEmpty()))
        return;
    m_symbol = symbol;
    m_size = size;
    if (symbol.isEmpty()) {
        m_icon->clear();
        m_icon->hide();
        return;
    }
    const int side = size > 0 ? size : qMax(14, QFontMetrics(m_text->font()).height() - 2);
    m_icon->setPixmap(Symbols::icon(symbol).pixmap(QSize(side, side), devicePixelRatioF()));
    m_icon->setFixedSize(side, qMax(side, QFontMetrics(m_text->font()).height()));
    m_icon->setAlignment(Qt::AlignCenter);
    m_icon->show();
}

void SymbolLabel::setText(const QString &text)
{
    setTextIfChanged(m_text, text);
}

QString SymbolLabel::text() const
{
    return m_text->text();
}

// ---- Helpers ------------------------------------------------------------------------------

QWidget *makeColumn(QVBoxLayout *&layout, int spacing)
{
    auto *widget = new QWidget;
    layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return widget;
}

QFrame *makeDivider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    QPalette palette = line->palette();
    palette.setColor(QPalette::WindowText, UIToken::tertiaryLabel(line).lighter(130));
    line->setPalette(palette);
    return line;
}

QLabel *makeLabel(const QString &text, UIToken::Typography typography, bool secondary, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    if (secondary)
        UIToken::applySecondary(label, typography);
    else
        UIToken::apply(label, typography);
    return label;
}

QPushButton *makeLinkButton(const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    UIToken::apply(button, UIToken::Typography::meta);
    button->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; padding: 2px 0; text-align: left; }"
                                         "QPushButton:disabled { color: %2; }"
                                         "QPushButton:focus { text-decoration: underline; }")
                              .arg(UIToken::accent().name(), UIToken::tertiaryLabel(button).name()));
    return button;
}

void stylePrimaryButton(QPushButton *button)
{
    button->setMinimumHeight(30);
    button->setCursor(Qt::PointingHandCursor);
    UIToken::apply(button, UIToken::Typography::bodyStrong);
    button->setStyleSheet(
        // The focus ring is a white ring inside the dark button (a light one outside it would
        // vanish against the window); the padding gives way so the button keeps its size.
        QStringLiteral("QPushButton { background: %1; color: white; border: none; border-radius: 6px; padding: 6px 18px; }"
                       "QPushButton:hover { background: %2; }"
                       "QPushButton:disabled { background: %3; color: #F4F6F8; }"
                       "QPushButton:focus { border: 2px solid white; padding: 4px 16px; }")
            .arg(UIToken::accent().name(), UIToken::accent().lighter(125).name(),
                 QColor::fromHsvF(UIToken::accent().hsvHueF(), 0.22f, 0.78f).name()));
}

void styleSecondaryButton(QPushButton *button)
{
    button->setMinimumHeight(30);
    button->setCursor(Qt::PointingHandCursor);
    UIToken::apply(button, UIToken::Typography::body);
    QColor border = UIToken::accent();
    border.setAlphaF(0.45f);
    QColor hover = UIToken::accent();
    hover.setAlphaF(0.08f);
    button->setStyleSheet(
        QStringLiteral("QPushButton { background: transparent; color: %1; border: 1px solid %2; border-radius: 6px; padding: 5px 14px; }"
                       "QPushButton:hover { background: %3; }"
                       "QPushButton:disabled { color: %4; border-color: %4; }"
                       "QPushButton:focus { border: 2px solid %1; }")
            .arg(UIToken::accent().name(), border.name(QColor::HexArgb), hover.name(QColor::HexArgb),
                 UIToken::tertiaryLabel(button).name()));
}

namespace {

class PickerRowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QSize hint = QStyledItemDelegate::sizeHint(option, index);
        return {hint.width() + 16, qMax(hint.height(), 26)};
    }
};

} // namespace

void styleField(QWidget *field)
{
    Symbols::hasBundledSymbol(QStringLiteral("chevron.down")); // loads the resources the style refers to
    QColor border = UIToken::tertiaryLabel(field);
    field->setStyleSheet(QStringLiteral("QLineEdit, QComboBox { padding: 4px 8px; border: 1px solid %1; border-radius: 6px;"
                                        " background: palette(base); }"
                                        "QLineEdit:focus, QComboBox:focus { border: 2px solid %2; padding: 3px 7px; }"
                                        "QComboBox::drop-down { border: none; width: 24px; }"
                                        "QComboBox::down-arrow { image: url(:/quorvantis/symbols/chevron.down.svg);"
                                        " width: 12px; height: 12px; }"
                                        "QComboBox QAbstractItemView { border: 1px solid %1; background: palette(base);"
                                        " outline: 0; padding: 2px; }"
                                        "QComboBox QAbstractItemView::item { min-height: 26px; padding: 0 8px; border: none; background: transparent;"
                                        " color: palette(text); }"
                                        "QComboBox QAbstractItemView::item:selected { background: %2; color: white; }")
                             .arg(border.name(), UIToken::accent().name()));
    if (auto *combo = qobject_cast<QComboBox *>(field)) {
        // With a style sheet the picker draws its rows as menu items through the field's own
        // rules, which paint the selected row as an empty text box: plain list rows follow
        // the item rules above instead, at the height those rules give them, so that the popup
        // is sized for whole rows.
        combo->setItemDelegate(new PickerRowDelegate(combo));
    }
}

void tintProgress(QWidget *bar)
{
    QPalette palette = bar->palette();
    palette.setColor(QPalette::Highlight, UIToken::accent());
    bar->setPalette(palette);
    QColor track = UIToken::accent();
    track.setAlphaF(0.13f);
    bar->setStyleSheet(QStringLiteral("QProgressBar { border: none; border-radius: 3px; background: %1; }"
                                      "QProgressBar::chunk { border-radius: 3px; background: %2; }")
                           .arg(track.name(QColor::HexArgb), UIToken::accent().name()));
}

void setTextIfChanged(QLabel *label, const QString &text)
{
    if (label->text() != text)
        label->setText(text);
}

// ---- StatusCore ---------------------------------------------------------------------------

StatusCore::StatusCore(AppModel *model, int logoSize, QWidget *parent)
    : QWidget(parent), m_model(model), m_logoSize(logoSize), m_spinner(new Spinner(qMax(14, logoSize / 5), this)),
      m_observer(new ModelObserver(model, this, [this] { render(); },
                                   ModelChange::journey | ModelChange::status | ModelChange::setup))
{
    setFixedSize(sizeHint());
    render();
}

QSize StatusCore::sizeHint() const
{
    return {m_logoSize, m_logoSize};
}

void StatusCore::render()
{
    using State = AppModel::OverallState;
    QString symbol;
    switch (m_model->journey().overallState()) {
    case State::starting: break;
    case State::notInstalled: symbol = QStringLiteral("circle.dashed"); break;
    case State::waitingSetup: symbol = QStringLiteral("key.horizontal"); break;
    case State::online: symbol = QStringLiteral("checkmark.circle.fill"); break;
    case State::error: symbol = QStringLiteral("xmark.octagon.fill"); break;
    }
    m_spinner->setVisible(symbol.isEmpty());
    if (symbol != m_markSymbol) {
        m_markSymbol = symbol;
        update();
    }
    const QString name = tr("Quorvantis，%1").arg(m_model->status().headlineStatusTitle());
    if (accessibleName() != name)
        setAccessibleName(name);
}

void StatusCore::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int mark = m_spinner->width();
    m_spinner->move(width() - mark - m_logoSize / 12, height() - mark - m_logoSize / 12);
}

void StatusCore::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle = QRectF(rect()).adjusted(1, 1, -1, -1);
    QColor fill = UIToken::accent();
    fill.setAlphaF(0.08f);
    QColor ring = UIToken::accent();
    ring.setAlphaF(0.25f);
    painter.setPen(QPen(ring, 1.5));
    painter.setBrush(fill);
    painter.drawEllipse(circle);

    if (m_logoRatio != devicePixelRatioF()) {
        m_logoRatio = devicePixelRatioF();
        const int logo = int(m_logoSize * 0.56);
        m_logo = Symbols::quorvantisLogo().pixmap(QSize(logo, logo), m_logoRatio);
    }
    const QSizeF drawn = m_logo.deviceIndependentSize();
    painter.drawPixmap(QPointF((width() - drawn.width()) / 2, (height() - drawn.height()) / 2), m_logo);

    if (m_markSymbol.isEmpty()) {
        // The progress indicator sits on the same plate as the marks, not across the ring.
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette().color(QPalette::Window));
        painter.drawEllipse(QRectF(m_spinner->geometry()).adjusted(-3, -3, 3, 3));
    } else {
        const int mark = qMax(16, m_logoSize / 4);
        const QRectF box(width() - mark - m_logoSize / 14.0, height() - mark - m_logoSize / 14.0, mark, mark);
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette().color(QPalette::Window));
        painter.drawEllipse(box.adjusted(-2, -2, 2, 2));
        painter.drawPixmap(box.topLeft(), Symbols::icon(m_markSymbol).pixmap(QSize(mark, mark), devicePixelRatioF()));
    }
}

// ---- ErrorSection -------------------------------------------------------------------------

ErrorSection::ErrorSection(AppModel *model, bool showsAction, QWidget *parent)
    : QWidget(parent), m_model(model), m_showsAction(showsAction), m_focusRevision(model->attention().focusRevision()),
      m_heading(makeLabel(tr("最后错误"), UIToken::Typography::section)),
      m_message(new SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"))),
      m_impact(makeLabel({}, UIToken::Typography::body)), m_code(makeLabel({}, UIToken::Typography::technical, true)),
      m_recovery(new QPushButton), m_diagnostics(makeLinkButton(DiagnosticsExport::actionTitle())),
      m_observer(new ModelObserver(model, this, [this] { render(); },
                                   ModelChange::attention | ModelChange::operations | ModelChange::journey))
{
    setObjectName(QStringLiteral("error-section"));
    UIToken::apply(m_message->textLabel(), UIToken::Typography::bodyStrong);
    m_message->textLabel()->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_code->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    styleSecondaryButton(m_recovery);
    m_recovery->setAccessibleDescription(tr("执行建议的恢复操作。"));

    auto *details = new QHBoxLayout;
    details->setSpacing(6);
    details->addWidget(makeLabel(tr("技术详情"), UIToken::Typography::caption, true), 0);
    details->addWidget(m_code, 1);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(m_heading);
    layout->addWidget(m_message);
    layout->addWidget(m_impact);
    layout->addLayout(details);
    auto *actions = new QHBoxLayout;
    actions->setSpacing(14);
    actions->addWidget(m_recovery);
    actions->addWidget(m_diagnostics);
    actions->addStretch();
    layout->addLayout(actions);

    connect(m_recovery, &QPushButton::clicked, this, [this] {
        if (const auto &error = m_model->attention().lastError())
            Quorvantis::startDetached(m_model->perform(error->recovery), "recovery action");
    });
    m_diagnostics->setToolTip(tr("把安装日志和状态打包成一个文件，便于寻求帮助。"));
    connect(m_diagnostics, &QPushButton::clicked, this, [this] { DiagnosticsExport::run(m_model, this); });
    render();
}

void setEnabledKeepingFocus(QPushButton *button, bool enabled)
{
    static const char *const parked = "quorvantisFocusParked";
    // The window's focus widget, not only the focused one: while a sheet is in front the window
    // is inactive, and Qt would hand the focus of a disabled button to its neighbour.
    QWidget *rest = button->parentWidget();
    if (!enabled && button->window()->focusWidget() == button && rest) {
        rest->setFocus(Qt::OtherFocusReason);
        button->setProperty(parked, true);
    }
    if (button->isEnabled() != enabled)
        button->setEnabled(enabled);
    if (enabled && button->property(parked).toBool()) {
        button->setProperty(parked, false);
        if (rest && rest->window()->focusWidget() == rest && button->isVisibleTo(button->window()))
            button->setFocus(Qt::OtherFocusReason);
    }
}

QSize FittedDialog::sizeHint() const
{
    const QSize base = QDialog::sizeHint();
    if (!layout() || !layout()->hasHeightForWidth())
        return base;
    const int width = qBound(minimumWidth(), base.width(), maximumWidth());
    return {width, qMax(base.height(), layout()->totalHeightForWidth(width))};
}

bool FittedDialog::event(QEvent *event)
{
    const bool handled = QDialog::event(event);
    switch (event->type()) {
    case QEvent::LayoutRequest:
    case QEvent::Resize:
    case QEvent::Show:
        fitHeight();
        break;
    default: break;
    }
    return handled;
}

void FittedDialog::fitHeight()
{
    if (!layout() || !layout()->hasHeightForWidth())
        return;
    const int needed = layout()->totalHeightForWidth(width());
    if (minimumHeight() != needed)
        setMinimumHeight(needed);
    if (isVisible() && height() < needed)
        resize(width(), needed);
}

void renderAgentAction(QPushButton *button, const AppModel &model, bool enabled, const QString &tooltip)
{
    const auto refusal = model.operations().refusal();
    const QString shown = refusal.value_or(tooltip);
    if (button->toolTip() != shown)
        button->setToolTip(shown);
    setEnabledKeepingFocus(button, enabled && !refusal);
}

void renderRecoveryButton(QPushButton *button, const AppModel &model, int kind, const QString &title, bool enabled,
                          const QString &tooltip)
{
    using Kind = AppModel::RecoveryAction::Kind;
    const auto operation = RecoveryController::operationOf(Kind(kind));
    const bool running = operation && model.operations().operation() && model.operations().operation()->kind == *operation;
    QString shown = title;
    if (running) {
        switch (Kind(kind)) {
        case Kind::restartAgent: shown = QCoreApplication::translate("Views", "正在重启 Agent…"); break;
        case Kind::recheckPermissions: shown = QCoreApplication::translate("Views", "正在检查权限…"); break;
        case Kind::retryInstall: shown = QCoreApplication::translate("Views", "正在重试…"); break;
        default: break;
        }
    }
    if (button->text() != shown)
        button->setText(shown);
    if (!operation) {
        if (button->toolTip() != tooltip)
            button->setToolTip(tooltip);
        setEnabledKeepingFocus(button, enabled);
        return;
    }
    if (running) {
        // The running action keeps its place and its focus; pressing it again does nothing.
        setEnabledKeepingFocus(button, false);
        return;
    }
    renderAgentAction(button, model, enabled, tooltip);
}

std::optional<QString> actionLine(const AppModel &model)
{
    if (auto refusal = model.operations().refusal())
        return refusal;
    return model.attention().notice();
}

void ErrorSection::render()
{
    const auto &error = m_model->attention().lastError();
    if (!error)
        return;
    m_message->setText(error->message);
    setTextIfChanged(m_impact, error->impact);
    // The tool's own line belongs to the technical details, beside the code.
    setTextIfChanged(m_code, error->detail ? error->code + QStringLiteral(" · ") + *error->detail : error->code);
    const auto title = error->recovery.title();
    m_recovery->setVisible(m_showsAction && title.has_value());
    if (title)
        renderRecoveryButton(m_recovery, *m_model, int(error->recovery.kind), *title, true,
                             tr("执行建议的恢复操作。"));
    setAccessibleName(tr("最后错误，%1").arg(error->message));

    if (m_model->attention().focusRevision() != m_focusRevision) {
        m_focusRevision = m_model->attention().focusRevision();
        if (m_model->attention().focusTarget() == AppModel::FocusTarget::recovery() && m_recovery->isVisibleTo(window()))
            m_recovery->setFocus(Qt::OtherFocusReason);
    }
}
