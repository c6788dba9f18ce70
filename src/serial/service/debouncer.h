#pragma once

#include <chrono>
#include <optional>
#include <vector>

namespace vantor::serial {

// Contact-bounce filter for a few lines, with a leading-edge hold-off per line: the first
// change of a quiet line is reported at once (no added latency) and starts the hold-off; the
// changes that follow within it are held back. When the hold-off ends and the line's level
// differs from the last reported one, that level is reported, stamped with the end of the
// hold-off, and a new hold-off starts from there: a contact that is still bouncing gives at
// most one report per hold-off, never a storm.
//
// Pure: time comes with every call. Changes must be given in the order of their time stamps;
// they may arrive late, since edge() first ends the hold-offs that ran out before its change.
// A hold-off of 0 turns the filter off: every change passes as it is.
class Debouncer
{
public:
    using Clock = std::chrono::steady_clock;
    struct Report
    {
        int line;
        bool level;
        Clock::time_point when;
    };

    explicit Debouncer(std::chrono::microseconds holdOff, int lines = 2);

    // A change of line (0 .. lines-1) to level at t; returns what is to be reported now,
    // oldest first: ended hold-offs, then this change if it passes.
    std::vector<Report> edge(int line, bool level, Clock::time_point t);
    // Ends the hold-offs that ran out at or before now.
    std::vector<Report> expire(Clock::time_point now);
    // When the earliest running hold-off ends, if any.
    std::optional<Clock::time_point> nextDeadline() const;
    // Forgets every line (the port was closed or opened again).
    void reset();

    std::chrono::microseconds holdOff() const { return m_holdOff; }

private:
    struct Line
    {
        bool reported = false;                  // last level reported
        bool latest = false;                    // last level seen
        std::optional<Clock::time_point> until; // end of the running hold-off
    };

    void expireInto(Clock::time_point now, std::vector<Report> &out);

    std::chrono::microseconds m_holdOff;
    std::vector<Line> m_lines;
};

} // namespace vantor::serial
