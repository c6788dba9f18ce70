#pragma once

#include "app/monitor/atomictext.h"
#include "app/monitor/recentfirings.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace prometheus {
struct MetricFamily;
}

namespace vantor::app {

// What facility monitoring reads of the station: counters, the state of the port and of the
// servers, and the contact-to-send times. The window thread writes it; the status endpoint's
// threads read it. Every member is an atomic written with a single relaxed store or add, so
// the window thread never waits for a reader, and a reader never holds anything the window
// thread needs (the text of an open box is an AtomicText: no lock either). A reading is not one
// snapshot: two counters may be a contact apart. The status page's recent firings are kept the
// same way, each record behind a sequence count (RecentFirings).
class StatusBoard
{
public:
    using Clock = std::chrono::steady_clock;
    using Entry = RecentFirings::Entry;

    static constexpr int Lines = 2; // 0 CTS, 1 DSR
    static constexpr int Slots = 6; // trigger slots 0 to 5
    static constexpr std::array<const char *, Slots> SlotNames{"CTS ON", "CTS OFF", "CTS CHANGE",
                                                               "DSR ON", "DSR OFF", "DSR CHANGE"};
    // The servers a firing can go to; "backup" stays unused until one is configured.
    static constexpr std::array<const char *, 2> ServerNames{"main", "backup"};
    static constexpr int Servers = int(ServerNames.size());

    // How a firing ended; the label values in the same order.
    enum class Outcome { Sent, NotReady, EmptyMovie, InvalidMovie, NotSent };
    static constexpr std::array<const char *, 5> OutcomeNames{"sent", "not_ready", "empty_movie", "invalid_movie",
                                                              "not_sent"};
    // Failure replies are counted per three-digit code 400 to 999; other codes go to "other".
    static constexpr int FirstCode = 400;
    static constexpr int Codes = 600;

    // Longest text of what a slot sends, as the status page shows it.
    static constexpr std::size_t SlotBytes = 240;

    // site: the value of the site label every metric carries (--status-label site=NAME, checked
    // by SiteLabel::parse); empty for none.
    explicit StatusBoard(std::string site = {});

    // Upper bounds of the contact-to-send histogram, in seconds.
    static constexpr std::array<double, 12> LatencyBounds{0.0005, 0.001, 0.002, 0.005, 0.01, 0.02,
                                                          0.05,   0.1,   0.25,  0.5,   1.0,  2.5};
    // On-air confirmation (--confirm): upper bounds of the confirmation histogram, in seconds,
    // and why firings were not on air (label values in the same order).
    static constexpr std::array<double, 12> ConfirmationBounds{0.01, 0.02, 0.04, 0.06, 0.08, 0.1,
                                                               0.15, 0.2,  0.3,  0.5,  1.0,  2.5};
    enum class NotOnAir { OtherClip, Nothing, Paused, Stalled, NoState };
    static constexpr std::array<const char *, 5> NotOnAirNames{"other_clip", "nothing", "paused", "stalled",
                                                               "no_state"};
    // The window thread is taken for stuck when it has not been heard of for this long.
    static constexpr std::chrono::seconds StuckAfter{3};

    // Window thread.
    void lineChanged(int line);
    void fired(int slot, Outcome outcome, bool byOperator);
    void sentAt(Clock::time_point when);
    void contactToSend(Clock::duration took);
    void failureReply(int code);
    void reconnected(int server);
    void setServerConnected(int server, bool connected);
    void setServerUsed(int server, bool used);
    void setPort(int number, bool open);
    void setMergedChanges(std::uint64_t total);
    void setLogLinesDropped(std::uint64_t total);
    void heartbeat(Clock::time_point now);
    // A box of the error trap waits for an answer ("waiting for an answer to ..."); empty: none.
    void setWaitingFor(const std::string &what);
    // The open port's device has no modem lines that can be watched: no contact can fire.
    void setNoModemLines(bool none);
    // On-air confirmation runs: its metrics are shown (and only then).
    void setConfirming(bool on);
    // A firing by contact confirmed on air, `took` after its contact; or not on air.
    void onAirConfirmed(int server, Clock::duration took);
    void notOnAir(int server, NotOnAir why);
    // When the server's latest OSC datagram came; {} before the first.
    void setLastBundle(int server, Clock::time_point at);
    // What slot sends when it fires, as its movie label's tooltip says ("PLAY 1-10 intro.mov"),
    // made by pageText(..., SlotBytes), and whether it is armed.
    void setSlot(int slot, bool armed, std::string_view sends);
    // The status page's recent firings: one record per firing and server, then what came of it,
    // found by the record's number (FiringRecord::number). The entry's texts come made by
    // pageText; the later ones are UTF-8, and the board cuts them.
    void firingRecorded(const Entry &entry);
    void firingReplied(std::uint64_t number, bool answered, int code, double ms, std::string_view text);
    // The firing's clip was seen on air ms after its send; or it was not, and why (the end of its
    // "***Not on air" line: "1-10 plays other.mov", "nothing", "no state from the server").
    void firingOnAir(std::uint64_t number, double ms);
    void firingNotOnAir(std::uint64_t number, std::string_view reason);

