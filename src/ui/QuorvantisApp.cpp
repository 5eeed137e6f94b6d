#include "ui/QuorvantisApp.h"

#include "BuildConfiguration.h"
#include "app/InterfaceLanguage.h"
#include "app/ProfileFiles.h"
#include "cli/CommandService.h"
#include "core/Tasks.h"
#include "platform/Bundle.h"
#include "platform/SingleInstance.h"
#include "ui/Accessibility.h"
#include "ui/DesktopNotifier.h"
#include "ui/FirstPaint.h"
#include "ui/MenuBarContent.h"
#include "ui/RootContentView.h"
#include "ui/Symbols.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCursor>
#include <QElapsedTimer>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextStream>
#include <QTimer>


Q_LOGGING_CATEGORY(lcApp, "quorvantis.app")

using namespace std::chrono_literals;

namespace {

constexpr auto launchFallbackDelay = 3s;

// A benchmark's compressed day (bench/measure longrun): with QUORVANTIS_TIME_SCALE=N, N above 1,
// every wait of the model is N times shorter and its clock runs N times faster, so an hour of
// polls, re-checks and retries passes in minutes in a real process. Absent for everyone else.
void compressTime(AppModel::Options &options, const QProcessEnvironment &environment)
{
    bool valid = false;
    const double scale = environment.value(QStringLiteral("QUORVANTIS_TIME_SCALE")).toDouble(&valid);
    if (!valid || !(scale > 1.0 && scale <= 1000.0))
        return;
    const Quorvantis::Sleeper sleep = Quorvantis::defaultSleeper();
    options.sleeper = [sleep, scale](std::chrono::milliseconds duration) {
        return sleep(std::chrono::milliseconds(qRound64(double(duration.count()) / scale)));
    };
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    const QDateTime origin = QDateTime::currentDateTimeUtc();
    options.clock = [started, origin, scale] { return origin.addMSecs(qRound64(double(started->elapsed()) * scale)); };
}

void addResourcesOption(QCommandLineParser &parser)
{
    parser.addOption(QCommandLineOption(QStringLiteral("resources"),
                                        QCoreApplication::translate("CommandLine", "Use DIR as the application's resource directory."),
                                        QStringLiteral("DIR")));
}

// The whole command line. The resource directory must be known before anything reads the
// information dictionary, the version included.
bool parse(QCommandLineParser &parser, const QStringList &arguments)
{
    parser.setApplicationDescription(QCoreApplication::translate("CommandLine", "Quorvantis：安装并照看本机的 Quorvantis Agent。"));
    parser.addHelpOption();
    parser.addVersionOption();
    addResourcesOption(parser);
    const bool parsed = parser.parse(arguments);
    if (parser.isSet(QStringLiteral("resources")))
        Bundle::setResourceDirectory(parser.value(QStringLiteral("resources")));
    QCoreApplication::setApplicationName(QStringLiteral("Quorvantis"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("quorvantis.dev"));
    QCoreApplication::setApplicationVersion(Bundle::infoString(QStringLiteral("CFBundleShortVersionString"))
                                                .value_or(QStringLiteral(QUORVANTIS_BUILD_VERSION)));
    return parsed;
}

} // namespace

QuorvantisApp::CommandLine QuorvantisApp::parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    addResourcesOption(parser);
    parser.parse(arguments); // platform options of Qt are not ours to reject
    CommandLine line;
    if (parser.isSet(QStringLiteral("resources")))
        line.resourceDirectory = parser.value(QStringLiteral("resources"));
    return line;
}

AppModel::Options QuorvantisApp::modelOptions(const QProcessEnvironment &environment)
{
    AppModel::Options options;
    options.bootstrapRetryDelays = {2s, 4s, 8s};
    options.autoResume = !environment.contains(QStringLiteral("XCTestConfigurationFilePath"));
    compressTime(options, environment);
    return options;
}

QuorvantisApp::QuorvantisApp(AppModel::Options options, DesktopIntegration integration, QObject *parent)
    : QObject(parent), m_model(std::make_unique<AppModel>(std::move(options)))
{
    // Scene 1: the main window.
    m_window = new RootContentView(m_model.get());
    m_window->setWindowIcon(Symbols::quorvantisLogo());

    // Scene 2, the tray panel sharing the model, is built when it is first opened.
    if (integration == DesktopIntegration::withWindow)
        setUpDesktopIntegration();
}

void QuorvantisApp::setUpDesktopIntegration()
{
    if (m_integrated)
        return;
    m_integrated = true;
    setUpTray();
    // Closing the window leaves the tray, and quitting is the panel's item. Without a tray the
    // window is the only way in, so closing it ends the process rather than leave it unreachable
    // (the next launch resumes where the installation stopped).
    QApplication::setQuitOnLastWindowClosed(!hasSystemTray());

    m_notifier = new DesktopNotifier(m_model.get(),
                                     {.tray = m_tray, .windowActive = [this] { return m_window && m_window->isActiveWindow(); }},
                                     this);
}

QuorvantisApp::~QuorvantisApp()
{
    delete m_panel;
    delete m_window;
    delete m_trayMenu;
}

MenuBarContent *QuorvantisApp::menuBarContent()
{
    if (!m_panel) {
        m_panel = new MenuBarContent(m_model.get(), {.openMainWindow = [this] { openMainWindow(); }, .quit = [this] { quit(); }});
        m_panel->setWindowFlag(Qt::Popup);
        m_panel->setAccessibleName(QStringLiteral("Quorvantis"));
    }
    return m_panel;
}

