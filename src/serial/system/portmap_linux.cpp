#include "portmap.h"

#include <QSerialPortInfo>

// The system's serial ports and their device names on Linux.

namespace vantor::serial {

QStringList PortMap::systemSerialPorts()
{
    QStringList paths;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        paths << info.systemLocation();
    return paths;
}

QString PortMap::localDevicePath(const QString &name)
{
    return name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
}

qint16 PortMap::systemNumber(const QString &)
{
    return 0;
}

QString PortMap::systemDevice(qint16)
{
    return {};
}

} // namespace vantor::serial
