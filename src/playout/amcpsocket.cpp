#include "amcpsocket.h"

#include "socketoptions.h"

#include <QNetworkProxy>
#include <QSignalBlocker>
#include <QTcpSocket>

namespace vantor::playout {

namespace {

// Received bytes are taken in portions of at most this size, so that a server that sends
// without end neither fills memory nor keeps the window thread from its other work.
constexpr qint64 ReadPortion = 256 * 1024;

QString quoted(const QByteArray &line)
{
    return QLatin1Char('"') + QString::fromUtf8(line.left(AmcpSocket::MaxText)) + QLatin1Char('"');
}

} // namespace

AmcpSocket::AmcpSocket(QObject *parent)
    : QObject(parent)
    , m_socket(new QTcpSocket(this))
{
    m_socket->setProxy(QNetworkProxy::NoProxy);
    m_socket->setReadBufferSize(ReadPortion);
    m_attemptTimeout.setSingleShot(true);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_attemptTimeout.stop();
        m_wasConnected = true;
        m_lastReply = {};
        // Nagle's algorithm off, so that every command leaves at once, and keep-alive probes so
        // that a server that vanished silently is noticed.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        applyKeepAlive(m_socket->socketDescriptor(), KeepAlive{});
        Q_EMIT connected();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        QString reason = m_socket->errorString();
        if (m_socket->error() == QAbstractSocket::UnknownSocketError)
            reason = tr("The remote host closed the connection");
        onEnded(reason);
    });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
        // Errors of an open connection end in disconnected.
        if (!m_wasConnected)
            onEnded(m_socket->errorString());
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &AmcpSocket::onReadyRead);
    connect(&m_attemptTimeout, &QTimer::timeout, this, [this] {
        reset();
        m_ended = false; // reset() ended it quietly; this end is said
        onEnded(tr("Connection timed out"));
    });
}

AmcpSocket::~AmcpSocket()
{
    m_socket->disconnect(this);
}

void AmcpSocket::connectTo(const QString &host, quint16 port, int connectTimeoutMs)
{
    reset();
    ++m_attempt;
    m_ended = false;
    m_wasConnected = false;
    m_socket->connectToHost(host, port);
    m_attemptTimeout.start(connectTimeoutMs);
}

bool AmcpSocket::isOpen() const
{
    return !m_ended && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool AmcpSocket::isConnecting() const
{
    return !m_ended && !m_wasConnected;
}

bool AmcpSocket::isLookingUp() const
{
    return m_socket->state() == QAbstractSocket::HostLookupState;
}

void AmcpSocket::reset()
{
    ++m_attempt;
    m_attemptTimeout.stop();
    resetOnClose(m_socket->socketDescriptor());
    const QSignalBlocker quiet(m_socket); // the owner tells of the end, once
    m_socket->abort();
    m_replies.reset();
    m_ended = true;
}

void AmcpSocket::close()
{
    ++m_attempt;
    m_attemptTimeout.stop();
    const QSignalBlocker quiet(m_socket);
    if (m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->flush();
        endGracefully(m_socket->socketDescriptor());
    }
    m_socket->abort(); // no SO_LINGER 0 here: the close is the normal one
    m_replies.reset();
    m_ended = true;
}

bool AmcpSocket::write(const QByteArray &line, Command command)
{
    if (!isOpen() || m_socket->write(line) != line.size())
        return false;
    m_socket->flush();
    const qsizetype space = line.indexOf(' ');
    m_replies.sent(QByteArrayView(line).first(space < 0 ? qMax<qsizetype>(0, line.size() - 2) : space));
    m_waiting.push_back(std::move(command));
    return true;
}

Clock::time_point AmcpSocket::headSince() const
{
    return m_waiting.empty() ? Clock::time_point{} : std::max(m_waiting.front().sentAt, m_lastReply);
}

std::deque<AmcpSocket::Command> AmcpSocket::takeWaiting()
{
    return std::exchange(m_waiting, {});
}

qintptr AmcpSocket::descriptor() const
{
    return m_socket->socketDescriptor();
}

void AmcpSocket::onEnded(const QString &reason)
{
    if (m_ended)
        return;
    m_ended = true;
    m_attemptTimeout.stop();
    Q_EMIT ended(reason);
}

void AmcpSocket::onReadyRead()
{
    const quint64 attempt = m_attempt;
    const QList<AmcpReplies::Reply> replies = m_replies.read(m_socket->readAll());
    for (const AmcpReplies::Reply &reply : replies) {
        if (reply.fault != AmcpReplies::Fault::None || !reply.answers || m_waiting.empty()) {
            Q_EMIT fault(describeFault(reply, reply.answers && !m_waiting.empty() ? &m_waiting.front() : nullptr));
            return;
        }
        const Clock::time_point at = Clock::now();
        Command command = std::move(m_waiting.front());
        m_waiting.pop_front();
        const Clock::duration ran = at - std::max(command.sentAt, m_lastReply);
        m_lastReply = at;
        m_lastAnswered = command.text;
        Q_EMIT replied(reply, command, at, ran);
        if (m_attempt != attempt)
            return; // the owner ended the connection meanwhile
    }
}

QString AmcpSocket::describeFault(const AmcpReplies::Reply &reply, const Command *command) const
{
    const QString to = command ? QString::fromUtf8(command->text) : QString();
    switch (reply.fault) {
    case AmcpReplies::Fault::OtherVerb: return QStringLiteral("reply %1 to %2").arg(quoted(reply.line), to);
    case AmcpReplies::Fault::NoStatus:
        return reply.line.isEmpty() ? QStringLiteral("an empty line where the reply to %1 was due").arg(to)
                                    : QStringLiteral("%1 where the reply to %2 was due").arg(quoted(reply.line), to);
    case AmcpReplies::Fault::WrongEcho:
        return QStringLiteral("echo %1 of the 400 ERROR to %2")
            .arg(quoted(reply.line), QString::fromUtf8(m_lastAnswered));
    case AmcpReplies::Fault::None: break;
    }
    return QStringLiteral("reply %1 to no command").arg(quoted(reply.line));
}

} // namespace vantor::playout
