#include "casparconnection.h"

#include "errortrap/runtimeerror.h"

#include <QNetworkProxy>
#include <QTcpSocket>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace vantor::playout {

namespace {

// A server that vanishes without closing (power cut, cable pulled) is noticed after about
// 10 s of silence plus 3 unanswered probes 2 s apart, or 10 s after data stays unacknowledged.
constexpr int KeepIdleSeconds = 10;
constexpr int KeepIntervalSeconds = 2;
constexpr int KeepCount = 3;
constexpr unsigned UserTimeoutMs = 10000;

// Received bytes are taken in portions of at most this size, so that a server that sends
// without end neither fills memory nor keeps the window thread from its other work.
constexpr qint64 ReadPortion = 256 * 1024;

// From this many connections in a row that ended at once, History is quiet (see the class).
constexpr int QuietAfterShortLived = 2;

} // namespace

CasparConnection::CasparConnection(quint16 port, Timing timing, QObject *parent)
    : QObject(parent)
    , m_socket(new QTcpSocket(this))
    , m_port(port)
    , m_timing(timing)
{
    m_socket->setProxy(QNetworkProxy::NoProxy);
    m_socket->setReadBufferSize(ReadPortion);
    m_retry.setSingleShot(true);
    m_attemptTimeout.setSingleShot(true);
    m_stable.setSingleShot(true);

    connect(m_socket, &QTcpSocket::connected, this, &CasparConnection::onConnected);
    connect(m_socket, &QTcpSocket::disconnected, this, &CasparConnection::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &CasparConnection::onErrorOccurred);
    connect(m_socket, &QTcpSocket::readyRead, this, &CasparConnection::onReadyRead);
    connect(&m_retry, &QTimer::timeout, this, &CasparConnection::startAttempt);
    connect(&m_stable, &QTimer::timeout, this, &CasparConnection::onStable);
    connect(&m_attemptTimeout, &QTimer::timeout, this, [this] {
        m_socket->abort();
        attemptFailed(tr("Connection timed out"));
    });
}

CasparConnection::~CasparConnection()
{
    m_wanted = false;
    m_socket->disconnect(this);
}

// The one place where the connection's phase becomes the classic socket numbering. This socket
// never binds or listens, so Open and Listening do not occur; between a failure and the next
// attempt the state is Error.
int CasparConnection::state() const
{
    switch (m_phase) {
    case Phase::Idle: return Closed;
    case Phase::Connecting: return m_socket->state() == QAbstractSocket::HostLookupState ? ResolvingHost : Connecting;
    case Phase::Up:
    case Phase::Proving: return m_socket->state() == QAbstractSocket::ClosingState ? Closing : Connected;
    case Phase::WaitingToRetry: return Error;
    }
    return Error;
}

void CasparConnection::enter(Phase phase)
{
    const bool wasUp = m_phase == Phase::Up;
    m_phase = phase;
    if (phase != Phase::Connecting)
        m_attemptTimeout.stop();
    if (phase != Phase::WaitingToRetry)
        m_retry.stop();
    if (phase != Phase::Up && phase != Phase::Proving)
        m_stable.stop();
    if (wasUp != (phase == Phase::Up))
        Q_EMIT establishedChanged(phase == Phase::Up);
}

void CasparConnection::connectTo(const QString &host)
{
    close();
    m_host = host;
    m_wanted = true;
    m_retries = 0;
    m_shortLived = 0;
    m_failureReported = false;
    startAttempt();
}

void CasparConnection::close()
{
    m_wanted = false;
    m_socket->abort(); // reports the end of an established connection through onDisconnected
    enter(Phase::Idle);
}

void CasparConnection::send(const QByteArray &bytes)
{
    if (m_socket->write(bytes) != bytes.size())
        throw RuntimeError(errors::WrongConnectionState);
    m_socket->flush();
    m_replies.sent(int(bytes.count("\r\n")));
}

qintptr CasparConnection::socketDescriptor() const
{
    return m_socket->socketDescriptor();
}

