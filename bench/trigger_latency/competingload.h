#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <vector>

// A competing load like a playout server decoding video on the same machine: one busy process
// per processor at nice 0, and one process that streams through memory (StreamMiB, more than
// any cache holds), all ordinary (SCHED_OTHER) processes. They are this program started
// again (posix_spawn, so that nothing of this process is copied) and end by themselves at
// their time limit, or when this process dies; stop() ends them earlier by their ids.
class CompetingLoad
{
public:
    static constexpr int StreamMiB = 256;

    // Starts the load; it ends by itself after `limit`.
    explicit CompetingLoad(std::chrono::seconds limit);
    ~CompetingLoad() { stop(); }
    CompetingLoad(const CompetingLoad &) = delete;
    CompetingLoad &operator=(const CompetingLoad &) = delete;

    // Whether every process started, and (after stop()) each ended only by our signal or its limit.
    bool ok() const { return m_ok; }
    int busyProcesses() const { return m_busy; }
    // Ends every process still running (SIGKILL to each id) and waits for it.
    void stop();

    // In a load process: does its work and returns its exit status. Empty when the arguments
    // do not ask for a load process (the benchmark itself).
    static std::optional<int> runIfAsked(int argc, char **argv);

private:
    void spawn(const char *kind, long long until);

    std::vector<pid_t> m_pids; // the processes not yet waited for; the main thread's
    int m_busy = 0;
    bool m_ok = true;
};
