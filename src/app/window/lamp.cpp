#include "app/window/lamp.h"

#include "app/window/accessiblefactory.h"

#include <QPainter>

namespace vantor::app {

Lamp::Lamp(QWidget *parent)
    : QWidget(parent)
    , m_since(QTime::currentTime())
{
    setAttribute(Qt::WA_TranslucentBackground);
    installAccessibleFactory();
}

void Lamp::setFillColor(quint32 bgr)
{
    if (bgr == m_fill)
        return;
    m_fill = bgr;
    m_since = QTime::currentTime();
    describe();
    update();
    Q_EMIT fillColorChanged(m_fill);
}

void Lamp::setMeaning(const QString &name, const QString &green, const QString &red)
{
    setAccessibleName(name);
    m_green = green;
    m_red = red;
    describe();
}

QString Lamp::meaning() const
{
    return m_fill == Green ? m_green : m_fill == Red ? m_red : QString();
}

void Lamp::describe()
{
    const QString now = meaning();
    setAccessibleDescription(now);
    setToolTip(now.isEmpty() ? QString()
                             : now + QStringLiteral(" since ") + m_since.toString(QStringLiteral("HH:mm:ss")));
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
