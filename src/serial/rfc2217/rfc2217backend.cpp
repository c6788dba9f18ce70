#include "rfc2217backend.h"

#include "errortrap/runtimeerror.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace vantor::serial {

using namespace rfc2217;

namespace {

constexpr auto Scheme = "rfc2217";
// What is read from the server at one time: one turn of the event loop handles at most this,
// and after a full slice the next one waits SliceGap: at most 3.2 MB/s, far above any serial
// line, so that a server that sends without end takes a small share of the window's thread
// and the rest waits in the network.
constexpr qint64 MaxRead = 16 * 1024;
constexpr std::chrono::milliseconds SliceGap(5);
// What may wait to be sent. A server that leaves this much unread does not read at all.
constexpr qint64 MaxUnsent = 64 * 1024;

PortParameters parametersOf(const SettingsString &settings)
{
    PortParameters p;
    p.baudRate = static_cast<std::uint32_t>(settings.speed);
    p.dataSize = static_cast<std::uint8_t>(settings.dataBits);
    switch (settings.parity) {
    case 'O': p.parity = cpc::parity::Odd; break;
    case 'E': p.parity = cpc::parity::Even; break;
    case 'M': p.parity = cpc::parity::Mark; break;
    case 'S': p.parity = cpc::parity::Space; break;
    default: p.parity = cpc::parity::None; break;
    }
    if (settings.stopBits == QLatin1String("2"))
        p.stopSize = cpc::stopsize::Two;
    else if (settings.stopBits == QLatin1String("1.5"))
        p.stopSize = cpc::stopsize::OneAndHalf;
    else
        p.stopSize = cpc::stopsize::One;
    return p;
}

CommEvent commEventOf(const SessionEvent &e, Clock::time_point when)
{
    switch (e.kind) {
    case SessionEvent::Kind::Data:
        return {comm::Receive, false, QByteArray(e.data.data(), qsizetype(e.data.size())), when};
    case SessionEvent::Kind::Line:
        switch (e.edge.signal) {
        case Signal::Cts: return {comm::Cts, e.edge.level, {}, when};
        case Signal::Dsr: return {comm::Dsr, e.edge.level, {}, when};
        case Signal::Cd: return {comm::Cd, e.edge.level, {}, when};
        case Signal::Ring: return {comm::Ring, e.edge.level, {}, when};
        }
        break;
    case SessionEvent::Kind::Error:
        switch (e.error) {
        case LineError::Break: return {comm::Break, false, {}, when};
        case LineError::Framing: return {comm::Frame, false, {}, when};
        case LineError::Parity: return {comm::RxParity, false, {}, when};
        case LineError::Overrun: return {comm::Overrun, false, {}, when};
        }
        break;
    }
    return {0, false, {}, when};
}

// errno and the system's text for a failed connection, plus the target.
RuntimeError connectError(QAbstractSocket::SocketError error, const QString &target)
{
    int number = EIO;
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: number = ECONNREFUSED; break;
    case QAbstractSocket::HostNotFoundError: number = EHOSTUNREACH; break;
    case QAbstractSocket::SocketTimeoutError: number = ETIMEDOUT; break;
    case QAbstractSocket::NetworkError: number = ENETUNREACH; break;
    default: break;
    }
    return RuntimeError(number, std::string(std::strerror(number)) + ": " + target.toStdString());
}

// The host's addresses, looked up within msecs.
QList<QHostAddress> resolve(HostResolver &resolver, const QString &host, int msecs, const QString &target)
{
    QHostAddress literal;
    if (literal.setAddress(host))
        return {literal};
    const std::optional<QList<QHostAddress>> addresses = resolver.resolve(host, std::chrono::milliseconds(msecs));
    if (!addresses)
        throw RuntimeError(ETIMEDOUT, "Host lookup timed out: " + target.toStdString());
    if (addresses->isEmpty())
        throw RuntimeError(EHOSTUNREACH, "Host not found: " + target.toStdString());
    return *addresses;
}

// A socket connected to the first of the addresses that accepts within the time left.
std::unique_ptr<QTcpSocket> connectTo(const QList<QHostAddress> &addresses, quint16 port, const QElapsedTimer &clock,
                                      int msecs, const QString &target)
{
    QAbstractSocket::SocketError error = QAbstractSocket::SocketTimeoutError;
    for (const QHostAddress &address : addresses) {
        const int left = msecs - int(clock.elapsed());
        if (left <= 0)
            break;
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(address, port);
        if (socket->waitForConnected(left))
            return socket;
        error = socket->error() == QAbstractSocket::UnknownSocketError ? QAbstractSocket::SocketTimeoutError
                                                                       : socket->error();
        socket->abort();
    }
    throw connectError(error, target);
}

} // namespace

