#include "ui/RootContentView.h"

#include "ui/AgentUpdateBanner.h"
#include "ui/ChannelBindingSessionSheet.h"
#include "ui/DashboardView.h"
#include "ui/PermissionPromptSheet.h"
#include "ui/SetupView.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QAccessible>
#include <QDialog>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QLabel>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QVariantAnimation>

Q_LOGGING_CATEGORY(lcRootView, "quorvantis.ui.root")

namespace {

constexpr int pageSwitchMs = 200;
constexpr int reducedPageSwitchMs = 150;
constexpr qreal pageTravel = 4.0;

// Hosts a sheet's content; dismissing it (Escape, closing) runs `dismissed`.
class SheetHost : public FittedDialog
{
public:
    SheetHost(QWidget *content, std::function<void()> dismissed, QWidget *parent)
        : FittedDialog(parent), m_dismissed(std::move(dismissed))
    {
        setWindowFlag(Qt::Sheet);
        setWindowModality(Qt::WindowModal);
        UIToken::tint(this);
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(content);
        setWindowTitle(content->windowTitle());
    }

    void reject() override
    {
        m_dismissed();
        QDialog::reject();
    }

private:
    std::function<void()> m_dismissed;
};

} // namespace

RootContentView::RootContentView(AppModel *model, QWidget *parent, Factories factories)
    : QWidget(parent), m_model(model), m_page(model->rootPage()), m_spokenRevision(model->attention().announcementRevision())
{
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QStringLiteral("Quorvantis"));
    setMinimumSize(minimumContentSize);
    resize(defaultSize);
    UIToken::tint(this);

    const Factories fallback = standardFactories();
    auto build = [&](const ViewFactory &factory, const ViewFactory &otherwise, QWidget *owner) {
        return factory ? factory(model, owner) : otherwise(model, owner);
    };

    m_banner = build(factories.updateBanner, fallback.updateBanner, this);
    m_pages = new QStackedWidget;
    m_dashboard = build(factories.dashboard, fallback.dashboard, m_pages);
    m_pages->addWidget(m_dashboard);
    m_pages->setCurrentWidget(pageWidget(m_page));

    // An off-screen label whose text is the latest announcement: assistive technology reads
    // the alert raised on it.
    m_liveRegion = new QLabel(this);
    m_liveRegion->setObjectName(QStringLiteral("announcement"));
    m_liveRegion->setGeometry(0, 0, 1, 1);
    m_liveRegion->lower();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_banner);
    layout->addWidget(m_pages, 1);

    m_prompt = new PermissionPromptSheet(model, this);
    QWidget *channelContent = build(factories.channelBindingSheet, fallback.channelBindingSheet, nullptr);
    m_channelSheet = new SheetHost(
        channelContent, [model] { model->setChannelBindingSheetPresented(false); }, this);

    // The window coming back from the desktop (not from one of its own sheets) is when the
    // user may have changed something outside: granted a permission, finished a binding.
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive && sheetVisible() && isVisible())
            Quorvantis::startDetached(m_model->sceneDidBecomeActive(), "scene activation");
    });

    m_bannerShown = model->updates().showsAgentUpdateBanner();
    m_banner->setVisible(m_bannerShown);
    m_observer = new ModelObserver(model, this, [this] { render(); });
    render();
}

RootContentView::~RootContentView() = default;

bool RootContentView::reducedMotion() const
{
    return m_reducedMotion.value_or(Motion::prefersReducedMotion());
}

bool RootContentView::transitionRunning() const
{
    return m_animation && m_animation->state() == QAbstractAnimation::Running;
}

bool RootContentView::sheetVisible() const
{
    return m_prompt->isVisible() || m_channelSheet->isVisible();
}

void RootContentView::render()
{
    const bool banner = m_model->updates().showsAgentUpdateBanner();
    if (banner != m_bannerShown) {
        m_bannerShown = banner;
        slideBanner(banner);
    }
    const AppModel::RootPage page = m_model->rootPage();
    if (page != m_page)
        switchPage(page, true);
    announceIfNeeded();
    syncSheets();
}

