#include "amcpresponder.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QTimer>

AmcpResponder::AmcpResponder(QObject *parent)
    : QObject(parent)
    , m_server(this)
{
    connect(&m_server, &QTcpServer::newConnection, this, &AmcpResponder::accept);
}

AmcpResponder::~AmcpResponder()
{
    m_server.close();
    for (QTcpSocket *client : std::as_const(m_clients))
        client->disconnect(this);
}

bool AmcpResponder::listen(quint16 port)
{
    return listenOn(QHostAddress::LocalHost, port);
}

bool AmcpResponder::listenOn(const QHostAddress &address, quint16 port)
{
    if (m_server.isListening())
        return true;
    if (!m_server.listen(address, port ? port : m_port.load()))
        return false;
    m_port = m_server.serverPort();
    return true;
}

void AmcpResponder::stopListening()
{
    m_server.close();
}

void AmcpResponder::dropClients()
{
    const QList<QTcpSocket *> clients = std::exchange(m_clients, {});
    m_queues.clear();
    m_held.clear();
    for (QTcpSocket *client : clients) {
        client->disconnect(this);
        client->abort();
        client->deleteLater();
    }
    QMutexLocker lock(&m_mutex);
    m_partial.clear();
}

void AmcpResponder::setReplier(Replier replier)
{
    m_replier = std::move(replier);
}

void AmcpResponder::setPace(Pace pace)
{
    m_pace = std::move(pace);
}

void AmcpResponder::release()
{
    for (const auto &[client, text] : std::exchange(m_held, {})) {
        if (!m_clients.contains(client))
            continue;
        answer(client, text);
        m_queues[client].running = false;
        runNext(client);
    }
}

void AmcpResponder::setFrozen(bool frozen)
{
    m_frozen = frozen;
    if (frozen)
        return;
    for (QTcpSocket *client : m_clients + m_endedWhileFrozen)
        readFrom(client);
    for (QTcpSocket *client : std::exchange(m_endedWhileFrozen, {}))
        client->deleteLater();
}

QByteArrayList AmcpResponder::standardReply(const QByteArray &line)
{
    const QByteArray verb = line.left(line.indexOf(' ')).toUpper();
    if (verb == "PLAY" || verb == "LOADBG" || verb == "STOP" || verb == "CLEAR")
        return {"202 " + verb + " OK"};
    if (verb == "PING")
        return {"PONG"};
    return {"400 ERROR", line};
}

AmcpResponder::Replier AmcpResponder::failingClip(const QByteArray &clip)
{
    return [clip](const QByteArray &line) -> QByteArrayList {
        if (line.toUpper().startsWith("PLAY ") && line.contains(clip))
            return {"404 PLAY FAILED"};
        return standardReply(line);
    };
}

QList<AmcpResponder::Line> AmcpResponder::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

QByteArrayList AmcpResponder::texts() const
{
    QMutexLocker lock(&m_mutex);
    QByteArrayList result;
    for (const Line &line : m_lines)
        result.append(line.text);
    return result;
}

QByteArray AmcpResponder::received() const
{
    QMutexLocker lock(&m_mutex);
    return m_received;
}

int AmcpResponder::lineCount() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_lines.size());
}

void AmcpResponder::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
    m_received.clear();
}

bool AmcpResponder::waitForLines(int count, int msecs)
{
    const QDeadlineTimer deadline(msecs);
    while (lineCount() < count) {
        if (deadline.hasExpired())
            return false;
        if (m_server.waitForNewConnection(0))
            accept();
        const QList<QTcpSocket *> clients = m_clients;
        if (clients.isEmpty()) {
            m_server.waitForNewConnection(1);
            continue;
        }
        const int slice = int(qBound(qint64(0), deadline.remainingTime(), qint64(5)) / clients.size());
        for (QTcpSocket *client : clients)
            client->waitForReadyRead(qMax(slice, 1)); // readyRead runs readFrom()
    }
    return true;
}

void AmcpResponder::accept()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_clients.append(client);
        connect(client, &QTcpSocket::readyRead, this, [this, client] { readFrom(client); });
        connect(client, &QTcpSocket::disconnected, this, [this, client] {
            m_clients.removeOne(client);
            if (m_frozen) {
                m_endedWhileFrozen.append(client);
                Q_EMIT clientDisconnected();
                return;
            }
            {
                QMutexLocker lock(&m_mutex);
                m_partial.remove(client);
            }
            m_queues.remove(client);
            client->deleteLater();
            Q_EMIT clientDisconnected();
        });
        Q_EMIT clientConnected();
    }
}

void AmcpResponder::readFrom(QTcpSocket *client)
{
    if (m_frozen)
        return;
    const QByteArray bytes = client->readAll();
    if (bytes.isEmpty())
        return;
    const Clock::time_point now = Clock::now();

    QByteArrayList complete;
    {
        QMutexLocker lock(&m_mutex);
        const quint64 read = ++m_reads;
        QByteArray &pending = m_partial[client];
        pending += bytes;
        qsizetype end;
        while ((end = pending.indexOf("\r\n")) >= 0) {
            const QByteArray text = pending.left(end);
            pending.remove(0, end + 2);
            complete.append(text);
            if (text == "PING" || m_pace)
                continue; // paced lines are recorded when they run
            m_received += text + "\r\n";
            m_lines.append(Line{text, now, read});
        }
    }

    if (m_pace) {
        m_queues[client].lines += complete;
        runNext(client);
        return;
    }
    for (const QByteArray &text : std::as_const(complete))
        answer(client, text);
}

void AmcpResponder::answer(QTcpSocket *client, const QByteArray &text)
{
    if (text == "PING")
        ++m_pings;
    for (const QByteArray &reply : m_replier(text))
        client->write(reply + "\r\n");
    client->flush();
    Q_EMIT lineReceived(text);
}

// A paced connection: the next line begins to run once the one before it is answered.
void AmcpResponder::runNext(QTcpSocket *client)
{
    Queue &queue = m_queues[client];
    if (queue.running || queue.lines.isEmpty())
        return;
    const QByteArray text = queue.lines.takeFirst();
    queue.running = true;
    if (text != "PING") {
        QMutexLocker lock(&m_mutex);
        m_received += text + "\r\n";
        m_lines.append(Line{text, Clock::now(), ++m_reads});
    }
    const int ms = m_pace ? m_pace(text) : 0;
    if (ms == Held) {
        m_held.append({client, text});
        return;
    }
    QTimer::singleShot(ms, Qt::PreciseTimer, client, [this, client, text] {
        answer(client, text);
        m_queues[client].running = false;
        runNext(client);
    });
}
