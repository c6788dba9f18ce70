#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

namespace vantor::serial {

class HostResolver;

// Answers whether a port could be opened now, without opening it.
class PortProbe
{
public:
    virtual ~PortProbe() = default;
    virtual bool available(const QString &target) const = 0;
};

// The probe of this machine. Opening a tty raises DTR and RTS and closing it drops them,
// which resets some microcontroller-based contact boxes, so a local device is never opened:
//   - the node exists and is a character device;
//   - this process may read and write it (effective ids, as open() would check);
//   - a UART slot of the 8250 driver has a chip (its sysfs "type" is not 0, "unknown");
//   - no live process holds a lock file "LCK..<name>" for it, as Qt's serial port and the
//     UUCP tools write in the lock directories.
// What it cannot see: a program that holds the port without a lock file (a plain open, or
// TIOCEXCL taken by a program of another user), and a device that opens but fails on first
// use. Scanning /proc/*/fd would find more holders but costs a readlink for every descriptor
// of every process on each probe, and still misses other users' processes unless root.
//
// A network serial port "rfc2217://host:port" is never connected to by available(), which the
// window's port list and the reopening of a port ask: a server that serves one client at a
// time may still hold the probe's connection when the open that follows comes, and refuse it
// (or, of another make, drop the client it serves for it). It is listed as it is pinned, and
// its open tells. check() (--list-ports, another process) looks first whether a program on
// this machine is connected to that server (the kernel's table of TCP connections): then it is
// "in use" and not connected to; otherwise it is available when its server accepts a TCP
// connection within the connect timeout, a name lookup included, closed at once.
class SystemPortProbe : public PortProbe
{
public:
    enum class Verdict { Available, Missing, NotADevice, NoPermission, NoChip, InUse, Unreachable };

    // The directories Qt's serial port writes its lock files to.
    static QStringList defaultLockDirectories();

    // Host names are looked up through resolver (the system's when none is given).
    explicit SystemPortProbe(QStringList lockDirectories = defaultLockDirectories(),
                             std::chrono::milliseconds connectTimeout = std::chrono::milliseconds(300),
                             std::shared_ptr<HostResolver> resolver = nullptr);
    ~SystemPortProbe() override;

    bool available(const QString &target) const override;
    Verdict check(const QString &target) const;
    // What a verdict means for the user who asked, for --list-ports: "can be opened", "no
    // permission (group dialout)", ...; path: the device, whose group is named.
    static QString describe(Verdict verdict, const QString &path);

    // The pid of a live process that holds a lock file for the device, or 0.
    qint64 lockHolder(const QString &devicePath) const;
    // Whether a TCP connection from this machine to one of addresses:port is established now
    // (/proc/net/tcp and tcp6, any user's).
    static bool connectedFromHere(const QList<QHostAddress> &addresses, quint16 port);

private:
    Verdict checkDevice(const QString &path) const;
    Verdict checkNetwork(const QString &target) const;

    QStringList m_lockDirectories;
    std::chrono::milliseconds m_connectTimeout;
    std::shared_ptr<HostResolver> m_resolver;
};

} // namespace vantor::serial
