#pragma once

#include "app/monitor/atomictext.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace vantor::app {

// What facility monitoring reads of the station: counters, the state of the port and of the
// servers, and the contact-to-send times. The window thread writes it; the status endpoint's
// threads read it. Every member is an atomic written with a single relaxed store or add, so
// the window thread never waits for a reader, and a reader never holds anything the window
// thread needs (the text of an open box is an AtomicText: no lock either). A reading is not one
// snapshot: two counters may be a contact apart.
class StatusBoard
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int Lines = 2; // 0 CTS, 1 DSR
    static constexpr int Slots = 6; // trigger slots 0 to 5
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

    // Upper bounds of the contact-to-send histogram, in seconds.
    static constexpr std::array<double, 12> LatencyBounds{0.0005, 0.001, 0.002, 0.005, 0.01, 0.02,
                                                          0.05,   0.1,   0.25,  0.5,   1.0,  2.5};
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

    // Any thread.
    struct Health
    {
        bool ok = false;
        std::string text; // "ok", or the reasons, one a line
    };
    Health health(Clock::time_point now) const;
    // The metrics in the Prometheus text format.
    std::string metricsText(Clock::time_point now) const;

private:
    using Count = std::atomic<std::uint64_t>;
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
};

} // namespace vantor::app
