// The COM port's logic against a fake of the Win32 calls it makes: runs on Linux and, as a
// Windows program, under Wine.
#include "serial/comport/combackend.h"

#include "errortrap/runtimeerror.h"
#include "recordingsink.h"

#include <QtTest>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>

using namespace vantor;
using namespace vantor::serial;
using namespace std::chrono_literals;

namespace {

// The driver as the tests play it, under one lock: each wait and each read ends with what a test
// queued, or with ERROR_OPERATION_ABORTED once the stop is raised, as the real ones do.
class FakeCalls : public CommCalls
{
public:
    struct Wake
    {
        std::uint32_t error = 0, events = 0;
        std::uint32_t status = 0; // the levels from then on
        std::uint32_t lineErrors = 0;
    };
    struct Read
    {
        std::uint32_t error = 0;
        QByteArray data;
    };
    struct Stop : CommStop
    {
        explicit Stop(FakeCalls &calls)
            : c(calls)
        {
        }
        void raise() override
        {
            c.set([this] { up = true; });
        }
        bool raised() const override
        {
            return c.waitUntil([this] { return up; }, 0ms);
        }
        bool waitFor(std::chrono::milliseconds limit) override
        {
            return c.waitUntil([this] { return up; }, limit);
        }
        FakeCalls &c;
        bool up = false;
    };

    // What the tests set and look at, under m.
    mutable std::mutex m;
    mutable std::condition_variable changed;
    std::uint32_t openError = 0, statusError = 0, status = 0, lineErrors = 0, mask = 0, dtrError = 0;
    QList<bool> dtrLevels; // each SETDTR (true) or CLRDTR (false)
    std::deque<Wake> wakes;
    std::deque<Read> reads;
    QString opened;
    LineSettings settings;
    Timeouts timeouts;
    QByteArray written;
    bool closed = false;
    int waiting = 0;         // threads inside waitEvent or read
    bool holdStatus = false; // modemStatus waits for the stop
    bool inStatus = false;
    Stop *stop = nullptr;

    void queue(Wake wake)
    {
        set([&] { wakes.push_back(wake); });
    }
    void queue(Read read)
    {
        set([&] { reads.push_back(read); });
    }
    template <class F>
    auto get(F f) const
    {
        std::lock_guard lock(m);
        return f();
    }
    template <class F>
    void set(F f)
    {
        std::lock_guard lock(m);
        f();
        changed.notify_all();
    }
    template <class P>
    bool waitUntil(P p, std::chrono::milliseconds limit = 30s) const
    {
        std::unique_lock lock(m);
        return changed.wait_for(lock, limit, p);
    }

