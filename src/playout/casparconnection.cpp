#include "casparconnection.h"

#include "socketoptions.h"

#include "errortrap/runtimeerror.h"

#include <QNetworkProxy>
#include <QSignalBlocker>
#include <QTcpSocket>

namespace vantor::playout {

namespace {

const QByteArray PingLine = QByteArrayLiteral("PING\r\n");

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
    m_ping.setSingleShot(true);
    m_deadline.setSingleShot(true);
    m_clock.start();

    connect(m_socket, &QTcpSocket::connected, this, &CasparConnection::onConnected);
    connect(m_socket, &QTcpSocket::disconnected, this, &CasparConnection::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &CasparConnection::onErrorOccurred);
    connect(m_socket, &QTcpSocket::readyRead, this, &CasparConnection::onReadyRead);
    connect(&m_retry, &QTimer::timeout, this, &CasparConnection::startAttempt);
    connect(&m_stable, &QTimer::timeout, this, &CasparConnection::onStable);
    connect(&m_ping, &QTimer::timeout, this, &CasparConnection::ping);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        const QString reason = QStringLiteral("no answer for %1 s").arg(m_timing.answerDeadlineMs / 1000.0);
        if (m_answered) {
            lose(reason);
            return;
        }
        // Never answered (a frozen server's kernel still accepts): a failed attempt.
        resetSocket();
        enter(Phase::Connecting);
        endWaiting(reason);
        attemptFailed(reason);
    });
    connect(&m_attemptTimeout, &QTimer::timeout, this, [this] {
        m_socket->abort();
        attemptFailed(tr("Connection timed out"));
    });
}

CasparConnection::~CasparConnection()
{
    m_wanted = false;
    m_socket->disconnect(this);
    resetSocket();
    endWaiting(QStringLiteral("the program ended"));
}

