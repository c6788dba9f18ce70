#include "portserver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using vantor::serial::LineWatcher;
namespace rfc2217 = vantor::serial::rfc2217;
namespace modem = rfc2217::modem;
namespace line = rfc2217::line;

namespace {

constexpr const char *Signature = "VANTOR port server " VANTOR_VERSION " (line-change interrupts, no polling)";

std::string errorText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

std::string peerName(const sockaddr_storage &address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    char port[8] = "?";
    ::getnameinfo(reinterpret_cast<const sockaddr *>(&address), sizeof address, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV);
    return std::string(host) + " port " + port;
}

// No name lookup: the server binds only to an address it is given.
bool numericAddress(const std::string &text, std::uint16_t port, sockaddr_storage &address, socklen_t &length)
{
    auto &v4 = reinterpret_cast<sockaddr_in &>(address);
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
    if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        length = sizeof v4;
        return true;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        length = sizeof v6;
        return true;
    }
    return false;
}

void keepAlive(int fd)
{
    const int on = 1, idle = PortServer::KeepIdleSeconds, interval = PortServer::KeepIntervalSeconds,
              probes = PortServer::KeepProbes;
    const unsigned timeoutMs = PortServer::DeadPeerSeconds * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeoutMs, sizeof timeoutMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

} // namespace

struct PortServer::Client
{
    Client(int socket, std::string name, rfc2217::PortControl &port)
        : fd(socket)
        , peer(std::move(name))
        , session(port, Signature)
    {
    }
    ~Client() { ::close(fd); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    const int fd;
    const std::string peer;
    rfc2217::Rfc2217ServerSession session;
    rfc2217::Bytes out;       // not yet taken by the connection
    bool toldNoLines = false; // the notice that the tty has no modem lines went out
};

PortServer::PortServer(Options options, Log log)
    : m_options(std::move(options))
    , m_log(std::move(log))
    , m_tty(m_options.device, m_log)
{
    m_tty.setPurgeHook([this](std::uint8_t which) {
        if (which & 2)
            m_toDevice.clear();
    });
}

PortServer::~PortServer()
{
    m_client.reset();
    for (const Leaving &l : m_leaving)
        ::close(l.fd);
    if (m_watcher)
        m_watcher->stop();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

PortServer::Status PortServer::open()
{
    std::string error;
    if (!m_tty.open(m_options.rts, m_options.dtr, error)) {
        m_log("cannot open " + m_options.device + ": " + error);
        return DeviceFailed;
    }
    int bits = 0;
    if (::ioctl(m_tty.fd(), TIOCMGET, &bits) == 0) {
        m_levels =
            static_cast<std::uint8_t>(((bits & TIOCM_CTS) ? modem::Cts : 0) | ((bits & TIOCM_DSR) ? modem::Dsr : 0)
                                      | ((bits & TIOCM_CD) ? modem::Cd : 0) | ((bits & TIOCM_RNG) ? modem::Ring : 0));
    }
    m_tty.setModemLevels(m_levels);
    m_watcher = std::make_unique<LineWatcher>(m_tty.fd(), [this](const LineWatcher::Change &c) { lineChanged(c); });
    m_watcher->setSetbackSink([this](LineWatcher::Setback setback, int error) {
        if (setback == LineWatcher::Setback::FellBackToPolling) {
            m_log(m_options.device + ": the driver's line-change wait "
                  + (error ? std::string("failed (") + std::strerror(error) + ")" : std::string("keeps waking"))
                  + "; the lines are read every 2 ms from now on");
            return;
        }
        m_watchEnded = true;
        m_queue.push({false, 0, {}});
    });
    switch (m_watcher->start()) {
    case LineWatcher::Method::Interrupt: break;
    case LineWatcher::Method::Polling:
        m_log(m_options.device + ": the driver cannot wait for line changes; the lines are read every 2 ms");
        break;
    case LineWatcher::Method::Unsupported:
        m_log(m_options.device + ": no modem lines to watch (each client is told)");
        m_noModemLines = true;
        break;
    }
    m_tty.setGuard([this](const std::function<void()> &f) { m_watcher->whilePaused(f); });

    sockaddr_storage address{};
    socklen_t addressLength = 0;
    if (!numericAddress(m_options.listen, m_options.port, address, addressLength)) {
        m_log("cannot listen on " + m_options.listen + ": not a numeric IPv4 or IPv6 address");
        return Failed;
    }
    m_listenFd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), addressLength) != 0
        || ::listen(m_listenFd, 4) != 0) {
        m_log(errorText("cannot listen on " + m_options.listen + " port " + std::to_string(m_options.port)));
        return Failed;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&bound), &length);
    m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(bound).sin6_port
                                               : reinterpret_cast<sockaddr_in &>(bound).sin_port);
    m_log("serving " + m_options.device + " on " + m_options.listen + " port " + std::to_string(m_port));
    return Ok;
}

