#include "amcpmonitor.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace {
// A client that sends this much without a line end is not talking AMCP: its bytes are dropped.
constexpr qsizetype MaxLine = 1 << 20;
const QByteArray LineEnd = QByteArrayLiteral("\r\n");
} // namespace

AmcpMonitor::AmcpMonitor(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &AmcpMonitor::accept);
}

bool AmcpMonitor::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port);
}

quint16 AmcpMonitor::port() const
{
    return m_server->serverPort();
}

QString AmcpMonitor::errorString() const
{
    return m_server->errorString();
}

void AmcpMonitor::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readClient(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void AmcpMonitor::readClient(QTcpSocket *socket)
{
    QByteArray buffer = socket->property("pending").toByteArray() + socket->readAll();
    const QString peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    qsizetype end;
    while ((end = buffer.indexOf(LineEnd)) >= 0) {
        const QString line = QString::fromUtf8(buffer.left(end));
        buffer.remove(0, end + LineEnd.size());
        const QByteArray reply = answer(line);
        socket->write(reply);
        Q_EMIT received(peer, line, reply);
    }
    if (buffer.size() > MaxLine)
        buffer.clear();
    socket->setProperty("pending", buffer);
    socket->flush();
}

QStringList AmcpMonitor::parameters(const QString &line)
{
    QStringList out;
    QString current;
    bool quoted = false;
    bool started = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char('\\') && i + 1 < line.size()) {
            const QChar next = line.at(++i);
            if (next == QLatin1Char('"') || next == QLatin1Char('\\'))
                current += next;
            else if (next == QLatin1Char('n'))
                current += QLatin1Char('\n');
            started = true;
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
            started = true;
        } else if (c == QLatin1Char(' ') && !quoted) {
            if (started)
                out << current;
            current.clear();
            started = false;
        } else {
            current += c;
            started = true;
        }
    }
    if (started)
        out << current;
    return out;
}

// Clips are looked up without regard to case, with or without their extension.
bool AmcpMonitor::hasClip(const QString &clip) const
{
    if (m_clips.isEmpty())
        return true;
    const QString wanted = clip.toLower();
    for (const QString &listed : m_clips) {
        const QString name = listed.trimmed().toLower();
        if (name == wanted)
            return true;
        if (!wanted.contains(QLatin1Char('.')) && name.section(QLatin1Char('.'), 0, -2) == wanted)
            return true;
    }
    return false;
}

QByteArray AmcpMonitor::answer(const QString &line) const
{
    const QStringList params = parameters(line);
    const QString command = params.value(0).toUpper();
    if (command == QLatin1String("PING"))
        return "PONG" + LineEnd;
    if (command != QLatin1String("PLAY"))
        return "400 ERROR" + LineEnd + line.toUtf8() + LineEnd;
    if (params.size() < 2)
        return "402 PLAY FAILED" + LineEnd;
    if (params.at(1).section(QLatin1Char('-'), 0, 0) != QLatin1String("1"))
        return "401 PLAY ERROR" + LineEnd;
    if (params.size() < 3)
        return "402 PLAY FAILED" + LineEnd;
    return (hasClip(params.at(2)) ? "202 PLAY OK" : "404 PLAY FAILED") + LineEnd;
}
