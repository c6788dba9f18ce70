#pragma once

#include "amcpreplies.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

class QTcpSocket;

namespace vantor::playout {

// How the connection retries.
struct ConnectionTiming
{
    int firstRetryMs = 500;
    int retryMs = 500;
    // An attempt that has neither succeeded nor failed by then is given up and retried.
    int connectTimeoutMs = 1000;
    // A connection that ends sooner after it was made counts as a failed attempt.
    int stableMs = 5000;
    // A command (PING included) waiting while the server has said nothing for this long, and
    // for at least minAnswerMs since its send, makes the connection dead.
    int answerDeadlineMs = 1500;
    int minAnswerMs = 1000;
    // With nothing waiting for a reply, a PING goes out after this long.
    int pingMs = 1000;
};

// The outcome of one command: the server's reply to it, or why none will come.
struct CommandReply
{
    // Longest status line handed on; the rest is dropped.
    static constexpr qsizetype MaxLine = 256;

    bool answered = false;
    int code = -1;         // the three-digit code, -1 without one (or without a reply)
    QByteArray statusLine; // at most MaxLine bytes
    double ms = 0;         // from the send to the reply (or to the end of the waiting)
    QString noReply;       // without a reply, why: "no answer for 1.5 s", "the connection ended", ...
};

// Called exactly once per command sent with it, on the window thread.
using ReplyHandler = std::function<void(const CommandReply &reply)>;

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
//
// Ready means answering. A new connection sends PING at once and becomes ready (state()
// Connected, establishedChanged(true), ready()) with the first answer. While connected, a PING
// goes out after Timing::pingMs without anything waiting for a reply; servers before 2.2 answer
// it with "400 ERROR" and an echo, which is an answer too. A command waiting while the server
// has said nothing for Timing::answerDeadlineMs (and for at least Timing::minAnswerMs since the
// command's send) makes the connection dead ("***Caspar connection lost: no answer for 1.5 s"):
// every command is answered within 1.5 s or its connection is reset, and a server that stops
// answering is found within 2 s. Every end of a connection resets it (SO_LINGER 0): the kernel drops whatever we
// queued and the server never gets it later. Then the connection is retried as above.
//
// Replies: send() takes a handler per command, called exactly once: with that command's own
// reply (the server answers in order, matched here per connection), or with why none came when
// the connection ends (dead by the deadline, dropped, closed by the operator or destroyed).
// A reply can never arrive after its deadline, since the connection is dead by then, and the
// matching starts afresh with every connection. PINGs never reach a handler.
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

    // Hands one command line (ended by CR LF) to the connection and pushes it out at once;
    // onReply is told of its reply (see the class). Only while ready: throws a RuntimeError
    // when not ready or when the socket refuses the bytes, and onReply is then never called.
    void send(const QByteArray &line, ReplyHandler onReply = {});
    // Commands waiting for their replies, at most; a send beyond is refused like a closed socket.
    static constexpr int MaxWaiting = 1024;

    // The operating system's socket, or -1 without a connection.
    qintptr socketDescriptor() const;

Q_SIGNALS:
    // Ready (answering) or no longer.
    void establishedChanged(bool established);
    // Became ready: after every connect and reconnect, the moment to send what a new
    // connection needs (pre-loads).
    void ready();
    // Every reply but a PING's, as it arrives, for counting; matching a reply to its command is
    // the handlers' (send()).
    void replied(int code, const QByteArray &statusLine);
    // A line for the History log.
    void historyLine(const QString &line);

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
    void lose(const QString &reason);
    void resetSocket();
    void endWaiting(const QString &why);
    void write(const QByteArray &line, ReplyHandler onReply, bool ping = false);
    void ping();
    void armTimers();

    // Where the connection is in its life. All members live on the window thread.
    enum class Phase {
        Idle,           // no attempt, no connection, no retry pending
        Connecting,     // an attempt is under way (host lookup or TCP connect)
        Answering,      // connected, the first answer not yet come: not ready
        Up,             // connected and answering: ready
        Proving,        // connected after connections that ended at once; not ready before m_stable ends
        WaitingToRetry, // the last attempt failed or the connection dropped; m_retry runs while wanted
    };
    void enter(Phase phase);

    QTcpSocket *m_socket;
    QTimer m_retry;
    QTimer m_attemptTimeout;
    QTimer m_stable;   // runs from the moment a connection is made until it has lasted Timing::stableMs
    QTimer m_ping;     // with nothing waiting: the next PING
    QTimer m_deadline; // the oldest waiting command's deadline
    AmcpReplies m_replies;
    struct Waiting
    {
        ReplyHandler onReply; // empty for a PING or a command sent without one
        qint64 sentNs = 0;    // m_clock at the send
        bool ping = false;
    };
    std::deque<Waiting> m_waiting; // commands of this connection without a reply, in sending order
    QElapsedTimer m_clock;
    qint64 m_heardNs = 0; // m_clock at the last reply (or the connect) of this connection
    QString m_host;
    const quint16 m_port;
    const Timing m_timing;
    Phase m_phase = Phase::Idle;
    bool m_wanted = false;          // the operator asked for the connection (connectTo, not yet close)
    bool m_answered = false;        // the server has answered on this connection
    bool m_failureReported = false; // one History line per run of failed attempts
    int m_retries = 0;              // retries since the connection was asked for or last lasted stableMs
    int m_shortLived = 0;           // connections in a row that ended within stableMs
};

} // namespace vantor::playout
