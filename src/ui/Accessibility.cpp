#include "ui/Accessibility.h"

#include <QAccessibleWidget>
#include <QScrollArea>

namespace Accessibility {
namespace {

QAccessibleInterface *factory(const QString &, QObject *object)
{
    // Only plain scroll areas: item views and text editors keep Qt's interfaces of their own.
    auto *scroll = qobject_cast<QScrollArea *>(object);
    return scroll ? new QAccessibleWidget(scroll, QAccessible::Client) : nullptr;
}

} // namespace

void install()
{
    QAccessible::installFactory(factory);
}

} // namespace Accessibility
