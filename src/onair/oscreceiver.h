#pragma once

#include "onairstate.h"

#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThread>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

namespace vantor::onair {

// Listens for the playout servers' OSC state on a UDP port (6250 by default) on a thread of
// its own ("osc receiver", which waits on the socket itself, without an event loop), so that
// no amount of datagrams delays the window thread, and keeps each server's state
// (ServerState) for the window thread to read. What the receiver thread cannot read in time
// the system drops: the socket's own buffer bounds it.
//
// Bounded throughout:
// - Only the servers it was told about are heard: a datagram from any other address is
//   dropped unread and counted (the main and backup servers are told apart by their source
//   address; their source port is of no account). Where the system can (sourcefilter.h), it
//   drops them itself, before they take room in the socket's buffer that the servers' own
//   datagrams need; they are not counted then.
// - Per server, at most Limits::parsedPerSecond datagrams are parsed a second (evenly, a tenth
//   of a second's worth at most at once); the rest are dropped and counted. A datagram is at most 64 KiB (the UDP maximum); what is kept of it
//   is bounded by ServerState (channel-layers per server, texts of 512 bytes).
// - The window thread learns of changes through changed(): one queued notification at most
//   is on its way at any time; changes meanwhile merge into it.
// The state is read by copy under a small lock, which the receiver thread holds only to apply
// one datagram's updates.
class OscReceiver : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 DefaultPort = 6250;
    enum Server : int { Main = 0, Backup = 1 };
    static constexpr int Servers = 2;

    struct Limits
    {
        int parsedPerSecond = 1000; // per server: 20 channels at 50 frames a second
        std::size_t layersPerServer = 64;
    };
    struct Counts
    {
        std::uint64_t parsed = 0;        // datagrams of known servers, parsed
        std::uint64_t strangers = 0;     // datagrams from other addresses, dropped
        std::uint64_t overRate = 0;      // datagrams of known servers past the rate, dropped
        std::uint64_t malformed = 0;     // parsed, but not OSC
        std::uint64_t cut = 0;           // texts cut, updates past the bound, bundles too deep
        std::uint64_t droppedLayers = 0; // updates for channel-layers past the bound
        bool systemFilter = false;       // the system drops strangers' datagrams (not counted then)
    };

    explicit OscReceiver(QObject *parent = nullptr);
    explicit OscReceiver(Limits limits, QObject *parent = nullptr);
    ~OscReceiver() override;

    // Listens on the port (0: a free one) of the address (every address by default). The port
    // is taken exclusively: one held by another program is an error, in errorString().
    bool start(quint16 port = DefaultPort, const QHostAddress &address = QHostAddress::Any);
    void stop();
    bool isListening() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    QString errorString() const { return m_error; }

    // The resolved addresses of each server. Any thread. A server whose addresses change
    // starts with no state.
    void setServers(const QList<QHostAddress> &main, const QList<QHostAddress> &backup);

    // Copies, any thread.
    LayerView view(Server server, int channel, int layer) const;
    // When the server's latest datagram came; {} before the first (or since its addresses
    // changed).
    TimePoint lastDatagram(Server server) const;
    ServerState state(Server server) const;
    Counts counts() const;

Q_SIGNALS:
    // The state of a server changed (merged: one notification may stand for many datagrams).
    void changed();

private:
    class Worker;
    friend class Worker;

    // Shared between the receiver thread and the readers; the states and addresses under
    // m_mutex, the counts and flags atomic.
    struct Shared
    {
        mutable QMutex mutex;
        std::array<ServerState, Servers> states;
        std::array<QList<QHostAddress>, Servers> addresses;
        std::atomic<std::uint64_t> addressGeneration{0};
        std::atomic<bool> notifying{false}; // a changed() is on its way to the window thread
        std::atomic<std::uint64_t> parsed{0}, strangers{0}, overRate{0}, malformed{0}, cut{0};
        qintptr socket = -1;       // under mutex: the bound socket, for its system filter; -1 without
        bool systemFilter = false; // under mutex: the system filter admits only the addresses
    };

    // With m_shared.mutex held: the system's filter follows the addresses.
    static void filterSources(Shared &shared);
    void deliverChange();

    Limits m_limits;
    Shared m_shared;
    std::unique_ptr<QThread> m_thread; // the receiver thread, running while listening
    std::atomic<bool> m_stop{false};   // asks the receiver thread to end
    std::unique_ptr<Worker> m_worker;  // used by m_thread only, while it runs
    quint16 m_port = 0;                // window thread: the port listened on
    QString m_error;                   // window thread: why start() failed
};

} // namespace vantor::onair
