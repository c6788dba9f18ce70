#include "stampingpeer.h"

#include <cerrno>
#include <ctime>
#include <future>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
constexpr int PollLimitMs = 1000; // no wait without a limit; the stop descriptor ends it at once

// The moment a kernel time stamp (CLOCK_REALTIME) stands for, on the steady clock: both
// clocks are read together just after the stamp was received.
StampingPeer::Clock::time_point onSteadyClock(const timespec &stamp)
{
    const auto steady = StampingPeer::Clock::now();
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    const auto ago =
        std::chrono::seconds(real.tv_sec - stamp.tv_sec) + std::chrono::nanoseconds(real.tv_nsec - stamp.tv_nsec);
    return steady - ago;
}
} // namespace

StampingPeer::StampingPeer(std::function<void()> lineRead)
    : m_lineRead(std::move(lineRead))
    , m_stop(eventfd(0, EFD_CLOEXEC))
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || m_stop < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return;
    }
    m_listen = fd;
    m_port = ntohs(address.sin_port);
    std::promise<void> started;
    m_thread = std::thread([this, &started] {
        m_threadId = int(syscall(SYS_gettid));
        started.set_value();
        run();
    });
    started.get_future().wait_for(std::chrono::seconds(5));
}

StampingPeer::~StampingPeer()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(m_stop, &one, sizeof one);
        m_thread.join();
    }
    if (m_listen >= 0)
        close(m_listen);
    if (m_stop >= 0)
        close(m_stop);
}

QList<StampingPeer::Line> StampingPeer::lines() const
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

void StampingPeer::clear()
{
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}

void StampingPeer::run()
{
    struct Client
    {
        int fd;
        QByteArray pending;
    };
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds{{m_stop, POLLIN, 0}, {m_listen, POLLIN, 0}};
        for (const Client &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), nfds_t(fds.size()), PollLimitMs) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        // Clients first, in the order they came: a line already queued is read before a newcomer.
        for (size_t i = clients.size(); i-- > 0;) {
            const short events = fds[2 + i].revents;
            if (!(events & (POLLIN | POLLHUP | POLLERR)))
                continue;
            // A peer that never ends a line, or one that left, is closed.
            if (clients[i].pending.size() > 64 * 1024 || !readFrom(clients[i].fd, clients[i].pending)
                || (events & (POLLHUP | POLLERR))) {
                close(clients[i].fd);
                clients.erase(clients.begin() + qsizetype(i));
            }
        }
        if (!(fds[1].revents & POLLIN))
            continue;
        const int client = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        if (clients.size() >= size_t(MaxClients)) {
            close(client);
            continue;
        }
        const int on = 1;
        setsockopt(client, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        clients.push_back({client, {}});
    }
    for (const Client &c : clients)
        close(c.fd);
}

bool StampingPeer::readFrom(int client, QByteArray &pending)
{
    char data[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    iovec io{data, sizeof data};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(client, &message, MSG_DONTWAIT);
    const Clock::time_point now = Clock::now();
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    if (n < 0)
        return true;
    Clock::time_point arrived = now;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
            arrived = onSteadyClock(*reinterpret_cast<const timespec *>(CMSG_DATA(c)));

    pending.append(data, n);
    const quint64 read = ++m_reads;
    QList<bool> complete; // per line: a PING
    {
        std::lock_guard lock(m_mutex);
        for (qsizetype end; (end = pending.indexOf("\r\n")) >= 0;) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 2);
            complete.append(line == "PING");
            if (!complete.back())
                m_lines.append(Line{line, now, read, arrived});
        }
    }
    for (const bool ping : complete) {
        static constexpr char Played[] = "202 PLAY OK\r\n";
        static constexpr char Pong[] = "PONG\r\n";
        [[maybe_unused]] const auto sent = ping ? send(client, Pong, sizeof Pong - 1, MSG_NOSIGNAL)
                                                : send(client, Played, sizeof Played - 1, MSG_NOSIGNAL);
        if (!ping)
            m_lineRead();
    }
    return true;
}
