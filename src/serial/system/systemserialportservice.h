#pragma once

#include "portmap.h"
#include "serial/service/portbackend.h"
#include "serial/service/serialportservice.h"

#include <functional>
#include <memory>
#include <optional>

namespace vantor::serial {

class HostResolver;

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

    // The one place where an address's scheme chooses the kind of port. Network ports look
    // their host names up through resolver.
    // Local ports run watcherThreadStart first on each thread of their line watcher.
    static std::unique_ptr<PortBackend> makeBackend(const QString &target, std::shared_ptr<HostResolver> resolver,
                                                    std::function<void()> watcherThreadStart = {});
    // Run first on each thread of the line watcher of every local port opened from now on
    // (the real-time mode raises them there). Only for the default choice of backend.
    void setWatcherThreadStart(std::function<void()> start) { m_watcherThreadStart = std::move(start); }

protected:
    void openDevice() override;
    void closeDevice() override;
    bool presentCts() const override;
    bool presentDsr() const override;
    void writeDevice(const QByteArray &bytes) override;
    void setDeviceDtr(bool asserted) override;

private:
    class Sink;

    PortMap m_map;
    std::shared_ptr<HostResolver> m_resolver; // for every network port this service opens
    BackendFactory m_factory;
    std::function<void()> m_watcherThreadStart; // for the default factory's local ports
    std::unique_ptr<PortBackend> m_backend;
    std::unique_ptr<Sink> m_sink; // the open backend's, tagged with its session
    std::optional<bool> m_dtr;    // the level of DTR to open with, once set
};

} // namespace vantor::serial
