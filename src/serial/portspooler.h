#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace vantor::serial {

class PortMap;

// One port as the system's enumeration gives it: single-byte texts, a null text when the
// system has none.
struct PortEntry
{
    QByteArray name;
    QByteArray monitor;
    QByteArray description;
    quint32 type = 0;
};
using PortEnumerator = std::function<std::vector<PortEntry>()>;

// A level-2 port record as the printing subsystem writes it (PORT_INFO_2A): the addresses of
// three zero-terminated single-byte texts in the same buffer (or null), the type flags and a
// reserved word.
struct PortInfo2
{
    char *pPortName;
    char *pMonitorName;
    char *pDescription;
    quint32 fPortType;
    quint32 Reserved;
};

// The printing subsystem's enumeration of ports and the process heap, as the all-ports listing
// calls them (EnumPortsA at level 2, GetProcessHeap with HeapAlloc and HeapFree).
class PortSpooler
{
public:
    static constexpr quint32 Level = 2;

    virtual ~PortSpooler() = default;
    // With a buffer of `size` bytes that holds the records (PortInfo2 from its start, their
    // texts after them): true, the records written and their number in `returned`. Otherwise
    // false, the size needed in `needed` (size 0: always).
    virtual bool enumPorts(const QByteArray &serverName, quint32 level, void *buffer, quint32 size, quint32 &needed,
                           quint32 &returned) = 0;
    // A block of the process heap, flags 0; null when there is none to give.
    virtual void *heapAlloc(std::size_t bytes) = 0;
    virtual void heapFree(void *block) = 0;
};

// The two-call enumeration over a list of entries, in a block of the C library's heap: what a
// system without a printing subsystem lists, and the tests.
std::unique_ptr<PortSpooler> makeEntrySpooler(PortEnumerator enumerate);

// The ports this system lists for the all-ports listing, as entries: on Linux its serial
// ports with their drivers, its parallel ports and the network ports of the map. None on
// Windows, whose printing subsystem is asked itself (makeSystemPortSpooler).
PortEnumerator systemPortEnumerator(const PortMap &map);
// The printing subsystem of this system (Windows: winspool's EnumPortsA); null where there is
// none (Linux).
std::unique_ptr<PortSpooler> makeSystemPortSpooler();

} // namespace vantor::serial
