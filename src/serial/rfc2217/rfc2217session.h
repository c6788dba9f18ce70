#pragma once

#include "rfc2217beat.h"
#include "rfc2217codec.h"
#include "rfc2217lines.h"
#include "rfc2217protocol.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The client side of a Telnet Com Port Control session (RFC 2217), without I/O: bytes from
// the server go in, the bytes to send back, the port's events and lines for the port log
// come out.
//
// The client offers BINARY and SUPPRESS-GO-AHEAD both ways and WILL COM-PORT-OPTION. Once
// the server agrees to the Com Port option it sends the line settings, flow control off,
// DTR on, RTS on, and the masks for CTS, DSR, CD and RI (levels and change bits) and for
// break, framing, parity and overrun. Servers differ: what the server refuses, or has not
// answered by the time settle() is called, is named in a port-log line and the session
// goes on with what it has.
//
// Negotiation follows RFC 1143: a request that would not change an option's state is not
// answered, so no exchange can loop. A server may still ask again and again (agree, refuse,
// agree, ...): each request of its own that changes an option or is refused counts, and after
// MaxRequests of one kind the server is taken as broken: Output::fault says why, and the
// session answers nothing more. A port-log line that would repeat is given once; the repeats
// are counted and given as one line with their number (flushRepeats).
//
// The package's own server says more in signatures of its own (rfc2217::notice): that it
// refuses or ends the session, and why (Output::ended), and that its device has no modem lines
// (Output::noModemLines). They are not counted as signatures.
namespace vantor::serial::rfc2217 {

// The line settings as the Com Port option encodes them.
struct PortParameters
{
    std::uint32_t baudRate = 9600;
    std::uint8_t dataSize = 8;
    std::uint8_t parity = cpc::parity::None;
    std::uint8_t stopSize = cpc::stopsize::One;
};

struct SessionEvent
{
    enum class Kind { Data, Line, Error };
    Kind kind = Kind::Data;
    LineEdge edge{Signal::Cts, false};
    LineError error = LineError::Break;
    Bytes data;
};

class Rfc2217Session
{
public:
    struct Output
    {
        Bytes reply; // to send to the server, in this order
        std::vector<SessionEvent> events;
        std::vector<std::string> notices;
        std::string fault;         // not empty: the server keeps misbehaving; end the connection
        std::string ended;         // not empty: the server refused or ended the session, and why
        bool noModemLines = false; // the server said (the first time) that its device has none
    };

    // Requests of one kind the server may make on its own before it is taken as broken.
    static constexpr unsigned MaxRequests = 8;

    explicit Rfc2217Session(PortParameters parameters);

    // The client's opening offers.
    Bytes start();
    // `now` is when the bytes arrived; given, a server that polls its lines is recognised by
    // the beat of its notices (PollingDetector) and named in one port-log line.
    void receive(std::string_view bytes, Output &out, PollingDetector::Clock::time_point now = {});
    // Names in port-log lines what the server has refused or left unanswered so far.
    // Called once, when the server has had a fair time to answer.
    void settle(Output &out);

    // Bytes for the wire carrying data to the device.
    Bytes encodeData(std::string_view data) const;
    // A keep-alive that servers answer at once: DO TIMING-MARK, which every Telnet server
    // answers with WILL or WONT (RFC 860), and once the Com Port option is agreed also
    // SET-BAUDRATE 0, the request for the present speed that RFC 2217 servers must answer.
    // Any byte from the server counts as the answer.
    Bytes probe();
    // Lines for the port log for the repeats counted since the last call.
    void flushRepeats(Output &out);
    bool faulted() const { return m_faulted; }

    // Until this is called, modem-state notifications set the line levels only. Servers
    // answer the mask with the present state, some with change bits left over from before
    // the session (lines that rose when the server opened its port); taken as changes, they
    // would fire slots as the port opens.
    void watchChanges() { m_watching = true; }

    bool comPortActive() const;
    bool level(Signal signal) const { return m_modem.level(signal); }
    std::size_t droppedSubnegotiations() const { return m_parser.droppedSubnegotiations(); }

private:
    enum class Q { No, WantYes, Yes };
    // What we asked the server to set, until it answers.
    enum Request : unsigned {
        BaudRate = 1u << 0,
        DataSize = 1u << 1,
        Parity = 1u << 2,
        StopSize = 1u << 3,
        FlowControl = 1u << 4,
        Dtr = 1u << 5,
        Rts = 1u << 6,
        ModemMask = 1u << 7,
        LineMask = 1u << 8,
    };

    void negotiate(const TelnetItem &item, Output &out);
    bool negotiate(Q &state, std::uint8_t option, bool agreed, bool supported, std::uint8_t accept, std::uint8_t refuse,
                   Output &out);
    void ourSide(std::uint8_t option, bool agreed, Output &out);   // DO / DONT received
    void theirSide(std::uint8_t option, bool agreed, Output &out); // WILL / WONT received
    void comPortMessage(std::string_view payload, Output &out);
    bool serverNotice(std::string_view text, Output &out);
    void acknowledge(unsigned request, bool asked, const std::string &what, Output &out);
    void sendSettings(Output &out);
    void updateCarriageReturn();
    void say(std::string line, Output &out);
    // Counts one request of the server's own; false (and the session ends) past the limit.
    bool request(unsigned &count, const std::string &what, Output &out);
    Q &ours(std::uint8_t option);
    Q &theirs(std::uint8_t option);

    PortParameters m_parameters;
    TelnetParser m_parser;
    ModemStateTracker m_modem;
    PollingDetector m_polling;
    PollingDetector::Clock::time_point m_now; // when the bytes being read arrived
    Q m_ourBinary = Q::No, m_ourSga = Q::No, m_ourComPort = Q::No;
    Q m_theirBinary = Q::No, m_theirSga = Q::No;
    Q m_none = Q::No;
    unsigned m_pending = 0;
    bool m_settled = false;
    bool m_watching = false;
    bool m_markAsked = false;               // a probe's DO TIMING-MARK awaits its answer
    bool m_faulted = false;                 // the server was taken as broken: nothing more is read or sent
    std::array<unsigned, 256> m_requests{}; // the server's own requests, per option
    unsigned m_signatureRequests = 0;
    unsigned m_signatures = 0;
    bool m_noModemLines = false;            // the server said its device has no modem lines
    std::map<std::string, unsigned> m_said; // port-log lines given, and their repeats not yet told
};

} // namespace vantor::serial::rfc2217
