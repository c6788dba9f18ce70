#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantor::app {

// A short text that one thread writes and other threads read, with no lock between them: a
// sequence count around the characters, odd while a write runs. The writer never waits; a
// reader reads again when a write ran under it, Attempts times at most (writes are rare: a box
// opens or closes), and then gives up with an empty text. Longer texts are cut to Capacity.
template <std::size_t Capacity>
class AtomicText
{
public:
    static constexpr int Attempts = 64;

    // One writing thread.
    void store(std::string_view text)
    {
        const std::size_t length = std::min(text.size(), Capacity);
        const std::uint32_t sequence = m_sequence.load(std::memory_order_relaxed);
        m_sequence.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < length; ++i)
            m_chars[i].store(text[i], std::memory_order_relaxed);
        m_length.store(length, std::memory_order_relaxed);
        m_sequence.store(sequence + 2, std::memory_order_release);
    }

    // Any thread.
    std::string load() const
    {
        for (int attempt = 0; attempt < Attempts; ++attempt) {
            const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
            if (before & 1)
                continue;
            std::string text(std::min(m_length.load(std::memory_order_relaxed), Capacity), '\0');
            for (std::size_t i = 0; i < text.size(); ++i)
                text[i] = m_chars[i].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (m_sequence.load(std::memory_order_relaxed) == before)
                return text;
        }
        return {};
    }

private:
    std::atomic<std::uint32_t> m_sequence{0};          // odd while the writer writes
    std::atomic<std::size_t> m_length{0};              // characters in use
    std::array<std::atomic<char>, Capacity> m_chars{}; // the text, not terminated
};

} // namespace vantor::app
