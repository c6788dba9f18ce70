#include "rfc2217session.h"

#include "rfc2217protocol.h"

#include <utility>

namespace vantor::serial::rfc2217 {

using namespace telnet;

namespace {

constexpr std::uint8_t ModemMaskValue = modem::Cts | modem::Dsr | modem::Cd | modem::Ring | modem::DeltaCts
    | modem::DeltaDsr | modem::DeltaCd | modem::TrailingEdgeRing;
constexpr std::uint8_t LineMaskValue = line::ErrorBits;
constexpr std::string_view OurSignature = "VANTOR Listener";
constexpr std::size_t MaxSignatureShown = 80;

const char *parityName(std::uint8_t value)
{
    switch (value) {
    case cpc::parity::None: return "none";
    case cpc::parity::Odd: return "odd";
    case cpc::parity::Even: return "even";
    case cpc::parity::Mark: return "mark";
    case cpc::parity::Space: return "space";
    }
    return "unknown";
}

const char *stopName(std::uint8_t value)
{
    switch (value) {
    case cpc::stopsize::One: return "1";
    case cpc::stopsize::Two: return "2";
    case cpc::stopsize::OneAndHalf: return "1.5";
    }
    return "unknown";
}

std::string optionName(std::uint8_t value)
{
    switch (value) {
    case option::Binary: return "binary transmission";
    case option::SuppressGoAhead: return "suppress go-ahead";
    case option::TimingMark: return "timing mark";
    case option::ComPort: return "the Com Port option";
    }
    return "option " + std::to_string(value);
}

std::string printable(std::string_view text, std::size_t limit = MaxSignatureShown)
{
    std::string out;
    for (const char c : text.substr(0, limit))
        out.push_back(c >= 0x20 && c < 0x7f ? c : '?');
    return out;
}

} // namespace

Rfc2217Session::Rfc2217Session(PortParameters parameters)
    : m_parameters(parameters)
{
    m_parser.setNvtCarriageReturn(true);
}

Bytes Rfc2217Session::start()
{
    m_ourBinary = m_ourSga = m_ourComPort = Q::WantYes;
    m_theirBinary = m_theirSga = Q::WantYes;
    return negotiation(WILL, option::Binary) + negotiation(DO, option::Binary)
        + negotiation(WILL, option::SuppressGoAhead) + negotiation(DO, option::SuppressGoAhead)
        + negotiation(WILL, option::ComPort);
}

bool Rfc2217Session::comPortActive() const
{
    return m_ourComPort == Q::Yes;
}

Rfc2217Session::Q &Rfc2217Session::ours(std::uint8_t option)
{
    switch (option) {
    case option::Binary: return m_ourBinary;
    case option::SuppressGoAhead: return m_ourSga;
    case option::ComPort: return m_ourComPort;
    }
    m_none = Q::No;
    return m_none;
}

Rfc2217Session::Q &Rfc2217Session::theirs(std::uint8_t option)
{
    switch (option) {
    case option::Binary: return m_theirBinary;
    case option::SuppressGoAhead: return m_theirSga;
    }
    m_none = Q::No;
    return m_none;
}

void Rfc2217Session::receive(std::string_view bytes, Output &out, PollingDetector::Clock::time_point now)
{
    m_now = now;
    if (m_faulted)
        return;
    std::vector<TelnetItem> items;
    m_parser.feed(bytes, items);
    for (TelnetItem &item : items) {
        switch (item.kind) {
        case TelnetItem::Kind::Data:
            out.events.push_back({SessionEvent::Kind::Data, {}, {}, std::move(item.bytes)});
            break;
        case TelnetItem::Kind::Negotiation: negotiate(item, out); break;
        case TelnetItem::Kind::Subnegotiation:
            if (item.option == option::ComPort && m_ourComPort != Q::No)
                comPortMessage(item.bytes, out);
            break;
        case TelnetItem::Kind::Command: break; // NOP, GA, ...: nothing to do
        }
        if (m_faulted)
            return;
    }
}

void Rfc2217Session::say(std::string line, Output &out)
{
    const auto [at, first] = m_said.try_emplace(std::move(line), 0);
    if (first)
        out.notices.push_back(at->first);
    else
        ++at->second;
}

void Rfc2217Session::flushRepeats(Output &out)
{
    for (auto &[line, repeats] : m_said) {
        if (repeats == 0)
            continue;
        out.notices.push_back(line + " (" + std::to_string(repeats) + (repeats == 1 ? " more time)" : " more times)"));
        repeats = 0;
    }
}

bool Rfc2217Session::request(unsigned &count, const std::string &what, Output &out)
{
    if (++count <= MaxRequests)
        return true;
    m_faulted = true;
    flushRepeats(out);
    out.fault = "The network serial server keeps " + what + " (" + std::to_string(count) + " times)";
    return false;
}

void Rfc2217Session::negotiate(const TelnetItem &item, Output &out)
{
    if (item.option == option::TimingMark) {
        // WILL or WONT answers our probe; after a WILL the option is set back to off, for
        // servers that keep it as a state and would otherwise not answer the next probe.
        // A DO is the server's own request for a mark.
        // A WILL that answers nothing of ours is refused all the same, and counted.
        if (item.verb == WILL) {
            if (!std::exchange(m_markAsked, false)
                && !request(m_requests[option::TimingMark], "offering the timing mark", out))
                return;
            out.reply += negotiation(DONT, option::TimingMark);
        } else if (item.verb == WONT) {
            m_markAsked = false;
        } else if (item.verb == DO) {
            out.reply += negotiation(WILL, option::TimingMark);
        }
        return;
    }
    switch (item.verb) {
    case DO: ourSide(item.option, true, out); break;
    case DONT: ourSide(item.option, false, out); break;
    case WILL: theirSide(item.option, true, out); break;
    case WONT: theirSide(item.option, false, out); break;
    }
}

// One side of an option, RFC 1143 without the queue bits (we never change our mind): a request
// that would change nothing is not answered, a server's own requests are counted (request()),
// an option we do not support is refused. True when the option's state changed.
bool Rfc2217Session::negotiate(Q &state, std::uint8_t option, bool agreed, bool supported, std::uint8_t accept,
                               std::uint8_t refuse, Output &out)
{
    const Q before = state;
    if (agreed ? before == Q::Yes : before == Q::No)
        return false; // no change: not answered
    if (before != Q::WantYes && !request(m_requests[option], "renegotiating " + optionName(option), out))
        return false;
    if (agreed) {
        if (before == Q::No && !supported) {
            out.reply += negotiation(refuse, option);
            return false;
        }
        if (before == Q::No)
            out.reply += negotiation(accept, option);
        state = Q::Yes;
    } else {
        if (before == Q::Yes)
            out.reply += negotiation(refuse, option);
        state = Q::No;
    }
    return true;
}

void Rfc2217Session::ourSide(std::uint8_t option, bool agreed, Output &out)
{
    const bool supported = option == option::Binary || option == option::SuppressGoAhead || option == option::ComPort;
    Q &state = ours(option);
    if (!negotiate(state, option, agreed, supported, WILL, WONT, out))
        return;
    updateCarriageReturn();
    if (option == option::ComPort) {
        if (state == Q::Yes) {
            sendSettings(out);
        } else {
            m_pending = 0;
            say("The network serial server refuses the Com Port option: "
                "settings, DTR, RTS and line changes are not available, data only",
                out);
        }
    } else if (option == option::Binary && state == Q::No) {
        say("The network serial server refuses binary transmission", out);
    } else if (option == option::SuppressGoAhead && state == Q::No) {
        say("The network serial server does not suppress go-ahead", out);
    }
}

void Rfc2217Session::theirSide(std::uint8_t option, bool agreed, Output &out)
{
    const bool supported = option == option::Binary || option == option::SuppressGoAhead;
    Q &state = theirs(option);
    const Q before = state;
    if (!negotiate(state, option, agreed, supported, DO, DONT, out))
        return;
    if (option == option::Binary && before == Q::WantYes && state == Q::No)
        say("The network serial server does not send in binary", out);
    updateCarriageReturn();
}

void Rfc2217Session::updateCarriageReturn()
{
    m_parser.setNvtCarriageReturn(m_theirBinary != Q::Yes);
}

void Rfc2217Session::sendSettings(Output &out)
{
    using namespace cpc;
    out.reply += comPort(SetBaudRate, bigEndian32(m_parameters.baudRate));
    out.reply += comPort(SetDataSize, m_parameters.dataSize);
    out.reply += comPort(SetParity, m_parameters.parity);
    out.reply += comPort(SetStopSize, m_parameters.stopSize);
    out.reply += comPort(SetControl, control::NoFlowControl);
    out.reply += comPort(SetControl, control::DtrOn);
    out.reply += comPort(SetControl, control::RtsOn);
    out.reply += comPort(SetModemStateMask, ModemMaskValue);
    out.reply += comPort(SetLineStateMask, LineMaskValue);
    m_pending = BaudRate | DataSize | Parity | StopSize | FlowControl | Dtr | Rts | ModemMask | LineMask;
}

void Rfc2217Session::acknowledge(unsigned request, bool asked, const std::string &what, Output &out)
{
    if (!(m_pending & request))
        return; // an answer to nothing we asked, or a repeated one
    m_pending &= ~request;
    if (!asked)
        say("The network serial server " + what, out);
}

void Rfc2217Session::comPortMessage(std::string_view payload, Output &out)
{
    using namespace cpc;
    if (payload.empty())
        return;
    const auto command = static_cast<std::uint8_t>(payload[0]);
    const std::string_view value = payload.substr(1);
    const std::uint8_t byte = value.empty() ? 0 : static_cast<std::uint8_t>(value[0]);
    const auto number = [](unsigned v) { return std::to_string(v); };

    switch (command) {
    case ServerOffset + Signature:
        if (value.empty()) {
            if (request(m_signatureRequests, "asking for our signature", out))
                out.reply += comPort(Signature, OurSignature);
        } else if (serverNotice(value, out)) {
        } else if (request(m_signatures, "sending its signature", out)) {
            say("Network serial server: " + printable(value), out);
        }
        break;
    case ServerOffset + SetBaudRate: {
        if (value.size() < 4)
            break;
        const std::uint32_t baud = readBigEndian32(value);
        acknowledge(BaudRate, baud == m_parameters.baudRate,
                    "uses speed " + number(baud) + " instead of " + number(m_parameters.baudRate), out);
        break;
    }
    case ServerOffset + SetDataSize:
        acknowledge(DataSize, byte == m_parameters.dataSize,
                    "uses " + number(byte) + " data bits instead of " + number(m_parameters.dataSize), out);
        break;
    case ServerOffset + SetParity:
        acknowledge(Parity, byte == m_parameters.parity,
                    std::string("uses parity ") + parityName(byte) + " instead of " + parityName(m_parameters.parity),
                    out);
        break;
    case ServerOffset + SetStopSize:
        acknowledge(StopSize, byte == m_parameters.stopSize,
                    std::string("uses ") + stopName(byte) + " stop bits instead of " + stopName(m_parameters.stopSize),
                    out);
        break;
    case ServerOffset + SetControl:
        if (byte >= control::NoFlowControl && byte <= control::Hardware)
            acknowledge(FlowControl, byte == control::NoFlowControl, "keeps flow control on", out);
        else if (byte == control::DtrOn || byte == control::DtrOff)
            acknowledge(Dtr, byte == control::DtrOn, "keeps DTR off", out);
        else if (byte == control::RtsOn || byte == control::RtsOff)
            acknowledge(Rts, byte == control::RtsOn, "keeps RTS off: contacts fed from RTS cannot close", out);
        break;
    case ServerOffset + SetModemStateMask:
        acknowledge(ModemMask, (byte & ModemMaskValue) == ModemMaskValue,
                    "does not report every modem line (mask " + number(byte) + ")", out);
        break;
    case ServerOffset + SetLineStateMask: acknowledge(LineMask, true, {}, out); break;
    case ServerOffset + NotifyModemState:
        if (value.empty())
            break;
        {
            const std::vector<LineEdge> edges = m_modem.update(byte);
            for (const LineEdge &edge : edges) {
                if (m_watching)
                    out.events.push_back({SessionEvent::Kind::Line, edge, {}, {}});
            }
            if (m_watching && !edges.empty() && m_now != PollingDetector::Clock::time_point{}) {
                if (const auto beat = m_polling.notice(m_now))
                    say("The network serial server reports line changes only every " + std::to_string(beat->count())
                            + " ms or so: it polls its lines, and contact pulses shorter than that may be lost",
                        out);
            }
            break;
        }
    case ServerOffset + NotifyLineState:
        if (value.empty())
            break;
        for (const LineError error : lineErrors(byte & LineMaskValue))
            out.events.push_back({SessionEvent::Kind::Error, {}, error, {}});
        break;
    default: break; // flow-control suspend/resume, purge, unknown: nothing to do
    }
}

// One of the notices of the package's own server; false for any other signature.
bool Rfc2217Session::serverNotice(std::string_view text, Output &out)
{
    const auto reason = [text](std::string_view kind) {
        return printable(text.substr(kind.size()), notice::MaxLength);
    };
    if (text.starts_with(notice::Refused)) {
        out.ended = "The network serial server refuses the session: " + reason(notice::Refused);
    } else if (text.starts_with(notice::Ended)) {
        out.ended = "The network serial server ended the session: " + reason(notice::Ended);
    } else if (text.starts_with(notice::NoModemLines)) {
        out.noModemLines = !std::exchange(m_noModemLines, true);
    } else {
        return false;
    }
    return true;
}

void Rfc2217Session::settle(Output &out)
{
    if (std::exchange(m_settled, true) || m_faulted)
        return;
    flushRepeats(out);
    if (m_ourComPort == Q::WantYes) {
        out.notices.push_back("The network serial server did not answer the Com Port option: "
                              "line changes cannot be watched");
        return;
    }
    static const std::pair<unsigned, const char *> names[] = {
        {BaudRate, "speed"},
        {DataSize, "data bits"},
        {Parity, "parity"},
        {StopSize, "stop bits"},
        {FlowControl, "flow control"},
        {Dtr, "DTR"},
        {Rts, "RTS"},
        {ModemMask, "modem-state mask"},
        {LineMask, "line-state mask"},
    };
    std::string missing;
    for (const auto &[request, name] : names) {
        if (m_pending & request)
            missing += (missing.empty() ? "" : ", ") + std::string(name);
    }
    m_pending = 0;
    if (!missing.empty())
        out.notices.push_back("The network serial server did not acknowledge: " + missing
                              + " (taken as asked; line changes are used as the server reports them)");
    if (m_ourBinary == Q::WantYes || m_theirBinary == Q::WantYes)
        out.notices.push_back("The network serial server did not answer binary transmission");
}

Bytes Rfc2217Session::encodeData(std::string_view data) const
{
    return escapeData(data, m_ourBinary == Q::Yes);
}

Bytes Rfc2217Session::probe()
{
    m_markAsked = true;
    Bytes out = negotiation(DO, option::TimingMark);
    if (comPortActive())
        out += comPort(cpc::SetBaudRate, bigEndian32(0));
    return out;
}

} // namespace vantor::serial::rfc2217
