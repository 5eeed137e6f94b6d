// The application entry: the model's construction parameters, the command line, the two
// scenes sharing one model, and the way back into a closed window.

#include "platform/Bundle.h"
#include "support/ModelFixture.h"
#include "ui/Symbols.h"
#include "ui/MenuBarContent.h"
#include "ui/QuorvantisApp.h"
#include "ui/RootContentView.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>

namespace {

QStringList appMessages;

void collect(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "quorvantis.app")
        appMessages.append(message);
}

QCoro::Task<std::optional<OwnerSetupLink>> noLink()
{
    co_return std::nullopt;
}

AppModel::Options scriptedOptions(ModelFixture &fixture)
{
    AppModel::Options options = QuorvantisApp::modelOptions(QProcessEnvironment());
    options.profileDirectory = fixture.profileDirectory();
    options.effects = fixture.effects;
    options.autoResume = false;
    options.sleeper = [&time = fixture.time](std::chrono::milliseconds d) { return time.sleep(d); };
    options.clock = [&time = fixture.time] { return time.now(); };
    options.ownerSetupLinkLoad = [] { return noLink(); };
    options.ownerSetupLinkSave = [](std::optional<QUrl>, std::optional<QDateTime>) {};
    return options;
}

void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class AppTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // First: the note is said once per process, so no other app object may come before.
    void withoutATrayTheWindowStaysTheWayIn()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("this desktop has a system tray");
        appMessages.clear();
        const auto previous = qInstallMessageHandler(collect);
        {
            ModelFixture first;
            QuorvantisApp one(scriptedOptions(first));
            QVERIFY(!one.hasSystemTray());
            ModelFixture second;
            QuorvantisApp two(scriptedOptions(second));
            QVERIFY(!two.hasSystemTray());
        }
        qInstallMessageHandler(previous);
        // Said once per process, not once per scene.
        QCOMPARE(appMessages.size(), 1);
        QVERIFY(appMessages.first().contains(QStringLiteral("main window")));
    }

    void modelOptions_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<bool>("autoResume");
        QTest::newRow("plain process") << QStringList{"HOME=/tmp"} << true;
        QTest::newRow("under the test harness") << QStringList{"XCTestConfigurationFilePath=/x.xctestconfiguration"} << false;
        QTest::newRow("harness variable without a value") << QStringList{"XCTestConfigurationFilePath="} << false;
    }

    void modelOptions()
    {
        QFETCH(QStringList, environment);
        QFETCH(bool, autoResume);
        QProcessEnvironment env;
        for (const QString &entry : environment)
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        const AppModel::Options options = QuorvantisApp::modelOptions(env);
        QCOMPARE(options.autoResume, autoResume);
        // The real process runs on the real effects, not on test doubles.
        QVERIFY(!options.cli);
        QVERIFY(!options.sleeper);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("resources");
        QTest::newRow("none") << QStringList{"quorvantis"} << QString();
        QTest::newRow("separate value") << QStringList{"quorvantis", "--resources", "/opt/q/Resources"} << "/opt/q/Resources";
        QTest::newRow("joined value") << QStringList{"quorvantis", "--resources=/srv/r"} << "/srv/r";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, resources);
        const auto line = QuorvantisApp::parseCommandLine(arguments);
        QCOMPARE(line.resourceDirectory.value_or(QString()), resources);
    }

    void theBuildBundlesTheLogoImages_data()
    {
        QTest::addColumn<QString>("resource");
        QTest::addColumn<int>("size");
        QTest::newRow("application logo") << "QuorvantisMark" << 256;
        QTest::newRow("tray logo") << "QuorvantisMenuBar" << 36;
    }

    void theBuildBundlesTheLogoImages()
    {
        QFETCH(QString, resource);
        QFETCH(int, size);
        const auto path = Bundle::resourcePath(resource, QStringLiteral("png"));
        QVERIFY2(path.has_value(), qPrintable(Bundle::resourceDirectory()));
        const QImage image(*path);
        QCOMPARE(image.size(), QSize(size, size));
        // Our artwork: the accent-coloured face, left of the white ring.
        const QColor middle = image.pixelColor(size / 10, size / 2);
        QVERIFY2(middle.blue() > middle.red() + 40, qPrintable(middle.name()));
        const QIcon logo = resource == u"QuorvantisMark" ? Symbols::quorvantisLogo() : Symbols::quorvantisMenuBarLogo();
        QVERIFY(logo.cacheKey() != Symbols::icon(QStringLiteral("sparkles.rectangle.stack.fill")).cacheKey());
    }

    void scenesShareOneModel()
    {
        // Start from the wrong setting, so the app object has to set it.
        QApplication::setQuitOnLastWindowClosed(QSystemTrayIcon::isSystemTrayAvailable());
        ModelFixture fixture;
        QuorvantisApp app(scriptedOptions(fixture));
        // The panel costs start-up time only once someone opens it.
        QVERIFY(!app.isMenuBarContentBuilt());
        QVERIFY(app.menuBarContent());
        app.model()->overallState = AppModel::OverallState::error;
        settle();
        QCOMPARE(app.menuBarContent()->titleLabel()->text(), QStringLiteral("需要处理"));
        // Closing the window ends the process only where no tray leads back to it.
        QCOMPARE(QApplication::quitOnLastWindowClosed(), !app.hasSystemTray());
    }

    void ctrlOOpensAClosedWindow()
    {
        ModelFixture fixture;
        QuorvantisApp app(scriptedOptions(fixture));
        app.openMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(app.mainWindow()));
        app.mainWindow()->close();
        QVERIFY(!app.mainWindow()->isVisible());
        MenuBarContent *panel = app.menuBarContent();
        app.showMenuBarPanel();
        QVERIFY(panel->isVisible());
        QVERIFY(panel->windowFlags().testFlag(Qt::Popup));
        QTest::keyClick(panel, Qt::Key_O, Qt::ControlModifier);
        QTRY_VERIFY(app.mainWindow()->isVisible());
        QVERIFY(!panel->isVisible());

        // The panel's open button is the other way back.
        app.mainWindow()->close();
        QTest::mouseClick(panel->openButton(), Qt::LeftButton);
        QVERIFY(app.mainWindow()->isVisible());
    }

};

QTEST_MAIN(AppTests)
#include "AppTests.moc"