    // Any thread.
    struct Health
    {
        bool ok = false;
        std::string text; // "ok", or the reasons, one a line
    };
    Health health(Clock::time_point now) const;
    // The metrics in the Prometheus text format.
    std::string metricsText(Clock::time_point now) const;

    // What the status page shows.
    struct ServerLamp
    {
        bool used = false;
        bool connected = false;
    };
    struct SlotView
    {
        bool armed = false;
        std::string sends;
    };
    struct PageView
    {
        std::string site;
        Health health;
        int portNumber = 0;
        bool portOpen = false;
        std::array<ServerLamp, Servers> servers{};
        std::array<SlotView, Slots> triggers{};
        std::vector<Entry> firings; // the newest first
    };
    PageView pageView(Clock::time_point now) const;

private:
    using Count = std::atomic<std::uint64_t>;
    void onAirMetrics(Clock::time_point now, std::vector<prometheus::MetricFamily> &out) const;
    static std::int64_t ticks(Clock::time_point t) { return t.time_since_epoch().count(); }

    std::array<Count, Lines> m_lineChanges{};
    std::array<std::array<std::array<Count, OutcomeNames.size()>, Slots>, 2> m_firings{}; // [byOperator][slot]
    std::array<Count, Codes> m_failureReplies{};
    Count m_otherFailureReplies{0};
    std::array<Count, Servers> m_reconnects{};
    std::array<std::atomic<bool>, Servers> m_serverConnected{};
    std::array<std::atomic<bool>, Servers> m_serverUsed{};
    std::atomic<int> m_portNumber{0};
    std::atomic<bool> m_portOpen{false};
    Count m_mergedChanges{0};
    Count m_logLinesDropped{0};
    std::atomic<std::int64_t> m_lastSent{0};                        // Clock ticks of the last PLAY sent; 0 before any
    std::atomic<std::int64_t> m_heartbeat{0};                       // Clock ticks the window thread last said it runs
    std::atomic<bool> m_boxOpen{false};                             // a box of the trap waits for an answer
    AtomicText<160> m_waitingFor;                                   // which box, briefly
    std::atomic<bool> m_noModemLines{false};                        // the open port cannot see contacts
    std::array<Count, LatencyBounds.size() + 1> m_latencyBuckets{}; // per bucket, not cumulative; last: above all
    Count m_latencySumNs{0};
    std::atomic<bool> m_confirming{false};
    std::array<std::array<Count, ConfirmationBounds.size() + 1>, Servers> m_confirmationBuckets{}; // as latency's
    std::array<Count, Servers> m_confirmationSumNs{};
    std::array<std::array<Count, NotOnAirNames.size()>, Servers> m_notOnAir{};
    std::array<std::atomic<std::int64_t>, Servers> m_lastBundle{}; // Clock ticks; 0 before the first
    const std::string m_site;                                      // the site label's value; "" for none
    std::array<std::atomic<bool>, Slots> m_slotArmed{};            // per slot: armed
    std::array<AtomicText<SlotBytes>, Slots> m_slotSends;          // per slot: what it sends
    RecentFirings m_recent;                                        // the last firings: written by the window thread
};

} // namespace vantor::app