void RootContentView::slideBanner(bool in)
{
    if (m_bannerAnimation)
        m_bannerAnimation->stop();
    // A banner on its way out takes no press: "更新" on a dismissed offer would still update.
    m_banner->setEnabled(in);
    if (!isVisible()) {
        m_banner->setMaximumHeight(QWIDGETSIZE_MAX);
        m_banner->setVisible(in);
        return;
    }
    // The banner slides with the same timing as the page switch.
    const int full = qMax(1, m_banner->sizeHint().height());
    const int from = m_banner->isVisible() ? m_banner->height() : 0;
    m_banner->setMaximumHeight(from);
    m_banner->show();
    auto *animation = new QVariantAnimation(this);
    animation->setStartValue(from);
    animation->setEndValue(in ? full : 0);
    animation->setDuration(reducedMotion() ? reducedPageSwitchMs : pageSwitchMs);
    animation->setEasingCurve(QEasingCurve::OutCubic);
    QWidget *banner = m_banner;
    connect(animation, &QVariantAnimation::valueChanged, banner,
            [banner](const QVariant &value) { banner->setMaximumHeight(value.toInt()); });
    connect(animation, &QVariantAnimation::finished, banner, [banner, in] {
        banner->setVisible(in);
        banner->setMaximumHeight(QWIDGETSIZE_MAX);
    });
    m_bannerAnimation = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

SetupView *RootContentView::setupView()
{
    if (!m_setup) {
        m_setup = new SetupView(m_model);
        m_pages->addWidget(m_setup);
    }
    return m_setup;
}

QWidget *RootContentView::pageWidget(AppModel::RootPage page)
{
    return page == AppModel::RootPage::dashboard ? m_dashboard : setupView();
}

void RootContentView::switchPage(AppModel::RootPage page, bool animated)
{
    m_page = page;
    QWidget *incoming = pageWidget(page);
    if (m_animation)
        m_animation->stop();
    // An interrupted switch leaves its page half faded: settle both pages first.
    for (QWidget *settled : {static_cast<QWidget *>(m_setup), m_dashboard}) {
        if (!settled)
            continue;
        settled->setGraphicsEffect(nullptr);
        settled->move(0, 0);
    }
    m_pages->setCurrentWidget(incoming);
    if (!animated)
        return;

    const bool reduced = reducedMotion();
    const Transition transition{page, reduced ? reducedPageSwitchMs : pageSwitchMs, reduced ? 0.0 : pageTravel,
                                QEasingCurve::OutCubic};
    m_lastTransition = transition;

    auto *effect = new QGraphicsOpacityEffect(incoming);
    effect->setOpacity(0.0);
    incoming->setGraphicsEffect(effect);
    auto *animation = new QVariantAnimation(this);
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setDuration(transition.durationMs);
    animation->setEasingCurve(transition.easing);
    const QPoint home(0, 0);
    connect(animation, &QVariantAnimation::valueChanged, incoming, [effect, incoming, transition, home](const QVariant &value) {
        const qreal progress = value.toReal();
        effect->setOpacity(progress);
        incoming->move(home + QPoint(0, qRound(transition.travel * (1.0 - progress))));
    });
    // Effects cost a repaint of the whole page on every frame and confuse text cursors: the
    // page keeps none once it is in place.
    connect(animation, &QVariantAnimation::finished, incoming, [incoming, home] {
        incoming->setGraphicsEffect(nullptr);
        incoming->move(home);
    });
    m_animation = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void RootContentView::announceIfNeeded()
{
    const qint64 revision = m_model->attention().announcementRevision();
    if (revision == m_spokenRevision)
        return;
    m_spokenRevision = revision;
    const QString text = m_model->attention().announcement();
    if (text.isEmpty())
        return;
    m_liveRegion->setText(text);
    m_liveRegion->setAccessibleName(text);
    QAccessibleEvent nameChanged(m_liveRegion, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&nameChanged);
    QAccessibleEvent alert(m_liveRegion, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
    m_spoken.append(text);
    Q_EMIT announced(text);
}

void RootContentView::syncSheets()
{
    // Sheets belong to the window: while it is closed they wait, and appear when it is opened.
    const bool shown = isVisible();
    const bool wantsPrompt = shown && m_model->permissions().permissionPromptKind().has_value();
    // A sheet that appears takes the keyboard (some desktops leave it with the window), so
    // Return and Escape reach the sheet.
    auto present = [](QDialog *sheet) {
        sheet->open();
        sheet->raise();
        sheet->activateWindow();
    };
    // A sheet that goes away by itself (its permission passed) hands the keyboard back to the
    // window: a window manager may otherwise leave no window active, and keys go nowhere.
    auto dismiss = [this](QDialog *sheet) {
        const bool hadKeyboard = sheet->isActiveWindow();
        sheet->hide();
        if (hadKeyboard && isVisible())
            window()->activateWindow();
    };
    if (wantsPrompt && !m_prompt->isVisible())
        present(m_prompt);
    else if (!wantsPrompt && m_prompt->isVisible())
        dismiss(m_prompt);

    const bool wantsChannel = shown && m_model->channel().isChannelBindingSheetPresented();
    if (wantsChannel && !m_channelSheet->isVisible())
        present(m_channelSheet);
    else if (!wantsChannel && m_channelSheet->isVisible())
        dismiss(m_channelSheet);
}

bool RootContentView::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
        // The window opens with the keyboard on its page, not on the update banner above it.
        QTimer::singleShot(0, this, [this] {
            if (QWidget *focused = focusWidget(); !focused || m_banner->isAncestorOf(focused))
                focusPage();
        });
        [[fallthrough]];
    case QEvent::Hide:
        // After the window's own visibility has changed.
        QTimer::singleShot(0, this, [this] { syncSheets(); });
        break;
    case QEvent::WindowDeactivate:
        m_activationFromSheet = sheetVisible();
        break;
    case QEvent::WindowActivate:
        if (!m_activationFromSheet)
            Quorvantis::startDetached(m_model->sceneDidBecomeActive(), "scene activation");
        m_activationFromSheet = false;
        break;
    default: break;
    }
    return QWidget::event(event);
}

void RootContentView::focusPage()
{
    QWidget *page = m_pages->currentWidget();
    for (QWidget *next = page->nextInFocusChain(); next && next != page; next = next->nextInFocusChain()) {
        if (page->isAncestorOf(next) && next->isVisibleTo(this) && next->isEnabled() && (next->focusPolicy() & Qt::TabFocus)) {
            next->setFocus(Qt::TabFocusReason);
            return;
        }
        if (next == this)
            return;
    }
}

// ---- Where the window's other views plug in -----------------------------------------------

RootContentView::Factories RootContentView::standardFactories()
{
    return {
        .dashboard = [](AppModel *model, QWidget *parent) -> QWidget * { return new DashboardView(model, parent); },
        .updateBanner = [](AppModel *model, QWidget *parent) -> QWidget * { return new AgentUpdateBanner(model, parent); },
        .channelBindingSheet = [](AppModel *model, QWidget *parent) -> QWidget * {
            return new ChannelBindingSessionSheet(model, parent);
        },
    };
}
