#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QMutex>

#include <atomic>
#include <chrono>
#include <thread>

// A playout server that misbehaves, for the hostile-peer tests and benchmarks. It listens on
// 127.0.0.1 in a thread of its own with plain sockets, so that none of its work runs on the
// window's event loop, and it ends by itself after `lifetime` if nobody stops it first.
class HostilePlayoutPeer
{
public:
    enum class Mode {
        Behave,            // answers each command line "202 PLAY OK"
        FailureFlood,      // sends FloodLineBytes-long failure lines without end, as fast as taken
        AcceptAndClose,    // closes every connection as soon as it is made
        UnfinishedReplies, // answers each command with the next line of unfinishedScript()
    };

    static constexpr int FloodLineBytes = 64 * 1024; // line end included

    explicit HostilePlayoutPeer(std::chrono::seconds lifetime = std::chrono::seconds(60));
    ~HostilePlayoutPeer();

    // Listens on 127.0.0.1 (port 0: a free one) and starts serving.
    bool listen(quint16 port = 0);
    quint16 port() const { return m_port.load(); }
    // Takes effect for the next line; a flood line already begun is finished first.
    void setMode(Mode mode) { m_mode.store(mode); }
    void stop();

    int connections() const { return m_connections.load(); }
    // Connections made and still open.
    int openConnections() const { return m_open.load(); }
    // Connections the client ended: normally (the end of the stream), or with a reset.
    int endedNormally() const { return m_endedNormally.load(); }
    int endedByReset() const { return m_endedByReset.load(); }
    // Failure replies (status 400 and above) written to a client in full.
    qint64 failuresSent() const { return m_failures.load(); }
    // Command lines received, oldest first (the newest 1000).
    QByteArrayList commands() const;

    // 200 without its empty line, five failures, 400 without its echo, a failure, 201 without
    // its data line, a failure: 8 failures in 10 replies.
    static const QByteArrayList &unfinishedScript();

private:
    struct Client;
    void run(int listener);
    void serve(Client &client, short events);
    void answer(Client &client, const QByteArray &line);

    std::chrono::steady_clock::time_point m_end;
    std::atomic<Mode> m_mode{Mode::Behave};
    std::atomic<bool> m_stop{false};
    std::atomic<quint16> m_port{0};
    std::atomic<int> m_connections{0};
    std::atomic<int> m_open{0};
    std::atomic<int> m_endedNormally{0};
    std::atomic<int> m_endedByReset{0};
    std::atomic<qint64> m_failures{0};
    int m_scriptStep = 0; // peer thread only
    mutable QMutex m_mutex;
    QByteArrayList m_commands; // guarded by m_mutex
    std::thread m_thread;
};
