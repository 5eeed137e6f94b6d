#include "ui/Accessibility.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QScrollArea>

namespace Accessibility {
namespace {

QAccessibleInterface *factory(const QString &, QObject *object)
{
    // Item views (the combo box's list) keep Qt's table interface.
    auto *scroll = qobject_cast<QAbstractScrollArea *>(object);
    if (!scroll || qobject_cast<QAbstractItemView *>(object))
        return nullptr;
    return new QAccessibleWidget(scroll, QAccessible::Client);
}

} // namespace

void install()
{
    QAccessible::installFactory(factory);
}

} // namespace Accessibility
