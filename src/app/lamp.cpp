#include "lamp.h"

#include <QPainter>

namespace vantor::app {

Lamp::Lamp(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
}

void Lamp::setFillColor(quint32 bgr)
{
    if (bgr == m_fill)
        return;
    m_fill = bgr;
    update();
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor fill(m_fill & 0xff, (m_fill >> 8) & 0xff, (m_fill >> 16) & 0xff);
    painter.setBrush(fill);
    painter.setPen(QPen(Qt::black, 1));
    const int side = qMin(width(), height()) - 1;
    painter.drawEllipse(QRectF(0.5, 0.5, side, side));
}

} // namespace vantor::app
