#include "portdiscovery.h"

// A placeholder until the printing subsystem's port listing (EnumPortsA) takes its place: the
// all-ports listing holds the network serial ports of the port map only.

namespace vantor::serial {

std::vector<PortEntry> systemPortEntries(const PortMap &map)
{
    std::vector<PortEntry> entries;
    for (const auto &[number, target] : map.entries()) {
        if (PortMap::isNetworkTarget(target))
            entries.push_back({target.toLocal8Bit(), QByteArray("rfc2217"),
                               QStringLiteral("Network serial port %1").arg(number).toLocal8Bit(),
                               porttype::Read | porttype::Write | porttype::NetAttached});
    }
    return entries;
}

} // namespace vantor::serial
