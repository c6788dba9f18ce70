#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>

namespace vantor::serial {

// Which device each port number stands for.
//
// By default the serial ports the system reports are numbered 1 upward: built-in UARTs
// (ttyS*) first, then ttyUSB*, ttyACM*, ttyAMA* and any others, each group in the natural
// order of its numbers (ttyS2 before ttyS10). Where the system numbers its ports itself
// (Windows: port n is COMn) each keeps the system's number, and a number that stands for
// nothing else stands for the system's device of that number. "--port N=DEVICE" pins number N to a device
// path or to a network serial port "rfc2217://host:port"; automatic numbering skips pinned
// numbers and devices that are already pinned under another name.
//
// Numbers stay with their devices for the whole run: refresh() gives numbers to devices that
// appeared since (an adapter plugged in later) and keeps the numbers of devices that went away,
// so a number never changes its meaning while the program runs.
class PortMap
{
public:
    // Device paths of the system's serial ports, in any order.
    using Enumeration = std::function<QStringList()>;

    struct Pin
    {
        qint16 number = 0;
        QString target;
    };

    explicit PortMap(Enumeration enumerate = systemSerialPorts);

    // The serial ports that Qt's enumeration reports (unfitted UART slots left out).
    static QStringList systemSerialPorts();

    // The device path of a name given after "N=": a bare device name such as ttyUSB0 stands
    // for /dev/ttyUSB0 on Linux.
    static QString localDevicePath(const QString &name);

    // Where the system numbers its ports itself (COM3 is port 3 on Windows): the number of a
    // device, else 0 (Linux: the ports are numbered in order).
    static qint16 systemNumber(const QString &device);
    // The device a number stands for when nothing is numbered there: COMn for n on Windows, as
    // the system has it, whether the port exists or not; none on Linux.
    static QString systemDevice(qint16 number);

    // Reads "N=DEVICE" (a bare device name is made a path by localDevicePath()).
    // On failure returns nothing and says why in *error.
    static std::optional<Pin> parsePin(const QString &text, QString *error = nullptr);

    // Pins are given before the first refresh(); a later pin replaces the number's device.
    void pin(const Pin &pin);
    // Asks the system for its ports again and numbers those not numbered yet.
    void refresh();

    // The device path or network address of the number, empty when it stands for nothing.
    QString target(qint16 number) const;
    bool isPinned(qint16 number) const { return m_pinned.count(number) > 0; }
    const std::map<qint16, QString> &entries() const { return m_entries; }

    // One line per number, for --list-ports: "1  /dev/ttyS0", pinned ones marked.
    QStringList listing() const;

    static bool isNetworkTarget(const QString &target);

private:
    qint16 nextFreeNumber(qint16 from) const;
    bool isNumberedDevice(const QString &device) const;

    Enumeration m_enumerate;
    std::map<qint16, QString> m_pinned;
    std::map<qint16, QString> m_entries;
};

} // namespace vantor::serial
