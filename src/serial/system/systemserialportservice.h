#pragma once

#include "portmap.h"
#include "serial/service/portbackend.h"
#include "serial/service/serialportservice.h"

#include <functional>
#include <memory>

namespace vantor::serial {

// The serial-port service of this machine: each port number stands for a device of the port
// map, opened through the backend its address calls for (a local tty, or a network serial
// port for "rfc2217://" addresses). A number that stands for no device cannot be opened:
// 8002 "Invalid port number".
class SystemSerialPortService : public SerialPortService
{
    Q_OBJECT

public:
    using BackendFactory = std::function<std::unique_ptr<PortBackend>(const QString &target)>;

    explicit SystemSerialPortService(PortMap map, QObject *parent = nullptr);
    SystemSerialPortService(PortMap map, BackendFactory factory, QObject *parent = nullptr);
    ~SystemSerialPortService() override;

    PortMap &portMap() { return m_map; }
    const PortMap &portMap() const { return m_map; }

    // The one place where an address's scheme chooses the kind of port.
    static std::unique_ptr<PortBackend> makeBackend(const QString &target);
    // The same, with watcherThreadStart run first on each thread of a local port's line watcher.
    static BackendFactory backends(std::function<void()> watcherThreadStart);

protected:
    void openDevice() override;
    void closeDevice() override;
    bool presentCts() const override;
    bool presentDsr() const override;
    void writeDevice(const QByteArray &bytes) override;

private:
    class Sink;

    PortMap m_map;
    BackendFactory m_factory;
    std::unique_ptr<Sink> m_sink;
    std::unique_ptr<PortBackend> m_backend;
};

} // namespace vantor::serial
