#include "portspooler.h"

#include <windows.h>
#include <winspool.h>

#include <cstddef>

// The all-ports listing on Windows: the printing subsystem's own enumeration (winspool's
// EnumPortsA at level 2) in a block of the process heap.

namespace vantor::serial {

namespace {

static_assert(sizeof(PortInfo2) == sizeof(PORT_INFO_2A));
static_assert(offsetof(PortInfo2, pPortName) == offsetof(PORT_INFO_2A, pPortName));
static_assert(offsetof(PortInfo2, pMonitorName) == offsetof(PORT_INFO_2A, pMonitorName));
static_assert(offsetof(PortInfo2, pDescription) == offsetof(PORT_INFO_2A, pDescription));
static_assert(offsetof(PortInfo2, fPortType) == offsetof(PORT_INFO_2A, fPortType));
static_assert(offsetof(PortInfo2, Reserved) == offsetof(PORT_INFO_2A, Reserved));

class WindowsSpooler : public PortSpooler
{
public:
    bool enumPorts(const QByteArray &serverName, quint32 level, void *buffer, quint32 size, quint32 &needed,
                   quint32 &returned) override
    {
        DWORD neededBytes = 0;
        DWORD records = 0;
        // The empty name is the local machine.
        QByteArray server = serverName;
        const BOOL done = EnumPortsA(server.data(), level, static_cast<LPBYTE>(buffer), size, &neededBytes, &records);
        needed = neededBytes;
        returned = records;
        return done != FALSE;
    }

    void *heapAlloc(std::size_t bytes) override { return ::HeapAlloc(GetProcessHeap(), 0, bytes); }
    void heapFree(void *block) override { ::HeapFree(GetProcessHeap(), 0, block); }
};

} // namespace

PortEnumerator systemPortEnumerator(const PortMap &)
{
    return {};
}

std::unique_ptr<PortSpooler> makeSystemPortSpooler()
{
    return std::make_unique<WindowsSpooler>();
}

} // namespace vantor::serial
