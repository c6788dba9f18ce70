// The modem-line watcher against the real 8250 driver, inside uart-vm:
//   uart-vm run --timeout 120 linewatcher_vm [/dev/ttyS1]
// Exit 0 when every check passes, 1 otherwise, 77 when not started inside the virtual machine.

#include "guest.h"
#include "loopbackport.h"
#include "recorder.h"
#include "threadpermissions.h"

#include "app/realtime/realtimemode.h"
#include "serial/tty/linewatcher.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using vantor::app::RealtimeMode;
using vantor::serial::LineWatcher;
using Signal = LineWatcher::Signal;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

class Checks
{
public:
    void check(bool ok, const char *format, ...)
    {
        va_list args;
        va_start(args, format);
        std::printf("%s ", ok ? "ok  " : "FAIL");
        std::vprintf(format, args);
        std::printf("\n");
        va_end(args);
        m_failures += !ok;
    }
    int failures() const { return m_failures; }

private:
    int m_failures = 0;
};

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

void toggle(const LoopbackPort &port, int bits, bool on)
{
    on ? port.raise(bits) : port.drop(bits);
}

void everyToggleIsSeenWithItsLevel(const LoopbackPort &port, Checks &c)
{
    Recorder rec;
    LineWatcher watcher(port.fd(), rec.sink());
    c.check(watcher.start() == LineWatcher::Method::Interrupt, "the 8250 driver is watched by interrupt");
    constexpr std::size_t Toggles = 200;
    for (std::size_t i = 0; i < Toggles; ++i) {
        toggle(port, TIOCM_RTS, i % 2 == 0);
        sleepFor(std::chrono::microseconds(300 + 200 * (i % 5)));
        toggle(port, TIOCM_DTR, i % 2 == 0);
        sleepFor(std::chrono::microseconds(300 + 150 * (i % 7)));
    }
    rec.waitFor(Signal::Cts, Toggles, 3s);
    rec.waitFor(Signal::Dsr, Toggles, 3s);
    sleepFor(200ms); // anything late or doubled would arrive now
    const auto cts = rec.levels(Signal::Cts);
    const auto dsr = rec.levels(Signal::Dsr);
    c.check(cts.size() == Toggles && alternates(cts, true),
            "%zu RTS toggles seen as %zu CTS changes, ON/OFF alternating", Toggles, cts.size());
    c.check(dsr.size() == Toggles && alternates(dsr, true),
            "%zu DTR toggles seen as %zu DSR changes, ON/OFF alternating", Toggles, dsr.size());
    port.raise(TIOCM_RTS);
    c.check(watcher.level(Signal::Cts) && !watcher.level(Signal::Dsr), "present levels read back");
    port.drop(TIOCM_RTS);
}

void pulsesShorterThanTheHandlingAreAllCounted(const LoopbackPort &port, Checks &c)
{
    Recorder rec(2ms); // a slow handler: every change takes 2 ms
    LineWatcher watcher(port.fd(), rec.sink());
    watcher.start();
    constexpr std::size_t Pulses = 100;
    for (std::size_t i = 0; i < Pulses; ++i) {
        port.raise(TIOCM_RTS);
        sleepFor(100us);
        port.drop(TIOCM_RTS);
        sleepFor(std::chrono::microseconds(300 + 100 * (i % 4)));
    }
    rec.waitFor(Signal::Cts, 2 * Pulses, 10s);
    sleepFor(200ms);
    const auto cts = rec.levels(Signal::Cts);
    c.check(cts.size() == 2 * Pulses && alternates(cts, true),
            "%zu pulses of 100 us with 2 ms handling: %zu CTS changes (want %zu), ON/OFF alternating", Pulses,
            cts.size(), 2 * Pulses);
}

void stopInterruptsABlockedWatcher(const LoopbackPort &port, Checks &c)
{
    double worst = 0;
    long idleRuns = 0;
    for (int round = 0; round < 5; ++round) {
        Recorder rec;
        LineWatcher watcher(port.fd(), rec.sink());
        watcher.start();
        sleepFor(200ms); // the looks that follow the start are over
        const long before = otherThreadsSwitches();
        sleepFor(300ms); // blocked in the driver, nothing happening
        idleRuns = std::max(idleRuns, otherThreadsSwitches() - before);
        const auto t0 = Clock::now();
        watcher.stop();
        worst = std::max(worst, ms(Clock::now() - t0));
    }
    c.check(worst < 20, "stop() of a watcher blocked in the driver: worst of 5 %.2f ms (limit 20 ms)", worst);
    c.check(idleRuns == 0, "idle, the watcher's threads ran %ld times in 300 ms (want none)", idleRuns);
}

