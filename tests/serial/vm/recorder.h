#pragma once

#include "serial/tty/linewatcher.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

// A sink that keeps every change, optionally taking its time over each one like a slow
// handler would.
class Recorder
{
public:
    using Change = vantor::serial::LineWatcher::Change;
    using Signal = vantor::serial::LineWatcher::Signal;

    explicit Recorder(std::chrono::microseconds handlingTime = {})
        : m_handlingTime(handlingTime)
    {
    }

    vantor::serial::LineWatcher::Sink sink();
    // Waits until at least n changes of s arrived; false on time-out.
    bool waitFor(Signal s, std::size_t n, std::chrono::milliseconds timeout);
    std::vector<bool> levels(Signal s) const;
    void clear();

private:
    const std::chrono::microseconds m_handlingTime;
    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<Change> m_changes;
};

// Whether levels alternate, starting with first.
bool alternates(const std::vector<bool> &levels, bool first);
// Sleeps until now + d, also when signals interrupt the sleep.
void sleepFor(std::chrono::microseconds d);