void QuorvantisApp::setUpTray()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // Nothing to fail: the window stays the way in; say so once for whoever runs us.
        static bool noted = false;
        if (!noted) {
            noted = true;
            qCInfo(lcApp) << "No system tray on this desktop; the main window is the way into Quorvantis"
                          << "and closing it quits.";
        }
        return;
    }
    m_tray = new QSystemTrayIcon(Symbols::quorvantisMenuBarLogo(), this);
    m_tray->setToolTip(QStringLiteral("Quorvantis"));
    // Some trays only ever open a context menu: give it the two ways in and out.
    m_trayMenu = new QMenu;
    m_trayMenu->addAction(tr("打开 Quorvantis"), this, &QuorvantisApp::openMainWindow);
    m_trayMenu->addAction(tr("显示状态面板"), this, &QuorvantisApp::showMenuBarPanel);
    m_trayMenu->addSeparator();
    QAction *notifications = m_trayMenu->addAction(tr("桌面通知"));
    notifications->setCheckable(true);
    connect(notifications, &QAction::toggled, this, [this](bool on) {
        ProfileFiles::setNotificationsEnabled(ProfileFiles::profileDirectory(*m_model), on);
    });
    connect(m_trayMenu, &QMenu::aboutToShow, this, [this, notifications] {
        const QSignalBlocker quiet(notifications);
        notifications->setChecked(ProfileFiles::notificationsEnabled(ProfileFiles::profileDirectory(*m_model)));
    });
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(tr("退出 Quorvantis"), this, &QuorvantisApp::quit);
    m_tray->setContextMenu(m_trayMenu);
    connect(m_tray, &QSystemTrayIcon::messageClicked, this, &QuorvantisApp::openMainWindow);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            showMenuBarPanel();
    });
    m_tray->show();
}

void QuorvantisApp::openMainWindow()
{
    if (!m_window)
        return;
    if (m_panel && m_panel->isVisible())
        m_panel->hide();
    if (m_window->isMinimized())
        m_window->showNormal();
    else
        m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void QuorvantisApp::showMenuBarPanel()
{
    menuBarContent();
    m_panel->adjustSize();
    const QSize size = m_panel->sizeHint().expandedTo(QSize(MenuBarContent::panelWidth, 0));
    const QRect icon = m_tray ? m_tray->geometry() : QRect();
    const QPoint anchor = icon.isValid() ? icon.center() : QCursor::pos();
    QScreen *screen = QGuiApplication::screenAt(anchor);
    const QRect available = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), size);
    // Below the icon when the tray is at the top of the screen, above it otherwise.
    QPoint topLeft(anchor.x() - size.width() / 2, icon.isValid() ? icon.bottom() + 4 : anchor.y());
    if (topLeft.y() + size.height() > available.bottom())
        topLeft.setY((icon.isValid() ? icon.top() : anchor.y()) - size.height() - 4);
    topLeft.setX(qBound(available.left(), topLeft.x(), qMax(available.left(), available.right() - size.width())));
    topLeft.setY(qBound(available.top(), topLeft.y(), qMax(available.top(), available.bottom() - size.height())));
    m_panel->move(topLeft);
    m_panel->show();
    m_panel->raise();
    m_panel->activateWindow();
}

void QuorvantisApp::quit()
{
    QCoreApplication::quit();
}

int QuorvantisApp::run(int argc, char **argv)
{
    // The command line has been checked (CommandLine::answerBeforeStart): help, version and
    // usage errors never get here.
    QApplication application(argc, argv);
    // Before the first text is made: every text is made in the interface's language.
    InterfaceLanguage::install(application);
    QCommandLineParser parser;
    // Read for --resources; what Qt left of its own options was accepted by the check.
    parse(parser, QCoreApplication::arguments());
    QGuiApplication::setDesktopFileName(QStringLiteral("dev.quorvantis.Companion"));

    // A second launch in the same home shows the running window instead of a second installer.
    SingleInstance instance;
    if (!instance.claim()) {
        if (instance.runningInstanceBusy()) {
            QTextStream(stderr) << tr("Quorvantis 正在执行一个命令行操作；它结束后再打开窗口。") << u'\n';
            return 1;
        }
        qCInfo(lcApp) << "Quorvantis already runs for this user; its window was brought to the front.";
        return 0;
    }

    Accessibility::install();
    QApplication::setWindowIcon(Symbols::quorvantisLogo());
    AppModel::Options options = modelOptions();
    // The launch's work (the permission re-check's probes, the first status request) starts once
    // the window has painted: until then it would only compete with the first frame.
    options.deferLaunch = true;
    QuorvantisApp app(std::move(options), DesktopIntegration::byCaller);
    connect(&instance, &SingleInstance::activationRequested, &app, [&app] {
        qCInfo(lcApp) << "Another launch asked for the window.";
        app.openMainWindow();
    });
    // The command line's subcommands reach this model.
    CommandService commands(*app.model(), {.show = [&app] { app.openMainWindow(); }, .quit = [&app] { app.quit(); }});
    instance.setRequestHandler([&commands](const QByteArray &request, std::function<void(QByteArray)> reply) {
        commands.handle(request, std::move(reply));
    });
    // The notifier is there before the launch's first change; a window that never paints (no
    // screen to show it on) does not hold either back.
    const auto finishLaunch = [&app] {
        app.setUpDesktopIntegration();
        app.model()->startLaunch();
    };
    FirstPaint::then(app.mainWindow(), finishLaunch);
    QTimer::singleShot(launchFallbackDelay, &app, finishLaunch);
    // The last filter installed sees the paint first: the probe reports before the work it lets start.
    FirstPaint::reportWhenAsked(app.mainWindow());
    app.openMainWindow();
    return application.exec();
}
