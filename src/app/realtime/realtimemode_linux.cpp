#include "app/realtime/realtimemode.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <linux/capability.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vantor::app {

namespace {

// Whether the calling thread holds a capability in its effective set. The C library has no
// call for it; the system call is stable.
bool holds(int capability)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    return data[capability / 32].effective & (1u << (capability % 32));
}

rlim_t softLimit(int resource)
{
    rlimit limit{};
    return ::getrlimit(resource, &limit) == 0 ? limit.rlim_cur : 0;
}

std::string limitText(rlim_t value, rlim_t unit = 1, const char *suffix = "")
{
    return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value / unit) + suffix;
}

// The calling thread only (pid 0 is the calling thread for this call on Linux). Threads and
// processes it starts later begin as ordinary ones.
bool raiseCallingThread(int priority)
{
    const sched_param param{priority};
    return ::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

// Locks what is mapped now, paging it in, and whatever is mapped later as it is first touched
// (so that a new thread's stack or a reserved heap area costs memory only as it is used).
// The second call keeps the locks of the first.
int lockAll()
{
    if (::mlockall(MCL_CURRENT) != 0 || ::mlockall(MCL_FUTURE | MCL_ONFAULT) != 0) {
        const int error = errno;
        ::munlockall();
        return error;
    }
    return 0;
}

} // namespace

RealtimeMode RealtimeMode::enter()
{
    RealtimeMode mode;
    std::string memory;
    const rlim_t memlock = softLimit(RLIMIT_MEMLOCK);
    const bool ipcLock = holds(CAP_IPC_LOCK);
    if (!ipcLock && memlock != RLIM_INFINITY) {
        memory = "memory not locked: it needs RLIMIT_MEMLOCK unlimited or CAP_IPC_LOCK, and RLIMIT_MEMLOCK is "
            + limitText(memlock, 1024, " KiB");
    } else if (const int error = lockAll(); error != 0) {
        memory = std::string("memory not locked: mlockall failed: ") + std::strerror(error);
    } else {
        mode.m_memoryLocked = true;
        memory = std::string("memory locked (") + (ipcLock ? "CAP_IPC_LOCK" : "RLIMIT_MEMLOCK unlimited") + ")";
    }

    std::string scheduling;
    const rlim_t rtprio = softLimit(RLIMIT_RTPRIO);
    const bool sysNice = holds(CAP_SYS_NICE);
    const int wanted = sysNice ? Priority : int(std::min<rlim_t>(Priority, rtprio));
    const std::string grantedBy = sysNice ? "CAP_SYS_NICE" : "RLIMIT_RTPRIO " + limitText(rtprio);
    if (wanted < 1) {
        scheduling = "SCHED_FIFO refused: it needs RLIMIT_RTPRIO above 0 or CAP_SYS_NICE, and RLIMIT_RTPRIO is 0";
    } else if (!raiseCallingThread(wanted)) {
        scheduling = "SCHED_FIFO refused by the system although " + grantedBy + " allows it: " + std::strerror(errno);
    } else {
        mode.m_priority = wanted;
        scheduling = "SCHED_FIFO priority " + std::to_string(wanted) + " for the trigger path (" + grantedBy + ")";
    }

    const bool all = mode.m_priority > 0 && mode.m_memoryLocked;
    mode.m_summary = (all ? "Real-time mode: " : "Warning: real-time mode: ") + scheduling + "; " + memory;
    return mode;
}

void RealtimeMode::leave()
{
    if (m_priority > 0) {
        const sched_param ordinary{0};
        ::sched_setscheduler(0, SCHED_OTHER, &ordinary);
    }
    if (m_memoryLocked)
        ::munlockall();
    *this = RealtimeMode();
}

std::function<void()> RealtimeMode::threadStart() const
{
    if (m_priority < 1)
        return {};
    // The thread was started by the raised one, which holds the same permission.
    return [priority = m_priority] { raiseCallingThread(priority); };
}

} // namespace vantor::app
