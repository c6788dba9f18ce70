#pragma once

#include "serial/tty/linewatcher.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

// One way of noticing CTS going ON. Each keeps the moments at which it saw an ON edge.
class Observer
{
public:
    virtual ~Observer() = default;
    virtual const char *name() const = 0;
    // True when every edge is reported, in order, even after the pulse is over (counters);
    // false when a sighting is a reading of the present level.
    virtual bool countsEdges() const { return false; }
    virtual void start(int fd) = 0;
    virtual void stop() = 0;
    const std::vector<Clock::time_point> &seen() const { return m_seen; }
    void clear() { m_seen.clear(); }

protected:
    Observer() { m_seen.reserve(1 << 16); }
    std::vector<Clock::time_point> m_seen;
};

// Ours: the program's line watcher, TIOCMIWAIT with the interrupt counters.
class CounterWatch : public Observer
{
public:
    const char *name() const override { return "wait + counters (ours)"; }
    bool countsEdges() const override { return true; }
    void start(int fd) override;
    void stop() override;
    // Run first on each of the watcher's threads from the next start() on.
    void setThreadStart(std::function<void()> f) { m_threadStart = std::move(f); }

private:
    std::unique_ptr<vantor::serial::LineWatcher> m_watcher;
    std::function<void()> m_threadStart;
};

// A thread of its own that is stopped with a signal, as the watcher is.
class ThreadObserver : public Observer
{
public:
    void start(int fd) override;
    void stop() override;

protected:
    virtual void run(int fd) = 0;
    std::atomic<bool> m_stop{false};

private:
    std::thread m_thread;
    std::atomic<bool> m_exited{false};
};

// The same wait, handled by reading the present level (what the event handler does with
// CTSHolding): one reading per wake-up.
class LevelAfterWait : public ThreadObserver
{
public:
    const char *name() const override { return "wait + present level"; }

protected:
    void run(int fd) override;
};

// Reading TIOCMGET every 10 ms, as tools without line-change events do.
class Polling : public ThreadObserver
{
public:
    Polling() { m_intervalsUs.reserve(1 << 16); }
    const char *name() const override { return "polling every 10 ms"; }
    // How far apart the readings really were, over every run.
    const std::vector<double> &intervalsUs() const { return m_intervalsUs; }

protected:
    void run(int fd) override;

private:
    std::vector<double> m_intervalsUs;
};
