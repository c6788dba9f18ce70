#pragma once

#include "app/monitor/pagetext.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

namespace vantor::app {

// The last Capacity firing records (one per firing and server) for the status page, each with
// what came of it later: the server's reply, and whether the clip went on air. The window thread
// adds and updates them; the status endpoint's threads copy them.
//
// The one lock of the status board: a mutex held only while a fixed-size record is copied in or
// the whole ring (Capacity records of at most EntryBytes each, no allocation) is copied out.
// The window thread prepares every text before it takes the lock, and readers make their
// copy's room before they take it and build the page after they let it go, so the window
// thread waits at most for the copies that have begun (some microseconds each, at most
// StatusServer::Workers of them) and never for a reader's network or allocation. The records
// are handed over after the command has gone to the server: the lock is never on the road from
// a contact to its command.
class RecentFirings
{
public:
    static constexpr int Capacity = 20;
    static constexpr std::size_t TimeBytes = 8; // "14:02:11"
    static constexpr std::size_t MovieBytes = 160;
    static constexpr std::size_t LineBytes = 240;
    static constexpr std::size_t ReplyBytes = 160;
    static constexpr std::size_t ReasonBytes = 160;

    struct Entry
    {
        enum class Reply : std::uint8_t { NotSent, Waiting, Answered, None };
        enum class OnAir : std::uint8_t { NotJudged, Confirmed, NotConfirmed };

        std::uint64_t number = 0; // the firing record's number (FiringRecord::number); 0: an empty place
        std::int8_t slot = 0;     // 0 to 5
        std::int8_t server = 0;   // 0 main, 1 backup
        bool test = false;        // fired by the operator
        std::uint8_t result = 0;  // StatusBoard::Outcome
        PageText<TimeBytes> time; // local time the firing began
        PageText<MovieBytes> movie;
        PageText<LineBytes> outcome; // the History line of the outcome
        PageText<LineBytes> command; // as sent; empty when nothing was
        Reply reply = Reply::NotSent;
        std::int16_t code = -1;         // the reply's three-digit code; -1 without one
        double replyMs = 0;             // from the send to the reply, or to the end of the waiting
        PageText<ReplyBytes> replyText; // the reply's status line, or why none came
        OnAir onAir = OnAir::NotJudged;
        double onAirMs = 0;                // from the send to the report that showed the clip
        PageText<ReasonBytes> notOnAirWhy; // "1-10 plays other.mov", "nothing", ...
    };
    static constexpr std::size_t EntryBytes = sizeof(Entry);

    // Window thread. An update of a record that has left the ring changes nothing.
    void add(const Entry &entry);
    void replied(std::uint64_t number, Entry::Reply reply, int code, double ms, std::string_view text);
    void onAir(std::uint64_t number, double ms);
    void notOnAir(std::uint64_t number, std::string_view why);

    // Any thread: the records, the newest first.
    std::vector<Entry> newestFirst() const;

private:
    Entry *find(std::uint64_t number); // under m_lock

    mutable std::mutex m_lock;
    std::array<Entry, Capacity> m_ring{}; // under m_lock
    std::size_t m_next = 0;               // under m_lock: the place of the next record
};

} // namespace vantor::app
