// The real-time mode against this machine's kernel: refused, it changes nothing and says why;
// granted, it raises the thread that entered it and the threads given its start function, and
// nothing else. Each case runs on a thread of its own, whose capabilities it may drop.
#include "threadpermissions.h"

#include "app/realtime/realtimemode.h"

#include <QTest>

#include <thread>

using vantor::app::RealtimeMode;
using namespace threadpermissions;

class TestRealtimeMode : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refusedItChangesNothingAndSaysWhy()
    {
        RealtimeMode mode;
        Scheduling after;
        long locked = -1;
        bool restricted = false;
        std::thread([&] {
            ScopedLimit rtprio(RLIMIT_RTPRIO, 0);
            ScopedLimit memlock(RLIMIT_MEMLOCK, 64 * 1024);
            restricted = rtprio.ok() && memlock.ok() && dropCapabilities({CAP_SYS_NICE, CAP_IPC_LOCK});
            mode = RealtimeMode::enter();
            after = Scheduling::ofCallingThread();
            locked = lockedKiB();
        }).join();
        QVERIFY(restricted);
        QCOMPARE(mode.priority(), 0);
        QVERIFY(!mode.memoryLocked());
        QVERIFY(!mode.threadStart());
        QCOMPARE(after.policy, SCHED_OTHER);
        QCOMPARE(locked, 0L);
        QCOMPARE(QString::fromStdString(mode.summary()),
                 "Warning: real-time mode: SCHED_FIFO refused: it needs RLIMIT_RTPRIO above 0 or CAP_SYS_NICE, and "
                 "RLIMIT_RTPRIO is 0; memory not locked: it needs RLIMIT_MEMLOCK unlimited or CAP_IPC_LOCK, and "
                 "RLIMIT_MEMLOCK is 64 KiB");
    }

    void grantedItRaisesTheTriggerPathOnly()
    {
        RealtimeMode mode;
        Scheduling entered, startedLater, givenStart, left;
        long lockedIn = -1, lockedAfter = -1;
        std::thread([&] {
            mode = RealtimeMode::enter();
            entered = Scheduling::ofCallingThread();
            lockedIn = lockedKiB();
            // Started by the raised thread, as Qt's own threads are: an ordinary thread.
            std::thread([&] { startedLater = Scheduling::ofCallingThread(); }).join();
            // Started the same way, running the mode's start function, as the line watcher's do.
            std::thread([&, start = mode.threadStart()] {
                if (start)
                    start();
                givenStart = Scheduling::ofCallingThread();
            }).join();
            RealtimeMode leaving = mode; // `mode` keeps what was granted, for the checks below
            leaving.leave();
            left = Scheduling::ofCallingThread();
            lockedAfter = lockedKiB();
        }).join();
        if (mode.priority() == 0)
            QSKIP(qPrintable("this machine refuses: " + QString::fromStdString(mode.summary())));

        QCOMPARE(entered.policy, SCHED_FIFO | SCHED_RESET_ON_FORK);
        QCOMPARE(entered.priority, mode.priority());
        QVERIFY(mode.priority() <= RealtimeMode::Priority);
        QCOMPARE(startedLater.policy, SCHED_OTHER);
        QCOMPARE(givenStart.policy, SCHED_FIFO | SCHED_RESET_ON_FORK);
        QCOMPARE(givenStart.priority, mode.priority());
        QCOMPARE(left.policy, SCHED_OTHER);
        QCOMPARE(lockedIn > 0, mode.memoryLocked());
        QCOMPARE(lockedAfter, 0L);
        QVERIFY2(QString::fromStdString(mode.summary())
                     .startsWith(QStringLiteral("%1SCHED_FIFO priority %2 for the trigger path (")
                                     .arg(mode.memoryLocked() ? "Real-time mode: " : "Warning: real-time mode: ")
                                     .arg(mode.priority())),
                 mode.summary().c_str());
    }
};

QTEST_GUILESS_MAIN(TestRealtimeMode)
#include "tst_realtimemode.moc"
