#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

namespace vantor::app {

// Tells the service manager how the program is doing, through the notification socket it
// hands over in NOTIFY_SOCKET (libsystemd's sd_notify). Without that variable nothing is sent
// and no timer runs, so a start from a desktop or a terminal behaves as before.
//
// The watchdog pings come from a timer on the thread that owns this object, the window
// thread: while its event loop is stuck (a driver call that does not return, a deadlock) no
// ping goes out, and the service manager ends and restarts the program after WatchdogSec.
// The pings go at half the watchdog time, as the service manager recommends.
//
// Window thread only.
class ServiceNotifier : public QObject
{
    Q_OBJECT

public:
    explicit ServiceNotifier(QObject *parent = nullptr);

    // Whether a service manager listens (NOTIFY_SOCKET is set).
    static bool underServiceManager();

    // The set-up is restored and the window shows: READY=1, and the watchdog pings begin.
    void ready(const QString &status);
    // STATUS=, sent only when the text changed since the last one.
    void setStatus(const QString &status);
    // STOPPING=1; the pings end.
    void stopping();

    // The ping interval, zero when the service manager asked for no watchdog.
    std::chrono::milliseconds pingInterval() const { return m_pingInterval; }

private:
    bool send(const QString &state);

    const bool m_active;                        // NOTIFY_SOCKET was set when we were made
    std::chrono::milliseconds m_pingInterval{}; // half of WATCHDOG_USEC, zero without one
    QTimer m_watchdog;                          // sends WATCHDOG=1 every m_pingInterval
    QString m_status;                           // the STATUS= text last sent
};

} // namespace vantor::app
