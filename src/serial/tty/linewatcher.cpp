#include "linewatcher.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>

#include <linux/futex.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vantor::serial {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int WaitMask = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
constexpr int LineBits[] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RNG};
constexpr int Ri = 3;

// The sentry looks FirstLook after the watcher's last activity, then after twice as long
// each time, Looks times in all (the last about 127 ms after the activity).
constexpr auto FirstLook = 1ms;
constexpr int Looks = 7;
constexpr auto KickInterval = 100us;
// Wake-ups in a row that show no change before the wait is taken as broken (one is normal
// after a change made while nobody waited).
constexpr int MaxEmptyWakes = 100;

int wakeSignal()
{
    return SIGRTMIN + 1;
}

void onWake(int) {}

// Without SA_RESTART, so that a wait in the driver returns EINTR when the signal arrives.
void installWakeHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_handler = onWake;
        sigemptyset(&action.sa_mask);
        sigaction(wakeSignal(), &action, nullptr);
    });
}

// A driver call that does not wait, repeated when one of our signals happens to interrupt it.
template <typename Call>
int query(Call call)
{
    int result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

class TtyLineDriver : public LineDriver
{
public:
    explicit TtyLineDriver(int fd)
        : m_fd(fd)
    {
    }
    int waitForChange(int mask) override { return ::ioctl(m_fd, TIOCMIWAIT, mask); }
    int counters(serial_icounter_struct &counts) override { return ::ioctl(m_fd, TIOCGICOUNT, &counts); }
    int lines(int &bits) override { return ::ioctl(m_fd, TIOCMGET, &bits); }

private:
    const int m_fd;
};

// In the order of LineWatcher::Signal.
std::array<std::uint32_t, 9> countsOf(const serial_icounter_struct &c)
{
    auto u = [](int v) { return static_cast<std::uint32_t>(v); };
    return {u(c.cts), u(c.dsr), u(c.dcd), u(c.rng), u(c.brk), u(c.frame), u(c.parity), u(c.overrun), u(c.buf_overrun)};
}

std::uint32_t sum(const std::array<std::uint32_t, 9> &counts)
{
    std::uint32_t total = 0;
    for (auto c : counts)
        total += c;
    return total;
}

std::int64_t nanoseconds(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Sleeps while word holds value, at most until the given CLOCK_MONOTONIC time (null: no
// limit). A futex rather than a condition variable: waking the sentry takes no lock.
void waitWhile(std::atomic<std::uint32_t> &word, std::uint32_t value, const timespec *until)
{
    static_assert(sizeof(word) == sizeof(std::uint32_t));
    syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&word), FUTEX_WAIT_BITSET_PRIVATE, value, until, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

void wakeAll(std::atomic<std::uint32_t> &word)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

timespec toTimespec(std::chrono::nanoseconds d)
{
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
    return {static_cast<time_t>(s.count()), static_cast<long>((d - s).count())};
}

} // namespace

LineWatcher::LineWatcher(int fd, Sink sink, std::chrono::microseconds pollInterval)
    : m_ownDriver(std::make_unique<TtyLineDriver>(fd))
    , m_driver(*m_ownDriver)
    , m_sink(std::move(sink))
    , m_pollInterval(pollInterval)
{
}

LineWatcher::LineWatcher(LineDriver &driver, Sink sink, std::chrono::microseconds pollInterval)
    : m_driver(driver)
    , m_sink(std::move(sink))
    , m_pollInterval(pollInterval)
{
}

LineWatcher::~LineWatcher()
{
    stop();
}

LineWatcher::Method LineWatcher::start()
{
    std::lock_guard lock(m_control);
    if (m_thread.joinable())
        return m_method;
    int lines = 0;
    if (query([&] { return m_driver.lines(lines); }) < 0) {
        m_method = Method::Unsupported;
        return m_method;
    }
    serial_icounter_struct counters{};
    m_counters = query([&] { return m_driver.counters(counters); }) == 0;
    Snapshot base;
    if (!take(base)) {
        m_method = Method::Unsupported;
        return m_method;
    }
    installWakeHandler();
    m_stop = false;
    m_exited = false;
    m_decided = false;
    m_error = 0;
    m_thread = std::thread([this, base] { run(base); });
    m_watcherHandle = m_thread.native_handle(); // before the sentry starts: it reads it
    // The first wait either fails at once (the driver has no TIOCMIWAIT), returns, or sleeps
    // until the signal interrupts it; any of these settles the method.
    kickUntil([this] { return m_decided.load(); });
    if (m_method == Method::Interrupt)
        m_sentry = std::thread([this] { sentryLoop(); });
    return m_method;
}

void LineWatcher::stop()
{
    std::lock_guard lock(m_control);
    if (!m_thread.joinable())
        return;
    m_stop = true;
    // The sentry first: it may wake the watcher, whose handle must stay valid until it is gone.
    m_activity.fetch_add(1);
    wakeAll(m_activity);
    if (m_sentry.joinable())
        m_sentry.join();
    kickUntil([this] { return m_exited.load(); });
    m_thread.join();
}

void LineWatcher::whilePaused(const std::function<void()> &f)
{
    if (m_watcherId.load() == std::this_thread::get_id()) {
        f(); // called from the sink: the thread is not waiting in the driver now
        return;
    }
    std::lock_guard lock(m_control);
    if (!m_thread.joinable() || m_exited) {
        f();
        return;
    }
    {
        std::lock_guard pause(m_pauseMutex);
        m_pauseRequested = true;
    }
    kickUntil([this] { return m_paused.load() || m_exited.load(); });
    struct Resume
    {
        LineWatcher &w;
        ~Resume()
        {
            {
                std::lock_guard pause(w.m_pauseMutex);
                w.m_pauseRequested = false;
            }
            w.m_resume.notify_all();
        }
    } resume{*this};
    f();
}

void LineWatcher::lookSoon()
{
    m_activity.fetch_add(1); // the sentry starts its looks afresh
    wakeAll(m_activity);
}

bool LineWatcher::level(Signal s) const
{
    const int i = static_cast<int>(s);
    int lines = 0;
    if (i > Ri || query([&] { return m_driver.lines(lines); }) < 0)
        return false;
    return lines & LineBits[i];
}

// Reads counters and levels. On the 8250 driver reading the levels counts a change that is
// still pending, so the snapshot is only taken as consistent when no count moved around it.
bool LineWatcher::take(Snapshot &s) const
{
    serial_icounter_struct before{}, after{};
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (m_counters && query([&] { return m_driver.counters(before); }) < 0)
            return false;
        if (query([&] { return m_driver.lines(s.lines); }) < 0)
            return false;
        s.lines &= WaitMask; // the inputs only, not RTS or DTR
        if (!m_counters)
            return true;
        if (query([&] { return m_driver.counters(after); }) < 0)
            return false;
        if (countsOf(before) == countsOf(after))
            break;
    }
    s.count = countsOf(after);
    return true;
}

void LineWatcher::report(const Snapshot &before, const Snapshot &now, Clock::time_point when) const
{
    auto moved = [&](int i) {
        const auto d = static_cast<std::int32_t>(now.count[i] - before.count[i]);
        return d > 0 ? static_cast<std::uint32_t>(d) : 0u; // a counter going back: reopened
    };
    for (int i = 0; i < Ri; ++i) {
        const bool was = before.lines & LineBits[i];
        const bool is = now.lines & LineBits[i];
        // The edges of a line alternate and end at the present level. A count whose parity
        // disagrees with the levels means edges the hardware merged (both edges of a pulse
        // between two readings of its status register) or could not count: round it up.
        std::uint32_t n = moved(i);
        if ((n % 2 == 1) != (was != is))
            ++n;
        for (std::uint32_t k = 1; k <= n; ++k)
            m_sink({static_cast<Signal>(i), k % 2 == 1 ? !was : was, when});
    }
    // RI is counted on its trailing edge only: one change per count. Without counters, a fall.
    const bool ringEnded = (before.lines & TIOCM_RNG) && !(now.lines & TIOCM_RNG);
    const std::uint32_t rings = m_counters ? moved(Ri) : (ringEnded ? 1u : 0u);
    for (std::uint32_t k = 0; k < rings; ++k)
        m_sink({Signal::Ri, false, when});
    for (int i = Ri + 1; i < Signals; ++i)
        for (std::uint32_t k = moved(i); k > 0; --k)
            m_sink({static_cast<Signal>(i), false, when});
}

// Reports what moved since base until a reading shows nothing new (the sink may take long
// enough for further changes to happen). When a change woke the thread, the changes of the
// first reading carry the time of that wake-up; otherwise (a signal, the timer, polling) and
// for later readings they carry the time of the reading that found them, as they may have
// happened just before it. False when the device cannot be read any more.
bool LineWatcher::catchUp(Snapshot &base, std::optional<Clock::time_point> wake, bool &changed)
{
    changed = false;
    while (!m_stop) {
        Snapshot now;
        if (!take(now)) {
            end(errno);
            return false;
        }
        if (now == base)
            break;
        report(base, now, wake ? *wake : Clock::now());
        wake.reset();
        base = now;
        changed = true;
    }
    return true;
}

void LineWatcher::run(Snapshot base)
{
    if (m_threadStart)
        m_threadStart();
    m_watcherId = std::this_thread::get_id();
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, wakeSignal());
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    interruptLoop(base);
    if (m_method == Method::Polling && m_error == 0)
        pollingLoop(base);
    m_decided = true;
    m_watcherId = std::thread::id();
    m_exited = true;
    announce();
    lookSoon(); // the sentry sees that the watcher is gone, and ends
}

