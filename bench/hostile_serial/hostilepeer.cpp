#include "hostilepeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char IAC = char(255), SB = char(250), SE = char(240), DO = char(253), DONT = char(254);
constexpr char ComPort = 44;
constexpr char NotifyModemState = char(7 + 100);
constexpr char CtsDsrPulse = 0x10 | 0x20 | 0x01 | 0x02; // CTS and DSR on, both change bits

// What one mode sends, over and over.
std::string pattern(HostilePeer::Mode mode)
{
    std::string unit;
    switch (mode) {
    case HostilePeer::Mode::Renegotiate: unit = {IAC, DONT, ComPort, IAC, DO, ComPort}; break;
    case HostilePeer::Mode::ModemFlood: unit = {IAC, SB, ComPort, NotifyModemState, CtsDsrPulse, IAC, SE}; break;
    case HostilePeer::Mode::DataStream: unit = "0123456789abcdefghijklmnopqrstuvwxyz\r\n"; break;
    }
    std::string out;
    while (out.size() < 64 * 1024)
        out += unit;
    return out;
}

} // namespace

HostilePeer::HostilePeer(Mode mode, std::chrono::milliseconds lifetime)
    : m_mode(mode)
    , m_end(std::chrono::steady_clock::now() + lifetime)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_listener, 4) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

HostilePeer::~HostilePeer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener >= 0)
        ::close(m_listener);
}

const char *HostilePeer::name(Mode mode)
{
    switch (mode) {
    case Mode::Renegotiate: return "DONT/DO COM-PORT repeater that never reads";
    case Mode::ModemFlood: return "NOTIFY-MODEMSTATE flood (CTS and DSR change bits)";
    case Mode::DataStream: return "data streamer";
    }
    return "";
}

namespace {
bool over(const std::atomic<bool> &stop, std::chrono::steady_clock::time_point end)
{
    return stop || std::chrono::steady_clock::now() >= end;
}
} // namespace

void HostilePeer::run()
{
    while (!over(m_stop, m_end)) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            continue;
        serve(client);
        ::close(client);
    }
}

// Until the client goes or the lifetime is over.
void HostilePeer::serve(int client)
{
    const std::string out = pattern(m_mode);
    std::size_t at = 0;
    if (m_mode == Mode::ModemFlood) {
        const char agree[] = {IAC, DO, ComPort};
        if (::send(client, agree, sizeof agree, MSG_NOSIGNAL) != ssize_t(sizeof agree))
            return;
    }
    const bool reads = m_mode != Mode::Renegotiate;
    char sink[16 * 1024];
    while (!over(m_stop, m_end)) {
        pollfd p{client, short(POLLOUT | (reads ? POLLIN : 0)), 0};
        if (::poll(&p, 1, 50) < 0)
            return;
        if (p.revents & (POLLERR | POLLHUP))
            return;
        if (p.revents & POLLIN) {
            const ssize_t n = ::recv(client, sink, sizeof sink, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                return;
        }
        if (p.revents & POLLOUT) {
            const ssize_t n = ::send(client, out.data() + at, out.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                return;
            if (n > 0) {
                m_sent += std::uint64_t(n);
                at = (at + std::size_t(n)) % out.size();
            }
        }
    }
}
