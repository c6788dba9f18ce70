#include "rfc2217codec.h"

#include "rfc2217protocol.h"

namespace vantor::serial::rfc2217 {

using namespace telnet;

void TelnetParser::feed(std::string_view bytes, std::vector<TelnetItem> &out)
{
    for (const char c : bytes)
        step(static_cast<std::uint8_t>(c), out);
}

void TelnetParser::data(std::uint8_t byte, std::vector<TelnetItem> &out)
{
    if (out.empty() || out.back().kind != TelnetItem::Kind::Data)
        out.push_back({});
    out.back().bytes.push_back(static_cast<char>(byte));
}

void TelnetParser::command(std::uint8_t byte, std::vector<TelnetItem> &out)
{
    switch (byte) {
    case IAC:
        data(IAC, out);
        m_state = State::Data;
        break;
    case WILL:
    case WONT:
    case DO:
    case DONT:
        m_verb = byte;
        m_state = State::Option;
        break;
    case SB: m_state = State::SbOption; break;
    default: // NOP, GA, AYT, a stray SE, ...
        out.push_back({TelnetItem::Kind::Command, byte, 0, {}});
        m_state = State::Data;
        break;
    }
}

void TelnetParser::step(std::uint8_t byte, std::vector<TelnetItem> &out)
{
    switch (m_state) {
    case State::CarriageReturn:
        m_state = State::Data;
        if (byte == NUL)
            return;
        [[fallthrough]];
    case State::Data:
        if (byte == IAC) {
            m_state = State::Iac;
        } else {
            data(byte, out);
            if (byte == CR && m_nvtCr)
                m_state = State::CarriageReturn;
        }
        return;
    case State::Iac: command(byte, out); return;
    case State::Option:
        out.push_back({TelnetItem::Kind::Negotiation, m_verb, byte, {}});
        m_state = State::Data;
        return;
    case State::SbOption:
        m_sbOption = byte;
        m_sb.clear();
        m_sbOverflow = false;
        m_state = State::Sb;
        return;
    case State::Sb:
        if (byte == IAC)
            m_state = State::SbIac;
        else if (m_sb.size() < MaxSubnegotiation)
            m_sb.push_back(static_cast<char>(byte));
        else
            m_sbOverflow = true;
        return;
    case State::SbIac:
        if (byte == IAC) {
            if (m_sb.size() < MaxSubnegotiation)
                m_sb.push_back(static_cast<char>(IAC));
            else
                m_sbOverflow = true;
            m_state = State::Sb;
        } else if (byte == SE) {
            if (m_sbOverflow)
                ++m_dropped;
            else
                out.push_back({TelnetItem::Kind::Subnegotiation, 0, m_sbOption, std::move(m_sb)});
            m_sb.clear();
            m_state = State::Data;
        } else {
            // IAC followed by a command inside a subnegotiation: the peer lost the IAC SE.
            // Drop what was gathered and take the command as it stands.
            ++m_dropped;
            m_sb.clear();
            command(byte, out);
        }
        return;
    }
}

Bytes negotiation(std::uint8_t verb, std::uint8_t option)
{
    return {static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)};
}

Bytes subnegotiation(std::uint8_t option, std::string_view payload)
{
    Bytes out{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(option)};
    for (const char c : payload) {
        out.push_back(c);
        if (static_cast<std::uint8_t>(c) == IAC)
            out.push_back(c);
    }
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
    return out;
}

Bytes comPort(std::uint8_t command, std::string_view value)
{
    Bytes payload(1, static_cast<char>(command));
    payload.append(value);
    return subnegotiation(option::ComPort, payload);
}

Bytes comPort(std::uint8_t command, std::uint8_t value)
{
    const char v = static_cast<char>(value);
    return comPort(command, std::string_view(&v, 1));
}

Bytes escapeData(std::string_view data, bool binary)
{
    Bytes out;
    out.reserve(data.size() + 8);
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(data[i]);
        out.push_back(data[i]);
        if (byte == IAC)
            out.push_back(data[i]);
        else if (byte == CR && !binary && (i + 1 == data.size() || data[i + 1] != LF))
            out.push_back(static_cast<char>(NUL));
    }
    return out;
}

Bytes bigEndian32(std::uint32_t value)
{
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

std::uint32_t readBigEndian32(std::string_view bytes)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i)
        value = (value << 8) | static_cast<std::uint8_t>(bytes[i]);
    return value;
}

} // namespace vantor::serial::rfc2217
