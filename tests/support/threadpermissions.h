#pragma once

// For tests of the real-time mode: a thread without some of its capabilities, resource limits
// changed for a while, and what the kernel says of a thread's scheduling and locked memory.
// Plain C++ and POSIX, so that the tests inside the virtual machine can use it too.

#include <algorithm>
#include <cstdio>
#include <initializer_list>

#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace threadpermissions {

// Removes capabilities from the calling thread's effective set. Capabilities belong to a
// thread: the rest of the process keeps them, and they end with the thread.
inline bool dropCapabilities(std::initializer_list<int> capabilities)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int c : capabilities)
        data[c / 32].effective &= ~(1u << (c % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

// A resource limit's soft value for the life of this object; the hard value is raised to it
// where needed (which takes CAP_SYS_RESOURCE). ok() tells whether the limit was set.
class ScopedLimit
{
public:
    ScopedLimit(int resource, rlim_t soft)
        : m_resource(resource)
    {
        if (::getrlimit(resource, &m_saved) != 0)
            return;
        const rlimit wanted{soft, std::max(soft, m_saved.rlim_max)};
        m_ok = ::setrlimit(resource, &wanted) == 0;
    }
    ~ScopedLimit()
    {
        if (m_ok)
            ::setrlimit(m_resource, &m_saved);
    }
    ScopedLimit(const ScopedLimit &) = delete;
    ScopedLimit &operator=(const ScopedLimit &) = delete;
    bool ok() const { return m_ok; }

private:
    int m_resource;
    rlimit m_saved{};
    bool m_ok = false;
};

// The calling thread's policy (SCHED_RESET_ON_FORK included) and priority.
struct Scheduling
{
    int policy = -1;
    int priority = -1;

    static Scheduling ofCallingThread()
    {
        sched_param param{};
        ::sched_getparam(0, &param);
        return {::sched_getscheduler(0), param.sched_priority};
    }
};

// VmLck of this process in KiB, -1 when it cannot be read.
inline long lockedKiB()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmLck: %ld", &kib) == 1)
            break;
    std::fclose(status);
    return kib;
}

} // namespace threadpermissions
