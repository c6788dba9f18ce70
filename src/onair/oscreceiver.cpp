#include "oscreceiver.h"

#include "oscdecoder.h"
#include "sourcefilter.h"

#include <QMutexLocker>
#include <QUdpSocket>

#include <algorithm>
#include <future>
#include <memory>

#include <vector>

namespace vantor::onair {

namespace {

// Datagrams read at one time, before the window thread is told and stop() is looked at.
constexpr int ReadsPerTurn = 1024;

} // namespace

// Everything here runs on the receiver thread. The socket is waited on directly
// (waitForReadyRead, a tenth of a second at a time, so that stop() is seen): a socket that
// signals readyRead through an event loop stops being watched under a flood, whereas this
// keeps reading as fast as the datagrams come.
class OscReceiver::Worker
{
public:
    explicit Worker(OscReceiver &receiver)
        : m_receiver(receiver)
        , m_shared(receiver.m_shared)
        , m_limits(receiver.m_limits)
        , m_buffer(OscDecoder::MaxDatagram)
    {
        m_updates.reserve(OscDecoder::MaxUpdates);
    }

    // Exclusively: a port another program holds, even one that allows sharing, is an error
    // rather than a share of its datagrams. The port bound, or 0 and why not.
    quint16 bind(const QHostAddress &address, quint16 port, QString &error)
    {
        m_socket = std::make_unique<QUdpSocket>();
        if (!m_socket->bind(address, port, QAbstractSocket::DontShareAddress)) {
            error = m_socket->errorString();
            return 0;
        }
        QMutexLocker lock(&m_shared.mutex);
        m_shared.socket = m_socket->socketDescriptor();
        filterSources(m_shared);
        return m_socket->localPort();
    }

    void run(const std::atomic<bool> &stop)
    {
        while (!stop.load(std::memory_order_relaxed)) {
            // A socket in error returns at once from every wait: it is looked at again later
            // rather than in a loop that takes a processor.
            if (m_socket->state() != QAbstractSocket::BoundState) {
                QThread::msleep(100);
                continue;
            }
            if (!m_socket->hasPendingDatagrams() && !m_socket->waitForReadyRead(100))
                continue;
            bool changed = false;
            for (int i = 0; i < ReadsPerTurn && m_socket->hasPendingDatagrams(); ++i) {
                const qint64 size = m_socket->readDatagram(m_buffer.data(), qint64(m_buffer.size()), &m_sender);
                if (size < 0) {
                    QThread::msleep(1);
                    break;
                }
                changed |= take(std::string_view(m_buffer.data(), std::size_t(size)));
            }
            if (changed && !m_shared.notifying.exchange(true)) {
                QMetaObject::invokeMethod(
                    &m_receiver, [r = &m_receiver] { r->deliverChange(); }, Qt::QueuedConnection);
            }
        }
        {
            QMutexLocker lock(&m_shared.mutex);
            m_shared.socket = -1;
            m_shared.systemFilter = false;
        }
        m_socket.reset();
    }

private:
    // One datagram from m_sender: true when it changed a server's state.
    bool take(std::string_view datagram)
    {
        const int server = serverOf(m_sender);
        if (server < 0) {
            m_shared.strangers.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        const TimePoint now = Clock::now();
        if (!m_buckets[std::size_t(server)].take(now, m_limits.parsedPerSecond)) {
            m_shared.overRate.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
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

    // parsedPerSecond datagrams a second, evenly: at most a tenth of a second's worth at once,
    // so that a flood that uses up the rate leaves the server's own bundles a share all along
    // rather than a second's silence after each burst.
    struct Bucket
    {
        double tokens = 0;
        TimePoint at{};

        bool take(TimePoint now, int perSecond)
        {
            const double burst = std::max(1.0, perSecond / 10.0);
            tokens = at == TimePoint{}
                ? burst
                : std::min(burst, tokens + std::chrono::duration<double>(now - at).count() * perSecond);
            at = now;
            if (tokens < 1)
                return false;
            tokens -= 1;
            return true;
        }
    };

    OscReceiver &m_receiver;
    Shared &m_shared;
    const Limits m_limits;
    std::unique_ptr<QUdpSocket> m_socket; // created, used and deleted on the receiver thread
    std::vector<char> m_buffer;
    std::vector<LayerUpdate> m_updates;
    QHostAddress m_sender;
    std::array<QList<QHostAddress>, Servers> m_addresses; // a copy of the shared ones
    std::uint64_t m_generation = ~std::uint64_t(0);
    std::array<Bucket, Servers> m_buckets{};
};

OscReceiver::OscReceiver(QObject *parent)
    : OscReceiver(Limits{}, parent)
{
}

OscReceiver::OscReceiver(Limits limits, QObject *parent)
    : QObject(parent)
    , m_limits(limits)
{
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
    m_worker = std::make_unique<Worker>(*this);
    m_stop = false;
    auto bound = std::make_shared<std::promise<std::pair<quint16, QString>>>();
    std::future<std::pair<quint16, QString>> result = bound->get_future();
    m_thread.reset(QThread::create([this, port, address, bound] {
        QString error;
        const quint16 at = m_worker->bind(address, port, error);
        bound->set_value({at, error});
        if (at != 0)
            m_worker->run(m_stop);
    }));
    m_thread->setObjectName(QStringLiteral("osc receiver"));
    m_thread->start();
    // A bind answers at once; the wait is bounded all the same (the thread, asked to stop,
    // ends once its bind returns).
    if (result.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        m_stop = true;
        m_error = QStringLiteral("UDP port %1: no answer from the receiver thread").arg(port);
        return false;
    }
    const auto [at, error] = result.get();
    if (at == 0) {
        stop();
        m_error = QStringLiteral("UDP port %1: %2").arg(port).arg(error);
        return false;
    }
    m_port = at;
    m_error.clear();
    return true;
}

void OscReceiver::stop()
{
    m_stop = true;
    if (m_thread) {
        m_thread->wait();
        m_thread.reset();
    }
    m_worker.reset();
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
    filterSources(m_shared);
}

void OscReceiver::filterSources(Shared &shared)
{
    if (shared.socket < 0)
        return;
    shared.systemFilter = admitOnly(shared.socket, shared.addresses[Main] + shared.addresses[Backup]);
}

LayerView OscReceiver::view(Server server, int channel, int layer) const
{
    QMutexLocker lock(&m_shared.mutex);
    return viewOf(m_shared.states[std::size_t(server)], channel, layer);
}

TimePoint OscReceiver::lastDatagram(Server server) const
{
    QMutexLocker lock(&m_shared.mutex);
    return m_shared.states[std::size_t(server)].lastDatagram();
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
    c.systemFilter = m_shared.systemFilter;
    return c;
}

void OscReceiver::deliverChange()
{
    m_shared.notifying.store(false);
    Q_EMIT changed();
}

} // namespace vantor::onair
