#include "app/monitor/operatorclose.h"

#include <QEvent>
#include <QWidget>

namespace vantor::app {

OperatorClose::OperatorClose(QWidget &window)
{
    window.installEventFilter(this);
}

// A close from the window system is delivered as a spontaneous event; QWidget::close() (the
// signals' way) sends one that is not.
bool OperatorClose::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Close && event->spontaneous())
        m_closed = true;
    return QObject::eventFilter(watched, event);
}

} // namespace vantor::app
