#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

// Moves the calling process, and the children it starts from then on, into a network
// namespace of its own with only the loopback interface up. Tests and benchmarks that need a
// fixed port (the playout server's 5250) take it there, apart from this machine's and from
// each other's. As root the namespace is made directly; otherwise in a user namespace, which
// must happen before the process starts any thread. False where neither is allowed.
inline bool enterPrivateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return false;
        const auto write = [](const char *path, const char *text) {
            const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
            const bool ok = fd >= 0 && ::write(fd, text, std::strlen(text)) == ssize_t(std::strlen(text));
            if (fd >= 0)
                ::close(fd);
            return ok;
        };
        char map[64];
        std::snprintf(map, sizeof map, "%u %u 1\n", uid, uid);
        if (!write("/proc/self/uid_map", map) || !write("/proc/self/setgroups", "deny"))
            return false;
        std::snprintf(map, sizeof map, "%u %u 1\n", gid, gid);
        if (!write("/proc/self/gid_map", map))
            return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        ::close(fd);
    return up;
}
