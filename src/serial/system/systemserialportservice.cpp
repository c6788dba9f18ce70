#include "systemserialportservice.h"

#include "localbackend.h"
#include "serial/rfc2217/rfc2217backend.h"
#include "serial/service/settingsstring.h"

#include "errortrap/runtimeerror.h"

namespace vantor::serial {

// What an open backend sees, handed to the service's thread-safe queue from whatever thread
// it arises on, tagged with the session it belongs to.
class SystemSerialPortService::Sink : public PortSink
{
public:
    Sink(SystemSerialPortService &service, Session session)
        : m_service(service)
        , m_session(session)
    {
    }

    void event(CommEvent event) override { m_service.post(m_session, std::move(event)); }
    void lost(qint32 number, const QString &description) override
    {
        m_service.postLost(m_session, number, description);
    }
    void notice(const QString &line) override { m_service.postNotice(m_session, line); }

private:
    SystemSerialPortService &m_service;
    const Session m_session;
};

SystemSerialPortService::SystemSerialPortService(PortMap map, QObject *parent)
    : SystemSerialPortService(std::move(map), {}, parent)
{
}

SystemSerialPortService::SystemSerialPortService(PortMap map, BackendFactory factory, QObject *parent)
    : SerialPortService(parent)
    , m_map(std::move(map))
    , m_resolver(std::make_shared<SystemHostResolver>())
    , m_factory(std::move(factory))
{
    if (!m_factory)
        m_factory = [this](const QString &target) { return makeBackend(target, m_resolver, m_watcherThreadStart); };
}

SystemSerialPortService::~SystemSerialPortService()
{
    closeDevice();
}

std::unique_ptr<PortBackend> SystemSerialPortService::makeBackend(const QString &target,
                                                                  std::shared_ptr<HostResolver> resolver,
                                                                  std::function<void()> watcherThreadStart)
{
    if (PortMap::isNetworkTarget(target))
        return std::make_unique<Rfc2217Backend>(std::move(resolver));
    return makeLocalBackend(std::move(watcherThreadStart));
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
    auto sink = std::make_unique<Sink>(*this, session());
    if (m_dtr)
        backend->setDtr(*m_dtr);
    backend->open(target, *settings, *sink);
    m_backend = std::move(backend);
    m_sink = std::move(sink);
}

void SystemSerialPortService::closeDevice()
{
    if (!m_backend)
        return;
    m_backend->close();
    m_backend.reset();
    m_sink.reset();
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

void SystemSerialPortService::setDeviceDtr(bool asserted)
{
    m_dtr = asserted;
    if (m_backend)
        m_backend->setDtr(asserted);
}

} // namespace vantor::serial
