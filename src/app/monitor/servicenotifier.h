#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

namespace vantor::app {

// Tells the service manager how the program is doing, through the notification socket it
// hands over in NOTIFY_SOCKET (libsystemd's sd_notify). Without that variable, or with one that
// names no socket anybody listens on (left over from a service manager that is gone), nothing is
// sent and no timer runs, so a start from a desktop or a terminal behaves as before.
//
// The watchdog pings come from a timer on the thread that owns this object, the window
// thread: while its event loop is stuck (a driver call that does not return, a deadlock) no
// ping goes out, and the service manager ends and restarts the program after WatchdogSec.
// The pings go at half the watchdog time, as the service manager recommends.
//
// A box of the error trap runs an event loop of its own, so the pings go on while it waits.
// A box that an operator answers is no hang; one that nobody can see is: with a grace
// (setBoxGrace, an unattended start) the pings stop once a box has waited that long, and the
// service manager ends and restarts the program; the status line says so at once.
//
// Window thread only.
class ServiceNotifier : public QObject
{
    Q_OBJECT

public:
    explicit ServiceNotifier(QObject *parent = nullptr);

    // Whether a service manager listens: NOTIFY_SOCKET names a socket (a path, or "@name" in the
    // abstract namespace) that a datagram can be sent to now.
    static bool underServiceManager();

    // The set-up is restored and the window shows: READY=1, and the watchdog pings begin.
    void ready(const QString &status);
    // STATUS=, sent only when the text changed since the last one.
    void setStatus(const QString &status);
    // STOPPING=1; the pings end.
    void stopping();

    // How long a box may wait for an answer before the pings stop; none: they never stop.
    void setBoxGrace(std::optional<std::chrono::milliseconds> grace) { m_boxGrace = grace; }
    // A box of the error trap opened (true) or the last one was answered (false).
    void setBoxOpen(bool open);
    // Whether the pings are held back for a box nobody answered within the grace.
    bool pingsHeld() const { return m_held; }

    // The ping interval, zero when the service manager asked for no watchdog.
    std::chrono::milliseconds pingInterval() const { return m_pingInterval; }

private:
    using Clock = std::chrono::steady_clock;
    bool send(const QString &state);
    void ping();
    QString statusLine() const;

    const bool m_active;                                 // NOTIFY_SOCKET was set when we were made
    std::chrono::milliseconds m_pingInterval{};          // half of WATCHDOG_USEC, zero without one
    QTimer m_watchdog;                                   // sends WATCHDOG=1 every m_pingInterval
    QString m_status;                                    // the station's status line, as last told
    std::optional<std::chrono::milliseconds> m_boxGrace; // how long a box may wait; none: for ever
    std::optional<Clock::time_point> m_boxSince;         // since when a box waits; none while none does
    bool m_held = false;                                 // pings stopped for a box that waited too long
};

} // namespace vantor::app