    std::uint32_t open(const QString &device, Handle &handle) override
    {
        handle = 7;
        return get([&] { return opened = device, openError; });
    }
    void close(Handle) override
    {
        set([this] { closed = true; });
    }
    std::uint32_t setState(Handle, const LineSettings &s) override
    {
        return set([&] { settings = s; }), 0;
    }
    std::uint32_t setTimeouts(Handle, const Timeouts &t) override
    {
        return set([&] { timeouts = t; }), 0;
    }
    std::uint32_t setMask(Handle, std::uint32_t events) override
    {
        return set([&] { mask = events; }), 0;
    }
    std::uint32_t modemStatus(Handle, std::uint32_t &levels) override
    {
        std::unique_lock lock(m);
        inStatus = true;
        changed.notify_all();
        changed.wait(lock, [this] { return !holdStatus || stop->up; });
        levels = status;
        return statusError;
    }
    std::uint32_t clearErrors(Handle, std::uint32_t &errors) override
    {
        return get([&] { return errors = std::exchange(lineErrors, 0), 0u; });
    }
    std::uint32_t setDtr(Handle, bool asserted) override
    {
        std::lock_guard lock(m);
        dtrLevels.append(asserted);
        return dtrError;
    }
    std::uint32_t waitEvent(Handle, std::uint32_t &events, CommStop &) override
    {
        std::unique_lock lock(m);
        const std::optional<Wake> wake = next(wakes, lock);
        if (!wake)
            return win32::ErrorOperationAborted;
        status = wake->status;
        lineErrors |= wake->lineErrors;
        events = wake->events;
        return wake->error;
    }
    std::uint32_t read(Handle, QByteArray &data, std::uint32_t, CommStop &) override
    {
        std::unique_lock lock(m);
        const std::optional<Read> read = next(reads, lock);
        if (!read)
            return win32::ErrorOperationAborted;
        data = read->data;
        return read->error;
    }
    std::uint32_t write(Handle, const QByteArray &data) override
    {
        return set([&] { written += data; }), 0;
    }
    std::unique_ptr<CommStop> makeStop() override
    {
        auto made = std::make_unique<Stop>(*this);
        stop = made.get();
        return made;
    }
    QString describe(std::uint32_t error) const override { return QStringLiteral("error text %1").arg(error); }

private:
    template <class T>
    std::optional<T> next(std::deque<T> &items, std::unique_lock<std::mutex> &lock)
    {
        ++waiting;
        changed.notify_all();
        changed.wait(lock, [&] { return !items.empty() || stop->up; });
        --waiting;
        changed.notify_all();
        if (stop->up)
            return std::nullopt;
        T item = items.front();
        items.pop_front();
        return item;
    }
};

const SettingsString Default = *SettingsString::parse("9600,N,8,1");

struct Bench
{
    FakeCalls *calls = new FakeCalls;
    ComBackend port{std::unique_ptr<CommCalls>(calls)};
    RecordingSink sink;

    void open(const SettingsString &settings = Default) { port.open(QStringLiteral("COM3"), settings, sink); }
    // Both threads are inside their waits.
    bool settled()
    {
        return calls->waitUntil([this] { return calls->waiting == 2; });
    }
};

constexpr std::uint32_t Cts = win32::MsCtsOn;
constexpr std::uint32_t Dsr = win32::MsDsrOn;
constexpr std::uint32_t Cd = win32::MsRlsdOn;

} // namespace

