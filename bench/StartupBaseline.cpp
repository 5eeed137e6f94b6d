#include "FirstPaintProbe.h"

#include <QApplication>
#include <QWidget>

// The yardstick of the startup benchmark: a minimal Qt Widgets program showing one empty
// window of the main window's size. startup_bench_baseline SETTLE_MS
int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.resize(960, 640);
    window.show();
    FirstPaintProbe probe(&window, argc > 1 ? QByteArray(argv[1]).toInt() : 1500);
    return application.exec();
}
