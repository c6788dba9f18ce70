#include "socketoptions.h"

#include <winsock2.h>

#include <mstcpip.h>

#include <array>

namespace vantor::playout {

namespace {
// Options of IPPROTO_TCP from the Windows SDK's ws2ipdef.h, which mingw-w64's headers lack.
// TCP_MAXRT (seconds) is the nearest to Linux's TCP_USER_TIMEOUT; TCP_KEEPCNT needs Windows 10
// 1703 or later (before it the system sends 10 probes).
constexpr int TcpMaxRetransmitSeconds = 5; // TCP_MAXRT
constexpr int TcpKeepCount = 16;           // TCP_KEEPCNT
} // namespace

void applyKeepAlive(long long descriptor, const KeepAlive &keepAlive)
{
    if (descriptor < 0)
        return;
    const SOCKET s = SOCKET(descriptor);
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = ULONG(keepAlive.keepIdleSeconds) * 1000;
    values.keepaliveinterval = ULONG(keepAlive.keepIntervalSeconds) * 1000;
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
    const DWORD count = DWORD(keepAlive.keepCount);
    ::setsockopt(s, IPPROTO_TCP, TcpKeepCount, reinterpret_cast<const char *>(&count), sizeof count);
    const DWORD seconds = DWORD((keepAlive.userTimeoutMs + 999) / 1000);
    ::setsockopt(s, IPPROTO_TCP, TcpMaxRetransmitSeconds, reinterpret_cast<const char *>(&seconds), sizeof seconds);
}

void resetOnClose(long long descriptor)
{
    if (descriptor < 0)
        return;
    const linger reset{1, 0};
    ::setsockopt(SOCKET(descriptor), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset), sizeof reset);
}

void endGracefully(long long descriptor, long long maxBytes)
{
    if (descriptor < 0)
        return;
    const SOCKET s = SOCKET(descriptor);
    ::shutdown(s, SD_SEND);
    u_long nonBlocking = 1; // Winsock's recv has no MSG_DONTWAIT; the socket is being closed anyway
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    std::array<char, 16384> sink;
    for (long long dropped = 0; dropped < maxBytes;) {
        const int n = ::recv(s, sink.data(), int(sink.size()), 0);
        if (n <= 0)
            break;
        dropped += n;
    }
}

} // namespace vantor::playout
