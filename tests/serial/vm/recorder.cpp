#include "recorder.h"

#include <cerrno>
#include <ctime>

vantor::serial::LineWatcher::Sink Recorder::sink()
{
    return [this](const Change &c) {
        {
            std::lock_guard lock(m_mutex);
            m_changes.push_back(c);
        }
        m_arrived.notify_all();
        if (m_handlingTime.count() > 0)
            sleepFor(m_handlingTime);
    };
}

bool Recorder::waitFor(Signal s, std::size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_arrived.wait_for(lock, timeout, [&] {
        std::size_t count = 0;
        for (const Change &c : m_changes)
            count += c.what == s;
        return count >= n;
    });
}

std::vector<bool> Recorder::levels(Signal s) const
{
    std::lock_guard lock(m_mutex);
    std::vector<bool> out;
    for (const Change &c : m_changes)
        if (c.what == s)
            out.push_back(c.level);
    return out;
}

void Recorder::clear()
{
    std::lock_guard lock(m_mutex);
    m_changes.clear();
}

bool alternates(const std::vector<bool> &levels, bool first)
{
    for (std::size_t i = 0; i < levels.size(); ++i)
        if (levels[i] != ((i % 2 == 0) == first))
            return false;
    return true;
}

void sleepFor(std::chrono::microseconds d)
{
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const long long ns = until.tv_nsec + static_cast<long long>(d.count()) * 1000;
    until.tv_sec += ns / 1'000'000'000;
    until.tv_nsec = ns % 1'000'000'000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
