#include "accessiblefactory.h"

#include "lamp.h"
#include "logview.h"
#include "logviewaccessible.h"

#include <QAccessibleWidget>

namespace vantor::app {

namespace {

QAccessibleInterface *create(const QString &className, QObject *object)
{
    if (className == QLatin1String(LogView::staticMetaObject.className()))
        return new LogViewAccessible(static_cast<LogView *>(object));
    // A lamp reads as a picture with a name ("COM port lamp") and a description that says
    // what its colour means now ("open").
    if (className == QLatin1String(Lamp::staticMetaObject.className()))
        return new QAccessibleWidget(static_cast<Lamp *>(object), QAccessible::Graphic);
    return nullptr;
}

} // namespace

void installAccessibleFactory()
{
    static const bool installed = (QAccessible::installFactory(&create), true);
    Q_UNUSED(installed);
}

} // namespace vantor::app
