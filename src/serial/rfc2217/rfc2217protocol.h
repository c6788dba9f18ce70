#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Byte values of Telnet (RFC 854, 856, 858, 860) and of its Com Port Control option (RFC 2217).
namespace vantor::serial::rfc2217 {

namespace telnet {
constexpr std::uint8_t SE = 240; // end of subnegotiation
constexpr std::uint8_t NOP = 241;
constexpr std::uint8_t SB = 250; // start of subnegotiation
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t IAC = 255; // interpret as command
constexpr std::uint8_t CR = 13;
constexpr std::uint8_t LF = 10;
constexpr std::uint8_t NUL = 0;
} // namespace telnet

namespace option {
constexpr std::uint8_t Binary = 0;
constexpr std::uint8_t SuppressGoAhead = 3;
constexpr std::uint8_t TimingMark = 6;
constexpr std::uint8_t ComPort = 44;
} // namespace option

// Com Port Control commands as the client sends them; the server answers with the same
// command plus ServerOffset.
namespace cpc {
constexpr std::uint8_t Signature = 0;
constexpr std::uint8_t SetBaudRate = 1;
constexpr std::uint8_t SetDataSize = 2;
constexpr std::uint8_t SetParity = 3;
constexpr std::uint8_t SetStopSize = 4;
constexpr std::uint8_t SetControl = 5;
constexpr std::uint8_t NotifyLineState = 6;
constexpr std::uint8_t NotifyModemState = 7;
constexpr std::uint8_t FlowControlSuspend = 8;
constexpr std::uint8_t FlowControlResume = 9;
constexpr std::uint8_t SetLineStateMask = 10;
constexpr std::uint8_t SetModemStateMask = 11;
constexpr std::uint8_t PurgeData = 12;
constexpr std::uint8_t ServerOffset = 100;

namespace parity {
constexpr std::uint8_t None = 1, Odd = 2, Even = 3, Mark = 4, Space = 5;
}
namespace stopsize {
constexpr std::uint8_t One = 1, Two = 2, OneAndHalf = 3;
}
namespace control {
constexpr std::uint8_t NoFlowControl = 1;
constexpr std::uint8_t XonXoff = 2;
constexpr std::uint8_t Hardware = 3;
constexpr std::uint8_t DtrOn = 8;
constexpr std::uint8_t DtrOff = 9;
constexpr std::uint8_t RtsOn = 11;
constexpr std::uint8_t RtsOff = 12;
} // namespace control
} // namespace cpc

// Bits of NOTIFY-MODEMSTATE and SET-MODEMSTATE-MASK (the layout of a 16550's modem status).
namespace modem {
constexpr std::uint8_t DeltaCts = 0x01;
constexpr std::uint8_t DeltaDsr = 0x02;
constexpr std::uint8_t TrailingEdgeRing = 0x04;
constexpr std::uint8_t DeltaCd = 0x08;
constexpr std::uint8_t Cts = 0x10;
constexpr std::uint8_t Dsr = 0x20;
constexpr std::uint8_t Ring = 0x40;
constexpr std::uint8_t Cd = 0x80;
} // namespace modem

// Bits of NOTIFY-LINESTATE and SET-LINESTATE-MASK.
namespace line {
constexpr std::uint8_t DataReady = 0x01;
constexpr std::uint8_t Overrun = 0x02;
constexpr std::uint8_t Parity = 0x04;
constexpr std::uint8_t Framing = 0x08;
constexpr std::uint8_t Break = 0x10;
constexpr std::uint8_t ErrorBits = Overrun | Parity | Framing | Break;
} // namespace line

// What this project's port server tells its client beyond RFC 2217, as a SIGNATURE of its own
// (the RFC lets either side send one at any time): a text that begins with one of these, the
// reason after it. A client of another make shows it as the server's signature or ignores it.
namespace notice {
constexpr std::string_view Refused = "VANTOR port server refuses the session: ";
constexpr std::string_view Ended = "VANTOR port server ends the session: ";
constexpr std::string_view NoModemLines = "VANTOR port server: no modem lines: ";
constexpr std::size_t MaxLength = 200; // a whole notice; it fits in one subnegotiation
} // namespace notice

} // namespace vantor::serial::rfc2217
