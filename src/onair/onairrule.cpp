#include "onairrule.h"

#include <utility>

namespace vantor::onair {

namespace {

constexpr qsizetype MaxShownName = 120; // of another clip's name, in a reason

// A name from the network as it may appear in a log line: bounded, no control characters.
QString shown(const std::string &name)
{
    QString out = QString::fromUtf8(name.data(), qsizetype(name.size())).left(MaxShownName);
    for (QChar &c : out) {
        if (!c.isPrint())
            c = QLatin1Char('?');
    }
    return out;
}

} // namespace

OnAirRule::OnAirRule(const OnAirClock &clock, ClipName clip, int channel, int layer, QString address, TimePoint sentAt,
                     std::chrono::milliseconds deadline)
    : m_clock(&clock)
    , m_clip(std::move(clip))
    , m_channel(channel)
    , m_layer(layer)
    , m_address(std::move(address))
    , m_sentAt(sentAt)
    , m_deadline(deadline)
{
}

OnAirRule::Verdict OnAirRule::judge(const LayerView &view) const
{
    const Playing *fg = view.playing(Side::Foreground);
    if (fg && m_clip.isNamedBy(*fg, view.layout) && !fg->paused && fg->advanced() && fg->previousAt >= m_sentAt)
        return {Verdict::Kind::OnAir, fg->positionAt, {}};
    if (m_clock->now() < deadline())
        return {};
    auto [why, reason] = whyNot(view);
    return {Verdict::Kind::NotOnAir, {}, std::move(reason), why};
}

std::pair<OnAirRule::Why, QString> OnAirRule::whyNot(const LayerView &view) const
{
    if (view.lastDatagram <= m_sentAt)
        return {Why::NoState, QStringLiteral("no state from the server")};
    const Playing *fg = view.playing(Side::Foreground);
    if (!fg)
        return {Why::Nothing, QStringLiteral("nothing")};
    if (!m_clip.isNamedBy(*fg, view.layout))
        return {Why::OtherClip, QStringLiteral("%1 plays %2").arg(m_address, shown(fg->shownName()))};
    if (fg->paused)
        return {Why::Paused, QStringLiteral("paused")};
    return {Why::Stalled, QStringLiteral("stalled")};
}

std::optional<bool> OnAirRule::inBackground(const LayerView &view, const ClipName &clip)
{
    if (view.layout != Layout::Layered || view.lastDatagram == TimePoint{})
        return std::nullopt;
    const Playing *bg = view.playing(Side::Background);
    return bg && clip.isNamedBy(*bg, view.layout);
}

} // namespace vantor::onair
