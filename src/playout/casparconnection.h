#pragma once

#include "amcpsocket.h"
#include "commandreply.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

namespace vantor::playout {

// How the connection retries, proves the server alive and bounds a cue.
struct ConnectionTiming
{
    int firstRetryMs = 500;
    int retryMs = 500;
    // An attempt that has neither succeeded nor failed by then is given up and retried.
    int connectTimeoutMs = 1000;
    // A connection that ends sooner after it was made counts as a failed attempt.
    int stableMs = 5000;
    // A PING waiting while the server has said nothing for this long, and for at least
    // minAnswerMs since its send, makes the server dead.
    int answerDeadlineMs = 1500;
    int minAnswerMs = 1000;
    // A PING goes out this long after the last one was answered.
    int pingMs = 1000;
    // A cue must begin to run at the server within this long of its contact, or it is refused.
    int cueBoundMs = 1500;
};

// The link to one Caspar playout server.
//
// The operator asks for a connection (connectTo) or ends it (close). While a connection is
// asked for, an attempt that fails or a connection that drops is retried, first after
// Timing::firstRetryMs, then every Timing::retryMs, until it succeeds or the operator closes.
// Changes of the real connection are reported as History lines and by establishedChanged().
//
// Connections: one liveness connection, which carries nothing but PING, and command
// connections (at most MaxCommandConnections), which carry the commands; at most five TCP
// connections per server. The liveness connection is made first; once the server has answered
// its PING the first command connection is made, and with it the link is ready. A further
// command connection is made whenever none is left with nothing waiting, so that the next cue
// finds one free (see commandlanes.h for which command goes where).
//
// Alive: the liveness connection sends PING Timing::pingMs after its last answer (servers
// before 2.2 answer "400 ERROR" and an echo, an answer as well). A PING waiting while the
// server has said nothing on any connection for Timing::answerDeadlineMs (and for at least
// Timing::minAnswerMs since its send) makes the server dead ("***Caspar connection lost: no
// answer for 1.5 s"): a frozen server or a pulled cable is found within 2 s. A server that
// answers PING is alive however long a command takes: no command connection is ever ended for
// slowness.
//
// Ends: a server found dead, a connection ended by the server or broken, and a reply that
// breaks the protocol (see AmcpReplies) end every connection of the link with a reset
// (SO_LINGER 0): the kernel drops whatever we queued and the server never gets it later; then
// the link is retried. The operator's close() and the program's end close normally.
//
// A connection that ends within Timing::stableMs of being made counts as a failed attempt: the
// retry delays go on as after one. Its loss is written to History; from the second such
// connection in a row on, the connections and their losses are not written and the lamp stays
// red, until a connection lasts Timing::stableMs ("Caspar connected" then says how many ended
// at once) or the operator connects again.
//
// Replies: send() takes a handler per command, called exactly once: with that command's own
// reply (matched per connection, its verb checked), or with why none came when the link ends.
// A cue's reply that comes after its bound is written ("***PLAY 1-10 intro.mov answered after
// 3.1 s"). PINGs never reach a handler.
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
    // Commands waiting for their replies on all command connections, at most: the last guard
    // behind the cue bound.
    static constexpr int MaxWaiting = 1024;
    static constexpr int MaxCommandConnections = 4;

    explicit CasparConnection(quint16 port = DefaultPort, Timing timing = {}, QObject *parent = nullptr);
    // Closes normally.
    ~CasparConnection() override;

    // Starts connecting to host in the background; returns at once.
    void connectTo(const QString &host);
    // Ends the connection or the attempt, normally, and stops retrying.
    void close();

    int state() const;
    bool isEstablished() const { return m_phase == Phase::Up; }
    bool isWanted() const { return m_wanted; }
    quint16 port() const { return m_port; }
    const Timing &timing() const { return m_timing; }

    // What send() did: sent, or why not ("4 commands waiting for 1.2 s").
    struct Sending
    {
        bool sent = false;
        QString refusal;
        explicit operator bool() const { return sent; }
    };
    // Sends one command line (ended by CR LF) on a command connection, at once or behind the
    // commands it must follow; onReply is told of its reply (see the class). contact: for a
    // cue, when its contact (or the operator's click) was; it must begin to run within
    // Timing::cueBoundMs of it or it is refused, never sent late. Refused also while not ready,
    // at MaxWaiting, or when the socket does not take the bytes; onReply is then never called.
    // Never throws.
    Sending send(const QByteArray &line, ReplyHandler onReply = {}, std::optional<Clock::time_point> contact = {});

    // Commands waiting for their replies.
    int waitingCommands() const;
    // Connections open or being opened, the liveness one included.
    int connectionCount() const;
    // The first command connection's socket, or -1 without one.
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
    // Where the link is in its life. All members live on the window thread.
    enum class Phase {
        Idle,           // no attempt, no connection, no retry pending
        Connecting,     // the liveness connection's attempt is under way
        Answering,      // connected, the first answer (or the first command connection) not yet come: not ready
        Up,             // answering, a command connection open: ready
        Proving,        // connected after connections that ended at once; not ready before m_stable ends
        WaitingToRetry, // the last attempt failed or the link was lost; m_retry runs while wanted
    };
    void enter(Phase phase);
    bool isConnected() const
    {
        return m_phase == Phase::Answering || m_phase == Phase::Up || m_phase == Phase::Proving;
    }

    void startAttempt();
    void attemptFailed(const QString &reason);
    void scheduleRetry();
    void onLivenessConnected();
    void onLivenessEnded(const QString &reason);
    void onLivenessReplied();
    void onStable();
    void tryUp();
    void onLaneConnected(AmcpSocket *lane);
    void onLaneEnded(AmcpSocket *lane, const QString &reason);
    void onLaneReplied(const AmcpReplies::Reply &reply, const AmcpSocket::Command &command, Clock::time_point at,
                       Clock::duration ran);
    void onFault(const QString &what);
    void lose(const QString &reason);
    void endSockets(bool gracefully);
    void endWaiting(const QString &why);
    void ping();
    void armDeadline();
    void heard(Clock::time_point at);
    AmcpSocket &addLane();
    void keepOneFree();
    QString refusal() const;

    AmcpSocket m_liveness;
    std::vector<std::unique_ptr<AmcpSocket>> m_lanes; // command connections; the first made with the link
    QTimer m_retry;
    QTimer m_stable;   // runs from the moment a connection is made until it has lasted Timing::stableMs
    QTimer m_ping;     // the next PING
    QTimer m_deadline; // the waiting PING's deadline
    ReplyPace m_pace;
    Clock::time_point m_heard{}; // the last reply on any connection of the link (or its connect)
    QString m_host;
    const quint16 m_port;
    const Timing m_timing;
    Phase m_phase = Phase::Idle;
    bool m_wanted = false;          // the operator asked for the connection (connectTo, not yet close)
    bool m_answered = false;        // the server has answered on this liveness connection
    bool m_failureReported = false; // one History line per run of failed attempts
    bool m_spareFailed = false;     // a further command connection failed since the link came up
    int m_retries = 0;              // retries since the connection was asked for or last lasted stableMs
    int m_shortLived = 0;           // connections in a row that ended within stableMs
};

} // namespace vantor::playout