// The one place where the connection's phase becomes the classic socket numbering. This socket
// never binds or listens, so Open and Listening do not occur; between a failure and the next
// attempt the state is Error.
int CasparConnection::state() const
{
    switch (m_phase) {
    case Phase::Idle: return Closed;
    case Phase::Connecting: return m_socket->state() == QAbstractSocket::HostLookupState ? ResolvingHost : Connecting;
    case Phase::Answering:
    case Phase::Proving: return Connecting; // connected, but not (yet) known to answer
    case Phase::Up: return Connected;
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
    const bool connected = phase == Phase::Answering || phase == Phase::Up || phase == Phase::Proving;
    if (!connected) {
        m_stable.stop();
        m_ping.stop();
        m_deadline.stop();
    }
    if (wasUp != (phase == Phase::Up))
        Q_EMIT establishedChanged(phase == Phase::Up);
    if (!wasUp && phase == Phase::Up)
        Q_EMIT ready();
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
    resetSocket();
    enter(Phase::Idle);
    endWaiting(QStringLiteral("the connection was closed"));
}

void CasparConnection::send(const QByteArray &line, ReplyHandler onReply)
{
    if (m_phase != Phase::Up || m_waiting.size() >= size_t(MaxWaiting))
        throw RuntimeError(errors::WrongConnectionState);
    write(line, std::move(onReply));
}

void CasparConnection::write(const QByteArray &line, ReplyHandler onReply, bool ping)
{
    if (m_socket->write(line) != line.size())
        throw RuntimeError(errors::WrongConnectionState);
    m_socket->flush();
    m_replies.sent(1);
    m_waiting.push_back(Waiting{std::move(onReply), m_clock.nsecsElapsed(), ping});
    armTimers();
}

void CasparConnection::ping()
{
    if (m_waiting.empty() && m_socket->state() == QAbstractSocket::ConnectedState)
        write(PingLine, {}, true);
}

// The oldest waiting command's deadline runs; with nothing waiting, the next PING. The server
// is dead when a command waits and it has said nothing for answerDeadlineMs, each command given
// minAnswerMs at least: so a server that freezes just after a PING's answer is found at the
// next PING plus minAnswerMs (2 s with the defaults), and any command is answered or its
// connection reset within answerDeadlineMs of its send.
void CasparConnection::armTimers()
{
    if (m_waiting.empty()) {
        m_deadline.stop();
        m_ping.start(m_timing.pingMs);
        return;
    }
    m_ping.stop();
    const qint64 deadlineNs = qMax(m_waiting.front().sentNs + qint64(m_timing.minAnswerMs) * 1000000,
                                   m_heardNs + qint64(m_timing.answerDeadlineMs) * 1000000);
    m_deadline.start(int(qMax<qint64>(0, (deadlineNs - m_clock.nsecsElapsed()) / 1000000)));
}

// Tells every waiting command that no reply will come. The handlers may send again, so the
// list is taken first.
void CasparConnection::endWaiting(const QString &why)
{
    m_replies.reset();
    std::deque<Waiting> ended;
    ended.swap(m_waiting);
    const qint64 now = m_clock.nsecsElapsed();
    for (const Waiting &w : ended) {
        if (w.onReply)
            w.onReply(CommandReply{false, -1, {}, (now - w.sentNs) / 1e6, why});
    }
}

// Ends the connection with a reset, never a graceful close: with SO_LINGER 0 the kernel drops
// every byte still queued for the server instead of delivering it later.
void CasparConnection::resetSocket()
{
    resetOnClose(m_socket->socketDescriptor());
    const QSignalBlocker quiet(m_socket); // the caller tells of the end, once
    m_socket->abort();
}

// Every loss of a connection while asked for ends here: History, reset, retry.
void CasparConnection::lose(const QString &reason)
{
    const bool shortLived = m_stable.isActive();
    resetSocket();
    if (!shortLived) {
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
    endWaiting(reason == QLatin1String("The remote host closed the connection") ? QStringLiteral("the connection ended")
                                                                                : reason);
    scheduleRetry();
}

qintptr CasparConnection::socketDescriptor() const
{
    return m_socket->socketDescriptor();
}

void CasparConnection::startAttempt()
{
    if (!m_wanted)
        return;
    resetSocket();
    endWaiting(QStringLiteral("the connection ended"));
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
    m_answered = false;
    m_heardNs = m_clock.nsecsElapsed();
    m_stable.start(m_timing.stableMs);
    enter(m_shortLived >= QuietAfterShortLived ? Phase::Proving : Phase::Answering);
    write(PingLine, {}, true);
}

// The connection has lasted stableMs: a run of failures is over.
void CasparConnection::onStable()
{
    m_retries = 0;
    m_failureReported = false;
    if (m_phase != Phase::Proving) {
        m_shortLived = 0;
    } else if (m_answered) { // else the first answer ends the proving
        Q_EMIT historyLine(QStringLiteral("Caspar connected %1 after %2 connections that ended at once")
                               .arg(m_host)
                               .arg(std::exchange(m_shortLived, 0)));
        enter(Phase::Up);
    }
}

void CasparConnection::onDisconnected()
{
    if (m_phase != Phase::Answering && m_phase != Phase::Up && m_phase != Phase::Proving)
        return;
    if (!m_wanted) {
        enter(Phase::Idle);
        endWaiting(QStringLiteral("the connection was closed"));
        return;
    }
    QString reason = m_socket->errorString();
    if (m_socket->error() == QAbstractSocket::UnknownSocketError)
        reason = tr("The remote host closed the connection");
    lose(reason);
}

void CasparConnection::onErrorOccurred()
{
    // Errors of an established connection end in onDisconnected.
    if (m_phase == Phase::Connecting && m_socket->state() != QAbstractSocket::ConnectedState)
        attemptFailed(m_socket->errorString());
}

void CasparConnection::onReadyRead()
{
    const QList<AmcpReplies::Reply> replies = m_replies.read(m_socket->readAll());
    for (const AmcpReplies::Reply &reply : replies) {
        Waiting w; // empty for a reply that answers nothing of ours
        if (!m_waiting.empty()) {
            w = std::move(m_waiting.front());
            m_waiting.pop_front();
        }
        // PONG, or an older server's "400 ERROR": the answer to PING, not a failure to report.
        if (!(w.ping && (reply.code == -1 || reply.code == 400))) {
            if (reply.failed())
                Q_EMIT historyLine(QStringLiteral("***Caspar replied: ") + QString::fromUtf8(reply.line.left(4096)));
            Q_EMIT replied(reply.code, reply.line);
        }
        if (w.onReply)
            w.onReply(CommandReply{true,
                                   reply.code,
                                   reply.line.left(CommandReply::MaxLine),
                                   (m_clock.nsecsElapsed() - w.sentNs) / 1e6,
                                   {}});
        if (m_phase == Phase::Idle || m_phase == Phase::Connecting || m_phase == Phase::WaitingToRetry)
            return; // a handler ended the connection
    }
    if (replies.isEmpty())
        return;
    m_heardNs = m_clock.nsecsElapsed();
    m_answered = true;
    if (m_phase == Phase::Proving && !m_stable.isActive())
        onStable();
    if (m_phase == Phase::Answering) {
        Q_EMIT historyLine(QStringLiteral("Caspar connected ") + m_host);
        enter(Phase::Up);
    }
    if (m_phase == Phase::Up || m_phase == Phase::Proving)
        armTimers();
}

// Nagle's algorithm off, so that every command leaves at once, and keep-alive probes so that
// a server that vanished silently is noticed and reconnected.
void CasparConnection::tuneSocket()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    applyKeepAlive(m_socket->socketDescriptor(), KeepAlive{});
}

} // namespace vantor::playout
