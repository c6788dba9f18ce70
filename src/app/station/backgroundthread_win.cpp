#include "app/station/backgroundthread.h"

#include <windows.h>

#include <string>

namespace vantor::app {

void becomeBackgroundThread(const char *name)
{
    // SetThreadDescription came with Windows 10 1607: looked up, so that older systems run too.
    using Describe = HRESULT(WINAPI *)(HANDLE, PCWSTR);
    static const auto describe = reinterpret_cast<Describe>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (describe) {
        const std::string narrow(name);
        describe(::GetCurrentThread(), std::wstring(narrow.begin(), narrow.end()).c_str());
    }
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

} // namespace vantor::app
