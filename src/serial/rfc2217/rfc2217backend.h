#pragma once

#include "hostresolver.h"
#include "rfc2217session.h"
#include "serial/service/portbackend.h"

#include <QString>

#include <memory>
#include <optional>

class QTcpSocket;
class QTimer;

namespace vantor::serial {

// A network serial port: a device server that speaks Telnet Com Port Control (RFC 2217),
// addressed as "rfc2217://HOST:PORT".
//
// open() connects with a bounded wait (Timing::connectMs, 2 s by default, on the calling
// thread: the one place where the window waits) and sends the Telnet offers; the rest of the
// negotiation runs in the event loop, and what the server refuses or leaves unanswered for
// Timing::settleMs goes to the port log. Line changes, line errors and received data become
// the port's events; modem states that come in the first Timing::snapshotMs (the server's
// answer to the mask) set the levels without being taken as changes. The connection is
// watched: when nothing has come from the server for Timing::idleMs, a keep-alive is sent (DO TIMING-MARK, which every Telnet server answers
// with WILL or WONT, plus SET-BAUDRATE 0, the speed query that Com Port servers answer);
// when that brings nothing within Timing::answerMs, or the server closes the connection, the
// port is lost: a device server switched off or cut from the network is noticed within
// idleMs + answerMs (8 s by default) even while no contact moves. A server that leaves more
// than 64 KiB of what is sent to it unread, or that keeps misbehaving (Rfc2217Session), is
// lost the same way. What the server sends is read 16 KiB at a time, at most one such slice
// every 5 ms (3.2 MB/s, far beyond any serial line); the rest waits in the network.
//
// The package's own server says why it refuses or ends a session: the port is lost with its
// words ("The network serial server refuses the session: it serves another client ...").
// When it says that its device has no modem lines, the port log warns as for a local
// pseudo-terminal (noModemLinesNotice).
class Rfc2217Backend : public PortBackend
{
public:
    struct Timing
    {
        int connectMs = 2000;
        int snapshotMs = 500; // after the connection: modem states set the levels only
        int settleMs = 2000;
        int idleMs = 5000;
        int answerMs = 3000;
    };
    struct Endpoint
    {
        QString host;
        quint16 port = 0;
    };

    Rfc2217Backend();
    explicit Rfc2217Backend(Timing timing);
    // Host names are looked up through resolver (a system resolver of its own otherwise).
    explicit Rfc2217Backend(std::shared_ptr<HostResolver> resolver);
    Rfc2217Backend(std::shared_ptr<HostResolver> resolver, Timing timing);
    ~Rfc2217Backend() override;

    void open(const QString &target, const SettingsString &settings, PortSink &sink) override;
    void close() override;
    bool cts() const override;
    bool dsr() const override;
    void write(const QByteArray &bytes) override;

    // "rfc2217://HOST:PORT" (HOST may be a name, an IPv4 address or [IPv6]).
    static std::optional<Endpoint> parseTarget(const QString &target);
    static bool isTarget(const QString &target);
    // Whether a server accepts a connection at target within timeoutMs, the name lookup
    // included; closes it at once.
    static bool reachable(const QString &target, int timeoutMs, HostResolver &resolver);
    // The same in two halves: the host's addresses, looked up within timeoutMs (nothing when
    // the lookup fails or takes longer), and whether one of them accepts a connection.
    static std::optional<QList<QHostAddress>> addressesOf(const Endpoint &endpoint, int timeoutMs,
                                                          HostResolver &resolver);
    static bool reachable(const QList<QHostAddress> &addresses, quint16 port, int timeoutMs);

private:
    void readServer();
    void deliver(rfc2217::Rfc2217Session::Output &out);
    void settle();
    void sendProbe();
    void fail(qint32 number, const QString &description);
    void send(const rfc2217::Bytes &bytes);

    Timing m_timing;
    std::shared_ptr<HostResolver> m_resolver;
    QString m_target;
    PortSink *m_sink = nullptr;
    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<QTimer> m_snapshotTimer;
    std::unique_ptr<QTimer> m_settleTimer;
    std::unique_ptr<QTimer> m_idleTimer;
    std::unique_ptr<QTimer> m_answerTimer;
    std::unique_ptr<QTimer> m_sliceTimer;         // reads on when the gap after a full slice is over
    std::optional<Clock::time_point> m_nextSlice; // no read before this
    std::unique_ptr<rfc2217::Rfc2217Session> m_session;
    bool m_lost = false;
};

} // namespace vantor::serial