void CasparConnection::startAttempt()
{
    if (!m_wanted)
        return;
    m_replies.reset();
    m_socket->abort();
    enter(Phase::Connecting);
    m_socket->connectToHost(m_host, m_port);
    m_attemptTimeout.start(m_timing.connectTimeoutMs);
}

void CasparConnection::attemptFailed(const QString &reason)
{
    if (m_phase != Phase::Connecting)
        return;
    enter(Phase::WaitingToRetry);
    if (!m_failureReported) {
        m_failureReported = true;
        Q_EMIT historyLine(QStringLiteral("***Caspar connection failed: ") + reason);
    }
    scheduleRetry();
}

void CasparConnection::scheduleRetry()
{
    if (!m_wanted)
        return;
    m_retry.start(m_retries++ == 0 ? m_timing.firstRetryMs : m_timing.retryMs);
}

void CasparConnection::onConnected()
{
    tuneSocket();
    m_stable.start(m_timing.stableMs);
    if (m_shortLived >= QuietAfterShortLived) {
        enter(Phase::Proving);
        return;
    }
    Q_EMIT historyLine(QStringLiteral("Caspar connected ") + m_host);
    enter(Phase::Up);
}

// The connection has lasted stableMs: a run of failures is over.
void CasparConnection::onStable()
{
    m_retries = 0;
    m_failureReported = false;
    if (m_phase == Phase::Proving) {
        Q_EMIT historyLine(QStringLiteral("Caspar connected %1 after %2 connections that ended at once")
                               .arg(m_host)
                               .arg(m_shortLived));
        enter(Phase::Up);
    }
    m_shortLived = 0;
}

void CasparConnection::onDisconnected()
{
    if (m_phase != Phase::Up && m_phase != Phase::Proving)
        return;
    if (!m_wanted) {
        enter(Phase::Idle);
        return;
    }
    QString reason = m_socket->errorString();
    if (m_socket->error() == QAbstractSocket::UnknownSocketError)
        reason = tr("The remote host closed the connection");
    if (!m_stable.isActive()) {
        Q_EMIT historyLine(QStringLiteral("***Caspar connection lost: ") + reason);
    } else {
        // Ended at once: a failed attempt, for the retry delays and for History.
        m_failureReported = true;
        if (++m_shortLived < QuietAfterShortLived)
            Q_EMIT historyLine(QStringLiteral("***Caspar connection lost: ") + reason);
        else if (m_shortLived == QuietAfterShortLived)
            Q_EMIT historyLine(
                QStringLiteral("***Caspar connection lost again at once: %1. Retrying every %2 s; connections that "
                               "end within %3 s are not written")
                    .arg(reason)
                    .arg(m_timing.retryMs / 1000.0)
                    .arg(m_timing.stableMs / 1000.0));
    }
    enter(Phase::WaitingToRetry);
    scheduleRetry();
}

void CasparConnection::onErrorOccurred()
{
    // Errors of an established connection end in onDisconnected.
    if (m_phase == Phase::Connecting && m_socket->state() != QAbstractSocket::ConnectedState)
        attemptFailed(m_socket->errorString());
}

void CasparConnection::onReadyRead()
{
    for (const AmcpReplies::Reply &reply : m_replies.read(m_socket->readAll())) {
        if (reply.failed())
            Q_EMIT historyLine(QStringLiteral("***Caspar replied: ") + QString::fromUtf8(reply.line));
        Q_EMIT replied(reply.code, reply.line);
    }
}

// Nagle's algorithm off, so that every command leaves at once, and keep-alive probes so that
// a server that vanished silently is noticed and reconnected.
void CasparConnection::tuneSocket()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = int(m_socket->socketDescriptor());
    if (fd < 0)
        return;
    const int idle = KeepIdleSeconds, interval = KeepIntervalSeconds, count = KeepCount;
    const unsigned userTimeout = UserTimeoutMs;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

} // namespace vantor::playout
