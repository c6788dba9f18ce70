#pragma once

#include <QString>

#include <chrono>
#include <random>
#include <vector>

class Station;

// Plays the modem-line watcher: a thread of its own that hands line changes to the port
// service through post(), the entry point of the real watcher, and stamps each right before.
//
// Pacing: the next change is handed over only after the previous one's PLAY lines have
// reached the server and the window has handled it and gone idle, plus a random 200-500 us
// (fixed seed), so that no queue builds up and the figures are latency, not queueing.
class Injector
{
public:
    using Clock = std::chrono::steady_clock;

    struct Run
    {
        std::vector<Clock::time_point> posted; // one per line change that fires
        // How long the window's and the server's threads waited for a processor while that
        // change's PLAY lines were on their way (the machine's share of the latency).
        std::vector<Clock::duration> processorWait;
        // The window thread's share of that alone (alternating runs).
        std::vector<Clock::duration> windowWait;
        QString failure; // empty when every PLAY line arrived
    };

    // No new change is started after `deadline`.
    Injector(Station &station, Clock::time_point deadline)
        : m_station(station)
        , m_deadline(deadline)
    {
    }

    // CTS ON, OFF, ON, ... (slots 0 and 1 armed: each change plays one movie).
    Run alternating(int events);
    // CTS and DSR rise together (slots 0 and 3 armed: two PLAY lines), then fall together
    // (nothing armed for that), `pairs` times. posted: one stamp per pair, before the first post.
    Run simultaneous(int pairs);

private:
    std::chrono::nanoseconds processorWait() const;
    bool awaitLines(int count, Run &run, int index);
    bool awaitIdle(int events, Run &run, int index);
    void pause();

    Station &m_station;
    const Clock::time_point m_deadline;
    std::mt19937 m_random{20261207};
};
