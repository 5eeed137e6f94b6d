#pragma once

#include "app/AppModel.h"

#include <QEasingCurve>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class ModelObserver;
class PermissionPromptSheet;
class QDialog;
class QLabel;
class QStackedWidget;
class QVariantAnimation;
class SetupView;

// The main window's content: the update banner slot, the page (setup screen or dashboard),
// the channel-binding sheet and the permission prompt, the spoken announcements and the
// window-activation hook of the model.
class RootContentView : public QWidget
{
    Q_OBJECT
public:
    // Builds one of the window's pluggable views for the model.
    using ViewFactory = std::function<QWidget *(AppModel *model, QWidget *parent)>;
    struct Factories
    {
        ViewFactory dashboard;
        ViewFactory updateBanner;
        ViewFactory channelBindingSheet; // the sheet's content; the root hosts it in a sheet
    };
    // The factories the application uses (the end of RootContentView.cpp is where the real
    // views plug in); an empty factory gives a placeholder.
    static Factories standardFactories();

    struct Transition
    {
        AppModel::RootPage to;
        int durationMs;
        qreal travel; // points the incoming page moves; 0 when it only fades
        QEasingCurve::Type easing;
    };

    explicit RootContentView(AppModel *model, QWidget *parent = nullptr, Factories factories = standardFactories());
    ~RootContentView() override;

    static constexpr QSize defaultSize{960, 640};
    static constexpr QSize minimumContentSize{860, 560};

    AppModel::RootPage page() const { return m_page; }
    // Reduced motion as the desktop asks for it, unless a value is set here.
    void setReducedMotion(std::optional<bool> reduced) { m_reducedMotion = reduced; }
    bool reducedMotion() const;
    std::optional<Transition> lastTransition() const { return m_lastTransition; }
    bool transitionRunning() const;

    // Every text posted to assistive technology, in order.
    const QStringList &spokenAnnouncements() const { return m_spoken; }

    // The setup screen is built the first time its page is shown (or asked for here): a
    // launch that opens on the dashboard does not pay for it.
    SetupView *setupView();
    bool isSetupViewBuilt() const { return m_setup != nullptr; }
    QWidget *dashboardView() const { return m_dashboard; }
    QWidget *updateBanner() const { return m_banner; }
    PermissionPromptSheet *permissionPrompt() const { return m_prompt; }
    QDialog *channelBindingSheet() const { return m_channelSheet; }
    QLabel *announcementRegion() const { return m_liveRegion; }

    void render();

Q_SIGNALS:
    void announced(const QString &text);

protected:
    bool event(QEvent *event) override;

private:
    // Gives the keyboard to the first control of the page shown.
    void focusPage();
    void switchPage(AppModel::RootPage page, bool animated);
    QWidget *pageWidget(AppModel::RootPage page);
    void slideBanner(bool in);
    void announceIfNeeded();
    void syncSheets();
    bool sheetVisible() const;

    AppModel *m_model;
    AppModel::RootPage m_page;
    std::optional<bool> m_reducedMotion;
    std::optional<Transition> m_lastTransition;
    QPointer<QVariantAnimation> m_animation;
    QPointer<QVariantAnimation> m_bannerAnimation;
    bool m_bannerShown = false;
    qint64 m_spokenRevision;
    bool m_activationFromSheet = false;
    QStringList m_spoken;

    QWidget *m_banner = nullptr;
    QStackedWidget *m_pages = nullptr;
    SetupView *m_setup = nullptr;
    QWidget *m_dashboard = nullptr;
    QLabel *m_liveRegion = nullptr;
    PermissionPromptSheet *m_prompt = nullptr;
    QDialog *m_channelSheet = nullptr;
    ModelObserver *m_observer = nullptr;
};
