#include "linequeue.h"

#include "serial/rfc2217/rfc2217protocol.h"

#include <unistd.h>

#include <sys/eventfd.h>

namespace {
constexpr std::uint8_t LevelBits = 0xf0;
}

LineQueue::LineQueue()
    : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    m_entries.reserve(Capacity);
}

LineQueue::~LineQueue()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void LineQueue::push(const Entry &entry)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_entries.size() < Capacity) {
            m_entries.push_back(entry);
        } else {
            bool merged = false;
            for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
                if (it->modem == entry.modem) {
                    it->state = entry.modem ? static_cast<std::uint8_t>((entry.state & LevelBits)
                                                                        | ((it->state | entry.state) & ~LevelBits))
                                            : static_cast<std::uint8_t>(it->state | entry.state);
                    merged = true;
                    break;
                }
            }
            if (!merged && entry.modem)
                m_entries.back() = entry; // a line is worth more than an error report
            ++m_merged;
        }
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_fd, &one, sizeof one);
}

std::vector<LineQueue::Entry> LineQueue::take(std::size_t &merged)
{
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(m_fd, &count, sizeof count);
    std::vector<Entry> out;
    out.reserve(Capacity);
    const std::lock_guard lock(m_mutex);
    out.swap(m_entries);
    merged += m_merged;
    m_merged = 0;
    return out;
}
