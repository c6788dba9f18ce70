#include "oscreceiver.h"

#include "oscdecoder.h"

#include <QMutexLocker>
#include <QUdpSocket>

#include <vector>

namespace vantor::onair {

namespace {

// Datagrams read in one turn of the receiver thread's event loop before it looks at its other
// events (stop) again.
constexpr int ReadsPerTurn = 1024;

} // namespace

// Everything here runs on the receiver thread.
class OscReceiver::Worker : public QObject
{
public:
    Worker(OscReceiver &receiver, QUdpSocket *socket)
        : m_receiver(receiver)
        , m_shared(receiver.m_shared)
        , m_limits(receiver.m_limits)
        , m_socket(socket)
        , m_buffer(OscDecoder::MaxDatagram)
    {
        m_socket->setParent(this);
        m_updates.reserve(OscDecoder::MaxUpdates);
        connect(m_socket, &QUdpSocket::readyRead, this, &Worker::readAvailable);
    }

private:
    void readAvailable()
    {
        bool changed = false;
        for (int i = 0; i < ReadsPerTurn && m_socket->hasPendingDatagrams(); ++i) {
            const qint64 size = m_socket->readDatagram(m_buffer.data(), qint64(m_buffer.size()), &m_sender);
            if (size < 0)
                break;
            changed |= take(std::string_view(m_buffer.data(), std::size_t(size)));
        }
        if (changed && !m_shared.notifying.exchange(true)) {
            QMetaObject::invokeMethod(
                &m_receiver, [r = &m_receiver] { r->deliverChange(); }, Qt::QueuedConnection);
        }
        if (m_socket->hasPendingDatagrams() && !m_again) {
            m_again = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_again = false;
                    readAvailable();
                },
                Qt::QueuedConnection);
        }
    }

    // One datagram from m_sender: true when it changed a server's state.
    bool take(std::string_view datagram)
    {
        const int server = serverOf(m_sender);
        if (server < 0) {
            m_shared.strangers.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        const TimePoint now = Clock::now();
        Window &w = m_windows[std::size_t(server)];
        if (now - w.start >= std::chrono::seconds(1))
            w = {now, 0};
        if (w.parsed >= m_limits.parsedPerSecond) {
            m_shared.overRate.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        ++w.parsed;
        const OscDecoder::Result result = OscDecoder::decode(datagram, m_updates);
        m_shared.parsed.fetch_add(1, std::memory_order_relaxed);
        if (!result.wellFormed)
            m_shared.malformed.fetch_add(1, std::memory_order_relaxed);
        if (result.cut)
            m_shared.cut.fetch_add(result.cut, std::memory_order_relaxed);
        if (!result.wellFormed && m_updates.empty())
            return false;
        QMutexLocker lock(&m_shared.mutex);
        m_shared.states[std::size_t(server)].apply(m_updates, now);
        return true;
    }

    int serverOf(const QHostAddress &sender)
    {
        const std::uint64_t generation = m_shared.addressGeneration.load(std::memory_order_acquire);
        if (generation != m_generation) {
            QMutexLocker lock(&m_shared.mutex);
            m_addresses = m_shared.addresses;
            m_generation = generation;
        }
        for (int s = 0; s < Servers; ++s) {
            for (const QHostAddress &a : m_addresses[std::size_t(s)]) {
                if (a.isEqual(sender, QHostAddress::ConvertV4MappedToIPv4))
                    return s;
            }
        }
        return -1;
    }

    struct Window
    {
        TimePoint start{};
        int parsed = 0;
    };

    OscReceiver &m_receiver;
    Shared &m_shared;
    const Limits m_limits;
    QUdpSocket *m_socket; // a child
    std::vector<char> m_buffer;
    std::vector<LayerUpdate> m_updates;
    QHostAddress m_sender;
    std::array<QList<QHostAddress>, Servers> m_addresses; // a copy of the shared ones
    std::uint64_t m_generation = ~std::uint64_t(0);
    std::array<Window, Servers> m_windows{};
    bool m_again = false; // a read is queued for datagrams left over
};

OscReceiver::OscReceiver(QObject *parent)
    : OscReceiver(Limits{}, parent)
{
}

OscReceiver::OscReceiver(Limits limits, QObject *parent)
    : QObject(parent)
    , m_limits(limits)
{
    m_thread.setObjectName(QStringLiteral("osc receiver"));
    QMutexLocker lock(&m_shared.mutex);
    for (ServerState &s : m_shared.states)
        s = ServerState(m_limits.layersPerServer);
}

OscReceiver::~OscReceiver()
{
    stop();
}

bool OscReceiver::start(quint16 port, const QHostAddress &address)
{
    stop();
    auto *socket = new QUdpSocket;
    // Exclusively: a port another program holds, even one that allows sharing, is an error
    // rather than a share of its datagrams.
    if (!socket->bind(address, port, QAbstractSocket::DontShareAddress)) {
        m_error = QStringLiteral("UDP port %1: %2").arg(port).arg(socket->errorString());
        delete socket;
        return false;
    }
    m_port = socket->localPort();
    m_error.clear();
    m_worker = new Worker(*this, socket);
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    return true;
}

void OscReceiver::stop()
{
    if (!m_worker)
        return;
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
    m_worker = nullptr;
    m_port = 0;
}

void OscReceiver::setServers(const QList<QHostAddress> &main, const QList<QHostAddress> &backup)
{
    QMutexLocker lock(&m_shared.mutex);
    const std::array<QList<QHostAddress>, Servers> next{main, backup};
    for (std::size_t s = 0; s < Servers; ++s) {
        if (m_shared.addresses[s] != next[s])
            m_shared.states[s] = ServerState(m_limits.layersPerServer);
    }
    m_shared.addresses = next;
    m_shared.addressGeneration.fetch_add(1, std::memory_order_release);
}

LayerView OscReceiver::view(Server server, int channel, int layer) const
{
    QMutexLocker lock(&m_shared.mutex);
    return viewOf(m_shared.states[std::size_t(server)], channel, layer);
}

ServerState OscReceiver::state(Server server) const
{
    QMutexLocker lock(&m_shared.mutex);
    return m_shared.states[std::size_t(server)];
}

OscReceiver::Counts OscReceiver::counts() const
{
    Counts c;
    c.parsed = m_shared.parsed.load(std::memory_order_relaxed);
    c.strangers = m_shared.strangers.load(std::memory_order_relaxed);
    c.overRate = m_shared.overRate.load(std::memory_order_relaxed);
    c.malformed = m_shared.malformed.load(std::memory_order_relaxed);
    c.cut = m_shared.cut.load(std::memory_order_relaxed);
    QMutexLocker lock(&m_shared.mutex);
    for (const ServerState &s : m_shared.states)
        c.droppedLayers += s.droppedLayers();
    return c;
}

void OscReceiver::deliverChange()
{
    m_shared.notifying.store(false);
    Q_EMIT changed();
}

} // namespace vantor::onair
