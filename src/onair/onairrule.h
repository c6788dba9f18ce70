#pragma once

#include "cliprules.h"
#include "onairclock.h"
#include "onairstate.h"

#include <QString>

#include <chrono>
#include <optional>
#include <utility>

namespace vantor::onair {

// Whether one firing's clip is on air, from what its server reports.
//
// A firing is on air when, after its send, the server's foreground on the slot's channel-layer
// names the slot's clip (ClipName's rules) and its position advances while not paused: two
// reports of the clip, both after the send, the second further on. The moment is that of the
// report that showed it advancing. Until then the firing waits; at the deadline (500 ms after
// the send by default) it is not on air, for the first of these reasons that holds:
//   "no state from the server"  nothing came from that server since the send
//   "nothing"                   the layer plays no file
//   "1-10 plays other.mov"      it plays another clip (the name the server gives)
//   "paused"                    it shows the clip, paused
//   "stalled"                   it shows the clip, but its position does not advance
class OnAirRule
{
public:
    static constexpr std::chrono::milliseconds DefaultDeadline{500};

    // Why a firing is not on air, in the order above.
    enum class Why { NoState, Nothing, OtherClip, Paused, Stalled };

    struct Verdict
    {
        enum class Kind { Waiting, OnAir, NotOnAir };
        Kind kind = Kind::Waiting;
        TimePoint at{};         // OnAir: the report that showed it
        QString reason;         // NotOnAir
        Why why = Why::NoState; // NotOnAir
    };

    // `address` is how the operator knows the channel-layer ("1-10").
    OnAirRule(const OnAirClock &clock, ClipName clip, int channel, int layer, QString address, TimePoint sentAt,
              std::chrono::milliseconds deadline = DefaultDeadline);

    // What the server reports now decides, or the firing waits (until its deadline).
    Verdict judge(const LayerView &view) const;

    int channel() const { return m_channel; }
    int layer() const { return m_layer; }
    const ClipName &clip() const { return m_clip; }
    TimePoint sentAt() const { return m_sentAt; }
    TimePoint deadline() const { return m_sentAt + m_deadline; }

    // The pre-load check: whether the clip sits in the layer's background. None when the
    // server does not say (2.0.7 and 2.1 report no background; no state from the server).
    static std::optional<bool> inBackground(const LayerView &view, const ClipName &clip);

private:
    std::pair<Why, QString> whyNot(const LayerView &view) const;

    const OnAirClock *m_clock;
    ClipName m_clip;
    int m_channel;
    int m_layer;
    QString m_address;
    TimePoint m_sentAt;
    std::chrono::milliseconds m_deadline;
};

} // namespace vantor::onair
