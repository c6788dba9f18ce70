#pragma once

#include "portspooler.h"
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

    // The all-ports listing enumerates `enumerate`'s entries; where it is empty, the system's
    // printing subsystem (makeSystemPortSpooler), or nothing where there is none.
    PortDiscovery(ErrorTrap &trap, PortMap &map, const PortProbe &probe, PortEnumerator enumerate, Controls controls);
    // The all-ports listing asks `spooler`.
    PortDiscovery(ErrorTrap &trap, PortMap &map, const PortProbe &probe, std::unique_ptr<PortSpooler> spooler,
                  Controls controls);

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
    std::unique_ptr<PortSpooler> m_spooler;
    Controls m_c;
    std::array<PortInfo, TableSize> m_availablePorts;
};

} // namespace vantor::serial
