#pragma once

#include "commevent.h"
#include "settingsstring.h"

#include <QByteArray>
#include <QString>

namespace vantor::serial {

// The port-log line of a port open on a device without modem lines that can be watched (a
// pseudo-terminal, or a network server's device when the server says so): no contact can fire
// while it is open. `why` is said in brackets after the device when given.
inline QString noModemLinesNotice(const QString &device, const QString &why = {})
{
    return QStringLiteral("Warning: %1 has no modem lines that can be watched%2; contacts will not fire "
                          "(the port is open for data only)")
        .arg(device, why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why));
}
inline bool isNoModemLinesNotice(const QString &line)
{
    return line.startsWith(QLatin1String("Warning: "))
        && line.contains(QLatin1String(" has no modem lines that can be watched"));
}

// Receives what an open backend sees. May be called on any thread.
class PortSink
{
public:
    virtual ~PortSink() = default;
    virtual void event(CommEvent event) = 0;                          // line change, error, data
    virtual void lost(qint32 number, const QString &description) = 0; // the device went away
    virtual void notice(const QString &line) = 0;                     // a line for the port log
};

// One open device behind a port number: a local tty, a network serial port, ...
// open() and the other members run on the user-interface thread; failures throw
// vantor::RuntimeError with a number and a description.
class PortBackend
{
public:
    virtual ~PortBackend() = default;
    virtual void open(const QString &target, const SettingsString &settings, PortSink &sink) = 0;
    virtual void close() = 0;
    virtual bool cts() const = 0;
    virtual bool dsr() const = 0;
    virtual void write(const QByteArray &bytes) = 0;
};

} // namespace vantor::serial
