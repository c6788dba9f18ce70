#include "systemserialportservice.h"

#include "serial/rfc2217/rfc2217backend.h"
#include "serial/service/settingsstring.h"
#include "serial/tty/ttybackend.h"

#include "errortrap/runtimeerror.h"

#include <QMetaObject>

namespace vantor::serial {

// What an open backend sees, handed to the service from whatever thread it arises on:
// events and losses through the service's thread-safe queue, notices queued onto the
// user-interface thread.
class SystemSerialPortService::Sink : public PortSink
{
public:
    explicit Sink(SystemSerialPortService &service)
        : m_service(service)
    {
    }

    void event(CommEvent event) override { m_service.post(std::move(event)); }
    void lost(qint32 number, const QString &description) override { m_service.postLost(number, description); }
    void notice(const QString &line) override
    {
        QMetaObject::invokeMethod(
            &m_service, [service = &m_service, line] { Q_EMIT service->notice(line); }, Qt::QueuedConnection);
    }

private:
    SystemSerialPortService &m_service;
};

SystemSerialPortService::SystemSerialPortService(PortMap map, QObject *parent)
    : SystemSerialPortService(std::move(map), &SystemSerialPortService::makeBackend, parent)
{
}

SystemSerialPortService::SystemSerialPortService(PortMap map, BackendFactory factory, QObject *parent)
    : SerialPortService(parent)
    , m_map(std::move(map))
    , m_factory(std::move(factory))
    , m_sink(std::make_unique<Sink>(*this))
{
}

SystemSerialPortService::~SystemSerialPortService()
{
    closeDevice();
}

std::unique_ptr<PortBackend> SystemSerialPortService::makeBackend(const QString &target)
{
    return backends({})(target);
}

SystemSerialPortService::BackendFactory SystemSerialPortService::backends(std::function<void()> watcherThreadStart)
{
    return [start = std::move(watcherThreadStart)](const QString &target) -> std::unique_ptr<PortBackend> {
        if (PortMap::isNetworkTarget(target))
            return std::make_unique<Rfc2217Backend>();
        auto tty = std::make_unique<TtyBackend>();
        tty->setWatcherThreadStart(start);
        return tty;
    };
}

void SystemSerialPortService::openDevice()
{
    const QString target = m_map.target(commPort());
    if (target.isEmpty())
        throw RuntimeError(errors::InvalidPortNumber);
    const auto settings = SettingsString::parse(this->settings());
    if (!settings)
        throw RuntimeError(errors::InvalidPropertyValue);
    std::unique_ptr<PortBackend> backend = m_factory(target);
    backend->open(target, *settings, *m_sink);
    m_backend = std::move(backend);
}

void SystemSerialPortService::closeDevice()
{
    if (!m_backend)
        return;
    m_backend->close();
    m_backend.reset();
}

bool SystemSerialPortService::presentCts() const
{
    return m_backend && m_backend->cts();
}

bool SystemSerialPortService::presentDsr() const
{
    return m_backend && m_backend->dsr();
}

void SystemSerialPortService::writeDevice(const QByteArray &bytes)
{
    if (!m_backend)
        throw RuntimeError(errors::DeviceNotOpen);
    m_backend->write(bytes);
}

} // namespace vantor::serial
