#include "ui/FirstPaint.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

// The yardstick of the start-up measurement (bench/measure): a minimal Qt Widgets program showing
// one window of the main window's size with one line of the same Chinese text in the
// application's default font. With QUORVANTIS_FIRST_PAINT_PROBE=1 it reports its first paint
// through the same probe as the application.
int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Quorvantis"));
    window.resize(960, 640);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("在这台 Mac 上安装、授权并运行 Quorvantis Agent。")));
    FirstPaint::reportWhenAsked(&window);
    window.show();
    return application.exec();
}
