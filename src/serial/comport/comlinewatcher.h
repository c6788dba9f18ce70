#pragma once

#include "commcalls.h"

#include "serial/service/commevent.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace vantor::serial {

// Watches the modem-status lines and line errors of an open COM port on a thread of its own and
// hands every change to its hooks, in order.
//
// The thread sleeps in an overlapped WaitCommEvent on Mask and reads the levels
// (GetCommModemStatus) after each event. The driver keeps the events that happen while nobody
// waits and hands them to the next wait, so none is lost between two waits; but several changes
// of one line before the levels are read are one event. So a line whose event shows the level
// reported last has had a pulse too short to see: both of its edges are reported, in order (and
// a port-log line says so the first time). A line that moved without its event is reported once.
// Within one event the lines go in the order CTS, DSR, CD, then ring, break and the line errors
// (ClearCommError).
//
// Where the wait fails while the levels can still be read, or keeps ending without an event, the
// levels are read every 2 ms instead, as on Linux, and a port-log line says so. Where the levels
// cannot be read any more the device is gone: `gone` is told once and watching ends.
//
// The thread ends when the stop it was given is raised: the stop is a manual-reset event that the
// wait watches beside its I/O, so a raise before, during or after a wait ends the thread at once.
class ComLineWatcher
{
public:
    static constexpr std::uint32_t Mask =
        win32::EvCts | win32::EvDsr | win32::EvRlsd | win32::EvRing | win32::EvBreak | win32::EvErr;
    static constexpr int MaxEmptyWakes = 100;
    static constexpr std::chrono::milliseconds PollInterval{2};

    struct Hooks
    {
        std::function<void(const CommEvent &)> event;
        std::function<void(const QString &)> notice;
        // The device is gone: the call that failed and its error.
        std::function<void(const char *call, std::uint32_t error)> gone;
        // Runs first on the thread.
        std::function<void()> threadStart;
    };

    // `device` names the port in port-log lines. calls, stop and the hooks' targets must
    // outlive the watcher.
    ComLineWatcher(CommCalls &calls, CommCalls::Handle handle, CommStop &stop, QString device, Hooks hooks);
    ~ComLineWatcher();
    ComLineWatcher(const ComLineWatcher &) = delete;
    ComLineWatcher &operator=(const ComLineWatcher &) = delete;

    // Starts the thread; the levels in `status` (GetCommModemStatus, read after the mask was
    // set) are the starting point and are not reported.
    void start(std::uint32_t status);
    // Waits for the thread to end; raise the stop first.
    void join();
    // Whether the levels are polled rather than waited for (after a setback).
    bool polling() const { return m_polling.load(); }

private:
    void run();
    bool waitLoop();
    void pollLoop();
    bool readStatus(std::uint32_t &status);
    void report(std::uint32_t events, std::uint32_t now, Clock::time_point when);
    void reportLine(qint16 code, const char *name, std::uint32_t level, bool signalled, std::uint32_t now,
                    Clock::time_point when);
    void reportErrors(Clock::time_point when);
    void post(qint16 code, bool level, Clock::time_point when);

    CommCalls &m_calls;
    const CommCalls::Handle m_handle;
    CommStop &m_stop;
    const QString m_device;
    const Hooks m_hooks;
    std::thread m_thread;
    std::uint32_t m_reported = 0; // the levels reported last; the watcher thread's
    bool m_pulseSaid = false;     // the short-pulse line was written; the watcher thread's
    std::atomic<bool> m_polling{false};
};

} // namespace vantor::serial
