#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>

// Tells a network serial server that reads its modem lines on a timer from one that reports
// them as they change. A polling server can only send a line change at one of its readings,
// so the times its notices arrive fall on a regular beat; contacts close at any moment, so
// the notices of a server that reports changes as they happen do not.
//
// The rule: over the last Notices notices that carried a line change, the smallest gap between
// two of them is taken as the beat. When it is at least MinBeat and every gap lies within
// Tolerance (plus 2 % of the gap) of a whole number of beats, the server polls every beat.
namespace vantor::serial::rfc2217 {

class PollingDetector
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t Notices = 6;
    static constexpr std::chrono::milliseconds MinBeat{100};
    static constexpr std::chrono::milliseconds Tolerance{10};

    // A notice with a line change arrived at `when`. Gives the beat the first time the rule
    // holds, and nothing after that.
    std::optional<std::chrono::milliseconds> notice(Clock::time_point when);

private:
    std::array<Clock::time_point, Notices> m_times{}; // the newest Notices arrival times, a ring
    std::size_t m_count = 0;
    bool m_told = false;
};

} // namespace vantor::serial::rfc2217
