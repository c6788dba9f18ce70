#include "debouncer.h"

namespace vantor::serial {

Debouncer::Debouncer(std::chrono::microseconds holdOff, int lines)
    : m_holdOff(holdOff.count() > 0 ? holdOff : std::chrono::microseconds(0))
    , m_lines(static_cast<std::size_t>(lines > 0 ? lines : 0))
{
}

std::vector<Debouncer::Report> Debouncer::edge(int line, bool level, Clock::time_point t)
{
    std::vector<Report> out;
    if (line < 0 || line >= static_cast<int>(m_lines.size()))
        return out;
    if (m_holdOff.count() == 0) {
        out.push_back({line, level, t});
        return out;
    }
    expireInto(t, out);
    Line &l = m_lines[static_cast<std::size_t>(line)];
    l.latest = level;
    if (!l.until) {
        l.reported = level;
        l.until = t + m_holdOff;
        out.push_back({line, level, t});
    }
    return out;
}

std::vector<Debouncer::Report> Debouncer::expire(Clock::time_point now)
{
    std::vector<Report> out;
    expireInto(now, out);
    return out;
}

// Hold-offs end in the order of their deadlines, across lines, so that reports stay in time order.
void Debouncer::expireInto(Clock::time_point now, std::vector<Report> &out)
{
    for (;;) {
        Line *first = nullptr;
        for (Line &l : m_lines)
            if (l.until && *l.until <= now && (!first || *l.until < *first->until))
                first = &l;
        if (!first)
            return;
        const Clock::time_point ended = *first->until;
        if (first->latest != first->reported) {
            first->reported = first->latest;
            first->until = ended + m_holdOff;
            out.push_back({static_cast<int>(first - m_lines.data()), first->latest, ended});
        } else {
            first->until.reset();
        }
    }
}

std::optional<Debouncer::Clock::time_point> Debouncer::nextDeadline() const
{
    std::optional<Clock::time_point> next;
    for (const Line &l : m_lines)
        if (l.until && (!next || *l.until < *next))
            next = l.until;
    return next;
}

void Debouncer::reset()
{
    for (Line &l : m_lines)
        l = Line{};
}

} // namespace vantor::serial
