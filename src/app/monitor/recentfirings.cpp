#include "app/monitor/recentfirings.h"

#include <memory>

namespace vantor::app {

void RecentFirings::add(const Entry &entry)
{
    const std::lock_guard lock(m_lock);
    m_ring[m_next] = entry;
    m_next = (m_next + 1) % Capacity;
}

RecentFirings::Entry *RecentFirings::find(std::uint64_t number)
{
    for (Entry &entry : m_ring)
        if (entry.number == number && number != 0)
            return &entry;
    return nullptr;
}

void RecentFirings::replied(std::uint64_t number, Entry::Reply reply, int code, double ms, std::string_view text)
{
    PageText<ReplyBytes> shown;
    shown.assign(text);
    const std::lock_guard lock(m_lock);
    if (Entry *entry = find(number)) {
        entry->reply = reply;
        entry->code = std::int16_t(code >= 0 && code < 1000 ? code : -1);
        entry->replyMs = ms;
        entry->replyText = shown;
    }
}

void RecentFirings::onAir(std::uint64_t number, double ms)
{
    const std::lock_guard lock(m_lock);
    if (Entry *entry = find(number)) {
        entry->onAir = Entry::OnAir::Confirmed;
        entry->onAirMs = ms;
        entry->notOnAirWhy = {};
    }
}

void RecentFirings::notOnAir(std::uint64_t number, std::string_view why)
{
    PageText<ReasonBytes> shown;
    shown.assign(why);
    const std::lock_guard lock(m_lock);
    if (Entry *entry = find(number)) {
        entry->onAir = Entry::OnAir::NotConfirmed;
        entry->notOnAirWhy = shown;
    }
}

std::vector<RecentFirings::Entry> RecentFirings::newestFirst() const
{
    auto copy = std::make_unique<std::array<Entry, Capacity>>(); // room made before the lock
    std::size_t next = 0;
    {
        const std::lock_guard lock(m_lock);
        *copy = m_ring;
        next = m_next;
    }
    std::vector<Entry> out;
    out.reserve(Capacity);
    for (std::size_t i = 1; i <= Capacity; ++i) {
        const Entry &entry = (*copy)[(next + Capacity - i) % Capacity];
        if (entry.number != 0)
            out.push_back(entry);
    }
    return out;
}

} // namespace vantor::app
