#include "FirstPaintProbe.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

// The yardsticks of the startup benchmark: a minimal Qt Widgets program showing one empty
// window of the main window's size, or (with "text") the same window with one line of Chinese
// text, which shows what loading the fonts alone costs.
//   startup_bench_baseline SETTLE_MS [text]
int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.resize(960, 640);
    if (argc > 2 && QByteArray(argv[2]) == "text") {
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(new QLabel(QStringLiteral("在这台 Mac 上安装、授权并运行 Quorvantis Agent。")));
    }
    window.show();
    FirstPaintProbe probe(&window, argc > 1 ? QByteArray(argv[1]).toInt() : 1500);
    return application.exec();
}
