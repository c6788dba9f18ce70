#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

// The playout-server peer of the benchmark: listens on 127.0.0.1, serves every connection the
// link makes (its liveness connection and its command connections), answers PING with PONG and
// every other command line with "202 PLAY OK". For each command line but PING it keeps two moments: when
// the line arrived at its socket (the kernel's receive time stamp: the program's part of the
// road ends there) and when its blocking read returned (the peer's own wake-up added, which
// on a busy machine is the server's share). An ordinary thread of its own, like a server's.
class StampingPeer
{
public:
    using Clock = std::chrono::steady_clock;

    struct Line
    {
        QByteArray text;           // without the CR LF
        Clock::time_point at;      // when the read that completed it returned
        quint64 read = 0;          // number of that read: lines of one read arrived together
        Clock::time_point arrived; // when the last byte of that read reached the socket
    };

    // Listens and starts its thread; lineRead runs on that thread after each line's reply.
    explicit StampingPeer(std::function<void()> lineRead);
    ~StampingPeer();
    StampingPeer(const StampingPeer &) = delete;
    StampingPeer &operator=(const StampingPeer &) = delete;

    bool listening() const { return m_listen >= 0; }
    quint16 port() const { return m_port; }
    int threadId() const { return m_threadId.load(); }
    QList<Line> lines() const;
    void clear();

private:
    void run();
    // False when the client is to be closed.
    bool readFrom(int client, QByteArray &pending);

    const std::function<void()> m_lineRead;
    int m_listen = -1;
    int m_stop = -1; // an eventfd: written once to end the thread
    quint16 m_port = 0;
    std::atomic<int> m_threadId{0};
    std::thread m_thread;

    mutable std::mutex m_mutex;
    QList<Line> m_lines;                 // guarded by m_mutex
    quint64 m_reads = 0;                 // the peer's thread only
    static constexpr int MaxClients = 8; // the link makes at most five per server
};
