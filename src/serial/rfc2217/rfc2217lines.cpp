#include "rfc2217lines.h"

#include "rfc2217protocol.h"

namespace vantor::serial::rfc2217 {

namespace {

struct LineBits
{
    Signal signal;
    std::uint8_t level;
    std::uint8_t delta;
};

constexpr LineBits Changing[] = {
    {Signal::Cts, modem::Cts, modem::DeltaCts},
    {Signal::Dsr, modem::Dsr, modem::DeltaDsr},
    {Signal::Cd, modem::Cd, modem::DeltaCd},
};

} // namespace

std::vector<LineEdge> ModemStateTracker::update(std::uint8_t state)
{
    std::vector<LineEdge> edges;
    for (const LineBits &line : Changing) {
        const bool now = state & line.level;
        const bool changed = state & line.delta;
        if (!m_last) {
            if (changed)
                edges.push_back({line.signal, now});
            continue;
        }
        const bool before = *m_last & line.level;
        if (now != before) {
            edges.push_back({line.signal, now});
        } else if (changed) {
            edges.push_back({line.signal, !now});
            edges.push_back({line.signal, now});
        }
    }
    const bool ring = state & modem::Ring;
    const bool ringFell = m_last && (*m_last & modem::Ring) && !ring;
    if ((state & modem::TrailingEdgeRing) || ringFell)
        edges.push_back({Signal::Ring, ring});
    m_last = state;
    return edges;
}

bool ModemStateTracker::level(Signal signal) const
{
    if (!m_last)
        return false;
    switch (signal) {
    case Signal::Cts: return *m_last & modem::Cts;
    case Signal::Dsr: return *m_last & modem::Dsr;
    case Signal::Cd: return *m_last & modem::Cd;
    case Signal::Ring: return *m_last & modem::Ring;
    }
    return false;
}

std::vector<LineError> lineErrors(std::uint8_t state)
{
    std::vector<LineError> errors;
    if (state & line::Break)
        errors.push_back(LineError::Break);
    if (state & line::Framing)
        errors.push_back(LineError::Framing);
    if (state & line::Parity)
        errors.push_back(LineError::Parity);
    if (state & line::Overrun)
        errors.push_back(LineError::Overrun);
    return errors;
}

} // namespace vantor::serial::rfc2217
