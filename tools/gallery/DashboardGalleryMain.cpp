#include "DashboardGallery.h"

#include <QApplication>
#include <QTextStream>

// Writes the dashboard's gallery on its own: dashboard_gallery [DIRECTORY]
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString directory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("gallery");
    const QStringList written = DashboardGallery::writeAll(directory);
    QTextStream out(stdout);
    for (const QString &path : written)
        out << path << '\n';
    return written.isEmpty() ? 1 : 0;
}
