#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// Sends the same datagram from a source address to 127.0.0.1:port at a steady rate, on a
// thread of its own, until stopped (Linux sockets: a bench only).
class Flooder
{
public:
    Flooder(const std::string &source, std::uint16_t port, std::vector<char> datagram, int perSecond);
    ~Flooder();
    Flooder(const Flooder &) = delete;
    Flooder &operator=(const Flooder &) = delete;

    bool ok() const { return m_fd >= 0; }
    std::uint64_t sent() const { return m_sent.load(); }

private:
    void run();

    int m_fd = -1;
    std::uint16_t m_port;
    std::vector<char> m_datagram;
    int m_perSecond;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_sent{0};
    std::thread m_thread;
};
