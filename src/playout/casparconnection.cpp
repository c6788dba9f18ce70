#include "casparconnection.h"

#include <algorithm>

namespace vantor::playout {

namespace {

const QByteArray PingLine = QByteArrayLiteral("PING\r\n");

// From this many connections in a row that ended at once, History is quiet (see the class).
constexpr int QuietAfterShortLived = 2;

QString secondsText(Clock::duration d)
{
    return QString::number(std::chrono::duration<double>(d).count(), 'f', 1);
}

double msOf(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

CasparConnection::CasparConnection(quint16 port, Timing timing, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_timing(timing)
{
    m_retry.setSingleShot(true);
    m_stable.setSingleShot(true);
    m_ping.setSingleShot(true);
    m_deadline.setSingleShot(true);

    connect(&m_liveness, &AmcpSocket::connected, this, &CasparConnection::onLivenessConnected);
    connect(&m_liveness, &AmcpSocket::ended, this, &CasparConnection::onLivenessEnded);
    connect(&m_liveness, &AmcpSocket::replied, this, [this](const auto &, const auto &, Clock::time_point at, auto) {
        heard(at);
        onLivenessReplied();
    });
    connect(&m_liveness, &AmcpSocket::fault, this, &CasparConnection::onFault);
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
        endSockets(false);
        enter(Phase::Connecting);
        endWaiting(reason);
        attemptFailed(reason);
    });
}

CasparConnection::~CasparConnection()
{
    m_wanted = false;
    endSockets(true);
    endWaiting(QStringLiteral("the program ended"));
}

// The one place where the link's phase becomes the classic socket numbering. This socket
// never binds or listens, so Open and Listening do not occur; between a failure and the next
// attempt the state is Error.
int CasparConnection::state() const
{
    switch (m_phase) {
    case Phase::Idle: return Closed;
    case Phase::Connecting: return m_liveness.isLookingUp() ? ResolvingHost : Connecting;
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
    if (phase != Phase::WaitingToRetry)
        m_retry.stop();
    if (!isConnected()) {
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
    endSockets(true);
    enter(Phase::Idle);
    endWaiting(QStringLiteral("the connection was closed"));
}

CasparConnection::Sending CasparConnection::send(const QByteArray &line, ReplyHandler onReply,
                                                 std::optional<Clock::time_point> contact)
{
    if (m_phase != Phase::Up)
        return {false, QStringLiteral("Caspar not ready")};
    if (waitingCommands() >= MaxWaiting)
        return {false, refusal()};
    const Clock::time_point now = Clock::now();
    const CommandTarget target = CommandTarget::of(line);
    std::optional<Clock::time_point> due;
    if (contact)
        due = *contact + std::chrono::milliseconds(m_timing.cueBoundMs);

    std::vector<Lane> lanes(m_lanes.size());
    for (size_t i = 0; i < m_lanes.size(); ++i) {
        const AmcpSocket &socket = *m_lanes[i];
        Lane &lane = lanes[i];
        lane.open = socket.isOpen();
        lane.waiting = int(socket.waiting().size());
        lane.headSince = socket.headSince();
        for (const AmcpSocket::Command &waiting : socket.waiting()) {
            if (waiting.target.overlaps(target)) {
                lane.holdsOverlap = true;
                lane.overlapSent = waiting.sentAt;
            }
        }
    }
    const LaneChoice choice = chooseLane(lanes, m_pace.value(), due, now);
    if (choice.lane < 0)
        return {false, refusal()};

    const QByteArray text = line.left(qMin(line.size() - 2, AmcpSocket::MaxText));
    AmcpSocket::Command command{text, target, std::move(onReply), now, contact, due, {}, false};
    if (!m_lanes[size_t(choice.lane)]->write(line, std::move(command)))
        return {false, QStringLiteral("the connection did not take the command")};
    if (choice.overtakes) {
        for (size_t i = 0; i < m_lanes.size(); ++i) {
            for (AmcpSocket::Command &waiting : m_lanes[i]->waiting()) {
                if (int(i) != choice.lane && waiting.target.overlaps(target) && waiting.overtakenBy.isEmpty())
                    waiting.overtakenBy = text;
            }
        }
    }
    keepOneFree();
    return {true, {}};
}

// "4 commands waiting for 1.2 s": how many wait on the command connections, the oldest for how long.
QString CasparConnection::refusal() const
{
    int count = 0;
    std::optional<Clock::time_point> oldest;
    for (const auto &lane : m_lanes) {
        count += int(lane->waiting().size());
        if (!lane->waiting().empty() && (!oldest || lane->waiting().front().sentAt < *oldest))
            oldest = lane->waiting().front().sentAt;
    }
    if (!oldest)
        return QStringLiteral("no command connection open");
    return QStringLiteral("%1 %2 waiting for %3 s")
        .arg(count)
        .arg(count == 1 ? QStringLiteral("command") : QStringLiteral("commands"))
        .arg(secondsText(Clock::now() - *oldest));
}

int CasparConnection::waitingCommands() const
{
    int count = 0;
    for (const auto &lane : m_lanes)
        count += int(lane->waiting().size());
    return count;
}

int CasparConnection::connectionCount() const
{
    int count = m_liveness.isOpen() || m_liveness.isConnecting() ? 1 : 0;
    for (const auto &lane : m_lanes)
        count += lane->isOpen() || lane->isConnecting() ? 1 : 0;
    return count;
}

qintptr CasparConnection::socketDescriptor() const
{
    return m_lanes.empty() ? -1 : m_lanes.front()->descriptor();
}

AmcpSocket &CasparConnection::addLane()
{
    auto &lane = m_lanes.emplace_back(std::make_unique<AmcpSocket>());
    AmcpSocket *socket = lane.get();
    connect(socket, &AmcpSocket::connected, this, [this, socket] { onLaneConnected(socket); });
    connect(socket, &AmcpSocket::ended, this, [this, socket](const QString &reason) { onLaneEnded(socket, reason); });
    connect(socket, &AmcpSocket::replied, this, &CasparConnection::onLaneReplied);
    connect(socket, &AmcpSocket::fault, this, &CasparConnection::onFault);
    return *socket;
}

// Whenever no command connection is left with nothing waiting, a further one is made (up to
// MaxCommandConnections), so that the next cue goes out at once.
void CasparConnection::keepOneFree()
{
    AmcpSocket *unused = nullptr;
    for (const auto &lane : m_lanes) {
        if ((lane->isOpen() && lane->waiting().empty()) || lane->isConnecting())
            return;
        if (!lane->isOpen() && !unused)
            unused = lane.get();
    }
    if (!unused && m_lanes.size() < size_t(MaxCommandConnections))
        unused = &addLane();
    if (unused)
        unused->connectTo(m_host, m_port, m_timing.connectTimeoutMs);
}

// Ends every connection of the link: a reset for one found dead, else normally.
void CasparConnection::endSockets(bool gracefully)
{
    m_liveness.takeWaiting(); // PINGs only
    if (gracefully)
        m_liveness.close();
    else
        m_liveness.reset();
    for (const auto &lane : m_lanes) {
        if (gracefully)
            lane->close();
        else
            lane->reset();
    }
}

// Tells every waiting command that no reply will come, oldest first. The handlers may send
// again, so the lists are taken first.
void CasparConnection::endWaiting(const QString &why)
{
    std::vector<AmcpSocket::Command> ended;
    for (const auto &lane : m_lanes) {
        for (AmcpSocket::Command &command : lane->takeWaiting())
            ended.push_back(std::move(command));
    }
    std::stable_sort(ended.begin(), ended.end(), [](const auto &a, const auto &b) { return a.sentAt < b.sentAt; });
    const Clock::time_point now = Clock::now();
    for (const AmcpSocket::Command &command : ended) {
        if (command.onReply)
            command.onReply(CommandReply{false, -1, {}, msOf(now - command.sentAt), why});
    }
}

// Every loss of the link while asked for ends here: History, reset, retry.
void CasparConnection::lose(const QString &reason)
{
    const bool shortLived = m_stable.isActive();
    endSockets(false);
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

void CasparConnection::onFault(const QString &what)
{
    if (isConnected())
        lose(QStringLiteral("protocol fault: ") + what);
}

void CasparConnection::startAttempt()
{
    if (!m_wanted)
        return;
    endSockets(false);
    endWaiting(QStringLiteral("the connection ended"));
    enter(Phase::Connecting);
    m_liveness.connectTo(m_host, m_port, m_timing.connectTimeoutMs);
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

void CasparConnection::onLivenessConnected()
{
    m_answered = false;
    m_spareFailed = false;
    m_heard = Clock::now();
    m_stable.start(m_timing.stableMs);
    enter(m_shortLived >= QuietAfterShortLived ? Phase::Proving : Phase::Answering);
    ping();
}

void CasparConnection::onLivenessEnded(const QString &reason)
{
    if (m_phase == Phase::Connecting) {
        attemptFailed(reason);
        return;
    }
    if (!isConnected())
        return;
    if (!m_wanted) {
        endSockets(true);
        enter(Phase::Idle);
        endWaiting(QStringLiteral("the connection was closed"));
        return;
    }
    lose(reason);
}

void CasparConnection::onLivenessReplied()
{
    m_answered = true;
    m_deadline.stop();
    m_ping.start(m_timing.pingMs);
    if (m_phase == Phase::Proving && !m_stable.isActive())
        onStable();
    else
        tryUp();
}

// The connection has lasted stableMs: a run of failures is over.
void CasparConnection::onStable()
{
    m_retries = 0;
    m_failureReported = false;
    if (m_phase != Phase::Proving)
        m_shortLived = 0;
    else
        tryUp(); // without an answer yet, the first answer goes on from here
}

// Ready once the server has answered on the liveness connection (and, after connections that
// ended at once, the connection has lasted) and the first command connection is open.
void CasparConnection::tryUp()
{
    if (!m_answered || (m_phase != Phase::Answering && m_phase != Phase::Proving))
        return;
    if (m_phase == Phase::Proving && m_stable.isActive())
        return;
    AmcpSocket &first = m_lanes.empty() ? addLane() : *m_lanes.front();
    if (!first.isOpen()) {
        if (!first.isConnecting())
            first.connectTo(m_host, m_port, m_timing.connectTimeoutMs);
        return;
    }
    if (m_phase == Phase::Answering)
        Q_EMIT historyLine(QStringLiteral("Caspar connected ") + m_host);
    else
        Q_EMIT historyLine(QStringLiteral("Caspar connected %1 after %2 connections that ended at once")
                               .arg(m_host)
                               .arg(std::exchange(m_shortLived, 0)));
    enter(Phase::Up);
}

void CasparConnection::onLaneConnected(AmcpSocket *lane)
{
    if (lane == m_lanes.front().get())
        tryUp();
}

void CasparConnection::onLaneEnded(AmcpSocket *lane, const QString &reason)
{
    if (!isConnected())
        return;
    if (lane->wasConnected() || lane == m_lanes.front().get()) {
        lose(reason);
        return;
    }
    // A further connection that could not be made: the ones open go on alone.
    if (!std::exchange(m_spareFailed, true))
        Q_EMIT historyLine(QStringLiteral("***Caspar further connection failed: ") + reason);
}

void CasparConnection::onLaneReplied(const AmcpReplies::Reply &reply, const AmcpSocket::Command &command,
                                     Clock::time_point at, Clock::duration ran)
{
    heard(at);
    m_pace.add(ran);
    if (reply.failed())
        Q_EMIT historyLine(QStringLiteral("***Caspar replied: ") + QString::fromUtf8(reply.line.left(4096)));
    Q_EMIT replied(reply.code, reply.line);
    if (command.due && at > *command.due) {
        QString late = QStringLiteral("***%1 answered after %2 s")
                           .arg(QString::fromUtf8(command.text), secondsText(at - *command.contact));
        if (!command.overtakenBy.isEmpty())
            late += QStringLiteral(", after the later %1").arg(QString::fromUtf8(command.overtakenBy));
        Q_EMIT historyLine(late);
    }
    if (command.onReply)
        command.onReply(
            CommandReply{true, reply.code, reply.line.left(CommandReply::MaxLine), msOf(at - command.sentAt), {}});
}

void CasparConnection::heard(Clock::time_point at)
{
    m_heard = at;
    if (!m_liveness.waiting().empty())
        armDeadline();
}

void CasparConnection::ping()
{
    if (!m_liveness.isOpen() || !m_liveness.waiting().empty())
        return;
    if (!m_liveness.write(PingLine, AmcpSocket::Command{"PING", {}, {}, Clock::now(), {}, {}, {}, true}))
        return; // the socket is going; its end follows
    armDeadline();
}

// The server is dead when a PING waits and it has said nothing for answerDeadlineMs, the PING
// given minAnswerMs at least: a server that freezes just after an answer is found at the next
// PING plus minAnswerMs (2 s with the defaults).
void CasparConnection::armDeadline()
{
    if (m_liveness.waiting().empty()) {
        m_deadline.stop();
        return;
    }
    const Clock::time_point deadline =
        std::max(m_liveness.waiting().front().sentAt + std::chrono::milliseconds(m_timing.minAnswerMs),
                 m_heard + std::chrono::milliseconds(m_timing.answerDeadlineMs));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    m_deadline.start(int(qMax<qint64>(0, left.count())));
}

} // namespace vantor::playout
