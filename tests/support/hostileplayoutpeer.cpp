#include "hostileplayoutpeer.h"

#include <QMutexLocker>

#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr qsizetype MaxCommandLine = 64 * 1024;
constexpr int MaxKeptCommands = 1000;

bool isFailure(const QByteArray &line)
{
    return line.left(3).toInt() >= 400;
}
} // namespace

struct HostilePlayoutPeer::Client
{
    int fd = -1;
    QByteArray in;
    QByteArray out;         // still to write
    qint64 outFailures = 0; // failure lines in out, counted once out is written
};

HostilePlayoutPeer::HostilePlayoutPeer(std::chrono::seconds lifetime)
    : m_end(std::chrono::steady_clock::now() + lifetime)
{
}

HostilePlayoutPeer::~HostilePlayoutPeer()
{
    stop();
}

const QByteArrayList &HostilePlayoutPeer::unfinishedScript()
{
    static const QByteArrayList script = {"200 PLAY OK",     "404 PLAY FAILED", "404 PLAY FAILED", "404 PLAY FAILED",
                                          "404 PLAY FAILED", "404 PLAY FAILED", "400 ERROR",       "404 PLAY FAILED",
                                          "201 PLAY OK",     "404 PLAY FAILED"};
    return script;
}

bool HostilePlayoutPeer::listen(quint16 port)
{
    if (m_thread.joinable())
        return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        ::close(fd);
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this, fd] { run(fd); });
    return true;
}

void HostilePlayoutPeer::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

QByteArrayList HostilePlayoutPeer::commands() const
{
    QMutexLocker lock(&m_mutex);
    return m_commands;
}

void HostilePlayoutPeer::run(int listener)
{
    std::vector<Client> clients;
    while (!m_stop && std::chrono::steady_clock::now() < m_end) {
        const Mode mode = m_mode.load();
        std::vector<pollfd> polls{{listener, POLLIN, 0}};
        for (Client &client : clients) {
            if (mode == Mode::FailureFlood && client.out.isEmpty()) {
                client.out = "404 PLAY FAILED " + QByteArray(FloodLineBytes - 18, 'x') + "\r\n";
                client.outFailures = 1;
            }
            polls.push_back({client.fd, short(POLLIN | (client.out.isEmpty() ? 0 : POLLOUT)), 0});
        }
        if (::poll(polls.data(), polls.size(), 10) < 0)
            continue;

        if (polls[0].revents & POLLIN) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                ++m_connections;
                if (mode == Mode::AcceptAndClose)
                    ::close(fd);
                else
                    clients.push_back(Client{fd, {}, {}, 0});
            }
        }
        for (size_t i = 0; i < clients.size() && i + 1 < polls.size(); ++i) {
            if (mode == Mode::AcceptAndClose) {
                ::close(clients[i].fd);
                clients[i].fd = -1;
            } else {
                serve(clients[i], polls[i + 1].revents);
            }
        }
        std::erase_if(clients, [](const Client &client) { return client.fd < 0; });
        m_open = int(clients.size());
    }
    for (Client &client : clients)
        ::close(client.fd);
    ::close(listener);
    m_open = 0;
}

void HostilePlayoutPeer::serve(Client &client, short events)
{
    if (events & (POLLIN | POLLHUP | POLLERR)) {
        char buffer[16384];
        const ssize_t n = ::read(client.fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            ++(n == 0 ? m_endedNormally : m_endedByReset);
            ::close(client.fd);
            client.fd = -1;
            return;
        }
        client.in.append(buffer, n);
        qsizetype end;
        while ((end = client.in.indexOf("\r\n")) >= 0) {
            const QByteArray line = client.in.left(end);
            client.in.remove(0, end + 2);
            answer(client, line);
        }
        if (client.in.size() > MaxCommandLine)
            client.in.clear();
    }
    if ((events & POLLOUT) && !client.out.isEmpty()) {
        const ssize_t n = ::send(client.fd, client.out.constData(), size_t(client.out.size()), MSG_NOSIGNAL);
        if (n > 0)
            client.out.remove(0, n);
        if (client.out.isEmpty()) {
            m_failures += client.outFailures;
            client.outFailures = 0;
        }
    }
}

void HostilePlayoutPeer::answer(Client &client, const QByteArray &line)
{
    {
        QMutexLocker lock(&m_mutex);
        m_commands.append(line);
        if (m_commands.size() > MaxKeptCommands)
            m_commands.removeFirst();
    }
    QByteArray reply;
    if (line == "PING") { // the client's liveness probe, answered as the server does
        client.out += "PONG\r\n";
        return;
    }
    switch (m_mode.load()) {
    case Mode::Behave: reply = "202 PLAY OK"; break;
    case Mode::UnfinishedReplies:
        reply = unfinishedScript().at(m_scriptStep);
        m_scriptStep = (m_scriptStep + 1) % int(unfinishedScript().size());
        break;
    case Mode::FailureFlood:
    case Mode::AcceptAndClose: return;
    }
    client.out += reply + "\r\n";
    client.outFailures += isFailure(reply) ? 1 : 0;
}
