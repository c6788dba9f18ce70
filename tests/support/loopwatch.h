#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <unistd.h>

// Watches the event loop of the thread it lives on while a test runs: a timer asks for a tick
// every Period ms, and the lag is how much later than asked a tick arrived. The program's own
// share of a lag is the time the thread spent on a processor meanwhile (at most the lag less
// the time it was ready to run but waited for one): on a shared, busy machine the rest is the
// machine's, waits for a processor and timers that fire late. Only the plain lag also counts a
// thread blocked in a call. Also reads this process's resident memory, for bounds on what a
// peer can make the program keep.
class LoopWatch : public QObject
{
public:
    static constexpr int Period = 10;

    LoopWatch()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(Period);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            const Schedule schedule = scheduleNow();
            const qint64 lag = now - m_lastTickNs - qint64(Period) * 1000000;
            const bool known = schedule.known && m_last.known;
            const qint64 own =
                known ? qMin(schedule.ranNs - m_last.ranNs, lag - (schedule.waitedNs - m_last.waitedNs)) : lag;
            m_worstLagNs = qMax(m_worstLagNs, lag);
            m_worstOwnLagNs = qMax(m_worstOwnLagNs, own);
            m_lastTickNs = now;
            m_last = schedule;
        });
    }

    void start()
    {
        m_worstLagNs = m_worstOwnLagNs = 0;
        m_clock.start();
        m_lastTickNs = 0;
        m_last = scheduleNow();
        m_timer.start();
    }
    void stop() { m_timer.stop(); }

    // The longest the loop kept a tick waiting beyond its period, in ms.
    double worstLagMs() const { return double(m_worstLagNs) / 1e6; }
    // The program's own share of the worst lag, in ms.
    double worstOwnLagMs() const { return double(m_worstOwnLagNs) / 1e6; }

    // How long this thread has run on a processor, and waited for one, so far (from
    // /proc/thread-self/schedstat; where that is missing the whole lag counts as own).
    struct Schedule
    {
        qint64 ranNs = 0;
        qint64 waitedNs = 0;
        bool known = false;
    };
    static Schedule scheduleNow()
    {
        QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
        if (!stat.open(QIODevice::ReadOnly))
            return {};
        const QList<QByteArray> fields = stat.readAll().split(' ');
        if (fields.size() < 2)
            return {};
        return {fields[0].toLongLong(), fields[1].toLongLong(), true};
    }

    // Resident memory of this process in bytes (from /proc/self/statm).
    static qint64 residentBytes()
    {
        QFile statm(QStringLiteral("/proc/self/statm"));
        if (!statm.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> fields = statm.readAll().split(' ');
        return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : -1;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    Schedule m_last;
    qint64 m_worstLagNs = 0;
    qint64 m_worstOwnLagNs = 0;
};
