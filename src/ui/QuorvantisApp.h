#pragma once

#include "app/AppModel.h"
#include "ui/MenuBarContent.h"
#include "ui/RootContentView.h"

#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QStringList>

#include <memory>
#include <optional>

class DesktopNotifier;
class QAction;
class QSystemTrayIcon;
class QMenu;

Q_DECLARE_LOGGING_CATEGORY(lcApp)

// The application entry: one model for the life of the process, shared by the main window
// and the tray panel.
class QuorvantisApp : public QObject
{
    Q_OBJECT
public:
    struct CommandLine
    {
        std::optional<QString> resourceDirectory; // --resources DIR
    };
    // Parses the application's own options; unknown ones are left to Qt.
    static CommandLine parseCommandLine(const QStringList &arguments);

    // The model's construction parameters: every optional one absent, the setup run's retry
    // delays 2, 4 and 8 seconds, automatic resumption unless the process runs under the test
    // harness (XCTestConfigurationFilePath present).
    static AppModel::Options modelOptions(const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

    // When the tray icon, the window-closing rule and the desktop notifications are set up: with
    // the window (what a test of the app object sees), or when the caller calls
    // setUpDesktopIntegration() (the launch, once the window has painted: the tray's handshake
    // with the desktop does not delay the first frame).
    enum class DesktopIntegration { withWindow, byCaller };

    explicit QuorvantisApp(AppModel::Options options, QObject *parent = nullptr)
        : QuorvantisApp(std::move(options), DesktopIntegration::withWindow, parent)
    {
    }
    QuorvantisApp(AppModel::Options options, DesktopIntegration integration, QObject *parent = nullptr);
    ~QuorvantisApp() override;

    AppModel *model() const { return m_model.get(); }
    RootContentView *mainWindow() const { return m_window; }
    // The tray panel, built the first time it is shown or asked for.
    MenuBarContent *menuBarContent();
    bool isMenuBarContentBuilt() const { return m_panel != nullptr; }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    DesktopNotifier *notifier() const { return m_notifier; }
    bool hasSystemTray() const { return m_tray != nullptr; }

    // Shows the main window (again, after it was closed) and brings it to the front.
    void openMainWindow();
    // Shows the tray panel as a popup near the tray icon (or the pointer).
    void showMenuBarPanel();
    void quit();

    // main(): parses the command line, builds the application and runs its event loop.
    static int run(int argc, char **argv);

    // Sets up the tray icon, the window-closing rule and the notifications, once.
    void setUpDesktopIntegration();

private:
    void setUpTray();

    std::unique_ptr<AppModel> m_model;
    QPointer<RootContentView> m_window;
    QPointer<MenuBarContent> m_panel;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *m_trayMenu = nullptr;
    DesktopNotifier *m_notifier = nullptr;
    bool m_integrated = false;
};