Rfc2217Backend::Rfc2217Backend()
    : Rfc2217Backend(Timing{})
{
}

Rfc2217Backend::Rfc2217Backend(Timing timing)
    : Rfc2217Backend(std::make_shared<SystemHostResolver>(), timing)
{
}

Rfc2217Backend::Rfc2217Backend(std::shared_ptr<HostResolver> resolver)
    : Rfc2217Backend(std::move(resolver), Timing{})
{
}

Rfc2217Backend::Rfc2217Backend(std::shared_ptr<HostResolver> resolver, Timing timing)
    : m_timing(timing)
    , m_resolver(std::move(resolver))
{
}

Rfc2217Backend::~Rfc2217Backend()
{
    close();
}

std::optional<Rfc2217Backend::Endpoint> Rfc2217Backend::parseTarget(const QString &target)
{
    const QUrl url(target, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String(Scheme) || url.host().isEmpty() || url.port() <= 0
        || !(url.path().isEmpty() || url.path() == QLatin1String("/")) || url.hasQuery() || url.hasFragment()
        || !url.userInfo().isEmpty())
        return std::nullopt;
    return Endpoint{url.host(), quint16(url.port())};
}

bool Rfc2217Backend::isTarget(const QString &target)
{
    return target.startsWith(QLatin1String(Scheme) + QLatin1String("://"));
}

bool Rfc2217Backend::reachable(const QString &target, int timeoutMs, HostResolver &resolver)
{
    const auto endpoint = parseTarget(target);
    if (!endpoint)
        return false;
    QElapsedTimer clock;
    clock.start();
    const auto addresses = addressesOf(*endpoint, timeoutMs, resolver);
    return addresses && reachable(*addresses, endpoint->port, timeoutMs - int(clock.elapsed()));
}

std::optional<QList<QHostAddress>> Rfc2217Backend::addressesOf(const Endpoint &endpoint, int timeoutMs,
                                                               HostResolver &resolver)
{
    try {
        return resolve(resolver, endpoint.host, timeoutMs, {});
    } catch (const RuntimeError &) {
        return std::nullopt;
    }
}

bool Rfc2217Backend::reachable(const QList<QHostAddress> &addresses, quint16 port, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    try {
        connectTo(addresses, port, clock, timeoutMs, {})->abort();
        return true;
    } catch (const RuntimeError &) {
        return false;
    }
}

void Rfc2217Backend::open(const QString &target, const SettingsString &settings, PortSink &sink)
{
    close();
    const auto endpoint = parseTarget(target);
    if (!endpoint)
        throw RuntimeError(errors::InvalidPortNumber, "Invalid port number: " + target.toStdString());

    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QTcpSocket> socket = connectTo(resolve(*m_resolver, endpoint->host, m_timing.connectMs, target),
                                                   endpoint->port, clock, m_timing.connectMs, target);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setReadBufferSize(MaxRead);

    m_target = target;
    m_sink = &sink;
    m_lost = false;
    m_socket = std::move(socket);
    m_session = std::make_unique<Rfc2217Session>(parametersOf(settings));

    QObject::connect(m_socket.get(), &QTcpSocket::readyRead, m_socket.get(), [this] { readServer(); });
    QObject::connect(m_socket.get(), &QTcpSocket::disconnected, m_socket.get(),
                     [this] { fail(ECONNRESET, "Connection closed by the network serial server: " + m_target); });
    QObject::connect(m_socket.get(), &QTcpSocket::errorOccurred, m_socket.get(),
                     [this](QAbstractSocket::SocketError error) {
                         if (error == QAbstractSocket::RemoteHostClosedError)
                             fail(ECONNRESET, "Connection closed by the network serial server: " + m_target);
                         else
                             fail(EIO, m_socket->errorString() + ": " + m_target);
                     });

    const auto singleShot = [](int ms, auto slot) {
        auto timer = std::make_unique<QTimer>();
        timer->setSingleShot(true);
        timer->setInterval(ms);
        QObject::connect(timer.get(), &QTimer::timeout, timer.get(), slot);
        return timer;
    };
    m_snapshotTimer = singleShot(m_timing.snapshotMs, [this] {
        if (m_session)
            m_session->watchChanges();
    });
    m_settleTimer = singleShot(m_timing.settleMs, [this] { settle(); });
    m_idleTimer = singleShot(m_timing.idleMs, [this] { sendProbe(); });
    m_sliceTimer = singleShot(0, [this] { readServer(); });
    m_nextSlice.reset();
    m_answerTimer = singleShot(m_timing.answerMs,
                               [this] { fail(ETIMEDOUT, "The network serial server stopped answering: " + m_target); });

    send(m_session->start());
    m_snapshotTimer->start();
    m_settleTimer->start();
    m_idleTimer->start();
}

