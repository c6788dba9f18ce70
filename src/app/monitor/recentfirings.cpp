#include "app/monitor/recentfirings.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace vantor::app {

void RecentFirings::add(const Entry &entry)
{
    m_own[m_next] = entry;
    publish(m_next);
    m_next = (m_next + 1) % Capacity;
}

RecentFirings::Entry *RecentFirings::find(std::uint64_t number)
{
    for (Entry &entry : m_own)
        if (entry.number == number && number != 0)
            return &entry;
    return nullptr;
}

void RecentFirings::publish(std::size_t index)
{
    std::array<std::uint64_t, Words> raw{};
    std::memcpy(raw.data(), &m_own[index], sizeof(Entry));
    Place &place = m_places[index];
    const std::uint32_t sequence = place.sequence.load(std::memory_order_relaxed);
    place.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < Words; ++i)
        place.words[i].store(raw[i], std::memory_order_relaxed);
    place.sequence.store(sequence + 2, std::memory_order_release);
}

bool RecentFirings::copy(const Place &place, Entry &out)
{
    std::array<std::uint64_t, Words> raw;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        const std::uint32_t before = place.sequence.load(std::memory_order_acquire);
        if (before & 1) {
            std::this_thread::yield();
            continue;
        }
        for (std::size_t i = 0; i < Words; ++i)
            raw[i] = place.words[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (place.sequence.load(std::memory_order_relaxed) == before) {
            std::memcpy(static_cast<void *>(&out), raw.data(), sizeof(Entry)); // trivially copyable
            return true;
        }
    }
    return false;
}

void RecentFirings::replied(std::uint64_t number, Entry::Reply reply, int code, double ms, std::string_view text)
{
    if (Entry *entry = find(number)) {
        entry->reply = reply;
        entry->code = std::int16_t(code >= 0 && code < 1000 ? code : -1);
        entry->replyMs = ms;
        entry->replyText.assign(text);
        publish(std::size_t(entry - m_own.data()));
    }
}

void RecentFirings::onAir(std::uint64_t number, double ms)
{
    if (Entry *entry = find(number)) {
        entry->onAir = Entry::OnAir::Confirmed;
        entry->onAirMs = ms;
        entry->notOnAirWhy = {};
        publish(std::size_t(entry - m_own.data()));
    }
}

void RecentFirings::notOnAir(std::uint64_t number, std::string_view why)
{
    if (Entry *entry = find(number)) {
        entry->onAir = Entry::OnAir::NotConfirmed;
        entry->notOnAirWhy.assign(why);
        publish(std::size_t(entry - m_own.data()));
    }
}

std::vector<RecentFirings::Entry> RecentFirings::newestFirst() const
{
    std::vector<Entry> out(Capacity);
    std::size_t kept = 0;
    for (const Place &place : m_places)
        if (copy(place, out[kept]) && out[kept].number != 0)
            ++kept;
    out.resize(kept);
    std::sort(out.begin(), out.end(), [](const Entry &a, const Entry &b) { return a.number > b.number; });
    return out;
}

} // namespace vantor::app
