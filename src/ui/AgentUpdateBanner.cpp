#include "ui/AgentUpdateBanner.h"

#include "app/AppModel.h"
#include "ui/Symbols.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>

namespace {

// The banner's 13 points are the body size of the desktop the design comes from; here the
// body style, so the banner follows the user's font size like every other text.
QFont bannerFont(const QWidget *)
{
    return UIToken::font(UIToken::Typography::body);
}

} // namespace

// ---- MiddleElidedLabel --------------------------------------------------------------------

MiddleElidedLabel::MiddleElidedLabel(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void MiddleElidedLabel::setFullText(const QString &text)
{
    if (text == m_fullText)
        return;
    m_fullText = text;
    setAccessibleName(text);
    setToolTip(text);
    updateGeometry();
    refit();
}

QSize MiddleElidedLabel::minimumSizeHint() const
{
    // Short enough to give way to the buttons; the text is elided, never clipped.
    return {fontMetrics().horizontalAdvance(QStringLiteral("Agent…")), QLabel::minimumSizeHint().height()};
}

QSize MiddleElidedLabel::sizeHint() const
{
    return {fontMetrics().horizontalAdvance(m_fullText) + 4, QLabel::sizeHint().height()};
}

void MiddleElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    refit();
}

void MiddleElidedLabel::refit()
{
    const QString shown = fontMetrics().elidedText(m_fullText, Qt::ElideMiddle, qMax(0, contentsRect().width()));
    if (text() != shown)
        setText(shown);
}

// ---- BannerCloseButton --------------------------------------------------------------------

BannerCloseButton::BannerCloseButton(QWidget *parent) : QToolButton(parent)
{
    setAutoRaise(true);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setToolTip(tr("关闭"));
    setAccessibleName(tr("关闭"));
    setFixedSize(22, 22);
}

QColor BannerCloseButton::symbolColor() const
{
    return m_hovered ? UIToken::secondaryLabel(this) : UIToken::tertiaryLabel(this);
}

void BannerCloseButton::focusInEvent(QFocusEvent *event)
{
    m_keyboardFocus = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason
                      || event->reason() == Qt::ShortcutFocusReason;
    QToolButton::focusInEvent(event);
}

void BannerCloseButton::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    update();
    QToolButton::enterEvent(event);
}

void BannerCloseButton::leaveEvent(QEvent *event)
{
    m_hovered = false;
    update();
    QToolButton::leaveEvent(event);
}

void BannerCloseButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The ring shows keyboard focus only: a window that starts with focus here should not
    // look as if the button were pressed.
    if (hasFocus() && m_keyboardFocus) {
        QColor ring = UIToken::accent();
        ring.setAlphaF(0.6f);
        painter.setPen(QPen(ring, 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 5, 5);
    }
    // The bundled drawing is a mask: paint it in the label colour of the hover state.
    const qreal ratio = devicePixelRatioF();
    QPixmap mask = Symbols::bundledPixmap(QStringLiteral("xmark"), symbolSize, ratio);
    if (mask.isNull())
        return;
    QPixmap tinted(mask.size());
    tinted.setDevicePixelRatio(ratio);
    tinted.fill(Qt::transparent);
    {
        QPainter tint(&tinted);
        tint.drawPixmap(0, 0, mask);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(QRectF(QPointF(0, 0), mask.deviceIndependentSize()), symbolColor());
    }
    const QSizeF drawn = tinted.deviceIndependentSize();
    painter.drawPixmap(QPointF((width() - drawn.width()) / 2, (height() - drawn.height()) / 2), tinted);
}

// ---- AgentUpdateBanner --------------------------------------------------------------------

AgentUpdateBanner::AgentUpdateBanner(AppModel *model, QWidget *parent)
    : QWidget(parent), m_model(model), m_text(new MiddleElidedLabel), m_update(new QPushButton(tr("更新"))),
      m_spinner(new Spinner(12)), m_close(new BannerCloseButton)
{
    setObjectName(QStringLiteral("update-banner"));
    setAttribute(Qt::WA_StyledBackground, false);
    m_text->setFont(bannerFont(this));

    m_update->setFlat(true);
    m_update->setAutoDefault(false);
    m_update->setFocusPolicy(Qt::StrongFocus);
    m_update->setCursor(Qt::PointingHandCursor);
    m_update->setFont(bannerFont(this));
    m_update->setAccessibleDescription(tr("更新 Agent"));
    m_update->setToolTip(tr("更新 Agent"));
    m_update->installEventFilter(this);
    m_updateStyle = QStringLiteral("QPushButton { color: %1; border: none; padding: 2px 6px; font-weight: 600; }"
                                   "QPushButton:hover { text-decoration: underline; }"
                                   "QPushButton:focus { text-decoration: underline; }"
                                   "QPushButton:disabled { color: %2; }")
                        .arg(UIToken::accent().name(), UIToken::tertiaryLabel(this).name());
    m_update->setStyleSheet(m_updateStyle);

    // The running update shows in the button itself: its busy title with the indicator before it.
    auto *inside = new QHBoxLayout(m_update);
    inside->setContentsMargins(4, 0, 0, 0);
    inside->addWidget(m_spinner, 0, Qt::AlignVCenter | Qt::AlignLeft);
    inside->addStretch();

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 6, 8, 6);
    layout->setSpacing(8);
    auto *icon = new QLabel;
    icon->setPixmap(Symbols::icon(QStringLiteral("arrow.triangle.2.circlepath")).pixmap(QSize(14, 14), devicePixelRatioF()));
    icon->setFixedSize(16, 16);
    layout->addWidget(icon);
    layout->addWidget(m_text, 1);
    layout->addWidget(m_update);
    layout->addWidget(m_close);

    connect(m_update, &QPushButton::clicked, this,
            [this] { Quorvantis::startDetached(m_model->updateAgent(), "update agent from banner"); });
    connect(m_close, &QToolButton::clicked, this, [this] { m_model->dismissAgentUpdate(); });

    new ModelObserver(model, this, [this] { render(); },
                      ModelChange::updates | ModelChange::journey | ModelChange::operations);
    render();
}

QWidget *AgentUpdateBanner::busyIndicator() const
{
    return m_spinner;
}

void AgentUpdateBanner::render()
{
    m_text->setFullText(m_model->updates().agentUpdateBannerText());
    const bool updating = m_model->updates().isUpdatingAgent();
    m_update->setText(updating ? tr("正在更新 Agent…") : tr("更新"));
    // Room for the indicator in front of the busy title.
    m_update->setStyleSheet(m_updateStyle + (updating ? QStringLiteral("QPushButton { padding-left: 22px; }") : QString()));
    if (updating)
        setEnabledKeepingFocus(m_update, false);
    else
        renderAgentAction(m_update, *m_model, m_model->journey().configurationReady(), QString());
    m_spinner->setVisible(updating);
    setAccessibleName(m_model->updates().agentUpdateBannerText());
}

bool AgentUpdateBanner::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_update) {
        if (event->type() == QEvent::Enter)
            m_updateHovered = true;
        else if (event->type() == QEvent::Leave)
            m_updateHovered = false;
    }
    return QWidget::eventFilter(watched, event);
}

void AgentUpdateBanner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QColor fill = UIToken::accent();
    fill.setAlphaF(0.07f);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.fillRect(rect(), fill);
    QColor rule = UIToken::accent();
    rule.setAlphaF(0.18f);
    painter.fillRect(QRect(0, height() - 1, width(), 1), rule);
}
