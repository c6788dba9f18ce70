#pragma once

#include "amcpreplies.h"

#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;

namespace vantor::playout {

// How the connection retries.
struct ConnectionTiming
{
    int firstRetryMs = 1000;
    int retryMs = 5000;
    // An attempt that has neither succeeded nor failed by then is given up and retried.
    int connectTimeoutMs = 5000;
    // A connection that ends sooner after it was made counts as a failed attempt.
    int stableMs = 5000;
};

// The one TCP connection to the Caspar playout server.
//
// The operator asks for a connection (connectTo) or ends it (close). While a connection is
// asked for, an attempt that fails or a connection that drops is retried, first after
// Timing::firstRetryMs, then every Timing::retryMs, until it succeeds or the operator closes.
// Changes of the real connection are reported as History lines and by establishedChanged().
// Replies of the server are read as they come; failures are reported as History lines.
//
// A connection that ends within Timing::stableMs of being made counts as a failed attempt: the
// retry delays go on as after one (a server that accepts and closes at once is tried after
// firstRetryMs, then every retryMs, not again and again after firstRetryMs). Its loss is
// written to History; from the second such connection in a row on, the connections and their
// losses are not written and the lamp stays red, until a connection lasts Timing::stableMs
// ("Caspar connected" then says how many ended at once) or the operator connects again.
class CasparConnection : public QObject
{
    Q_OBJECT

public:
    // Socket states, numbered as the classic socket control numbers them.
    enum State : int {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9,
    };

    using Timing = ConnectionTiming;

    static constexpr quint16 DefaultPort = 5250;

    explicit CasparConnection(quint16 port = DefaultPort, Timing timing = {}, QObject *parent = nullptr);
    ~CasparConnection() override;

    // Starts connecting to host in the background; returns at once.
    void connectTo(const QString &host);
    // Ends the connection or the attempt and stops retrying.
    void close();

    int state() const;
    bool isEstablished() const { return m_phase == Phase::Up; }
    bool isWanted() const { return m_wanted; }
    quint16 port() const { return m_port; }

    // Hands the bytes to the connection and pushes them out at once.
    // Throws a RuntimeError when the socket refuses them.
    void send(const QByteArray &bytes);

    // The operating system's socket, or -1 without a connection.
    qintptr socketDescriptor() const;

Q_SIGNALS:
    void establishedChanged(bool established);
    // A line for the History log.
    void historyLine(const QString &line);
    // Each reply of the server, in the order they arrive: its code (-1 for a status line without
    // one) and its status line. Failures are also reported as History lines.
    void replied(int code, const QByteArray &statusLine);

private:
    void startAttempt();
    void attemptFailed(const QString &reason);
    void scheduleRetry();
    void onConnected();
    void onStable();
    void onDisconnected();
    void onErrorOccurred();
    void onReadyRead();
    void tuneSocket();

    // Where the connection is in its life. All members live on the window thread.
    enum class Phase {
        Idle,           // no attempt, no connection, no retry pending
        Connecting,     // an attempt is under way (host lookup or TCP connect)
        Up,             // connected
        Proving,        // connected after connections that ended at once; not shown as up before m_stable ends
        WaitingToRetry, // the last attempt failed or the connection dropped; m_retry runs while wanted
    };
    void enter(Phase phase);

    QTcpSocket *m_socket;
    QTimer m_retry;
    QTimer m_attemptTimeout;
    QTimer m_stable; // runs from the moment a connection is made until it has lasted Timing::stableMs
    AmcpReplies m_replies;
    QString m_host;
    const quint16 m_port;
    const Timing m_timing;
    Phase m_phase = Phase::Idle;
    bool m_wanted = false;          // the operator asked for the connection (connectTo, not yet close)
    bool m_failureReported = false; // one History line per run of failed attempts
    int m_retries = 0;              // retries since the connection was asked for or last lasted stableMs
    int m_shortLived = 0;           // connections in a row that ended within stableMs
};

} // namespace vantor::playout
