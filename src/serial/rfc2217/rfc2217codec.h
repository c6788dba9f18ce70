#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Telnet framing of a byte stream (RFC 854): the parser splits what the peer sends into
// data, option negotiations, subnegotiations and other commands; the encoders build them.
// Plain C++ without I/O, so it can be tested byte by byte and fuzzed.
namespace vantor::serial::rfc2217 {

using Bytes = std::string; // raw bytes, 0x00 to 0xFF

struct TelnetItem
{
    enum class Kind { Data, Negotiation, Subnegotiation, Command };
    Kind kind = Kind::Data;
    std::uint8_t verb = 0;   // WILL, WONT, DO or DONT; the command byte of a Command
    std::uint8_t option = 0; // of a Negotiation or Subnegotiation
    Bytes bytes;             // the data, or the subnegotiation's payload (IAC IAC undone)

    bool operator==(const TelnetItem &) const = default;
};

class TelnetParser
{
public:
    // A subnegotiation longer than this is dropped whole: no option of ours needs more, and
    // a peer that never sends IAC SE must not make us buffer without end.
    static constexpr std::size_t MaxSubnegotiation = 256;

    // Appends the items found in bytes to out. Consecutive data bytes form one item; an item
    // cut by the end of bytes is completed by the next call.
    void feed(std::string_view bytes, std::vector<TelnetItem> &out);

    // Without binary transmission the peer sends a lone CR as CR NUL; the NUL is removed.
    void setNvtCarriageReturn(bool on) { m_nvtCr = on; }
    std::size_t droppedSubnegotiations() const { return m_dropped; }

private:
    enum class State { Data, CarriageReturn, Iac, Option, SbOption, Sb, SbIac };

    void step(std::uint8_t byte, std::vector<TelnetItem> &out);
    void data(std::uint8_t byte, std::vector<TelnetItem> &out);
    void command(std::uint8_t byte, std::vector<TelnetItem> &out);

    State m_state = State::Data;
    bool m_nvtCr = false;
    std::uint8_t m_verb = 0;
    std::uint8_t m_sbOption = 0;
    Bytes m_sb;
    bool m_sbOverflow = false;
    std::size_t m_dropped = 0;
};

Bytes negotiation(std::uint8_t verb, std::uint8_t option);
// IAC SB option payload IAC SE, with every 0xFF of the payload doubled.
Bytes subnegotiation(std::uint8_t option, std::string_view payload);
// A Com Port Control command with its value.
Bytes comPort(std::uint8_t command, std::string_view value);
Bytes comPort(std::uint8_t command, std::uint8_t value);
// Data for the wire: 0xFF doubled; without binary transmission a CR not followed by LF
// goes out as CR NUL.
Bytes escapeData(std::string_view data, bool binary);

Bytes bigEndian32(std::uint32_t value);
std::uint32_t readBigEndian32(std::string_view bytes); // the first four bytes

} // namespace vantor::serial::rfc2217
