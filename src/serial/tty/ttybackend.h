#pragma once

#include "linewatcher.h"
#include "serial/service/portbackend.h"

#include <QObject>
#include <QSerialPort>

#include <functional>
#include <memory>

namespace vantor::serial {

// A local serial device (/dev/ttyS*, ttyUSB*, ttyACM*, a pseudo-terminal, ...).
//
// Qt's serial port opens, configures, reads and writes it: opened without waiting for carrier
// (non-blocking, CLOCAL), exclusively (TIOCEXCL plus a lock file, so a second program or a
// second instance gets "port in use"), no flow control, DTR and RTS held asserted. The modem
// lines and the error counters come from a LineWatcher on its own thread. USB adapters are
// asked for low-latency mode. A device that goes away while open is reported once as lost.
class TtyBackend : public QObject, public PortBackend
{
    Q_OBJECT

public:
    explicit TtyBackend(QObject *parent = nullptr);
    ~TtyBackend() override;

    void open(const QString &target, const SettingsString &settings, PortSink &sink) override;
    void close() override;
    bool cts() const override;
    bool dsr() const override;
    void write(const QByteArray &bytes) override;
    void setDtr(bool asserted) override;

    bool isOpen() const { return m_port.isOpen(); }
    // How line changes are watched while open.
    LineWatcher::Method watchMethod() const;
    // Run first on each of the line watcher's threads (see LineWatcher::setThreadStart).
    void setWatcherThreadStart(std::function<void()> f) { m_watcherThreadStart = std::move(f); }

private:
    void openPort(const QString &path);
    void configure(const SettingsString &settings);
    void assertControlLines();
    void requestLowLatency();
    void startWatching();
    void readAvailable();
    void portError(QSerialPort::SerialPortError error);
    bool hungUp() const;

    QSerialPort m_port;
    std::unique_ptr<LineWatcher> m_watcher;
    std::function<void()> m_watcherThreadStart;
    PortSink *m_sink = nullptr;
    QString m_path;
    bool m_lost = false;
    bool m_dtr = true; // the level DTR is held at, open or not
};

} // namespace vantor::serial
