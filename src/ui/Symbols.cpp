#include "ui/Symbols.h"

#include "platform/Bundle.h"

#include <QFile>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

// The resources of a static library are not linked in unless something refers to them.
static void initUiResources()
{
    Q_INIT_RESOURCE(ui);
}

namespace Symbols {

namespace {

void ensureResources()
{
    static const bool initialised = [] {
        initUiResources();
        return true;
    }();
    Q_UNUSED(initialised);
}

QString bundledPath(const QString &name)
{
    ensureResources();
    return QStringLiteral(":/quorvantis/symbols/%1.svg").arg(name);
}

QIcon iconFromSvg(const QString &path)
{
    // The SVG icon engine draws each size when it is first asked for; drawing every size up
    // front cost a few milliseconds per symbol, most of the window's start-up.
    QIcon lazy(path);
    if (!lazy.pixmap(QSize(16, 16)).isNull())
        return lazy;
    QIcon icon;
    for (const int size : {12, 14, 16, 18, 20, 24, 32, 48, 64, 112, 128}) {
        for (const qreal ratio : {1.0, 2.0}) {
            QImage image = renderSvg(path, int(size * ratio));
            if (image.isNull())
                return {};
            image.setDevicePixelRatio(ratio);
            icon.addPixmap(QPixmap::fromImage(image));
        }
    }
    return icon;
}

QIcon logoIcon(const QString &resource)
{
    // The bundle's images are made from our artwork at build time; a bundle without them shows
    // the generic symbol, the same fallback as a missing image anywhere else.
    if (const auto path = Bundle::resourcePath(resource, QStringLiteral("png"))) {
        const QPixmap pixmap(*path);
        if (!pixmap.isNull())
            return QIcon(pixmap);
    }
    return icon(QStringLiteral("sparkles.rectangle.stack.fill"));
}

} // namespace

QString themeName(const QString &name)
{
    // Only neutral glyphs come from the theme: where the colour of a mark says "done" or
    // "failed", a monochrome theme glyph would lose that, so those are always our own.
    static const QHash<QString, QString> names{
        {QStringLiteral("xmark"), QStringLiteral("window-close")},
        {QStringLiteral("network"), QStringLiteral("network-workgroup")},
        {QStringLiteral("internaldrive"), QStringLiteral("drive-harddisk")},
        {QStringLiteral("accessibility"), QStringLiteral("preferences-desktop-accessibility")},
        {QStringLiteral("arrow.triangle.2.circlepath"), QStringLiteral("view-refresh")},
        {QStringLiteral("lock.shield"), QStringLiteral("security-high")},
    };
    return names.value(name);
}

bool hasBundledSymbol(const QString &name)
{
    return QFile::exists(bundledPath(name));
}

QImage renderSvg(const QString &path, int size)
{
    QSvgRenderer renderer(path);
    if (!renderer.isValid() || size <= 0)
        return {};
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, size, size));
    return image;
}

QPixmap bundledPixmap(const QString &name, int size, qreal devicePixelRatio)
{
    QImage image = renderSvg(bundledPath(name), int(size * devicePixelRatio + 0.5));
    if (image.isNull())
        return {};
    image.setDevicePixelRatio(devicePixelRatio);
    return QPixmap::fromImage(image);
}

QIcon icon(const QString &name)
{
    // Held for the life of the process; never destroyed after the application object.
    static auto *cache = new QHash<QString, QIcon>;
    if (const auto found = cache->constFind(name); found != cache->cend())
        return *found;
    QIcon bundled;
    if (hasBundledSymbol(name))
        bundled = iconFromSvg(bundledPath(name));
    const QString theme = themeName(name);
    QIcon result = theme.isEmpty() ? bundled : QIcon::fromTheme(theme, bundled);
    cache->insert(name, result);
    return result;
}

QString logoArtworkPath()
{
    ensureResources();
    return QStringLiteral(":/quorvantis/QuorvantisMark.svg");
}

QString menuBarLogoArtworkPath()
{
    ensureResources();
    return QStringLiteral(":/quorvantis/QuorvantisMenuBar.svg");
}

QIcon quorvantisLogo()
{
    return logoIcon(QStringLiteral("QuorvantisMark"));
}

QIcon quorvantisMenuBarLogo()
{
    return logoIcon(QStringLiteral("QuorvantisMenuBar"));
}

} // namespace Symbols
