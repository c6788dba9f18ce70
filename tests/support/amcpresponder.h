#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QTcpServer>

#include <atomic>
#include <chrono>
#include <functional>

class QTcpSocket;

// A small playout-server peer for tests and benchmarks: listens on 127.0.0.1, records every
// command line it receives with the time it was read, and answers each line as the server
// would ("202 PLAY OK" by default). PING lines are answered but not recorded: the client sends
// them on its own whenever idle.
//
// A slow server (setPace): each connection's lines then run one at a time, in order, each
// recorded when it begins to run and answered when its time has passed, or, held, when
// release() comes.
//
// It may live in a thread of its own (moveToThread): the recorded lines, port(), pings() and
// waitForLines() may then be used from any thread; listen(), stopListening(),
// dropClients(), setReplier(), setPace() and release() run in the responder's thread (they are
// invokable).
class AmcpResponder : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    struct Line
    {
        QByteArray text;      // without the CR LF
        Clock::time_point at; // when the read that completed it returned
        quint64 read = 0;     // number of that read: lines of one read arrived together
    };

    // The reply lines (without CR LF) for one received command line.
    using Replier = std::function<QByteArrayList(const QByteArray &line)>;
    // How many milliseconds the server takes over one line; Held: until release().
    using Pace = std::function<int(const QByteArray &line)>;
    static constexpr int Held = -1;

    explicit AmcpResponder(QObject *parent = nullptr);
    ~AmcpResponder() override;

    // Listens on 127.0.0.1 (or on address, one of a network namespace the test made). Port 0:
    // a free port the first time, the same port afterwards.
    Q_INVOKABLE bool listen(quint16 port = 0);
    bool listenOn(const QHostAddress &address, quint16 port = 0);
    // Stops accepting; connected clients stay. Connecting to the port is then refused.
    Q_INVOKABLE void stopListening();
    // Closes every client connection.
    Q_INVOKABLE void dropClients();
    Q_INVOKABLE void setReplier(AmcpResponder::Replier replier);
    // From now on lines run one at a time per connection, taking pace(line) each; empty: at once.
    Q_INVOKABLE void setPace(AmcpResponder::Pace pace);
    // Answers every held line now.
    Q_INVOKABLE void release();
    // Frozen, as a server whose process stopped: connections stay, the kernel takes bytes in,
    // nothing is read or answered. Thawed, everything taken in meanwhile is read and answered,
    // also what came on connections that ended meanwhile (the kernel held it).
    Q_INVOKABLE void setFrozen(bool frozen);

    quint16 port() const { return m_port.load(); }
    bool isListening() const { return m_server.isListening(); }
    int clientCount() const { return int(m_clients.size()); }

    // "PLAY ..." -> "202 PLAY OK" (so LOADBG, STOP, CLEAR), "PING" -> "PONG", anything else
    // "400 ERROR" and the echo.
    static QByteArrayList standardReply(const QByteArray &line);
    // The standard replies, except "404 PLAY FAILED" for a PLAY whose line contains `clip`.
    static Replier failingClip(const QByteArray &clip);

    QList<Line> lines() const;
    QByteArrayList texts() const;
    // Every received byte, in order, as it came.
    QByteArray received() const;
    int lineCount() const;
    // PINGs answered so far.
    int pings() const { return m_pings.load(); }
    void clear();

    // Reads without running the event loop (so it also proves that bytes were pushed out
    // before the caller returns to it) until `count` lines are recorded or msecs pass.
    // Call it in the responder's thread.
    bool waitForLines(int count, int msecs);

Q_SIGNALS:
    void lineReceived(const QByteArray &line);
    void clientConnected();
    void clientDisconnected();

private:
    void accept();
    void readFrom(QTcpSocket *client);
    void answer(QTcpSocket *client, const QByteArray &text);
    void runNext(QTcpSocket *client);

    // A paced connection's lines not yet run; responder thread only.
    struct Queue
    {
        QList<QByteArray> lines;
        bool running = false;
    };

    QTcpServer m_server;
    QList<QTcpSocket *> m_clients;
    QList<QTcpSocket *> m_endedWhileFrozen;
    bool m_frozen = false;
    Replier m_replier = &AmcpResponder::standardReply;
    Pace m_pace;
    QHash<QTcpSocket *, Queue> m_queues;
    QList<QPair<QTcpSocket *, QByteArray>> m_held; // lines whose answer waits for release()
    std::atomic<int> m_pings{0};
    std::atomic<quint16> m_port{0};

    mutable QMutex m_mutex;
    QList<Line> m_lines;
    QByteArray m_received;
    QHash<QTcpSocket *, QByteArray> m_partial;
    quint64 m_reads = 0;
};
