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
// It may live in a thread of its own (moveToThread): the recorded lines, port() and
// waitForLines() may then be used from any thread; listen(), stopListening(),
// dropClients() and setReplier() run in the responder's thread (they are invokable).
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
    // Frozen, as a server whose process stopped: connections stay, the kernel takes bytes in,
    // nothing is read or answered. Thawed, everything taken in meanwhile is read and answered,
    // also what came on connections that ended meanwhile (the kernel held it).
    Q_INVOKABLE void setFrozen(bool frozen);

    quint16 port() const { return m_port.load(); }
    bool isListening() const { return m_server.isListening(); }
    int clientCount() const { return int(m_clients.size()); }

    // "PLAY ..." -> "202 PLAY OK", "PING" -> "PONG", anything else "400 ERROR" and the echo.
    static QByteArrayList standardReply(const QByteArray &line);
    // The standard replies, except "404 PLAY FAILED" for a PLAY whose line contains `clip`.
    static Replier failingClip(const QByteArray &clip);

    QList<Line> lines() const;
    QByteArrayList texts() const;
    // Every received byte, in order, as it came.
    QByteArray received() const;
    int lineCount() const;
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

    QTcpServer m_server;
    QList<QTcpSocket *> m_clients;
    QList<QTcpSocket *> m_endedWhileFrozen;
    bool m_frozen = false;
    Replier m_replier = &AmcpResponder::standardReply;
    std::atomic<quint16> m_port{0};

    mutable QMutex m_mutex;
    QList<Line> m_lines;
    QByteArray m_received;
    QHash<QTcpSocket *, QByteArray> m_partial;
    quint64 m_reads = 0;
};
