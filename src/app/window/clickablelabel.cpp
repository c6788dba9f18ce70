#include "app/window/clickablelabel.h"

#include "app/window/accessiblefactory.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>

namespace vantor::app {

void ClickableLabel::mouseReleaseEvent(QMouseEvent *event)
{
    QLabel::mouseReleaseEvent(event);
    if (isEnabled() && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT clicked();
}

void ClickableLabel::mouseDoubleClickEvent(QMouseEvent *event)
{
    QLabel::mouseDoubleClickEvent(event);
    if (isEnabled() && event->button() == Qt::LeftButton)
        Q_EMIT doubleClicked();
}

TriangleToggle::TriangleToggle(const QString &text, QWidget *parent)
    : ClickableLabel(text, parent)
{
    installAccessibleFactory();
}

void TriangleToggle::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().color(QPalette::WindowText));
    const QRectF r = QRectF(rect()).adjusted(width() * 0.2, height() * 0.3, -width() * 0.2, -height() * 0.3);
    QPolygonF triangle;
    if (text() == QLatin1String("6")) // collapsed: points down
        triangle << r.topLeft() << r.topRight() << QPointF(r.center().x(), r.bottom());
    else
        triangle << r.bottomLeft() << r.bottomRight() << QPointF(r.center().x(), r.top());
    painter.drawPolygon(triangle);
}

} // namespace vantor::app
