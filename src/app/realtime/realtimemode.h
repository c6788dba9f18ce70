#pragma once

#include <functional>
#include <string>

namespace vantor::app {

// The real-time mode (--realtime) of the threads on the trigger path: the window thread,
// which fires and owns the sockets, and the line watcher's two threads. Where the system
// allows it they run under SCHED_FIFO at a low priority, ahead of every ordinary thread (a
// playout server decoding video on every core), and the process's memory is locked so that
// no page of it is paged out or read back in while a trigger is on its way.
//
// What the system allows, and why:
//   - SCHED_FIFO: CAP_SYS_NICE, or RLIMIT_RTPRIO above 0 (the priority is then at most that);
//   - locked memory: CAP_IPC_LOCK, or RLIMIT_MEMLOCK unlimited. A finite limit is not used:
//     memory allocated later is locked too, and an allocation beyond the limit would fail.
// What cannot be had is left as it is, and summary() says so. The kernel's throttling of
// real-time threads is left as it is too.
//
// Plain C++ and POSIX only, so that small static programs inside a virtual machine can use it.
class RealtimeMode
{
public:
    // Of 1 to 99: above every ordinary thread, below the kernel's interrupt threads (50).
    static constexpr int Priority = 10;

    // Off: nothing granted, nothing changed.
    RealtimeMode() = default;

    // Locks memory and raises the calling thread, as far as the system allows; call it once,
    // early, on the window thread. Threads started later by that thread begin as ordinary
    // threads (SCHED_RESET_ON_FORK), and so do child processes: only threadStart() raises one.
    static RealtimeMode enter();
    // Back to ordinary scheduling for the thread that entered (call it there) and memory
    // unlocked; threads raised by threadStart() stay as they are.
    void leave();

    // The SCHED_FIFO priority granted, 0 when refused.
    int priority() const { return m_priority; }
    bool memoryLocked() const { return m_memoryLocked; }
    // What was granted, or what was refused and why: one line for the port log.
    const std::string &summary() const { return m_summary; }

    // Run at the start of another thread on the trigger path (the line watcher's), raises it
    // to the granted priority. Empty when scheduling was not granted.
    std::function<void()> threadStart() const;

private:
    int m_priority = 0;
    bool m_memoryLocked = false;
    std::string m_summary;
};

} // namespace vantor::app