void PortServer::lineChanged(const LineWatcher::Change &c)
{
    using S = LineWatcher::Signal;
    const auto level = [&](std::uint8_t bit, std::uint8_t delta) {
        m_levels = static_cast<std::uint8_t>(c.level ? (m_levels | bit) : (m_levels & ~bit));
        m_queue.push({true, static_cast<std::uint8_t>(m_levels | delta), c.when});
    };
    const auto error = [&](std::uint8_t bit) { m_queue.push({false, bit, c.when}); };
    switch (c.what) {
    case S::Cts: level(modem::Cts, modem::DeltaCts); break;
    case S::Dsr: level(modem::Dsr, modem::DeltaDsr); break;
    case S::Cd: level(modem::Cd, modem::DeltaCd); break;
    case S::Ri: level(modem::Ring, modem::TrailingEdgeRing); break;
    case S::Break: error(line::Break); break;
    case S::Frame: error(line::Framing); break;
    case S::Parity: error(line::Parity); break;
    case S::Overrun:
    case S::BufferOverrun: error(line::Overrun); break;
    }
}

PortServer::Status PortServer::run(int stopFd)
{
    enum { Stop, Listen, Queue, Device, Peer, Count };
    std::vector<pollfd> fds(Count);
    while (!m_lost) {
        fds.resize(Count);
        fds[Stop] = {stopFd, POLLIN, 0};
        fds[Listen] = {m_listenFd, POLLIN, 0};
        fds[Queue] = {m_queue.fd(), POLLIN, 0};
        fds[Device] = {m_tty.fd(), static_cast<short>(POLLIN | (m_toDevice.empty() ? 0 : POLLOUT)), 0};
        fds[Peer] = {-1, 0, 0};
        if (m_client) {
            fds[Peer].fd = m_client->fd;
            fds[Peer].events = static_cast<short>((m_toDevice.size() < MaxDeviceBacklog ? POLLIN : 0)
                                                  | (m_client->out.empty() ? 0 : POLLOUT));
        }
        for (const Leaving &l : m_leaving)
            fds.push_back({l.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), pollTimeout(Clock::now())) < 0) {
            if (errno == EINTR)
                continue;
            m_log(errorText("poll"));
            return Failed;
        }
        if (fds[Stop].revents)
            return Ok;
        drainLeaving(Clock::now(), fds, Count);
        if (fds[Queue].revents)
            deliverLines();
        if (fds[Device].revents & (POLLIN | POLLHUP | POLLERR))
            m_lost = !readDevice();
        if (!m_lost && (fds[Device].revents & POLLOUT))
            writeDevice();
        if (m_client && fds[Peer].fd == m_client->fd && (fds[Peer].revents & (POLLIN | POLLHUP | POLLERR)))
            readClient();
        if (m_client && !m_client->out.empty() && !writeClient())
            dropClient("its connection failed");
        if (fds[Listen].revents & POLLIN)
            accept();
    }
    return Failed;
}

void PortServer::accept()
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return; // gone before we took it, or out of descriptors: the next one is tried
    keepAlive(fd);
    const std::string name = peerName(address);
    readPendingClient(); // a client that has just left (a probe's connection) is gone now
    if (m_client) {
        const long silent = clientSilentMs();
        if (!m_options.takeover && silent < long(SilentSeconds) * 1000) {
            refuse(fd, name, silent);
            return;
        }
        if (m_options.takeover)
            endClient("client " + name + " takes over (--takeover)", "client " + name + " took over");
        else
            endClient("silent for " + std::to_string(silent / 1000) + " s; client " + name + " takes over",
                      "nothing heard from this client for " + std::to_string(silent / 1000) + " s; client " + name
                          + " took over");
    }
    m_client = std::make_unique<Client>(fd, name, m_tty);
    m_log("client " + name + " connected");
}

// What the client sent before the newcomer came, its end included, is read first, a few
// reads at most: a bounded look, not a wait.
void PortServer::readPendingClient()
{
    for (int reads = 0; m_client && reads < 4; ++reads) {
        pollfd p{m_client->fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR)))
            return;
        readClient();
    }
}

// Since the client was last heard from: its last byte, or its answer to the connection's
// keep-alive (every answer is an acknowledgement). Unknown counts as heard now.
long PortServer::clientSilentMs() const
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(m_client->fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return 0;
    return long(std::min(info.tcpi_last_data_recv, info.tcpi_last_ack_recv));
}

void PortServer::refuse(int fd, const std::string &name, long silentMs)
{
    letGo(fd,
          rfc2217::Rfc2217ServerSession::notice(
              rfc2217::notice::Refused, "it serves another client (" + m_client->peer + "), which still answers"));
    const Clock::time_point now = Clock::now();
    if (now - m_refusalLogged < std::chrono::seconds(1)) {
        ++m_refusalsUntold;
        return;
    }
    std::string more;
    if (m_refusalsUntold)
        more = " (and " + std::to_string(std::exchange(m_refusalsUntold, 0)) + " more since the last one logged)";
    m_refusalLogged = now;
    m_log("client " + name + " refused: client " + m_client->peer + " is served and was heard from "
          + std::to_string(silentMs) + " ms ago" + more);
}

