// quorvantis-logo-render SVG PNG SIZE: renders vector artwork to a square PNG image.

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    bool sizeOk = false;
    const int size = arguments.value(3).toInt(&sizeOk);
    if (arguments.size() != 4 || !sizeOk || size <= 0) {
        std::fprintf(stderr, "usage: quorvantis-logo-render SVG PNG SIZE\n");
        return 2;
    }
    QSvgRenderer renderer(arguments.at(1));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(arguments.at(1)));
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, size, size));
    }
    if (!image.save(arguments.at(2), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(arguments.at(2)));
        return 1;
    }
    return 0;
}
