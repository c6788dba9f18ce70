// The line watcher stopped while its sentry wakes the watcher thread, under ThreadSanitizer:
// the sentry must not touch what stop() changes when it joins the threads. Exit 0 when clean;
// a race report makes ThreadSanitizer end the run with a failing status.
#include "serial/tty/linewatcher.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/ioctl.h>

using vantor::serial::LineDriver;
using vantor::serial::LineWatcher;
using namespace std::chrono_literals;

namespace {

// Holds the watcher in its wait, signals or not, and the sentry in its next reading, until
// the test lets them go. Counts move without waking the wait: only the sentry notices.
class HoldingDriver : public LineDriver
{
public:
    std::atomic<bool> holdWatcher{false};
    std::atomic<bool> holdSentry{false};
    std::atomic<bool> sentryHeld{false};

    void pulse()
    {
        std::lock_guard lock(m_mutex);
        m_counts.cts += 2;
    }

    int waitForChange(int) override
    {
        m_watcher = std::this_thread::get_id();
        do
            ::poll(nullptr, 0, 1000); // until a signal, or a second for a lost one
        while (holdWatcher);
        errno = EINTR;
        return -1;
    }
    int counters(serial_icounter_struct &counts) override
    {
        if (std::this_thread::get_id() != m_watcher.load()) {
            while (holdSentry) {
                sentryHeld = true;
                std::this_thread::sleep_for(1ms);
            }
        }
        std::lock_guard lock(m_mutex);
        counts = m_counts;
        return 0;
    }
    int lines(int &bits) override
    {
        bits = TIOCM_DSR;
        return 0;
    }

private:
    std::atomic<std::thread::id> m_watcher{};
    std::mutex m_mutex;
    serial_icounter_struct m_counts{};
};

} // namespace

int main()
{
    for (int round = 0; round < 3; ++round) {
        HoldingDriver driver;
        LineWatcher watcher(driver, [](const LineWatcher::Change &) {});
        if (watcher.start() != LineWatcher::Method::Interrupt) {
            std::puts("the scripted driver was not watched by interrupt");
            return 1;
        }
        driver.holdWatcher = true;
        driver.holdSentry = true;
        driver.pulse();
        watcher.lookSoon();
        while (!driver.sentryHeld)
            std::this_thread::sleep_for(1ms);
        std::thread stopper([&] { watcher.stop(); });
        std::this_thread::sleep_for(20ms); // stop() is kicking the held watcher
        driver.holdSentry = false;         // the sentry finds the watcher behind and wakes it
        std::this_thread::sleep_for(20ms);
        driver.holdWatcher = false;
        stopper.join();
    }
    std::puts("stopped cleanly");
    return 0;
}
