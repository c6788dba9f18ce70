#include "tally.h"

#include <exception>

namespace vantor::onair {

std::optional<Tally::Mode> Tally::Mode::parse(QStringView text)
{
    if (text == QLatin1String("dtr"))
        return Mode{};
    const QLatin1String prefix("dtr:pulse=");
    if (!text.startsWith(prefix))
        return std::nullopt;
    bool ok = false;
    const int ms = text.mid(prefix.size()).toInt(&ok);
    if (!ok || ms < 10 || ms > 10000)
        return std::nullopt;
    return Mode{true, ms};
}

Tally::Tally(Mode mode, Line line, const OnAirClock &clock, QObject *parent)
    : QObject(parent)
    , m_mode(mode)
    , m_line(std::move(line))
    , m_clock(clock)
{
    m_pulse.setSingleShot(true);
    m_pulse.setTimerType(Qt::PreciseTimer);
    connect(&m_pulse, &QTimer::timeout, this, [this] { drive(false); });
}

void Tally::start()
{
    m_onAir.clear();
    m_pulse.stop();
    m_known = false;
    drive(false);
}

void Tally::onAir(OscReceiver::Server server, int channel, int layer, const QString &clip)
{
    if (m_mode.pulse) {
        m_pulse.start(m_mode.pulseMs);
        drive(true);
        return;
    }
    for (auto it = m_onAir.begin(); it != m_onAir.end(); ++it) {
        if (it->server == server && it->channel == channel && it->layer == layer) {
            m_onAir.erase(it);
            break;
        }
    }
    m_onAir.push_back({server, channel, layer, ClipName(clip)});
    drive(true);
}

void Tally::check(const Source &source)
{
    if (m_mode.pulse || m_onAir.empty())
        return;
    const TimePoint now = m_clock.now();
    std::erase_if(m_onAir, [&](const OnAir &a) {
        const LayerView view = source(a.server, a.channel, a.layer);
        const Playing *fg = view.playing(Side::Foreground);
        return now - view.lastDatagram > SilentAfter || !fg || !a.clip.isNamedBy(*fg, view.layout);
    });
    drive(!m_onAir.empty());
}

void Tally::cleared(OscReceiver::Server server, int channel, int layer)
{
    if (m_mode.pulse)
        return;
    std::erase_if(m_onAir, [&](const OnAir &a) {
        return a.server == server && a.channel == channel && (layer < 0 || a.layer == layer);
    });
    drive(!m_onAir.empty());
}

void Tally::release()
{
    m_onAir.clear();
    m_pulse.stop();
    drive(false);
}

void Tally::drive(bool asserted)
{
    if (m_known && asserted == m_asserted && !m_failing)
        return;
    try {
        m_line(asserted);
        m_asserted = asserted;
        m_known = true;
        m_failing = false;
    } catch (const std::exception &e) {
        if (!m_failing)
            Q_EMIT lineFailed(QString::fromLocal8Bit(e.what()));
        m_failing = true;
    }
}

} // namespace vantor::onair