void newSettingsDoNotSilenceTheWatcher(const LoopbackPort &port, Checks &c)
{
    Recorder rec;
    LineWatcher watcher(port.fd(), rec.sink());
    watcher.start();
    bool on = false;
    double worst = 0;
    constexpr int Rounds = 6;
    for (int round = 0; round < Rounds; ++round) {
        bool applied = false;
        watcher.whilePaused([&] { applied = port.setSpeed(round % 2 ? B9600 : B19200); });
        c.check(applied, "round %d: speed changed while paused", round);
        // Long enough for the watcher's own rechecks to have ended: only the driver can wake it.
        sleepFor(250ms);
        on = !on;
        const auto t0 = Clock::now();
        toggle(port, TIOCM_RTS, on);
        const bool seen = rec.waitFor(Signal::Cts, std::size_t(round + 1), 2s);
        worst = std::max(worst, ms(Clock::now() - t0));
        c.check(seen, "round %d: CTS change after new settings seen", round);
    }
    c.check(worst < 20, "changes after new settings seen within %.2f ms at worst", worst);

    // A change made while the settings are applied is reported once the watcher resumes.
    for (int round = 0; round < 4; ++round) {
        on = !on;
        watcher.whilePaused([&] {
            port.setSpeed(round % 2 ? B9600 : B19200);
            toggle(port, TIOCM_RTS, on);
        });
        rec.waitFor(Signal::Cts, std::size_t(Rounds + round + 1), 1s);
    }
    sleepFor(200ms);
    const auto cts = rec.levels(Signal::Cts);
    c.check(cts.size() == Rounds + 4 && alternates(cts, true),
            "changes made while paused reported afterwards: %zu CTS changes (want %d), alternating", cts.size(),
            Rounds + 4);
    port.drop(TIOCM_RTS);
}

void aChangeTheDriverDoesNotSignalIsStillFound(const LoopbackPort &port, Checks &c)
{
    Recorder rec;
    LineWatcher watcher(port.fd(), rec.sink());
    watcher.start();
    port.raise(TIOCM_RTS);
    rec.waitFor(Signal::Cts, 1, 1s);
    sleepFor(5ms); // back in its wait
    // New settings behind the watcher's back switch the driver's modem-status interrupt off
    // under its running wait: the next change wakes nobody and is counted nowhere.
    port.setSpeed(B19200);
    sleepFor(4ms); // the change falls between two of the sentry's looks (7 and 15 ms)
    const auto t0 = Clock::now();
    port.drop(TIOCM_RTS);
    const bool seen = rec.waitFor(Signal::Cts, 2, 1s);
    const double after = ms(Clock::now() - t0);
    const auto cts = rec.levels(Signal::Cts);
    c.check(seen && cts == std::vector<bool>{true, false},
            "a change the driver does not signal is found by the sentry after %.1f ms", after);
    c.check(after < 150, "... within the looks that follow activity (limit 150 ms)");
    port.raise(TIOCM_RTS); // and the wait works again afterwards
    c.check(rec.waitFor(Signal::Cts, 3, 1s), "the next change is seen again");
    port.drop(TIOCM_RTS);
    port.setSpeed(B9600);
}

void aBreakIsReportedOnceLookedFor(const LoopbackPort &port, Checks &c)
{
    Recorder rec;
    LineWatcher watcher(port.fd(), rec.sink());
    watcher.start();
    sleepFor(200ms); // idle: nobody looks at the counters now
    ::ioctl(port.fd(), TIOCSBRK);
    sleepFor(5ms);
    ::ioctl(port.fd(), TIOCCBRK);
    sleepFor(5ms); // the break has been received (and counted) by now
    const auto t0 = Clock::now();
    watcher.lookSoon();
    const bool seen = rec.waitFor(Signal::Break, 1, 1s);
    const double after = ms(Clock::now() - t0);
    sleepFor(50ms);
    c.check(seen && rec.levels(Signal::Break).size() == 1,
            "a break received in loopback is reported once, %.1f ms after lookSoon()", after);
    c.check(after < 20, "... within 20 ms");
    tcflush(port.fd(), TCIFLUSH);
}