// The client is told why its session ends, and goes.
void PortServer::endClient(const std::string &why, const std::string &told)
{
    m_log("client " + m_client->peer + " closed: " + why);
    const int fd = ::dup(m_client->fd);
    m_client.reset();
    if (fd >= 0)
        letGo(fd, rfc2217::Rfc2217ServerSession::notice(rfc2217::notice::Ended, told));
}

// The last words go out, then the end of what we send; the connection is read (and what it
// sends dropped) until it ends too, LeavingTime at most, so that our words are not lost to a
// reset of a connection closed with its data unread.
void PortServer::letGo(int fd, const rfc2217::Bytes &last)
{
    [[maybe_unused]] const ssize_t sent = ::send(fd, last.data(), last.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    if (m_leaving.size() >= MaxLeaving) {
        ::close(m_leaving.front().fd);
        m_leaving.erase(m_leaving.begin());
    }
    m_leaving.push_back({fd, Clock::now() + LeavingTime});
}

void PortServer::drainLeaving(Clock::time_point now, const std::vector<pollfd> &fds, std::size_t first)
{
    std::vector<Leaving> staying;
    for (std::size_t i = 0; i < m_leaving.size(); ++i) {
        const Leaving &l = m_leaving[i];
        bool gone = now >= l.until;
        const std::size_t at = first + i;
        if (!gone && at < fds.size() && fds[at].fd == l.fd && fds[at].revents) {
            char buffer[ReadSize];
            const ssize_t n = ::recv(l.fd, buffer, sizeof buffer, 0);
            gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
        }
        if (gone)
            ::close(l.fd);
        else
            staying.push_back(l);
    }
    m_leaving = std::move(staying);
}

int PortServer::pollTimeout(Clock::time_point now) const
{
    if (m_leaving.empty())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_leaving.front().until - now);
    return int(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

void PortServer::dropClient(const std::string &why)
{
    m_log("client " + m_client->peer + " closed: " + why);
    m_client.reset();
}

void PortServer::readClient()
{
    char buffer[ReadSize];
    const ssize_t n = ::recv(m_client->fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        m_log("client " + m_client->peer + " left" + (n < 0 ? errorText("") : std::string()));
        m_client.reset();
        return;
    }
    if (n < 0)
        return;
    rfc2217::Rfc2217ServerSession::Output out;
    m_client->session.receive(std::string_view(buffer, static_cast<std::size_t>(n)), out);
    if (!out.clientSignature.empty()) {
        std::string shown;
        for (const char c : out.clientSignature)
            shown.push_back(c >= 0x20 && c < 0x7f ? c : '?');
        m_log("client " + m_client->peer + " is " + shown);
    }
    send(out.reply);
    if (m_client && m_noModemLines && m_client->session.comPortActive() && !m_client->toldNoLines) {
        m_client->toldNoLines = true;
        send(rfc2217::Rfc2217ServerSession::notice(rfc2217::notice::NoModemLines,
                                                   m_options.device + " has no modem lines that can be watched"));
    }
    m_toDevice += out.data;
    writeDevice();
}

void PortServer::send(const rfc2217::Bytes &bytes)
{
    if (!m_client || bytes.empty())
        return;
    m_client->out += bytes;
    if (m_client->out.size() > MaxClientBacklog)
        dropClient("it takes no data (" + std::to_string(m_client->out.size()) + " bytes waiting)");
}

bool PortServer::writeClient()
{
    const ssize_t n = ::send(m_client->fd, m_client->out.data(), m_client->out.size(), MSG_NOSIGNAL);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    m_client->out.erase(0, static_cast<std::size_t>(n));
    return true;
}

bool PortServer::readDevice()
{
    char buffer[ReadSize];
    const ssize_t n = ::read(m_tty.fd(), buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0) {
        m_log(n < 0 ? errorText(m_options.device + " failed") : m_options.device + " hung up");
        return false;
    }
    m_watcher->lookSoon(); // breaks and line errors are counted without waking the watcher
    if (m_client)
        send(m_client->session.encodeData(std::string_view(buffer, static_cast<std::size_t>(n))));
    return true;
}

void PortServer::writeDevice()
{
    if (m_toDevice.empty())
        return;
    const ssize_t n = ::write(m_tty.fd(), m_toDevice.data(), m_toDevice.size());
    if (n >= 0) {
        m_toDevice.erase(0, static_cast<std::size_t>(n));
    } else if (errno != EAGAIN && errno != EINTR) {
        m_log(errorText(m_options.device + ": " + std::to_string(m_toDevice.size()) + " bytes for it dropped"));
        m_toDevice.clear();
    }
}

void PortServer::deliverLines()
{
    const std::size_t mergedBefore = m_merged;
    for (const LineQueue::Entry &e : m_queue.take(m_merged)) {
        if (e.modem)
            m_tty.setModemLevels(e.state & 0xf0);
        if (m_client)
            send(e.modem ? m_client->session.modemState(e.state) : m_client->session.lineState(e.state));
    }
    if (m_merged != mergedBefore)
        m_log(std::to_string(m_merged - mergedBefore)
              + " line changes merged: they came faster than they could be sent");
    if (m_watchEnded.exchange(false)) {
        m_log(m_options.device + ": its lines cannot be read any more");
        m_lost = true;
    }
}
