#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

// The changes of the tty's lines on their way from the line watcher's thread to the server's:
// bounded, and an eventfd that the server's poll() waits on says something is there.
//
// When it is full, a new change is merged into the newest entry of its kind: its change bits
// are added and its levels taken, so a pulse still reads as a pulse (a change bit with the
// level unchanged); only the count of edges is lost, and merged() says how often that happened.
class LineQueue
{
public:
    struct Entry
    {
        bool modem = true; // a modem-state change (modem:: bits), else line errors (line:: bits)
        std::uint8_t state = 0;
        std::chrono::steady_clock::time_point when;
    };
    static constexpr std::size_t Capacity = 4096;

    LineQueue();
    ~LineQueue();
    LineQueue(const LineQueue &) = delete;
    LineQueue &operator=(const LineQueue &) = delete;

    int fd() const { return m_fd; } // readable while entries wait
    void push(const Entry &entry);  // any thread
    // Takes everything queued; the count of merges since the last call is added to merged.
    std::vector<Entry> take(std::size_t &merged);

private:
    int m_fd = -1;
    std::mutex m_mutex;
    std::vector<Entry> m_entries; // under m_mutex
    std::size_t m_merged = 0;     // under m_mutex
};
