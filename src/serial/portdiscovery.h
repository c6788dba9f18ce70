#pragma once

#include "serial/system/portmap.h"
#include "serial/system/portprobe.h"

#include "errortrap/errortrap.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>
#include <vector>

class QComboBox;

namespace vantor::serial {

// Type flags of a port record.
namespace porttype {
constexpr quint32 Write = 0x1;       // the port takes output
constexpr quint32 Read = 0x2;        // the port delivers input
constexpr quint32 Redirected = 0x4;  // the name is a link to another device
constexpr quint32 NetAttached = 0x8; // the port is reached over the network
} // namespace porttype

// One record of the all-ports table.
struct PortInfo
{
    QString PortName;
    QString MonitorName; // the driver serving the port, e.g. "serial8250", "ftdi_sio"
    QString Description;
    quint32 PortType = 0;
    quint32 Reserved = 0;
};

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

// The serial ports (with their drivers) and parallel ports of this machine, and the network
// ports of the port map.
std::vector<PortEntry> systemPortEntries(const PortMap &map);

// Port discovery: the port list cboComm ("Get COM Ports") and the hidden listing of every
// port the system knows ("All Ports status"), with the port helpers of modDeclares.
class PortDiscovery
{
public:
    static constexpr int TableSize = 101;

    struct Controls
    {
        QComboBox *cboComm = nullptr;
        // The list's selection handling (cboComm_Click), run when the first entry is selected.
        std::function<void()> cboComm_Click;
        std::function<void(const QString &)> setStatus1;
    };

    PortDiscovery(ErrorTrap &trap, PortMap &map, const PortProbe &probe, PortEnumerator enumerate, Controls controls);

    // frmMAIN
    void ListComPorts();
    void cmdGetComPorts_Click();
    void cmdGetAllPorts_Click();

    // modDeclares
    bool COMAvailable(qint16 port);
    qint32 GetAvailablePorts(const QString &serverName);
    QString TrimStr(const QString &text);
    QString LPSTRtoSTRING(const char *address);

    // AvailablePorts(i); an index outside 0 to 100 is "Subscript out of range".
    const PortInfo &AvailablePorts(int index) const { return m_availablePorts.at(std::size_t(index)); }

private:
    PortInfo &portAt(int index) { return m_availablePorts.at(std::size_t(index)); }

    ErrorTrap &m_trap;
    PortMap &m_map;
    const PortProbe &m_probe;
    PortEnumerator m_enumerate;
    Controls m_c;
    std::array<PortInfo, TableSize> m_availablePorts;
};

} // namespace vantor::serial
