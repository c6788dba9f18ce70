#include "localbackend.h"
#include "portmap.h"
#include "portprobe.h"

#include "errortrap/runtimeerror.h"

// A placeholder until the Win32 serial backend, the COM numbering and the probe take its
// place: no local port is listed, and one pinned with --port N=COMn cannot be opened. Network
// serial ports (rfc2217://HOST:PORT) work as on Linux.

namespace vantor::serial {

namespace {
class NoLocalPort : public PortBackend
{
public:
    void open(const QString &target, const SettingsString &, PortSink &) override
    {
        throw RuntimeError(errors::InvalidPortNumber,
                           ("Local serial ports are not in this build yet: " + target).toStdString());
    }
    void close() override {}
    bool cts() const override { return false; }
    bool dsr() const override { return false; }
    void write(const QByteArray &) override { throw RuntimeError(errors::DeviceNotOpen); }
};
} // namespace

std::unique_ptr<PortBackend> makeLocalBackend(std::function<void()>)
{
    return std::make_unique<NoLocalPort>();
}

QStringList PortMap::systemSerialPorts()
{
    return {};
}

QString PortMap::localDevicePath(const QString &name)
{
    return name;
}

QStringList SystemPortProbe::defaultLockDirectories()
{
    return {};
}

QString SystemPortProbe::describe(Verdict verdict, const QString &)
{
    return verdict == Verdict::Available ? QStringLiteral("can be opened") : QStringLiteral("missing");
}

SystemPortProbe::Verdict SystemPortProbe::checkDevice(const QString &) const
{
    return Verdict::Missing;
}

qint64 SystemPortProbe::lockHolder(const QString &) const
{
    return 0;
}

} // namespace vantor::serial
