#pragma once

#include "amcpreplies.h"
#include "commandlanes.h"
#include "commandreply.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <optional>

class QTcpSocket;

namespace vantor::playout {

// One TCP connection to the playout server: the socket, its reply reader and the commands
// written on it that wait for their replies, oldest first. What the replies mean, and when the
// connection is made or ended, is its owner's (CasparConnection). Window thread only.
class AmcpSocket : public QObject
{
    Q_OBJECT

public:
    // Longest command text kept for History lines.
    static constexpr qsizetype MaxText = 256;

    // One command written and waiting for its reply.
    struct Command
    {
        QByteArray text; // the line without CR LF, at most MaxText bytes
        CommandTarget target;
        ReplyHandler onReply; // may be empty
        Clock::time_point sentAt{};
        std::optional<Clock::time_point> contact; // a cue's contact (or click); none for other commands
        std::optional<Clock::time_point> due;     // a cue's bound
        QByteArray overtakenBy; // a later cue for its layer, sent on another connection while it waited
        bool ping = false;
    };

    explicit AmcpSocket(QObject *parent = nullptr);
    ~AmcpSocket() override;

    // Starts connecting; connected() or ended() follows, the latter also when connectTimeoutMs
    // passes first.
    void connectTo(const QString &host, quint16 port, int connectTimeoutMs);
    bool isOpen() const;
    bool isConnecting() const;
    // The present attempt connected (and may have ended since).
    bool wasConnected() const { return m_wasConnected; }
    // Looking the host up, as opposed to connecting to it.
    bool isLookingUp() const;
    // Ends at once with a reset (SO_LINGER 0): the kernel drops whatever is still queued for
    // the server, so that nothing of it arrives later. For a connection found dead.
    void reset();
    // Ends normally: what was written still goes out, then the end of the stream.
    void close();

    // Writes the line (with its CR LF) and keeps the command waiting; false when the socket
    // does not take it all.
    bool write(const QByteArray &line, Command command);
    const std::deque<Command> &waiting() const { return m_waiting; }
    std::deque<Command> &waiting() { return m_waiting; }
    // When the oldest waiting command began to run at the server: its send, or the reply before
    // it on this connection when that came later.
    Clock::time_point headSince() const;
    // Hands back every waiting command, oldest first, and forgets them.
    std::deque<Command> takeWaiting();

    qintptr descriptor() const;

Q_SIGNALS:
    void connected();
    // The attempt failed or timed out, or the open connection ended; only once per attempt.
    void ended(const QString &reason);
    // A reply to the oldest waiting command (handed over with it, no longer waiting), read at
    // `at`; ran: how long the server had it since it began to run (see headSince()).
    void replied(const AmcpReplies::Reply &reply, const AmcpSocket::Command &command, Clock::time_point at,
                 Clock::duration ran);
    // A reply that breaks the protocol (see AmcpReplies), or one with nothing waiting: what, as
    // a History text. Nothing more is read.
    void fault(const QString &what);

private:
    void onReadyRead();
    void onEnded(const QString &reason);
    QString describeFault(const AmcpReplies::Reply &reply, const Command *command) const;

    QTcpSocket *m_socket;
    QTimer m_attemptTimeout;
    AmcpReplies m_replies;
    std::deque<Command> m_waiting;   // sending order
    Clock::time_point m_lastReply{}; // of this connection
    bool m_ended = true;             // no attempt or connection under way
    bool m_wasConnected = false;     // the present attempt connected
    quint64 m_attempt = 0;           // counts connects and ends, so a read loop sees its connection go
    QByteArray m_lastAnswered;       // the text of the command the last reply answered
};

} // namespace vantor::playout
