#pragma once

#include "commevent.h"
#include "debouncer.h"
#include "eventinbox.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <optional>
#include <vector>

namespace vantor::serial {

// The one serial port of the window. Members follow the classic serial control: CommPort,
// PortOpen, Settings, CommEvent, CTSHolding, DSRHolding, Input, Output, and the onComm()
// notification, always on the user-interface thread, once for each event in the order the
// events happened. Failures are thrown as vantor::RuntimeError (number and description).
//
// Backends (the Linux port, network ports, the tests' fake) implement the device hooks and
// hand their events to post(), from any thread. The events wait in a bounded queue
// (EventInbox: its bounds and merge rule) for the user-interface thread, which takes them a
// few milliseconds at a time; when changes came faster than that, a port-log line says how
// many were merged or dropped. Each opening of the port is a session of its own: events,
// notices and losses of an earlier session are never delivered.
class SerialPortService : public QObject
{
    Q_OBJECT

public:
    explicit SerialPortService(QObject *parent = nullptr);
    ~SerialPortService() override;

    // Stored configuration: port 1, settings "9600,n,8,1".
    qint16 commPort() const { return m_commPort; }
    void setCommPort(qint16 port);
    QString settings() const { return m_settings; }
    void setSettings(const QString &settings);

    bool portOpen() const { return m_open; }
    void setPortOpen(bool open);

    // While onComm() is handled: the event's code, else 0.
    qint16 commEvent() const;
    // While onComm() is handled: when the event happened (a line change: when the port saw it).
    std::optional<Clock::time_point> eventTime() const;
    // Everything merged and dropped between the port and this thread since the service was
    // made, as far as reported in the port log so far.
    const EventInbox::Counts &pressureTotals() const { return m_pressureTotals; }
    // While a CTS (DSR) change is handled: the level the line took in that change.
    // Otherwise the present level.
    bool ctsHolding() const;
    bool dsrHolding() const;
    // The received bytes of the receive event being handled; taken once.
    QByteArray input();
    // Sends the bytes as they are. Fails while the port is closed.
    void output(const QByteArray &bytes);

    // The level of DTR, the tally contact: set on the device at once while the port is open,
    // and at every open from then on (until first set, DTR is asserted while open). RTS stays
    // asserted. Throws when the open device cannot set it.
    void setDtr(bool asserted);
    bool dtr() const { return m_dtr; }

    // Thread-safe: queues an event of the session open now for the user-interface thread.
    void post(CommEvent event) { post(EventInbox::Current, std::move(event)); }

    // Contact-bounce hold-off for CTS and DSR (0 turns the filter off). Default 10 ms.
    void setDebounce(std::chrono::microseconds holdOff);

Q_SIGNALS:
    void onComm();
    // Extra lines for the port log: what the port cannot do, warnings when it opens.
    void notice(const QString &line);
    // The open port went away (adapter pulled, server gone); the service is closed already.
    void portLost(qint32 number, const QString &description);

protected:
    // Device hooks, called on the user-interface thread.
    virtual void validatePort(qint16 port) const;
    virtual void openDevice() = 0;
    virtual void closeDevice() = 0;
    virtual bool presentCts() const = 0;
    virtual bool presentDsr() const = 0;
    virtual void writeDevice(const QByteArray &bytes) = 0;
    // The level of DTR: called while open when it is set, and before openDevice() once it
    // has been set, so that the device opens with it.
    virtual void setDeviceDtr(bool asserted) = 0;

    using Session = EventInbox::Session;
    // The session being opened or open (0 while closed). User-interface thread.
    Session session() const { return m_session; }
    // Thread-safe: an event, a port-log line, or the loss of the device (the device is gone)
    // of the given session; posts of a session that is over are dropped.
    void post(Session session, CommEvent event);
    void postNotice(Session session, const QString &line);
    void postLost(Session session, qint32 number, const QString &description);
    void postLost(qint32 number, const QString &description) { postLost(EventInbox::Current, number, description); }

private:
    void scheduleDrain();
    void drain();
    void handle(EventInbox::Item item);
    void deliver(const EventInbox::Item &item);
    void reportPressure(bool idle);
    void feed(const CommEvent &event);
    void defer(const CommEvent &event);
    void releaseDeferred(Clock::time_point until);
    void queueReports(const std::vector<Debouncer::Report> &reports);
    void expireHoldOffs();
    void armHoldOffTimer();
    void deliverPending();
    void lose(qint32 number, const QString &description);

    // All members are owned by the user-interface thread, except m_inbox (thread-safe).
    qint16 m_commPort = 1;
    QString m_settings = QStringLiteral("9600,n,8,1");
    bool m_open = false;
    bool m_dtr = true;                            // the level of DTR asked for
    bool m_dtrSet = false;                        // setDtr() was called: every open sets the level
    Session m_session = 0;                        // the session being opened or open; 0 while closed
    EventInbox m_inbox;                           // from the backends' threads to this one
    std::deque<CommEvent> m_pending;              // passed the bounce filter, to be handed out
    static constexpr std::size_t MaxDeferred = 8; // two changes for each of the four lines
    std::vector<CommEvent> m_deferred;            // later changes of merged items, in time order, not yet filtered
    std::optional<CommEvent> m_current;
    bool m_delivering = false;
    bool m_draining = false;
    Clock::time_point m_pressureReported; // when the last merged/dropped line went out
    QTimer m_pressureTimer;               // the end of that second, when more is to be said
    EventInbox::Counts m_pressureTotals;  // the sum of all those lines
    Debouncer m_debouncer{std::chrono::milliseconds(10)};
    QTimer m_holdOffTimer;
};

} // namespace vantor::serial
