#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <unistd.h>

// Watches the event loop of the thread it lives on while a test runs: a timer asks for a tick
// every Period ms, and the lag is how much later than asked a tick arrived. The program's own
// share of a lag leaves out the time the thread was ready to run but waited for a processor
// (the scheduler's run-queue delay): on a shared, busy machine that is the machine's share.
// Also reads this process's resident memory, for bounds on what a peer can make the program
// keep.
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
            const qint64 waited = runQueueWaitNs();
            const qint64 lag = now - m_lastTickNs - qint64(Period) * 1000000;
            m_worstLagNs = qMax(m_worstLagNs, lag);
            m_worstOwnLagNs = qMax(m_worstOwnLagNs, lag - (waited - m_lastWaitNs));
            m_lastTickNs = now;
            m_lastWaitNs = waited;
        });
    }

    void start()
    {
        m_worstLagNs = m_worstOwnLagNs = 0;
        m_clock.start();
        m_lastTickNs = 0;
        m_lastWaitNs = runQueueWaitNs();
        m_timer.start();
    }
    void stop() { m_timer.stop(); }

    // The longest the loop kept a tick waiting beyond its period, in ms.
    double worstLagMs() const { return double(m_worstLagNs) / 1e6; }
    // The same without the time the thread waited for a processor meanwhile.
    double worstOwnLagMs() const { return double(m_worstOwnLagNs) / 1e6; }

    // How long this thread has waited for a processor so far, in ns (0 where not known).
    static qint64 runQueueWaitNs()
    {
        QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        const QList<QByteArray> fields = stat.readAll().split(' ');
        return fields.size() > 1 ? fields[1].toLongLong() : 0;
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
    qint64 m_lastWaitNs = 0;
    qint64 m_worstLagNs = 0;
    qint64 m_worstOwnLagNs = 0;
};
