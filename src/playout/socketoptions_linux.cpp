#include "socketoptions.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>

namespace vantor::playout {

void applyKeepAlive(long long descriptor, const KeepAlive &keepAlive)
{
    const int fd = int(descriptor);
    if (fd < 0)
        return;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepAlive.keepIdleSeconds, sizeof keepAlive.keepIdleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepAlive.keepIntervalSeconds, sizeof keepAlive.keepIntervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keepAlive.keepCount, sizeof keepAlive.keepCount);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &keepAlive.userTimeoutMs, sizeof keepAlive.userTimeoutMs);
}

void resetOnClose(long long descriptor)
{
    const int fd = int(descriptor);
    if (fd < 0)
        return;
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

void endGracefully(long long descriptor, long long maxBytes)
{
    const int fd = int(descriptor);
    if (fd < 0)
        return;
    ::shutdown(fd, SHUT_WR);
    std::array<char, 16384> sink;
    for (long long dropped = 0; dropped < maxBytes;) {
        const ssize_t n = ::recv(fd, sink.data(), sink.size(), MSG_DONTWAIT);
        if (n <= 0)
            break;
        dropped += n;
    }
}

} // namespace vantor::playout
