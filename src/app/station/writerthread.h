#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace vantor::app {

// A thread that runs a job each time it is woken (and, given a period, at least once a period),
// so that file writes stay off the window thread. Wakes that come while the job runs are merged
// into one more run. The job runs once more after stop() so that it can write what is left.
// The thread runs at a lower priority (nice BackgroundNice) than the threads that fire.
//
// stop() waits for the thread at most `limit`: a thread stuck in the kernel (a dead network
// mount) is then left to end with the process, and the job must keep alive whatever it uses.
class WriterThread
{
public:
    // `name` is the thread's, as tools and the fault report show it: a literal of 15 characters at
    // most.
    explicit WriterThread(std::function<void()> job, const char *name = "file-writer",
                          std::chrono::milliseconds period = std::chrono::milliseconds::zero());
    ~WriterThread(); // stop(DefaultStopLimit)
    WriterThread(const WriterThread &) = delete;
    WriterThread &operator=(const WriterThread &) = delete;

    static constexpr std::chrono::milliseconds DefaultStopLimit{3000};
    static constexpr int BackgroundNice = 10;

    // Any thread: runs the job soon. Never waits for a job in progress.
    void wake();
    // Runs the job a last time and ends the thread. True when it ended within `limit`.
    bool stop(std::chrono::milliseconds limit = DefaultStopLimit);
    // Any thread: asks for the last run and the end without waiting, so that several writers
    // end side by side; stop() then waits.
    void requestStop();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

} // namespace vantor::app