// The driver's wait cannot be relied on any more: the lines are polled from now on, and the
// sentry, which serves the wait, ends.
void LineWatcher::fallBackToPolling(int error)
{
    m_method = Method::Polling;
    lookSoon();
    if (m_setbackSink)
        m_setbackSink(Setback::FellBackToPolling, error);
}

// The lines cannot be read: watching ends, and says so.
void LineWatcher::end(int error)
{
    m_error = error;
    if (m_setbackSink)
        m_setbackSink(Setback::Ended, error);
}

void LineWatcher::interruptLoop(Snapshot &base)
{
    publish(base, true); // the sentry looks once soon after the start, too
    int emptyWakes = 0;
    while (serveRequests()) {
        const int result = m_driver.waitForChange(WaitMask);
        const int error = result < 0 ? errno : 0;
        const auto wake = Clock::now();
        m_settled = false;
        if (!m_decided) {
            if (error != 0 && error != EINTR) {
                // The lines were read a moment ago: poll them, whatever the wait's error.
                m_method = Method::Polling;
                m_decided = true;
                announce();
                return;
            }
            m_method = Method::Interrupt;
            m_decided = true;
            announce();
        } else if (error != 0 && error != EINTR) {
            fallBackToPolling(error);
            return;
        }
        // Whatever woke us (a change, the sentry, a request), the counters tell.
        bool changed = false;
        if (!catchUp(base, result == 0 ? std::optional(wake) : std::nullopt, changed))
            return;
        publish(base, changed);
        // A driver whose wait returns at once without any change would keep this thread busy.
        emptyWakes = result == 0 && !changed ? emptyWakes + 1 : 0;
        if (emptyWakes == MaxEmptyWakes) {
            fallBackToPolling(0);
            return;
        }
    }
}

