#include "flooder.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

Flooder::Flooder(const std::string &source, std::uint16_t port, std::vector<char> datagram, int perSecond)
    : m_port(port)
    , m_datagram(std::move(datagram))
    , m_perSecond(perSecond)
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd >= 0)
        m_thread = std::thread([this] { run(); });
}

Flooder::~Flooder()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

// In slices of 1 ms: each sends what the rate asks for by then.
void Flooder::run()
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    const auto start = std::chrono::steady_clock::now();
    while (!m_stop) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto due = std::uint64_t(seconds * m_perSecond);
        while (m_sent < due && !m_stop) {
            ::sendto(m_fd, m_datagram.data(), m_datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            ++m_sent;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
