#include "onairwatch.h"

#include <algorithm>
#include <utility>

namespace vantor::onair {

OnAirWatch::OnAirWatch(Source source, const OnAirClock &clock, std::chrono::milliseconds deadline, QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_clock(clock)
    , m_deadline(deadline)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &OnAirWatch::check);
}

bool OnAirWatch::watch(const Firing &firing)
{
    if (int(m_waiting.size()) >= MaxWaiting)
        return false;
    m_waiting.push_back({firing,
                         OnAirRule(m_clock, ClipName(firing.clip), firing.channel, firing.layer, firing.address,
                                   firing.sentAt, m_deadline)});
    check();
    return true;
}

void OnAirWatch::check()
{
    // Verdicts are given after the list is settled: a receiver of one may watch another firing.
    std::vector<std::pair<Firing, OnAirRule::Verdict>> decided;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        OnAirRule::Verdict v = it->rule.judge(m_source(it->firing.server, it->firing.channel, it->firing.layer));
        if (v.kind == OnAirRule::Verdict::Kind::Waiting) {
            ++it;
            continue;
        }
        decided.emplace_back(std::move(it->firing), std::move(v));
        it = m_waiting.erase(it);
    }
    armTimer();
    for (const auto &[firing, verdict] : decided) {
        if (verdict.kind == OnAirRule::Verdict::Kind::OnAir)
            Q_EMIT onAir(firing, verdict.at);
        else
            Q_EMIT notOnAir(firing, verdict.reason, verdict.why);
    }
}

void OnAirWatch::armTimer()
{
    if (m_waiting.empty()) {
        m_timer.stop();
        return;
    }
    TimePoint earliest = m_waiting.front().rule.deadline();
    for (const Waiting &w : m_waiting)
        earliest = std::min(earliest, w.rule.deadline());
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(earliest - m_clock.now());
    m_timer.start(std::max(left, std::chrono::milliseconds(0)));
}

} // namespace vantor::onair
