#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// What the server's NOTIFY-MODEMSTATE and NOTIFY-LINESTATE bytes mean as line changes and
// line errors.
namespace vantor::serial::rfc2217 {

enum class Signal { Cts, Dsr, Cd, Ring };

struct LineEdge
{
    Signal signal;
    bool level; // the level the line took in this change (Ring: the present level)
    bool operator==(const LineEdge &) const = default;
};

enum class LineError { Break, Framing, Parity, Overrun };

// Turns successive modem-state notifications into the line changes they stand for.
// A line whose level differs from the previous notification changed once. A line whose
// level is the same but whose change bit is set went through a pulse between the two
// notifications (for instance a contact closed and opened again before the server looked):
// both edges are raised, in order, ending at the present level. Ring is raised once for each
// trailing edge of the ring signal. The first notification sets the levels; only lines
// whose change bit is set in it are reported, as one change to their present level.
class ModemStateTracker
{
public:
    std::vector<LineEdge> update(std::uint8_t state);

    bool known() const { return m_last.has_value(); }
    bool level(Signal signal) const;
    void reset() { m_last.reset(); }

private:
    std::optional<std::uint8_t> m_last;
};

// The errors reported in a line-state byte: break, framing, parity, overrun, in this order.
std::vector<LineError> lineErrors(std::uint8_t state);

} // namespace vantor::serial::rfc2217
