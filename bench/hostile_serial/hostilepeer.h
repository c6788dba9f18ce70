#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

// A network serial server (RFC 2217) that misbehaves, on a thread of its own so that it pushes
// as fast as the connection takes: listens on 127.0.0.1 (a free port), serves every client
// that connects, one at a time, and stops by itself when its lifetime is over (or when it is
// destroyed).
//
//   Renegotiate: repeats IAC DONT COM-PORT, IAC DO COM-PORT without end and never reads;
//   ModemFlood:  agrees to the Com Port option, then sends NOTIFY-MODEMSTATE without end with
//                CTS and DSR on and their change bits set (a pulse on each line every time);
//   DataStream:  sends data bytes without end.
// The last two read and discard what the client sends.
class HostilePeer
{
public:
    enum class Mode { Renegotiate, ModemFlood, DataStream };

    HostilePeer(Mode mode, std::chrono::milliseconds lifetime);
    ~HostilePeer();
    HostilePeer(const HostilePeer &) = delete;
    HostilePeer &operator=(const HostilePeer &) = delete;

    bool listening() const { return m_port != 0; }
    std::uint16_t port() const { return m_port; }
    std::uint64_t bytesSent() const { return m_sent.load(); }
    static const char *name(Mode mode);

private:
    void run();
    void serve(int client);

    Mode m_mode;
    std::chrono::steady_clock::time_point m_end;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_sent{0};
    std::thread m_thread;
};
