#pragma once

#include "rfc2217codec.h"
#include "rfc2217protocol.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The server side of a Telnet Com Port Control session (RFC 2217), without I/O: bytes from the
// client go in; the replies, the data for the device and the port's settings come out through
// a PortControl the caller gives. Notices of line changes are built on request.
//
// The server accepts BINARY, SUPPRESS-GO-AHEAD and COM-PORT-OPTION both ways, and refuses every other option. The modem lines' levels are sent as soon as the Com Port
// option is agreed, so that a client knows them before the first change.
//
// Data is passed as the binary it is on a serial line, whether or not BINARY was agreed: only
// IAC is doubled, and no CR NUL is added or removed (clients of serial servers expect this). Negotiation follows RFC 1143: a request that would not change
// an option's state is not answered, so no exchange can loop.
namespace vantor::serial::rfc2217 {

// What the session asks of the port. Each setter gets the client's value (0 asks for the
// present one) and returns the value in force afterwards, which is the answer to the client.
class PortControl
{
public:
    virtual ~PortControl() = default;
    virtual std::uint32_t setBaudRate(std::uint32_t baud) = 0;
    virtual std::uint8_t setDataSize(std::uint8_t size) = 0;
    virtual std::uint8_t setParity(std::uint8_t parity) = 0;
    virtual std::uint8_t setStopSize(std::uint8_t size) = 0;
    // SET-CONTROL: flow control, break, DTR and RTS, or a question about one of them.
    virtual std::uint8_t setControl(std::uint8_t value) = 0;
    // PURGE-DATA: 1 the receive buffer, 2 the transmit buffer, 3 both.
    virtual void purge(std::uint8_t which) = 0;
    // The modem lines' levels (modem:: level bits) as of the last change reported to the client.
    virtual std::uint8_t modemLevels() const = 0;
};

class Rfc2217ServerSession
{
public:
    struct Output
    {
        Bytes reply;           // to send to the client, in this order
        Bytes data;            // for the device
        Bytes clientSignature; // what the client calls itself, when it says
    };

    // The mask RFC 2217 starts with: every modem bit, no line-state bit.
    static constexpr std::uint8_t DefaultModemMask = 0xff;

    Rfc2217ServerSession(PortControl &port, std::string signature);

    void receive(std::string_view bytes, Output &out);
    // Bytes for the wire carrying data from the device: IAC doubled.
    Bytes encodeData(std::string_view data) const;
    // A NOTIFY-MODEMSTATE for the modem lines' present levels and the change bits of what
    // happened since the last one (modem:: bits), as far as the client's mask lets it through;
    // empty when the mask holds it back or the Com Port option is not agreed.
    Bytes modemState(std::uint8_t state);
    // A NOTIFY-LINESTATE for line errors (line:: bits), within the client's mask.
    Bytes lineState(std::uint8_t state) const;
    // One of this server's notices (notice::Refused, ...) with its reason, as a SIGNATURE of
    // the server's own, cut to notice::MaxLength. Sent whatever was agreed: a client refused at
    // once has agreed nothing yet.
    static Bytes notice(std::string_view kind, std::string_view reason);

    bool comPortActive() const { return m_theirs[option::ComPort] == Q::Yes || m_ours[option::ComPort] == Q::Yes; }
    std::uint8_t modemMask() const { return m_modemMask; }

private:
    enum class Q : std::uint8_t { No, WantYes, Yes };

    void negotiate(const TelnetItem &item, Output &out);
    void command(std::string_view payload, Output &out);
    // The present levels, without change bits: when the Com Port option is agreed, when the
    // client sets the modem-state mask and when it asks with a NOTIFY-MODEMSTATE of its own.
    void presentState(Output &out);

    PortControl &m_port;
    const std::string m_signature;
    TelnetParser m_parser;
    std::array<Q, 256> m_ours{};   // options we perform (the client said DO)
    std::array<Q, 256> m_theirs{}; // options the client performs (the client said WILL)
    std::uint8_t m_modemMask = DefaultModemMask;
    std::uint8_t m_lineMask = 0;
    std::uint8_t m_lastLevels = 0; // levels in the last notice sent
};

} // namespace vantor::serial::rfc2217
