#include "ui/Symbols.h"

#include "platform/Bundle.h"

#include <QApplication>
#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QSvgRenderer>

#include <optional>

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

// A symbol drawn when it is first painted, not when the view holding it is built: the icon
// theme's glyph where the theme has one (looked up then), otherwise our own drawing, rendered
// once per size and mode. Needs neither the SVG icon engine plugin nor an image-format plugin.
class SymbolIconEngine : public QIconEngine
{
public:
    SymbolIconEngine(QString bundledPath, QString themeName)
        : m_bundledPath(std::move(bundledPath)), m_themeName(std::move(themeName))
    {
    }

    QIconEngine *clone() const override { return new SymbolIconEngine(*this); }
    QString key() const override { return QStringLiteral("QuorvantisSymbol"); }

    bool isNull() override
    {
        resolve();
        return !m_theme && m_bundledPath.isEmpty();
    }

    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        resolve();
        if (m_theme)
            return m_theme->actualSize(size, mode, state);
        const int side = qMin(size.width(), size.height());
        return {side, side};
    }

    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        resolve();
        return m_theme ? m_theme->availableSizes(mode, state) : QList<QSize>{};
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        resolve();
        if (m_theme)
            return m_theme->pixmap(size, mode, state);
        const int side = qMin(size.width(), size.height());
        if (side <= 0 || m_bundledPath.isEmpty())
            return {};
        const quint64 key = quint64(side) << 8 | quint64(mode) << 1 | quint64(state);
        if (const auto found = m_rendered.constFind(key); found != m_rendered.cend())
            return *found;
        QPixmap pixmap = QPixmap::fromImage(renderSvg(m_bundledPath, side));
        if (!pixmap.isNull() && mode != QIcon::Normal && qobject_cast<QApplication *>(QCoreApplication::instance())) {
            // The same disabled and selected looks the style gives any other icon.
            QStyleOption option;
            option.palette = QApplication::palette();
            pixmap = QApplication::style()->generatedIconPixmap(mode, pixmap, &option);
        }
        m_rendered.insert(key, pixmap);
        return pixmap;
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
        QPixmap drawn = pixmap(rect.size() * ratio, mode, state);
        drawn.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect.topLeft(), drawn);
    }

private:
    void resolve()
    {
        if (m_resolved)
            return;
        m_resolved = true;
        if (m_themeName.isEmpty())
            return;
        const QIcon theme = QIcon::fromTheme(m_themeName);
        if (!theme.isNull() && !theme.availableSizes().isEmpty())
            m_theme = theme;
    }

    QString m_bundledPath;
    QString m_themeName;
    bool m_resolved = false;
    std::optional<QIcon> m_theme;
    QHash<quint64, QPixmap> m_rendered;
};

QIcon logoIcon(const QString &resource)
{
    // The bundle's images are made from our artwork at build time; a bundle without them shows
    // the generic symbol, the same fallback as a missing image anywhere else.
    if (const auto path = Bundle::resourcePath(resource, QStringLiteral("png"))) {
        // Decoded once per file: the status emblem draws the logo on every frame of its spinner.
        // Held for the life of the process; never destroyed after the application object.
        static auto *decoded = new QHash<QString, QIcon>;
        if (const auto found = decoded->constFind(*path); found != decoded->cend())
            return *found;
        // Read as PNG by Qt's own reader: a reader left to guess the format first loads every
        // image-format plugin to ask each whether it can, at start-up, before the first frame.
        QImageReader reader(*path, "png");
        reader.setAutoDetectImageFormat(false);
        const QPixmap pixmap = QPixmap::fromImageReader(&reader);
        if (!pixmap.isNull())
            return *decoded->insert(*path, QIcon(pixmap));
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

QString forPermission(PermissionKind kind)
{
    switch (kind) {
    case PermissionKind::screenRecording: return QStringLiteral("rectangle.inset.filled.and.person.filled");
    case PermissionKind::accessibility: return QStringLiteral("accessibility");
    case PermissionKind::fullDiskAccess: return QStringLiteral("internaldrive");
    }
    return {};
}

QIcon icon(const QString &name)
{
    // Held for the life of the process; never destroyed after the application object.
    static auto *cache = new QHash<QString, QIcon>;
    if (const auto found = cache->constFind(name); found != cache->cend())
        return *found;
    const QString bundled = hasBundledSymbol(name) ? bundledPath(name) : QString();
    const QString theme = themeName(name);
    // A name we do not know stays a null icon.
    QIcon result = bundled.isEmpty() && theme.isEmpty() ? QIcon() : QIcon(new SymbolIconEngine(bundled, theme));
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
