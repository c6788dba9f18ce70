#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

namespace vantor::serial {
class PortMap;
class PortProbe;
class PortSession;
class SerialPortService;
} // namespace vantor::serial

namespace vantor::app {

// Opens the restored port when it can be, for a station that nobody watches: a port whose
// adapter is unplugged or whose device this user may not open at start, or that goes away
// later, is opened again as soon as the probe finds it usable, with no one pressing "Open COM
// Port".
//
// Once a second, while the operator's set-up wants the port open and it is not, the port's
// device is probed (without opening it; a network port every fifth second, as its probe may
// take 300 ms), and opened when the probe finds it usable. It is quiet: one History line when
// it starts waiting, one when the port is open again; an open that fails anyway (its "***Err"
// line in the port log) is tried again after 30 s, not every second.
//
// Window thread only.
class PortReopener : public QObject
{
    Q_OBJECT

public:
    using Wanted = std::function<bool()>;
    using Say = std::function<void(const QString &line)>;

    static constexpr std::chrono::milliseconds Tick{1000};
    static constexpr int NetworkEvery = 5;                  // ticks between probes of a network port
    static constexpr std::chrono::seconds AfterFailure{30}; // before an open that failed is tried again

    PortReopener(serial::PortSession &session, serial::SerialPortService &port, serial::PortMap &map,
                 const serial::PortProbe &probe, Wanted wanted, Say say, QObject *parent = nullptr);

private:
    void tick();

    serial::PortSession &m_session;
    serial::SerialPortService &m_port;
    serial::PortMap &m_map;
    const serial::PortProbe &m_probe;
    Wanted m_wanted; // whether the operator's set-up has the port open
    Say m_say;       // a History line
    QTimer m_timer;
    bool m_waiting = false;                           // told that the port waits to be opened
    int m_ticks = 0;                                  // ticks since the wait began
    std::chrono::steady_clock::time_point m_nextOpen; // no open before this, after a failed one
};

} // namespace vantor::app
