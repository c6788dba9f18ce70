// The line watcher on a driver the test plays: waits that fail, wake for nothing, or find the
// lines gone; what the watcher does then, and what it costs while idle.
#include "serial/tty/linewatcher.h"

#include <QtTest>

#include <atomic>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

using vantor::serial::LineDriver;
using vantor::serial::LineWatcher;
using namespace std::chrono_literals;

namespace {

// A driver with one CTS line and its counter. Its wait sleeps until raise() says a change
// came (or a signal interrupts it), unless the test makes it fail or return at once.
class ScriptedDriver : public LineDriver
{
public:
    ScriptedDriver() { QVERIFY(pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) == 0); }
    ~ScriptedDriver() override
    {
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }

    std::atomic<int> waitError{0}; // the waits fail with it
    std::atomic<bool> wakeAtOnce{false};
    std::atomic<int> readError{0}; // the readings fail with it
    std::atomic<int> readings{0};  // counters and lines read

    // CTS changes; `wake`: as the driver's interrupt would, else the wait does not notice.
    void toggleCts(bool wake)
    {
        {
            std::lock_guard lock(m_mutex);
            m_lines ^= TIOCM_CTS;
            ++m_counts.cts;
        }
        if (wake)
            raise();
    }
    // Wakes the wait, to fail or find what was scripted.
    void raise()
    {
        const char byte = 1;
        QVERIFY(::write(m_wake[1], &byte, 1) == 1);
    }

    int waitForChange(int) override
    {
        if (wakeAtOnce)
            return 0;
        pollfd p{m_wake[0], POLLIN, 0};
        if (::poll(&p, 1, -1) < 0)
            return -1; // EINTR: the watcher's own signal
        char bytes[16];
        while (::read(m_wake[0], bytes, sizeof bytes) > 0) {
        }
        return fail(waitError);
    }
    int counters(serial_icounter_struct &counts) override
    {
        ++readings;
        std::lock_guard lock(m_mutex);
        counts = m_counts;
        return fail(readError);
    }
    int lines(int &bits) override
    {
        ++readings;
        std::lock_guard lock(m_mutex);
        bits = m_lines;
        return fail(readError);
    }

private:
    static int fail(int error)
    {
        errno = error;
        return error != 0 ? -1 : 0;
    }

    int m_wake[2] = {-1, -1};
    std::mutex m_mutex;
    int m_lines = TIOCM_DSR;
    serial_icounter_struct m_counts{};
};

// What the watcher told, from its thread.
struct Told
{
    std::mutex mutex;
    std::vector<bool> cts;
    std::vector<std::pair<LineWatcher::Setback, int>> setbacks;

    LineWatcher::Sink sink()
    {
        return [this](const LineWatcher::Change &c) {
            std::lock_guard lock(mutex);
            if (c.what == LineWatcher::Signal::Cts)
                cts.push_back(c.level);
        };
    }
    LineWatcher::SetbackSink setbackSink()
    {
        return [this](LineWatcher::Setback s, int error) {
            std::lock_guard lock(mutex);
            setbacks.emplace_back(s, error);
        };
    }
    std::size_t ctsCount()
    {
        std::lock_guard lock(mutex);
        return cts.size();
    }
    std::vector<std::pair<LineWatcher::Setback, int>> setbacksSoFar()
    {
        std::lock_guard lock(mutex);
        return setbacks;
    }
};

using Setbacks = std::vector<std::pair<LineWatcher::Setback, int>>;

} // namespace

class TestLineWatcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A wait that fails says so and the lines are polled; when they cannot be read either,
    // watching ends and says so. Nothing ends in silence.
    void failingDriverIsToldAndPolled()
    {
        ScriptedDriver driver;
        Told told;
        LineWatcher watcher(driver, told.sink(), 5ms);
        watcher.setSetbackSink(told.setbackSink());
        QCOMPARE(watcher.start(), LineWatcher::Method::Interrupt);
        driver.toggleCts(true);
        QTRY_COMPARE(told.ctsCount(), std::size_t(1));

        driver.waitError = EIO;
        driver.raise();
        QTRY_COMPARE(told.setbacksSoFar(), (Setbacks{{LineWatcher::Setback::FellBackToPolling, EIO}}));
        QCOMPARE(watcher.method(), LineWatcher::Method::Polling);
        driver.toggleCts(false); // no wait notices: the polling does
        QTRY_COMPARE(told.ctsCount(), std::size_t(2));

        driver.readError = EIO;
        QTRY_COMPARE(told.setbacksSoFar(),
                     (Setbacks{{LineWatcher::Setback::FellBackToPolling, EIO}, {LineWatcher::Setback::Ended, EIO}}));
        QCOMPARE(watcher.error(), EIO);
        watcher.stop();
    }

    // After falling back to polling, idle costs the polling and nothing more: no second
    // thread looking at the port every millisecond once a line changed and a byte came.
    void pollingIdleReadsOnlyAtThePollingRate()
    {
        ScriptedDriver driver;
        Told told;
        constexpr auto Interval = 20ms;
        LineWatcher watcher(driver, told.sink(), Interval);
        watcher.setSetbackSink(told.setbackSink());
        QCOMPARE(watcher.start(), LineWatcher::Method::Interrupt);
        driver.wakeAtOnce = true; // from now on its wait returns at once for nothing
        driver.raise();
        QTRY_COMPARE(watcher.method(), LineWatcher::Method::Polling);
        QCOMPARE(told.setbacksSoFar(), (Setbacks{{LineWatcher::Setback::FellBackToPolling, 0}}));
        driver.toggleCts(false);
        QTRY_COMPARE(told.ctsCount(), std::size_t(1));
        watcher.lookSoon(); // a byte arrived

        const int before = driver.readings;
        constexpr auto Idle = 400ms;
        QTest::qWait(int(Idle.count()));
        // One reading is three driver calls; a late poll is not made up for.
        const int limit = 3 * int(Idle / Interval + 3);
        QVERIFY2(driver.readings - before <= limit,
                 qPrintable(QStringLiteral("%1 driver calls in %2 ms idle, at most %3 expected")
                                .arg(driver.readings - before)
                                .arg(Idle.count())
                                .arg(limit)));
        watcher.stop();
    }
};

QTEST_GUILESS_MAIN(TestLineWatcher)
#include "tst_linewatcher.moc"
