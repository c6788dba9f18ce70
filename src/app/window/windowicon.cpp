#include "app/window/windowicon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace vantor::app {

namespace {
QPixmap draw(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    QLinearGradient back(0, 2, 0, 62);
    back.setColorAt(0, QColor(0x2b, 0x3a, 0x4f));
    back.setColorAt(1, QColor(0x15, 0x20, 0x2e));
    p.setPen(Qt::NoPen);
    p.setBrush(back);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
    // The contact: two terminals and the lever about to close.
    const QColor gold(0xff, 0xcf, 0x4a);
    p.setPen(QPen(gold, 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(13, 41), QPointF(13, 27));
    p.drawLine(QPointF(29, 41), QPointF(29, 27));
    p.drawLine(QPointF(13, 27), QPointF(27, 19));
    p.setPen(Qt::NoPen);
    p.setBrush(gold);
    p.drawEllipse(QPointF(13, 27), 2.6, 2.6);
    p.drawEllipse(QPointF(29, 27), 2.6, 2.6);
    // The 9-pin connector it is wired to.
    QPainterPath shell;
    shell.moveTo(6, 40);
    shell.lineTo(36, 40);
    shell.lineTo(33, 54.5);
    shell.lineTo(9, 54.5);
    shell.closeSubpath();
    p.setPen(QPen(QColor(0x8a, 0x95, 0xa5), 1));
    p.setBrush(QColor(0xc7, 0xce, 0xd8));
    p.drawPath(shell);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2b, 0x3a, 0x4f));
    for (qreal x : {9.5, 15.0, 21.0, 27.0, 32.5})
        p.drawEllipse(QPointF(x, 44.5), 1.5, 1.5);
    for (qreal x : {12.2, 18.0, 24.0, 29.8})
        p.drawEllipse(QPointF(x, 50), 1.5, 1.5);
    // The movie that plays.
    p.setBrush(QColor(0x1e, 0x9e, 0x4a));
    p.drawEllipse(QPointF(46, 20), 12.5, 12.5);
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(42, 13.5), QPointF(53, 20), QPointF(42, 26.5)}));
    return pixmap;
}
} // namespace

QIcon windowIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addPixmap(draw(size));
    return icon;
}

} // namespace vantor::app
