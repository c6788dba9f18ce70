#include "app/station/writerthread.h"

#include "app/station/backgroundthread.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vantor::app {

// Lives as long as the thread or its owner, whichever is longer.
struct WriterThread::Shared
{
    std::function<void()> job;
    const char *name = nullptr;
    std::chrono::milliseconds period{0}; // zero: runs only when woken
    std::mutex mutex;
    std::condition_variable changed;
    bool woken = false;    // guarded by mutex
    bool stopping = false; // guarded by mutex
    bool ended = false;    // guarded by mutex
    std::thread thread;    // the owner's; joined or detached in stop()

    void run()
    {
        // Background work: on a busy machine the window thread, which fires, goes first.
        becomeBackgroundThread(name);
        for (;;) {
            bool last = false;
            {
                std::unique_lock lock(mutex);
                const auto due = [this] { return woken || stopping; };
                if (period > period.zero())
                    changed.wait_for(lock, period, due);
                else
                    changed.wait(lock, due);
                woken = false;
                last = stopping;
            }
            job();
            if (last)
                break;
        }
        std::lock_guard lock(mutex);
        ended = true;
        changed.notify_all();
    }
};

WriterThread::WriterThread(std::function<void()> job, const char *name, std::chrono::milliseconds period)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->job = std::move(job);
    m_shared->name = name;
    m_shared->period = period;
    m_shared->thread = std::thread([shared = m_shared] { shared->run(); });
}

WriterThread::~WriterThread()
{
    stop();
}

void WriterThread::wake()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->woken = true;
    m_shared->changed.notify_all();
}

void WriterThread::requestStop()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->changed.notify_all();
}

bool WriterThread::stop(std::chrono::milliseconds limit)
{
    if (!m_shared->thread.joinable())
        return true;
    requestStop();
    std::unique_lock lock(m_shared->mutex);
    const bool ended = m_shared->changed.wait_for(lock, limit, [this] { return m_shared->ended; });
    lock.unlock();
    if (ended)
        m_shared->thread.join();
    else
        m_shared->thread.detach();
    return ended;
}

} // namespace vantor::app
