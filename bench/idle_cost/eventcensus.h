#pragma once

#include <QObject>
#include <QString>

#include <map>

class QAbstractEventDispatcher;

// Names whatever wakes the user-interface thread: counts the times its event loop wakes up,
// and the timer events and other events delivered, by receiver ("QClassName objectName").
class EventCensus : public QObject
{
    Q_OBJECT

public:
    explicit EventCensus(QObject *parent = nullptr);

    void start();
    void stop();

    long long wakeUps() const { return m_wakeUps; }
    // "Timer -> QLineEdit txtCASPARIP" -> count, for every kind of event seen.
    const std::map<QString, long long> &events() const { return m_events; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QAbstractEventDispatcher *m_dispatcher = nullptr;
    QMetaObject::Connection m_awake;
    long long m_wakeUps = 0;
    std::map<QString, long long> m_events;
};
