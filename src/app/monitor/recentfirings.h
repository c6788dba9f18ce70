#pragma once

#include "app/monitor/pagetext.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vantor::app {

// The last Capacity firing records (one per firing and server) for the status page, each with
// what came of it later: the server's reply, and whether the clip went on air. The window thread
// adds and updates them; the status endpoint's threads copy them.
//
// No lock, as everywhere on the status board: the window thread keeps its own copy of the ring
// and publishes each record it changes into that record's place, a sequence count (odd while it
// writes) around the record's bytes held in atomic words. It never waits for a reader. A reader
// copies each place and copies it again when a write ran under it, Attempts times at most
// (yielding while a write is under way), and then leaves that record out of this reading; the
// records are not one snapshot, but each one is whole. Writes are few: one per firing and
// server, then its reply and its verdict, all after its command has gone to the server.
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
    static_assert(std::is_trivially_copyable_v<Entry>);
    static constexpr int Attempts = 64;

    // Window thread. An update of a record that has left the ring changes nothing.
    void add(const Entry &entry);
    void replied(std::uint64_t number, Entry::Reply reply, int code, double ms, std::string_view text);
    void onAir(std::uint64_t number, double ms);
    void notOnAir(std::uint64_t number, std::string_view why);

    // Any thread: the records, the newest first (a record being rewritten all along is left out).
    std::vector<Entry> newestFirst() const;

private:
    static constexpr std::size_t Words = (sizeof(Entry) + 7) / 8;
    struct Place
    {
        std::atomic<std::uint32_t> sequence{0};                // odd while the window thread writes
        std::array<std::atomic<std::uint64_t>, Words> words{}; // the record's bytes
    };
    Entry *find(std::uint64_t number);
    void publish(std::size_t index);
    static bool copy(const Place &place, Entry &out);

    std::array<Entry, Capacity> m_own{};    // window thread: the records as they are
    std::size_t m_next = 0;                 // window thread: the place of the next record
    std::array<Place, Capacity> m_places{}; // m_own as the readers see it
};

} // namespace vantor::app
