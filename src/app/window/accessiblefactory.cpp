#include "app/window/accessiblefactory.h"

#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"
#include "app/window/logview.h"
#include "app/window/logviewaccessible.h"

#include <QAccessibleWidget>

namespace vantor::app {

namespace {

// The collapse toggle draws a triangle for its caption ("5" or "6"): it reads as a button
// named after what a press does, and can be pressed.
class ToggleAccessible : public QAccessibleWidget
{
public:
    explicit ToggleAccessible(TriangleToggle *toggle)
        : QAccessibleWidget(toggle, QAccessible::Button)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Name)
            return QAccessibleWidget::text(t);
        return toggle()->text() == QLatin1String("6") ? QStringLiteral("Expand") : QStringLiteral("Collapse");
    }
    QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }
    void doAction(const QString &action) override
    {
        if (action == pressAction() && toggle()->isEnabled())
            Q_EMIT toggle()->clicked();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    TriangleToggle *toggle() const { return static_cast<TriangleToggle *>(widget()); }
};

QAccessibleInterface *create(const QString &className, QObject *object)
{
    if (className == QLatin1String(LogView::staticMetaObject.className()))
        return new LogViewAccessible(static_cast<LogView *>(object));
    // A lamp reads as a picture with a name ("COM port lamp") and a description that says
    // what its colour means now ("open").
    if (className == QLatin1String(Lamp::staticMetaObject.className()))
        return new QAccessibleWidget(static_cast<Lamp *>(object), QAccessible::Graphic);
    if (className == QLatin1String(TriangleToggle::staticMetaObject.className()))
        return new ToggleAccessible(static_cast<TriangleToggle *>(object));
    return nullptr;
}

} // namespace

void installAccessibleFactory()
{
    static const bool installed = (QAccessible::installFactory(&create), true);
    Q_UNUSED(installed);
}

} // namespace vantor::app
