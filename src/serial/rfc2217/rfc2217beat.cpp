#include "rfc2217beat.h"

#include <algorithm>
#include <cmath>

namespace vantor::serial::rfc2217 {

std::optional<std::chrono::milliseconds> PollingDetector::notice(Clock::time_point when)
{
    m_times[m_count++ % Notices] = when;
    if (m_told || m_count < Notices)
        return std::nullopt;

    std::array<double, Notices - 1> gaps{}; // milliseconds, oldest first
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        const auto older = m_times[(m_count + i) % Notices];
        const auto newer = m_times[(m_count + i + 1) % Notices];
        gaps[i] = std::chrono::duration<double, std::milli>(newer - older).count();
    }
    const double beat = *std::min_element(gaps.begin(), gaps.end());
    if (beat < static_cast<double>(MinBeat.count()))
        return std::nullopt;
    const bool onTheBeat = std::all_of(gaps.begin(), gaps.end(), [&](double gap) {
        const double beats = std::round(gap / beat);
        return std::abs(gap - beats * beat) <= static_cast<double>(Tolerance.count()) + 0.02 * gap;
    });
    if (!onTheBeat)
        return std::nullopt;
    m_told = true;
    return std::chrono::milliseconds(std::lround(beat));
}

} // namespace vantor::serial::rfc2217
