#include "observers.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <mutex>

#include <pthread.h>
#include <sys/ioctl.h>

namespace {

int stopSignal()
{
    return SIGRTMIN + 2;
}

void onStop(int) {}

bool ctsOn(int fd)
{
    int lines = 0;
    return ::ioctl(fd, TIOCMGET, &lines) == 0 && (lines & TIOCM_CTS);
}

timespec toTimespec(Clock::time_point t)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

} // namespace

void CounterWatch::start(int fd)
{
    using vantor::serial::LineWatcher;
    m_watcher = std::make_unique<LineWatcher>(fd, [this](const LineWatcher::Change &c) {
        if (c.what == LineWatcher::Signal::Cts && c.level)
            m_seen.push_back(c.when);
    });
    m_watcher->setThreadStart(m_threadStart);
    m_watcher->start();
}

void CounterWatch::stop()
{
    m_watcher.reset();
}

void ThreadObserver::start(int fd)
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_handler = onStop; // no SA_RESTART: a blocked wait returns EINTR
        sigemptyset(&action.sa_mask);
        sigaction(stopSignal(), &action, nullptr);
    });
    m_stop = false;
    m_exited = false;
    m_thread = std::thread([this, fd] {
        run(fd);
        m_exited = true;
    });
}

void ThreadObserver::stop()
{
    m_stop = true;
    while (!m_exited) { // a signal between two calls is lost: repeat
        pthread_kill(m_thread.native_handle(), stopSignal());
        const timespec pause{0, 100'000};
        nanosleep(&pause, nullptr);
    }
    m_thread.join();
}

void LevelAfterWait::run(int fd)
{
    while (!m_stop) {
        if (::ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG) < 0 && errno != EINTR)
            return;
        const auto now = Clock::now();
        if (!m_stop && ctsOn(fd))
            m_seen.push_back(now);
    }
}

void Polling::run(int fd)
{
    bool was = ctsOn(fd);
    auto last = Clock::now();
    auto next = last + std::chrono::milliseconds(10);
    while (!m_stop) {
        const timespec until = toTimespec(next);
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR)
            continue;
        const auto now = Clock::now();
        const bool is = ctsOn(fd);
        if (is && !was)
            m_seen.push_back(now);
        was = is;
        m_intervalsUs.push_back(std::chrono::duration<double, std::micro>(now - last).count());
        last = now;
        next += std::chrono::milliseconds(10);
    }
}