void LineWatcher::pollingLoop(Snapshot &base)
{
    auto next = Clock::now() + m_pollInterval;
    while (serveRequests()) {
        const timespec until = toTimespec(next.time_since_epoch()); // steady_clock is CLOCK_MONOTONIC
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR)
            continue;
        bool changed = false;
        if (!catchUp(base, std::nullopt, changed))
            return;
        next += m_pollInterval;
        if (const auto now = Clock::now(); next <= now)
            next = now + m_pollInterval;
    }
}

// Between two waits: stop, or hold still while whilePaused() runs its function.
bool LineWatcher::serveRequests()
{
    if (m_stop)
        return false;
    if (m_pauseRequested) {
        std::unique_lock pause(m_pauseMutex);
        m_settled = false;
        m_paused = true;
        announce();
        m_resume.wait(pause, [this] { return !m_pauseRequested; });
        m_paused = false;
        // New settings may have switched the driver's modem-status interrupt off and let a
        // change pass uncounted: have the sentry look shortly.
        publish(m_lastPublished, true);
    }
    return !m_stop;
}

// Tells the sentry what the watcher has seen; after a change it starts looking again.
void LineWatcher::publish(const Snapshot &s, bool changed)
{
    m_lastPublished = s;
    m_seenTotal = sum(s.count);
    m_seenLines = s.lines;
    m_settled = true;
    if (!changed)
        return;
    m_activity.fetch_add(1);
    // The sentry notices the activity when it next wakes; wake it only if that is too late.
    if (m_sentryDue.load() > nanoseconds(Clock::now() + FirstLook))
        wakeAll(m_activity);
}

