#include "portmap.h"

#include <QRegularExpression>

#include <windows.h>

#include <iterator>
#include <limits>

// The COM ports of Windows: the system numbers them itself, port n is COMn.

namespace vantor::serial {

namespace {

// The names of the serial ports the drivers have registered (HARDWARE\DEVICEMAP\SERIALCOMM:
// one value per port, its data the port's name).
QStringList registeredPorts()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key)
        != ERROR_SUCCESS)
        return {};
    QStringList names;
    constexpr DWORD MaxValues = 1024;
    for (DWORD i = 0; i < MaxValues; ++i) {
        wchar_t valueName[256];
        DWORD valueNameLength = DWORD(std::size(valueName));
        wchar_t data[64] = {};
        DWORD dataBytes = sizeof data - sizeof(wchar_t); // room for a terminator
        DWORD type = 0;
        const LSTATUS status = RegEnumValueW(key, i, valueName, &valueNameLength, nullptr, &type,
                                             reinterpret_cast<BYTE *>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        names << QString::fromWCharArray(data, int(dataBytes / sizeof(wchar_t))).section(QChar(u'\0'), 0, 0);
    }
    RegCloseKey(key);
    return names;
}

} // namespace

QStringList PortMap::systemSerialPorts()
{
    return registeredPorts();
}

QString PortMap::localDevicePath(const QString &name)
{
    return name;
}

qint16 PortMap::systemNumber(const QString &device)
{
    static const QRegularExpression com(QStringLiteral("^(?:\\\\\\\\\\.\\\\)?COM([1-9][0-9]{0,3})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto match = com.match(device);
    if (!match.hasMatch())
        return 0;
    const int number = match.captured(1).toInt();
    return number <= std::numeric_limits<qint16>::max() ? qint16(number) : qint16(0);
}

QString PortMap::systemDevice(qint16 number)
{
    return number > 0 ? QStringLiteral("COM%1").arg(number) : QString();
}

} // namespace vantor::serial
