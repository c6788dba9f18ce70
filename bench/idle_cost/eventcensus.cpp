#include "eventcensus.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QMetaEnum>

EventCensus::EventCensus(QObject *parent)
    : QObject(parent)
{
}

void EventCensus::start()
{
    m_wakeUps = 0;
    m_events.clear();
    m_dispatcher = QAbstractEventDispatcher::instance();
    if (m_dispatcher)
        m_awake = connect(m_dispatcher, &QAbstractEventDispatcher::awake, this, [this] { ++m_wakeUps; });
    QCoreApplication::instance()->installEventFilter(this);
}

void EventCensus::stop()
{
    QCoreApplication::instance()->removeEventFilter(this);
    disconnect(m_awake);
}

// An application-wide filter sees every event delivered on the user-interface thread.
bool EventCensus::eventFilter(QObject *watched, QEvent *event)
{
    const char *type = QMetaEnum::fromType<QEvent::Type>().valueToKey(event->type());
    const QString kind = type ? QLatin1String(type) : QString::number(int(event->type()));
    ++m_events[kind + QStringLiteral(" -> ") + QLatin1String(watched->metaObject()->className()) + QLatin1Char(' ')
               + watched->objectName()];
    return false;
}