// The sentry: after each burst of activity, looks a few times whether the watcher has seen
// everything, and wakes it when a change slipped in while it was going back to sleep.
void LineWatcher::sentryLoop()
{
    if (m_threadStart)
        m_threadStart();
    std::uint32_t seen = m_activity.load() - 1;
    int looks = Looks;
    Clock::time_point due;
    while (!m_stop && m_method == Method::Interrupt && !m_exited) {
        if (const auto activity = m_activity.load(); activity != seen) {
            seen = activity;
            looks = 0;
            due = Clock::now() + FirstLook;
        }
        if (looks >= Looks) {
            m_sentryDue = INT64_MAX;
            waitWhile(m_activity, seen, nullptr);
            continue;
        }
        m_sentryDue = nanoseconds(due);
        if (Clock::now() < due) {
            const timespec until = toTimespec(due.time_since_epoch());
            waitWhile(m_activity, seen, &until);
            continue; // activity, stop, or the time has come
        }
        if (sentryCheck())
            due += FirstLook * (1 << ++looks);
        else
            due = Clock::now() + FirstLook; // look again until the watcher has caught up
    }
}

// Whether the watcher has seen what the port shows now; if not and it is back in (or on its
// way to) its wait, wake it.
bool LineWatcher::sentryCheck()
{
    Snapshot now;
    if (!take(now))
        return true; // the watcher finds out for itself
    const auto ahead = static_cast<std::int32_t>(sum(now.count) - m_seenTotal.load());
    const bool behind = ahead > 0 || (ahead == 0 && now.lines != m_seenLines.load());
    if (behind && m_settled && !m_exited)
        pthread_kill(m_watcherHandle, wakeSignal());
    return !behind;
}

// Tells a thread in kickUntil() that the watcher has got somewhere.
void LineWatcher::announce()
{
    m_progress.fetch_add(1);
    wakeAll(m_progress);
}

// A signal that lands while the thread is between two calls is lost: send it until done.
void LineWatcher::kickUntil(const std::function<bool()> &done)
{
    const pthread_t thread = m_watcherHandle;
    for (;;) {
        const std::uint32_t progress = m_progress.load(); // before done(): no announcement lost
        if (done())
            return;
        pthread_kill(thread, wakeSignal());
        const timespec until = toTimespec((Clock::now() + KickInterval).time_since_epoch());
        waitWhile(m_progress, progress, &until);
    }
}

} // namespace vantor::serial
