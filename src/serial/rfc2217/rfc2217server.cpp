#include "rfc2217server.h"

#include <algorithm>
#include <utility>

namespace vantor::serial::rfc2217 {

using namespace telnet;

namespace {

constexpr std::uint8_t LevelBits = modem::Cts | modem::Dsr | modem::Ring | modem::Cd;
constexpr std::uint8_t DeltaBits = modem::DeltaCts | modem::DeltaDsr | modem::TrailingEdgeRing | modem::DeltaCd;
constexpr std::size_t MaxSignature = 80;

// Both sides: some clients ask the server to perform the Com Port option (DO), others offer to
// (WILL); either agreement starts it.
bool supported(std::uint8_t o)
{
    return o == option::Binary || o == option::SuppressGoAhead || o == option::ComPort;
}

} // namespace

Rfc2217ServerSession::Rfc2217ServerSession(PortControl &port, std::string signature)
    : m_port(port)
    , m_signature(std::move(signature))
{
}

void Rfc2217ServerSession::receive(std::string_view bytes, Output &out)
{
    std::vector<TelnetItem> items;
    m_parser.feed(bytes, items);
    for (const TelnetItem &item : items) {
        switch (item.kind) {
        case TelnetItem::Kind::Data: out.data += item.bytes; break;
        case TelnetItem::Kind::Negotiation: negotiate(item, out); break;
        case TelnetItem::Kind::Subnegotiation:
            if (item.option == option::ComPort && comPortActive())
                command(item.bytes, out);
            break;
        case TelnetItem::Kind::Command: break; // NOP, go-ahead, break in the stream: nothing to do
        }
    }
}

void Rfc2217ServerSession::negotiate(const TelnetItem &item, Output &out)
{
    const std::uint8_t o = item.option;
    const bool asked = item.verb == WILL || item.verb == DO;
    const bool theirSide = item.verb == WILL || item.verb == WONT;
    Q &state = theirSide ? m_theirs[o] : m_ours[o];
    const std::uint8_t accept = theirSide ? DO : WILL;
    const std::uint8_t refuse = theirSide ? DONT : WONT;

    if (asked && supported(o)) {
        if (state == Q::No)
            out.reply += negotiation(accept, o);
        const bool comPortAgreed = o == option::ComPort && !comPortActive();
        state = Q::Yes;
        if (comPortAgreed)
            presentState(out);
    } else if (asked) {
        out.reply += negotiation(refuse, o);
    } else if (state != Q::No) {
        if (state == Q::Yes)
            out.reply += negotiation(refuse, o);
        state = Q::No;
    }
}

void Rfc2217ServerSession::command(std::string_view payload, Output &out)
{
    using namespace cpc;
    if (payload.empty())
        return;
    const auto code = static_cast<std::uint8_t>(payload[0]);
    const std::string_view value = payload.substr(1);
    const std::uint8_t byte = value.empty() ? 0 : static_cast<std::uint8_t>(value[0]);
    const auto answer = [&](std::uint8_t v) { out.reply += comPort(code + ServerOffset, v); };

    switch (code) {
    case Signature:
        if (value.empty())
            out.reply += comPort(Signature + ServerOffset, m_signature);
        else
            out.clientSignature = Bytes(value.substr(0, MaxSignature));
        break;
    case SetBaudRate:
        if (value.size() >= 4)
            out.reply += comPort(SetBaudRate + ServerOffset, bigEndian32(m_port.setBaudRate(readBigEndian32(value))));
        break;
    case SetDataSize: answer(m_port.setDataSize(byte)); break;
    case SetParity: answer(m_port.setParity(byte)); break;
    case SetStopSize: answer(m_port.setStopSize(byte)); break;
    case SetControl: answer(m_port.setControl(byte)); break;
    case SetLineStateMask:
        m_lineMask = byte;
        answer(byte);
        break;
    case SetModemStateMask:
        m_modemMask = byte;
        answer(byte);
        presentState(out);
        break;
    case NotifyModemState: presentState(out); break;
    case PurgeData:
        m_port.purge(byte);
        answer(byte);
        break;
    default: break; // flow-control suspend and resume, the client's notices: nothing to answer
    }
}

void Rfc2217ServerSession::presentState(Output &out)
{
    m_lastLevels = m_port.modemLevels() & LevelBits;
    out.reply +=
        comPort(cpc::NotifyModemState + cpc::ServerOffset, static_cast<std::uint8_t>(m_lastLevels & m_modemMask));
}

Bytes Rfc2217ServerSession::encodeData(std::string_view data) const
{
    return escapeData(data, true);
}

Bytes Rfc2217ServerSession::modemState(std::uint8_t state)
{
    if (!comPortActive())
        return {};
    const bool levelChanged = ((state ^ m_lastLevels) & LevelBits & m_modemMask) != 0;
    const bool deltaShown = (state & DeltaBits & m_modemMask) != 0;
    if (!levelChanged && !deltaShown)
        return {};
    m_lastLevels = state & LevelBits;
    return comPort(cpc::NotifyModemState + cpc::ServerOffset, static_cast<std::uint8_t>(state & m_modemMask));
}

Bytes Rfc2217ServerSession::lineState(std::uint8_t state) const
{
    if (!comPortActive() || (state & m_lineMask) == 0)
        return {};
    return comPort(cpc::NotifyLineState + cpc::ServerOffset, static_cast<std::uint8_t>(state & m_lineMask));
}

Bytes Rfc2217ServerSession::notice(std::string_view kind, std::string_view reason)
{
    std::string text(kind);
    text.append(reason);
    text.resize(std::min(text.size(), notice::MaxLength));
    return comPort(cpc::Signature + cpc::ServerOffset, text);
}

} // namespace vantor::serial::rfc2217
