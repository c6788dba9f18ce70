#pragma once

#include "linedriver.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <pthread.h>

namespace vantor::serial {

// Watches the modem-status lines (CTS, DSR, CD, RI) and the error counters of an open tty on
// a thread of its own, and hands every change to a sink, in the order they are found.
//
// Where the driver has TIOCMIWAIT the thread sleeps in it and reads the interrupt counters
// (TIOCGICOUNT) and the present levels (TIOCMGET) at every wake-up, so that a pulse shorter
// than the time it takes to handle one change still gives both of its edges. Where it has not
// (some USB adapters), where it returns again and again without a change, or where it fails,
// the lines are read every pollInterval (a fall-back after start() is told as a setback).
// Where the lines cannot be read any more, watching ends and says so. Where the tty has no
// modem lines at all (a pseudo-terminal) nothing is watched and no thread runs.
//
// A change that lands between the last reading and the next wait does not wake that wait.
// A second thread, the sentry, closes that gap: a few times after each burst of activity
// (1, 2, 4 ... 64 ms apart) it reads the counters and levels itself, and if the watcher has
// missed something while going back to sleep it wakes it. Idle, neither thread runs. The
// sentry serves the wait only: it ends when the lines are polled or watching ends.
// The watcher is woken with a real-time signal whose handler does nothing.
//
// Plain C++ and POSIX only, so that it can be linked into small static test programs.
class LineWatcher
{
public:
    enum class Signal { Cts, Dsr, Cd, Ri, Break, Frame, Parity, Overrun, BufferOverrun };
    struct Change
    {
        Signal what;
        bool level; // the level the line took; false for RI (trailing edge) and the errors
        // When a change woke the watcher: right after that wake-up. Otherwise the reading that
        // found the change.
        std::chrono::steady_clock::time_point when;
    };
    // Called on the watcher thread, one change at a time, in order. It must not call stop();
    // blocking calls in it may return EINTR while the watcher is being stopped or paused.
    using Sink = std::function<void(const Change &)>;
    enum class Method { Interrupt, Polling, Unsupported };
    // What became of watching after start(), told once each on the watcher thread (it must not
    // call stop()): the driver's wait failed (error: its errno) or kept waking without a change
    // (error 0), and the lines are polled from now on; or the lines cannot be read any more and
    // watching has ended (error: its errno).
    enum class Setback { FellBackToPolling, Ended };
    using SetbackSink = std::function<void(Setback, int error)>;

    LineWatcher(int fd, Sink sink, std::chrono::microseconds pollInterval = std::chrono::milliseconds(2));
    // The same on a driver of the caller's, which must outlive the watcher.
    LineWatcher(LineDriver &driver, Sink sink, std::chrono::microseconds pollInterval = std::chrono::milliseconds(2));
    ~LineWatcher();
    LineWatcher(const LineWatcher &) = delete;
    LineWatcher &operator=(const LineWatcher &) = delete;

    // Before start(): where setbacks are told.
    void setSetbackSink(SetbackSink sink) { m_setbackSink = std::move(sink); }

    // Finds out what the driver supports and starts watching. The levels present now are the
    // starting point: they are not reported. Unsupported: no thread runs.
    Method start();
    // Ends watching within a few milliseconds, also while the thread is blocked in the driver.
    void stop();
    // Runs f while the thread is not waiting in the driver (tcsetattr can switch the driver's
    // modem-status interrupt off under a running wait), then resumes; changes made meanwhile
    // are reported afterwards. Exceptions of f are passed on after resuming.
    void whilePaused(const std::function<void()> &f);

    // Asks for a look at the counters within about a millisecond, without waiting for it.
    // Breaks and framing, parity and overrun errors are counted without waking the wait:
    // call this when bytes arrive, which is when such errors happen.
    void lookSoon();

    // Runs first on each of the watcher's threads (the watcher and the sentry), e.g. to set
    // their scheduling. Set it before start().
    void setThreadStart(std::function<void()> f) { m_threadStart = std::move(f); }

    Method method() const { return m_method.load(); }
    // The present level of Cts, Dsr, Cd or Ri (false for the others or when it cannot be read).
    bool level(Signal s) const;
    // The errno that ended watching (device gone), 0 while watching or stopped normally.
    int error() const { return m_error.load(); }

private:
    static constexpr int Signals = 9;
    struct Snapshot
    {
        std::array<std::uint32_t, Signals> count{};
        int lines = 0; // TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RNG
        bool operator==(const Snapshot &) const = default;
    };

    bool take(Snapshot &s) const;
    void report(const Snapshot &before, const Snapshot &now, std::chrono::steady_clock::time_point when) const;
    bool catchUp(Snapshot &base, std::optional<std::chrono::steady_clock::time_point> wake, bool &changed);
    void run(Snapshot base);
    void interruptLoop(Snapshot &base);
    void pollingLoop(Snapshot &base);
    bool serveRequests();
    void publish(const Snapshot &s, bool changed);
    void fallBackToPolling(int error);
    void end(int error);
    void sentryLoop();
    bool sentryCheck();
    void announce();
    void kickUntil(const std::function<bool()> &done);

    const std::unique_ptr<LineDriver> m_ownDriver; // the tty's, when given a descriptor
    LineDriver &m_driver;
    const Sink m_sink;
    SetbackSink m_setbackSink; // set before start(), then read by the watcher thread only
    const std::chrono::microseconds m_pollInterval;
    std::function<void()> m_threadStart; // set before start(), run by the threads
    bool m_counters = false;

    std::mutex m_control; // serialises start(), stop() and whilePaused()
    std::thread m_thread;
    // The watcher thread's handle, for waking it: written in start() before the sentry starts,
    // valid until stop() has joined the sentry and then the watcher.
    pthread_t m_watcherHandle{};
    std::atomic<std::thread::id> m_watcherId{};
    Snapshot m_lastPublished; // watcher thread only
    std::atomic<Method> m_method{Method::Unsupported};
    std::atomic<bool> m_decided{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_exited{false};
    std::atomic<int> m_error{0};
    // Bumped when the method is settled, the watcher pauses or it ends: kickUntil() sleeps on it.
    std::atomic<std::uint32_t> m_progress{0};

    std::mutex m_pauseMutex;
    std::condition_variable m_resume;
    std::atomic<bool> m_pauseRequested{false};
    std::atomic<bool> m_paused{false};

    // What the watcher has reported up to, for the sentry.
    std::atomic<std::uint32_t> m_seenTotal{0}; // sum of the counters
    std::atomic<int> m_seenLines{0};
    std::atomic<bool> m_settled{false};       // between its last reading and the end of the next wait
    std::atomic<std::uint32_t> m_activity{0}; // also the word the sentry sleeps on

    std::thread m_sentry;
    std::atomic<std::int64_t> m_sentryDue{0}; // steady_clock nanoseconds of its next look
};

} // namespace vantor::serial
