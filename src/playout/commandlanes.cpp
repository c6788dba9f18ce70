#include "commandlanes.h"

#include <algorithm>

namespace vantor::playout {

namespace {

// How many times the pace a command may run before its lane counts as held up.
constexpr int HeldUpPaces = 4;

// Reads a number at `at`; -1 without one.
int numberAt(QByteArrayView text, qsizetype &at)
{
    int n = -1;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && n < 100000)
        n = qMax(n, 0) * 10 + (text[at++] - '0');
    return n;
}

} // namespace

CommandTarget CommandTarget::of(QByteArrayView line)
{
    CommandTarget target;
    const qsizetype space = line.indexOf(' ');
    if (space < 0)
        return target; // PING
    qsizetype at = space + 1;
    target.channel = qMax(0, numberAt(line, at));
    if (at < line.size() && line[at] == '-') {
        ++at;
        target.layer = qMax(0, numberAt(line, at));
    } else {
        target.wholeChannel = line.first(space).compare("CLEAR", Qt::CaseInsensitive) == 0;
    }
    return target;
}

bool CommandTarget::overlaps(const CommandTarget &other) const
{
    return channel != 0 && channel == other.channel && (wholeChannel || other.wholeChannel || layer == other.layer);
}

void ReplyPace::add(Clock::duration took)
{
    took = std::max(took, Clock::duration::zero());
    if (!std::exchange(m_measured, true)) {
        m_average = took;
        m_deviation = took / 2;
        return;
    }
    const Clock::duration off = took > m_average ? took - m_average : m_average - took;
    m_deviation += (off - m_deviation) / 4;
    m_average += (took - m_average) / 4;
}

Clock::duration heldUpAfter(Clock::duration pace)
{
    return std::max<Clock::duration>(MinHeldUp, HeldUpPaces * pace);
}

Clock::time_point expectedStart(const Lane &lane, Clock::duration pace, Clock::time_point now)
{
    if (lane.waiting == 0)
        return now;
    return std::max(now, lane.headSince + pace) + (lane.waiting - 1) * pace;
}

LaneChoice chooseLane(std::span<const Lane> lanes, Clock::duration pace, std::optional<Clock::time_point> due,
                      Clock::time_point now)
{
    const auto heldUp = [&](const Lane &l) { return l.waiting > 0 && now - l.headSince > heldUpAfter(pace); };
    const auto inTime = [&](const Lane &l) { return !due || expectedStart(l, pace, now) <= *due; };
    const auto free = [&] {
        for (size_t i = 0; i < lanes.size(); ++i) {
            if (lanes[i].open && lanes[i].waiting == 0)
                return int(i);
        }
        return -1;
    };

    int behind = -1; // the lane of the newest overlapping command
    for (size_t i = 0; i < lanes.size(); ++i) {
        if (lanes[i].holdsOverlap && (behind < 0 || lanes[i].overlapSent > lanes[size_t(behind)].overlapSent))
            behind = int(i);
    }
    if (behind >= 0) {
        const Lane &lane = lanes[size_t(behind)];
        if (!due || (!heldUp(lane) && inTime(lane)))
            return {behind, false};
        if (!heldUp(lane))
            return {}; // going past it could run the two out of order
        const int other = free();
        return {other, other >= 0};
    }

    if (const int lane = free(); lane >= 0)
        return {lane, false};
    int best = -1;
    for (size_t i = 0; i < lanes.size(); ++i) {
        const Lane &l = lanes[i];
        if (!l.open || heldUp(l))
            continue;
        if (best < 0 || expectedStart(l, pace, now) < expectedStart(lanes[size_t(best)], pace, now))
            best = int(i);
    }
    if (best >= 0)
        return inTime(lanes[size_t(best)]) ? LaneChoice{best, false} : LaneChoice{};
    if (due)
        return {};
    // Without a bound, the lane with the fewest waiting, held up or not.
    for (size_t i = 0; i < lanes.size(); ++i) {
        if (lanes[i].open && (best < 0 || lanes[i].waiting < lanes[size_t(best)].waiting))
            best = int(i);
    }
    return {best, false};
}

} // namespace vantor::playout
