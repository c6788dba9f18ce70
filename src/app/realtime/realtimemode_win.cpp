#include "app/realtime/realtimemode.h"

#include <windows.h>

#include <mmsystem.h>

#include <algorithm>

// On Windows the mode is the process's priority class, the threads' priorities within it, the
// system timer's resolution and a floor under the working set, each reported as granted or not:
//   - the high priority class puts the process ahead of every normal one (a playout server
//     decoding video on every core). The realtime class is not asked for: it needs
//     administrator rights and can starve the system's own input handling;
//   - the window thread runs at the highest priority of that class, the line watcher's threads
//     time-critical (threadStart());
//   - a timer resolution of 1 ms, so that the waits with a timeout on the trigger path (the
//     bounce hold-off, the watcher's poll) end on time rather than on the default 15.6 ms tick;
//   - a hard minimum working set (QUOTA_LIMITS_HARDWS_MIN_ENABLE): the system does not page
//     out the program's memory below it, the nearest Windows has to locking all of it.

namespace vantor::app {

namespace {

constexpr UINT TimerResolutionMs = 1;
constexpr SIZE_T ResidentFloor = SIZE_T(128) << 20;

std::string errorText(DWORD error)
{
    char *text = nullptr;
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string out = n > 0 ? std::string(text, n) : "error " + std::to_string(error);
    ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out;
}

bool keepResident()
{
    SIZE_T minimum = 0;
    SIZE_T maximum = 0;
    const HANDLE self = ::GetCurrentProcess();
    if (!::GetProcessWorkingSetSize(self, &minimum, &maximum))
        return false;
    return ::SetProcessWorkingSetSizeEx(self, ResidentFloor, std::max(maximum, 2 * ResidentFloor),
                                        QUOTA_LIMITS_HARDWS_MIN_ENABLE | QUOTA_LIMITS_HARDWS_MAX_DISABLE);
}

} // namespace

RealtimeMode RealtimeMode::enter()
{
    RealtimeMode mode;
    std::string scheduling;
    if (!::SetPriorityClass(::GetCurrentProcess(), HIGH_PRIORITY_CLASS)) {
        scheduling = "high priority class refused: " + errorText(::GetLastError());
    } else if (!::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST)) {
        scheduling = "high priority class, but the window thread's priority refused: " + errorText(::GetLastError());
    } else {
        mode.m_priority = THREAD_PRIORITY_TIME_CRITICAL;
        scheduling = "high priority class for the trigger path (window thread highest, line watcher time-critical)";
    }
    bool timer = false;
    if (mode.m_priority > 0) {
        timer = ::timeBeginPeriod(TimerResolutionMs) == TIMERR_NOERROR;
        scheduling += timer ? "; timer resolution 1 ms" : "; timer resolution refused";
    }

    std::string memory;
    if (keepResident()) {
        mode.m_memoryLocked = true;
        memory = "memory kept resident (working set at least " + std::to_string(ResidentFloor >> 20) + " MiB)";
    } else {
        memory = "memory not kept resident: " + errorText(::GetLastError());
    }

    const bool all = mode.m_priority > 0 && timer && mode.m_memoryLocked;
    mode.m_summary = (all ? "Real-time mode: " : "Warning: real-time mode: ") + scheduling + "; " + memory;
    return mode;
}

void RealtimeMode::leave()
{
    if (m_priority > 0) {
        ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        ::SetPriorityClass(::GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
        ::timeEndPeriod(TimerResolutionMs);
    }
    if (m_memoryLocked)
        ::SetProcessWorkingSetSizeEx(::GetCurrentProcess(), SIZE_T(-1), SIZE_T(-1), 0);
    *this = RealtimeMode();
}

std::function<void()> RealtimeMode::threadStart() const
{
    if (m_priority < 1)
        return {};
    return [] { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL); };
}

} // namespace vantor::app
