#include "portdiscovery.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

// The ports of this machine for the all-ports listing on Linux: Qt's serial ports with their
// drivers from sysfs, and the parallel ports' device nodes.

namespace vantor::serial {

namespace {

// The driver behind a device node, from sysfs ("serial8250", "ftdi_sio", "cdc_acm", ...).
QByteArray driverOf(const QString &name)
{
    for (const char *cls : {"tty", "printer", "ppdev"}) {
        const QFileInfo link(QStringLiteral("/sys/class/%1/%2/device/driver").arg(QLatin1String(cls), name));
        if (link.exists())
            return QFileInfo(link.symLinkTarget()).fileName().toLocal8Bit();
    }
    return {};
}

std::vector<PortEntry> portEntries(const PortMap &map)
{
    std::vector<PortEntry> entries;
    const auto serial = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : serial) {
        QString description = info.description();
        if (description.isEmpty())
            description = info.manufacturer();
        entries.push_back({info.systemLocation().toLocal8Bit(), driverOf(info.portName()),
                           description.isEmpty() ? QByteArray() : description.toLocal8Bit(),
                           porttype::Read | porttype::Write});
    }
    const QDir dev(QStringLiteral("/dev"));
    const auto parallel = dev.entryInfoList({QStringLiteral("lp*"), QStringLiteral("parport*")},
                                            QDir::System | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo &node : parallel) {
        const bool printer = node.fileName().startsWith(QLatin1String("lp"));
        entries.push_back({node.absoluteFilePath().toLocal8Bit(), driverOf(node.fileName()),
                           printer ? QByteArray("Parallel printer port") : QByteArray("Parallel port"),
                           printer ? porttype::Write : porttype::Read | porttype::Write});
    }
    for (const auto &[number, target] : map.entries()) {
        if (PortMap::isNetworkTarget(target))
            entries.push_back({target.toLocal8Bit(), QByteArray("rfc2217"),
                               QStringLiteral("Network serial port %1").arg(number).toLocal8Bit(),
                               porttype::Read | porttype::Write | porttype::NetAttached});
    }
    return entries;
}

} // namespace

PortEnumerator systemPortEnumerator(const PortMap &map)
{
    return [&map] { return portEntries(map); };
}

std::unique_ptr<PortSpooler> makeSystemPortSpooler()
{
    return nullptr;
}

} // namespace vantor::serial