class TestComBackend : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void opensExclusivelyWithTheSettingsAndRtsAsserted()
    {
        Bench b;
        b.open(*SettingsString::parse("19200,E,7,2"));
        QVERIFY(b.settled());
        QCOMPARE(b.calls->opened, QStringLiteral("\\\\.\\COM3"));
        const CommCalls::LineSettings want{19200, 7, 2, 2, true, true};
        QVERIFY(b.calls->settings == want);
        QCOMPARE(b.calls->timeouts.readInterval, 1u);
        QCOMPARE(b.calls->mask, ComLineWatcher::Mask);
        QVERIFY(b.port.watching());
        b.port.write("AT+GMM\r");
        QCOMPARE(b.calls->written, QByteArray("AT+GMM\r"));
        b.calls->queue(FakeCalls::Read{0, "+GMM: X\r\n"});
        QTRY_COMPARE(b.sink.received(), QByteArray("+GMM: X\r\n"));
        b.port.close();
        QVERIFY(b.calls->closed);
        QVERIFY(b.sink.lostReports().isEmpty());
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<quint32>("openError");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("description");
        QTest::newRow("another program holds it")
            << "9600,N,8,1" << quint32(win32::ErrorAccessDenied) << 8005 << "Port in use by another program: COM3";
        QTest::newRow("no such port") << "9600,N,8,1" << quint32(win32::ErrorFileNotFound) << 2 << "error text 2: COM3";
        QTest::newRow("1.5 stop bits with 8 data bits")
            << "9600,N,8,1.5" << 0u << 380 << "Invalid property value: 1.5 stop bits with 8 data bits on COM3";
        QTest::newRow("4 data bits") << "9600,N,4,1" << 0u << 380 << "Invalid property value: 4 data bits on COM3";
    }
    void refusals()
    {
        QFETCH(QString, settings);
        QFETCH(quint32, openError);
        QFETCH(int, number);
        QFETCH(QString, description);
        Bench b;
        b.calls->openError = openError;
        try {
            b.open(*SettingsString::parse(settings));
            QFAIL("opened");
        } catch (const RuntimeError &e) {
            QCOMPARE(e.number(), number);
            QCOMPARE(QString::fromStdString(e.description()), description);
        }
        QVERIFY(!b.port.isOpen());
    }

    // Each wake-up: the events the driver gave and the levels read after them.
    void lineChangesInOrder_data()
    {
        using W = FakeCalls::Wake;
        QTest::addColumn<QList<W>>("wakes");
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<bool>("pulseSaid");
        QTest::newRow("CTS on, then off")
            << QList<W>{{0, win32::EvCts, Cts}, {0, win32::EvCts, 0}} << QStringList{"3:on", "3:off"} << false;
        QTest::newRow("pulses too short to see: both edges, in order")
            << QList<W>{{0, win32::EvCts, 0}, {0, win32::EvDsr, Dsr}, {0, win32::EvDsr, Dsr}}
            << QStringList{"3:on", "3:off", "4:on", "4:off", "4:on"} << true;
        QTest::newRow("two lines in one event: CTS first")
            << QList<W>{{0, win32::EvDsr | win32::EvCts, Cts | Dsr}} << QStringList{"3:on", "4:on"} << false;
        QTest::newRow("a line that moved without its event")
            << QList<W>{{0, win32::EvDsr, Cts | Dsr | Cd}} << QStringList{"3:on", "4:on", "5:on"} << false;
        QTest::newRow("ring, break and line errors")
            << QList<W>{{0, win32::EvRing | win32::EvBreak | win32::EvErr, 0,
                         win32::CeFrame | win32::CeOverrun | win32::CeRxParity}}
            << QStringList{"6:off", "1001:off", "1004:off", "1006:off", "1009:off"} << false;
    }
    void lineChangesInOrder()
    {
        QFETCH(QList<FakeCalls::Wake>, wakes);
        QFETCH(QStringList, changes);
        QFETCH(bool, pulseSaid);
        Bench b;
        b.open();
        for (const auto &wake : std::as_const(wakes))
            b.calls->queue(wake);
        QTRY_COMPARE(b.sink.changes(), changes);
        QVERIFY(b.settled());
        const QStringList said = b.sink.notices().filter("before the change could be read");
        QCOMPARE(said.size(), pulseSaid ? 1 : 0);
        b.port.close();
        QCOMPARE(b.sink.changes(), changes);
    }

    // The stop lands while the watcher is between two waits (reading the levels): it does not
    // go back to sleep, and close() returns.
    void closeBetweenTwoWaitsEndsTheWatcher()
    {
        Bench b;
        b.open();
        QVERIFY(b.settled());
        b.calls->set([&] { b.calls->holdStatus = true, b.calls->inStatus = false; });
        b.calls->queue(FakeCalls::Wake{0, win32::EvCts, Cts});
        QVERIFY(b.calls->waitUntil([&] { return b.calls->inStatus; }));
        auto closing = std::async(std::launch::async, [&] { b.port.close(); });
        QCOMPARE(closing.wait_for(30s), std::future_status::ready);
        QVERIFY(b.calls->closed);
        QCOMPARE(b.calls->waiting, 0);
    }

    // However the adapter's going shows (the read fails, the wait fails and the levels cannot be
    // read), the session ends once with the Linux line.
    void pulledAdapterIsLostOnce_data()
    {
        QTest::addColumn<quint32>("error");
        QTest::addColumn<bool>("readFails");
        QTest::newRow("read: access denied") << quint32(win32::ErrorAccessDenied) << true;
        QTest::newRow("read: bad command") << quint32(win32::ErrorBadCommand) << true;
        QTest::newRow("read: aborted by the driver") << quint32(win32::ErrorOperationAborted) << true;
        QTest::newRow("wait and levels: bad command") << quint32(win32::ErrorBadCommand) << false;
        QTest::newRow("wait and levels: device not connected") << quint32(win32::ErrorDeviceNotConnected) << false;
    }
    void pulledAdapterIsLostOnce()
    {
        QFETCH(quint32, error);
        QFETCH(bool, readFails);
        Bench b;
        b.open();
        QVERIFY(b.settled());
        b.calls->set([&] { b.calls->statusError = error; });
        if (readFails)
            b.calls->queue(FakeCalls::Read{error, {}});
        b.calls->queue(FakeCalls::Wake{error});
        if (!readFails)
            b.calls->queue(FakeCalls::Read{error, {}});
        QTRY_COMPARE(b.sink.lostReports(), QStringList{"5 Input/output error, the device is gone: COM3"});
        QVERIFY(b.calls->waitUntil([&] { return b.calls->waiting == 0; })); // both threads ended
        QCOMPARE(b.sink.lostReports().size(), 1);
        QCOMPARE(b.sink.notices().filter(QStringLiteral("(system error %1)").arg(error)).size(), 1);
        b.port.close();
    }

    // A wait that fails while the levels can be read, or that keeps ending for nothing: the
    // levels are polled, and still reported.
    void brokenWaitFallsBackToPolling_data()
    {
        QTest::addColumn<bool>("fails");
        QTest::newRow("wait fails") << true;
        QTest::newRow("wait ends without events") << false;
    }
    void brokenWaitFallsBackToPolling()
    {
        QFETCH(bool, fails);
        Bench b;
        b.open();
        for (int i = 0; i < (fails ? 1 : ComLineWatcher::MaxEmptyWakes); ++i)
            b.calls->queue(FakeCalls::Wake{fails ? win32::ErrorNotSupported : 0u});
        QTRY_COMPARE(b.sink.notices().filter("polling them every 2 ms").size(), 1);
        b.calls->set([&] { b.calls->status = Dsr; });
        QTRY_COMPARE(b.sink.changes(), QStringList{"4:on"});
        b.port.close();
    }

    // DTR, the tally contact: a level set before the open goes into the device control block
    // (RTS stays asserted), one set while open is driven alone, and a driver without DTR says so.
    void dtrIsDrivenAloneAndKept()
    {
        Bench b;
        b.port.setDtr(false);
        b.open();
        QVERIFY(b.settled());
        QVERIFY(!b.calls->settings.dtr);
        QVERIFY(b.calls->settings.rts);
        QVERIFY(b.calls->dtrLevels.isEmpty());
        b.port.setDtr(true);
        QCOMPARE(b.calls->dtrLevels, QList<bool>{true});
        b.calls->set([&] { b.calls->dtrError = win32::ErrorNotSupported; });
        try {
            b.port.setDtr(false);
            QFAIL("set");
        } catch (const RuntimeError &e) {
            QCOMPARE(QString::fromStdString(e.description()), QStringLiteral("No DTR line to drive on: COM3"));
        }
        b.port.close();
        b.open();
        QVERIFY(!b.calls->settings.dtr);
        b.port.close();
    }

    // A port without modem lines (a pseudo-terminal under Wine): data only, said once.
    void noModemLinesOpensForDataOnly()
    {
        Bench b;
        b.calls->statusError = win32::ErrorNotSupported;
        b.open();
        QVERIFY(!b.port.watching());
        QCOMPARE(b.calls->mask, 0u);
        QCOMPARE(b.sink.notices(),
                 QStringList{"Warning: COM3 has no modem lines that can be watched; contacts will "
                             "not fire (the port is open for data only)"});
        QVERIFY(!b.port.cts());
        b.calls->queue(FakeCalls::Read{0, "data"});
        QTRY_COMPARE(b.sink.received(), QByteArray("data"));
        b.port.close();
    }
};

QTEST_GUILESS_MAIN(TestComBackend)
#include "tst_combackend.moc"
