#include "competingload.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include <sched.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *Flag = "--load-process";

long long monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

int spin(long long until)
{
    volatile unsigned sink = 0;
    while (monotonicNs() < until)
        for (unsigned i = 0; i < (1u << 16); ++i)
            sink = sink + i;
    return 0;
}

// Reads and writes one word of every cache line, a mebibyte at a time, round and round.
int stream(long long until)
{
    const std::size_t bytes = std::size_t(CompetingLoad::StreamMiB) << 20;
    void *area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (area == MAP_FAILED)
        return 1;
    auto *words = static_cast<volatile std::uint64_t *>(area);
    const std::size_t count = bytes / sizeof(std::uint64_t), chunk = (1 << 20) / sizeof(std::uint64_t);
    for (;;) {
        for (std::size_t start = 0; start < count; start += chunk) {
            if (monotonicNs() >= until)
                return 0;
            for (std::size_t i = start; i < start + chunk; i += 64 / sizeof(std::uint64_t))
                words[i] = words[i] + 1;
        }
    }
}

} // namespace

CompetingLoad::CompetingLoad(std::chrono::seconds limit)
{
    const long long until = monotonicNs() + std::chrono::nanoseconds(limit).count();
    m_busy = int(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    for (int i = 0; i < m_busy; ++i)
        spawn("busy", until);
    spawn("stream", until);
}

void CompetingLoad::spawn(const char *kind, long long until)
{
    const std::string deadline = std::to_string(until);
    char *const args[] = {const_cast<char *>("bench_trigger_latency"), const_cast<char *>(Flag),
                          const_cast<char *>(kind), const_cast<char *>(deadline.c_str()), nullptr};
    // An ordinary process with no signal blocked, whatever the thread that starts it runs as.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    const sched_param ordinary{0};
    posix_spawnattr_setschedpolicy(&attributes, SCHED_OTHER);
    posix_spawnattr_setschedparam(&attributes, &ordinary);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSCHEDULER | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, "/proc/self/exe", nullptr, &attributes, args, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        std::fprintf(stderr, "competing load: cannot start a %s process: %s\n", kind, std::strerror(error));
        m_ok = false;
        return;
    }
    m_pids.push_back(pid);
}

void CompetingLoad::stop()
{
    for (pid_t pid : m_pids)
        kill(pid, SIGKILL);
    for (pid_t pid : m_pids) {
        int status = 0;
        pid_t ended = 0;
        for (int tries = 0; tries < 5000 && ended == 0; ++tries) { // 5 s at most
            ended = waitpid(pid, &status, WNOHANG);
            if (ended == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            else if (ended < 0 && errno == EINTR)
                ended = 0;
        }
        const bool byUs = ended == pid && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        const bool byLimit = ended == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!byUs && !byLimit) {
            std::fprintf(stderr, "competing load: process %d %s\n", int(pid),
                         ended == pid ? "failed" : "did not end within 5 s");
            m_ok = false;
        }
    }
    m_pids.clear();
}

std::optional<int> CompetingLoad::runIfAsked(int argc, char **argv)
{
    if (argc != 4 || std::strcmp(argv[1], Flag) != 0)
        return std::nullopt;
    prctl(PR_SET_PDEATHSIG, SIGKILL); // ends with the benchmark, too
    setpriority(PRIO_PROCESS, 0, 0);  // nice 0 where allowed
    const long long until = std::atoll(argv[3]);
    if (std::strcmp(argv[2], "busy") == 0)
        return spin(until);
    if (std::strcmp(argv[2], "stream") == 0)
        return stream(until);
    return 2;
}
