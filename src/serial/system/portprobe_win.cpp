#include "portprobe.h"

#include "serial/comport/combackend.h"

#include <windows.h>

// The probe of a COM port on Windows: the port is opened without asking for read or write
// access, shared, and closed at once. The device namespace form (\\.\COMn) is used, as the
// plain name COMn names a device for n up to 9 only.
//
// The serial driver lets one handle at a time at a port, so a port that another program holds
// open does not open here either: "in use".

namespace vantor::serial {

QStringList SystemPortProbe::defaultLockDirectories()
{
    return {};
}

QString SystemPortProbe::describe(Verdict verdict, const QString &)
{
    switch (verdict) {
    case Verdict::Available: return QStringLiteral("can be opened");
    case Verdict::InUse: return QStringLiteral("in use");
    case Verdict::NoPermission: return QStringLiteral("no permission");
    case Verdict::Unreachable: return QStringLiteral("unreachable");
    default: return QStringLiteral("missing");
    }
}

SystemPortProbe::Verdict SystemPortProbe::checkDevice(const QString &path) const
{
    const QByteArray name = ComBackend::deviceName(path).toLocal8Bit();
    SECURITY_ATTRIBUTES security{};
    const HANDLE handle = CreateFileA(name.constData(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, &security, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            return Verdict::InUse;
        return Verdict::Missing;
    }
    CloseHandle(handle);
    return Verdict::Available;
}

qint64 SystemPortProbe::lockHolder(const QString &) const
{
    return 0;
}

} // namespace vantor::serial
