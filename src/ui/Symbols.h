#pragma once

#include "model/ModelTypes.h"

#include <QIcon>
#include <QPixmap>
#include <QString>

// The symbols the interface names (the desktop symbol names the design uses, e.g.
// "checkmark.circle.fill") mapped onto icons of our own: the icon theme's glyph where one
// fits and colour carries no meaning, otherwise the small vector drawings bundled with the
// application, so the window looks complete on a desktop without an icon theme.
namespace Symbols {

// The icon for a symbol name; a null icon for a name we do not know.
QIcon icon(const QString &name);

// The symbol name of a permission, the same in the setup step, the prompt and the dashboard row.
QString forPermission(PermissionKind kind);

// The bundled drawing of a symbol, rendered at `size` logical pixels.
QPixmap bundledPixmap(const QString &name, int size, qreal devicePixelRatio = 1.0);
bool hasBundledSymbol(const QString &name);

// The icon-theme name tried before the bundled drawing; empty when we always draw our own.
QString themeName(const QString &name);

// The application logo ("QuorvantisMark.png" in the bundle's resources) and the tray logo
// ("QuorvantisMenuBar.png", drawn at 18 by 18). Without the resource both fall back to the
// "sparkles.rectangle.stack.fill" symbol.
QIcon quorvantisLogo();
QIcon quorvantisMenuBarLogo();
constexpr int menuBarLogoSize = 18;

// The vector artwork the bundle's logo images are made from.
QString logoArtworkPath();
QString menuBarLogoArtworkPath();

// Renders an SVG file to an image of `size` device pixels; a null image when unreadable.
QImage renderSvg(const QString &path, int size);

} // namespace Symbols