// The real-time mode granted by the resource limits alone, as for a desktop login (no
// capabilities): the watcher's two threads run SCHED_FIFO at the limit, and every change is seen.
void realTimeThroughTheLimitsAlone(const LoopbackPort &port, Checks &c)
{
    using namespace threadpermissions;
    ScopedLimit rtprio(RLIMIT_RTPRIO, 5);
    ScopedLimit memlock(RLIMIT_MEMLOCK, RLIM_INFINITY);
    std::mutex mutex;
    std::vector<std::pair<pid_t, Scheduling>> raised; // by the watcher's threads
    std::thread([&] {
        const bool restricted = rtprio.ok() && memlock.ok() && dropCapabilities({CAP_SYS_NICE, CAP_IPC_LOCK});
        RealtimeMode mode = RealtimeMode::enter();
        c.check(restricted && mode.priority() == 5 && mode.memoryLocked(), "without capabilities: %s",
                mode.summary().c_str());
        Recorder rec;
        LineWatcher watcher(port.fd(), rec.sink());
        watcher.setThreadStart([&, start = mode.threadStart()] {
            if (start)
                start();
            std::lock_guard lock(mutex);
            raised.emplace_back(gettid(), Scheduling::ofCallingThread());
        });
        watcher.start();
        constexpr std::size_t Toggles = 40;
        for (std::size_t i = 0; i < Toggles; ++i) {
            toggle(port, TIOCM_RTS, i % 2 == 0);
            sleepFor(std::chrono::microseconds(300 + 200 * (i % 5)));
        }
        rec.waitFor(Signal::Cts, Toggles, 3s);
        sleepFor(50ms);
        const auto cts = rec.levels(Signal::Cts);
        c.check(cts.size() == Toggles && alternates(cts, true), "under SCHED_FIFO: %zu toggles seen as %zu changes",
                Toggles, cts.size());
        watcher.stop();
        mode.leave();
    }).join();
    std::lock_guard lock(mutex);
    bool fifo = raised.size() == 2 && raised[0].first != raised[1].first;
    for (const auto &[tid, s] : raised)
        fifo = fifo && s.policy == (SCHED_FIFO | SCHED_RESET_ON_FORK) && s.priority == 5;
    c.check(fifo, "the watcher and the sentry both ran the start function and run SCHED_FIFO 5 (%zu threads)",
            raised.size());
}

int threads()
{
    int n = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (const dirent *entry = readdir(dir))
            n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

void aPseudoTerminalIsNotWatched(Checks &c)
{
    mkdir("/dev/pts", 0755);
    mount("devpts", "/dev/pts", "devpts", 0, "ptmxmode=0666");
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) {
        c.check(false, "a pseudo-terminal opens (%s)", std::strerror(errno));
        return;
    }
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    Recorder rec;
    LineWatcher watcher(slave, rec.sink());
    for (int i = 0; i < 200 && threads() > 1; ++i)
        sleepFor(1ms); // the threads of earlier watchers may still be leaving the task list
    const int before = threads();
    const auto method = watcher.start();
    c.check(method == LineWatcher::Method::Unsupported && threads() == before,
            "a pseudo-terminal: no modem lines, no thread (%d threads before, %d after)", before, threads());
    watcher.stop();
    close(slave);
    close(master);
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!insideTheVirtualMachine()) {
        std::printf("skipped: runs only inside uart-vm (never on this machine's own ports)\n");
        return 77;
    }
    const char *path = argc > 1 ? argv[1] : "/dev/ttyS1";
    LoopbackPort port(path);
    if (!port.ok()) {
        std::printf("FAIL %s\n", port.error().c_str());
        return 1;
    }
    Checks checks;
    everyToggleIsSeenWithItsLevel(port, checks);
    pulsesShorterThanTheHandlingAreAllCounted(port, checks);
    stopInterruptsABlockedWatcher(port, checks);
    newSettingsDoNotSilenceTheWatcher(port, checks);
    aChangeTheDriverDoesNotSignalIsStillFound(port, checks);
    aBreakIsReportedOnceLookedFor(port, checks);
    realTimeThroughTheLimitsAlone(port, checks);
    aPseudoTerminalIsNotWatched(checks);
    std::printf("%s: %d check(s) failed\n", checks.failures() ? "FAILED" : "PASSED", checks.failures());
    return checks.failures() ? 1 : 0;
}
