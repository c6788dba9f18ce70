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

// Opens the restored port when it can be, whether someone watches the station or not: a port
// whose adapter is unplugged or whose device this user may not open at start (or whose network
// server is not there yet, or serves another client for a while), or that goes away later, is
// opened again as soon as it can be, with no one pressing "Open COM Port".
//
// A quarter of a second after the start, then once a second, while the operator's set-up wants the port open and it is not, a local
// port's device is probed (without opening it) and opened when the probe finds it usable. A
// network port is not probed: its probe connects as the open does, and a server that serves
// one client at a time would refuse the open that follows; the open is tried instead, every
// fifth second. It is quiet: a History line when it starts waiting (at most one a minute) and
// one when the port is open again. An open that fails (its "***Err" line in the port log) is
// tried again after 5 s, then 10, 20, 40, and every minute from then on, until the port has
// stayed open for a minute.
//
// Window thread only.
class PortReopener : public QObject
{
    Q_OBJECT

public:
    using Wanted = std::function<bool()>;
    using Say = std::function<void(const QString &line)>;
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds Tick{1000};
    static constexpr int NetworkEvery = 5; // ticks between opens of a network port
    static constexpr std::chrono::seconds FirstBackOff{5};
    static constexpr std::chrono::seconds LongestBackOff{60};
    static constexpr std::chrono::seconds Quiet{
        60}; // between two "is not open" lines, and open that long to count as well

    PortReopener(serial::PortSession &session, serial::SerialPortService &port, serial::PortMap &map,
                 const serial::PortProbe &probe, Wanted wanted, Say say, QObject *parent = nullptr);

private:
    void tick();
    bool usable(qint16 number);

    serial::PortSession &m_session;
    serial::SerialPortService &m_port;
    serial::PortMap &m_map;
    const serial::PortProbe &m_probe;
    Wanted m_wanted; // whether the operator's set-up has the port open
    Say m_say;       // a History line
    QTimer m_timer;
    bool m_waiting = false;                       // the port is wanted open and is not
    int m_ticks = 0;                              // ticks since the wait began
    Clock::time_point m_nextOpen;                 // no open before this, after a failed one
    std::chrono::seconds m_backOff{FirstBackOff}; // the wait after the next failed open
    Clock::time_point m_nextNotice;               // no "is not open" line before this
    Clock::time_point m_openedAt;                 // when the port was last opened
};

} // namespace vantor::app