void Rfc2217Backend::close()
{
    m_snapshotTimer.reset();
    m_settleTimer.reset();
    m_idleTimer.reset();
    m_answerTimer.reset();
    m_sliceTimer.reset();
    m_session.reset();
    m_sink = nullptr;
    if (!m_socket)
        return;
    // Let what was written leave, then the socket deletes itself once it is closed.
    QTcpSocket *socket = m_socket.release();
    QObject::disconnect(socket, nullptr, nullptr, nullptr);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater(); // close() may be called from one of its own signals
        return;
    }
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(1000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

bool Rfc2217Backend::cts() const
{
    return m_session && m_session->level(Signal::Cts);
}

bool Rfc2217Backend::dsr() const
{
    return m_session && m_session->level(Signal::Dsr);
}

void Rfc2217Backend::write(const QByteArray &bytes)
{
    if (!m_socket || !m_session || m_lost)
        throw RuntimeError(errors::DeviceNotOpen);
    send(m_session->encodeData(std::string_view(bytes.constData(), std::size_t(bytes.size()))));
}

void Rfc2217Backend::send(const Bytes &bytes)
{
    if (bytes.empty() || !m_socket || m_lost)
        return;
    m_socket->write(bytes.data(), qint64(bytes.size()));
    m_socket->flush();
    if (m_socket->bytesToWrite() > MaxUnsent)
        fail(EPROTO, "The network serial server does not read what is sent: " + m_target);
}

// At most MaxRead at a time (the socket buffers no more, and stops reading the network while
// its buffer is full), and a full slice only every SliceGap.
void Rfc2217Backend::readServer()
{
    if (!m_socket || !m_session || m_lost)
        return;
    const Clock::time_point now = Clock::now();
    if (m_nextSlice && now < *m_nextSlice) {
        if (!m_sliceTimer->isActive())
            m_sliceTimer->start(std::chrono::ceil<std::chrono::milliseconds>(*m_nextSlice - now));
        return;
    }
    const QByteArray bytes = m_socket->read(MaxRead);
    if (bytes.isEmpty())
        return;
    m_nextSlice = bytes.size() == MaxRead ? std::optional(now + SliceGap) : std::nullopt;
    m_answerTimer->stop();
    m_idleTimer->start();
    Rfc2217Session::Output out;
    m_session->receive(std::string_view(bytes.constData(), std::size_t(bytes.size())), out, now);
    deliver(out);
}

// A session that takes the server as broken ends as a lost server does, after what came
// before the fault has been handed on.
void Rfc2217Backend::deliver(Rfc2217Session::Output &out)
{
    send(out.reply);
    if (!m_sink)
        return;
    // A sink may close the port from inside a call: look again before each one.
    for (const std::string &line : out.notices) {
        if (m_sink)
            m_sink->notice(QString::fromStdString(line));
    }
    if (out.noModemLines && m_sink)
        m_sink->notice(noModemLinesNotice(m_target, QStringLiteral("its server says so")));
    const Clock::time_point now = Clock::now();
    for (const SessionEvent &e : out.events) {
        if (m_sink)
            m_sink->event(commEventOf(e, now));
    }
    if (!out.fault.empty())
        fail(EPROTO, QString::fromStdString(out.fault) + QStringLiteral(": ") + m_target);
    else if (!out.ended.empty())
        fail(ECONNRESET, QString::fromStdString(out.ended) + QStringLiteral(": ") + m_target);
}

void Rfc2217Backend::settle()
{
    if (!m_session)
        return;
    Rfc2217Session::Output out;
    m_session->settle(out);
    deliver(out);
}

// A quiet moment: the keep-alive goes out, and the repeats counted so far are told.
void Rfc2217Backend::sendProbe()
{
    if (!m_session || m_lost)
        return;
    send(m_session->probe());
    m_answerTimer->start();
    Rfc2217Session::Output out;
    m_session->flushRepeats(out);
    deliver(out);
}

void Rfc2217Backend::fail(qint32 number, const QString &description)
{
    if (m_lost || !m_sink)
        return;
    m_lost = true;
    m_snapshotTimer->stop();
    m_settleTimer->stop();
    m_idleTimer->stop();
    m_answerTimer->stop();
    m_sliceTimer->stop();
    m_sink->lost(number, description);
}

} // namespace vantor::serial
