// The port service's queue to the window: sessions, back-pressure, bounds.
#include "fakeserialportservice.h"

#include <QtTest>

#include <thread>

using namespace vantor::serial;

namespace {

struct Seen
{
    QList<std::pair<qint16, bool>> lines; // code, level
    QByteArrayList received;
    QStringList notices;
    int lost = 0;

    explicit Seen(FakeSerialPortService &port)
    {
        QObject::connect(&port, &SerialPortService::onComm, [this, &port] {
            const qint16 code = port.commEvent();
            if (code == comm::Receive)
                received << port.input();
            else
                lines << std::pair{code, code == comm::Cts ? port.ctsHolding() : port.dsrHolding()};
        });
        QObject::connect(&port, &SerialPortService::notice, [this](const QString &line) { notices << line; });
        QObject::connect(&port, &SerialPortService::portLost, [this] { ++lost; });
    }

    QList<bool> levels(qint16 code) const
    {
        QList<bool> out;
        for (const auto &[c, level] : lines)
            if (c == code)
                out << level;
        return out;
    }
};

} // namespace

class TestSerialPortService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Closed and opened again within one turn of the event loop: what the first session left
    // queued must neither fire slots nor close the second one.
    void nothingOfAnEarlierSessionReachesTheNextOne()
    {
        FakeSerialPortService port;
        port.setDebounce(std::chrono::microseconds(0));
        Seen seen(port);
        port.setPortOpen(true);
        port.changeCts(true);
        port.lose(5, QStringLiteral("Input/output error"));
        port.setPortOpen(false);
        port.setPortOpen(true);
        QTest::qWait(20);
        QVERIFY(seen.lines.isEmpty());
        QCOMPARE(seen.lost, 0);
        QVERIFY(port.portOpen());
        port.changeDsr(true); // the new session's own events still come
        QTRY_COMPARE(seen.lines.size(), 1);
    }

    // A line storm from another thread, faster than the window takes it: the queue stays
    // bounded, each line's changes arrive as a true run (alternating, ending at the last level
    // posted), and one port-log line says how many were merged. Below the bound nothing merges.
    void aStormIsMergedPerLineAndSaysSo()
    {
        FakeSerialPortService port;
        port.setDebounce(std::chrono::microseconds(0));
        Seen seen(port);
        port.setPortOpen(true);

        for (int i = 0; i < 100; ++i)
            port.changeCts(i % 2 == 0);
        QTRY_COMPARE(seen.lines.size(), 100);
        QVERIFY(seen.notices.isEmpty());
        seen.lines.clear();

        constexpr int Storm = 100000;
        std::thread watcher([&port] {
            for (int i = 0; i < Storm; ++i) {
                port.post({comm::Cts, i % 2 == 1, {}, Clock::now()});
                port.post({comm::Dsr, i % 2 == 0, {}, Clock::now()});
            }
        });
        watcher.join(); // the window took nothing meanwhile
        QTRY_VERIFY(!seen.notices.isEmpty());
        QVERIFY2(seen.lines.size() <= int(EventInbox::MaxItems) + 4, qPrintable(QString::number(seen.lines.size())));
        for (const qint16 code : {comm::Cts, comm::Dsr}) {
            const QList<bool> levels = seen.levels(code);
            QVERIFY(!levels.isEmpty());
            for (int i = 1; i < levels.size(); ++i)
                QVERIFY(levels[i] != levels[i - 1]);
        }
        QCOMPARE(seen.levels(comm::Cts).last(), true); // the last change posted: i = Storm - 1
        QCOMPARE(seen.levels(comm::Dsr).last(), false);
        QCOMPARE(seen.notices.size(), 1);
        QVERIFY2(seen.notices[0].contains(QLatin1String("line changes merged")), qPrintable(seen.notices[0]));
        const qsizetype merged =
            seen.notices[0].section(QLatin1String(": "), 1).section(QLatin1Char(' '), 0, 0).toLongLong();
        QCOMPARE(merged + qsizetype(EventInbox::MaxItems), qsizetype(2 * Storm));
    }

    // A merged change must not overtake an earlier queued change of another line: DSR's bounce
    // stays inside its hold-off although CTS's later change was merged ahead of it.
    void theFilterSeesMergedChangesInTimeOrder()
    {
        FakeSerialPortService port;
        port.setDebounce(std::chrono::milliseconds(10));
        Seen seen(port);
        port.setPortOpen(true);
        const Clock::time_point t0 = Clock::now();
        const auto at = [t0](int us) { return t0 + std::chrono::microseconds(us); };
        port.post({comm::Dsr, true, {}, at(0)});
        port.post({comm::Cts, true, {}, at(10)});
        port.post({comm::Dsr, false, {}, at(1000)}); // the bounce
        port.post({comm::Dsr, true, {}, at(1500)});
        for (int i = 0; i < int(EventInbox::MaxItems); ++i) // fills the queue, then merges
            port.post({comm::Cd, i % 2 == 0, {}, at(2000 + i)});
        port.post({comm::Cts, false, {}, at(100000)}); // merged into CTS's queued change
        QTRY_COMPARE(seen.levels(comm::Cts), QList<bool>({true, false}));
        QCOMPARE(seen.levels(comm::Dsr), QList<bool>({true}));
    }

    // Bursts that each leave the queue empty still give one pressure line a second at most.
    void pressureIsToldOnceASecond()
    {
        FakeSerialPortService port;
        port.setDebounce(std::chrono::microseconds(0));
        Seen seen(port);
        port.setPortOpen(true);
        QElapsedTimer clock;
        clock.start();
        for (int burst = 0; burst < 10; ++burst) {
            for (int i = 0; i < 600; ++i)
                port.post({comm::Cts, i % 2 == 0, {}, Clock::now()});
            port.post({comm::Ring, true, {}, Clock::now()});         // gets in: RING has nothing queued
            QTRY_COMPARE(seen.levels(comm::Ring).size(), burst + 1); // the burst has been taken
        }
        const qint64 seconds = clock.elapsed() / 1000;
        QTRY_VERIFY(seen.notices.size() >= 2); // the rest, at the end of the second
        QVERIFY2(seen.notices.size() <= seconds + 2, qPrintable(seen.notices.join('\n')));
    }

    // A flood of received bytes: each event carries a bounded share, what is queued stays
    // bounded, and the port log says how many bytes were dropped.
    void receivedDataIsBoundedAndDropsAreReported()
    {
        FakeSerialPortService port;
        Seen seen(port);
        port.setPortOpen(true);
        port.raise(comm::Receive, QByteArray(4 * 1024 * 1024, 'x'));
        QTRY_VERIFY(!seen.notices.isEmpty());
        qsizetype total = 0;
        for (const QByteArray &bytes : std::as_const(seen.received)) {
            QVERIFY(bytes.size() <= EventInbox::MaxEventBytes);
            total += bytes.size();
        }
        QCOMPARE(total, EventInbox::MaxQueuedBytes);
        QCOMPARE(seen.notices[0],
                 QStringLiteral("***Port events came faster than they could be handled: %1 received "
                                "bytes dropped")
                     .arg(4 * 1024 * 1024 - EventInbox::MaxQueuedBytes));
    }
};

QTEST_GUILESS_MAIN(TestSerialPortService)
#include "tst_serialportservice.moc"
