#include "ui/UIToken.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QWidget>

namespace UIToken {

namespace {

// The desktop's text styles relative to its body size (13 points on the desktop platform
// these styles come from): title 22, title 2 17, title 3 15, headline 13, callout 12,
// caption 10.
struct Style
{
    double scale;
    QFont::Weight weight;
    bool monospaced;
};

Style style(Typography typography)
{
    switch (typography) {
    case Typography::statusTitle: return {22.0 / 13.0, QFont::DemiBold, false};
    case Typography::screenTitle: return {17.0 / 13.0, QFont::DemiBold, false};
    case Typography::task: return {15.0 / 13.0, QFont::Medium, false};
    case Typography::section: return {1.0, QFont::DemiBold, false};
    case Typography::body: return {1.0, QFont::Normal, false};
    case Typography::bodyStrong: return {1.0, QFont::Medium, false};
    case Typography::meta: return {12.0 / 13.0, QFont::Normal, false};
    case Typography::caption: return {10.5 / 13.0, QFont::Normal, false};
    case Typography::technical: return {10.5 / 13.0, QFont::Normal, true};
    }
    return {1.0, QFont::Normal, false};
}

QColor blend(const QColor &a, const QColor &b, double t)
{
    return QColor::fromRgbF(float(a.redF() * (1 - t) + b.redF() * t), float(a.greenF() * (1 - t) + b.greenF() * t),
                            float(a.blueF() * (1 - t) + b.blueF() * t));
}

} // namespace

QColor accent()
{
    return QColor::fromRgbF(0.03f, 0.24f, 0.43f, 1.0f);
}

QColor secondaryLabel(const QWidget *widget)
{
    const QPalette palette = widget ? widget->palette() : QApplication::palette();
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.38);
}

QColor tertiaryLabel(const QWidget *widget)
{
    const QPalette palette = widget ? widget->palette() : QApplication::palette();
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.6);
}

QColor destructive()
{
    return QColor(0xC6, 0x28, 0x28);
}

QColor success()
{
    return QColor(0x2E, 0x8B, 0x57);
}

QFont font(Typography typography)
{
    const Style s = style(typography);
    QFont base = s.monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QApplication::font();
    const QFont body = QApplication::font();
    if (body.pointSizeF() > 0)
        base.setPointSizeF(body.pointSizeF() * s.scale);
    else if (body.pixelSize() > 0)
        base.setPixelSize(qMax(8, int(body.pixelSize() * s.scale + 0.5)));
    base.setWeight(s.weight);
    return base;
}

void apply(QWidget *widget, Typography typography)
{
    widget->setFont(font(typography));
}

void applySecondary(QWidget *widget, Typography typography)
{
    apply(widget, typography);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, secondaryLabel(widget));
    palette.setColor(QPalette::Text, secondaryLabel(widget));
    widget->setPalette(palette);
}

void tint(QWidget *window)
{
    QPalette palette = window->palette();
    palette.setColor(QPalette::Highlight, accent());
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, accent());
    window->setPalette(palette);
}

} // namespace UIToken
