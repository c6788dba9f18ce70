#include "amcpmonitor.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace {
const QByteArray LineEnd = QByteArrayLiteral("\r\n");

// The length of the UTF-8 sequence that starts at bytes[at] if it is well formed and names a
// printable character, else 0.
qsizetype printableUtf8(const QByteArray &bytes, qsizetype at)
{
    const auto byte = [&](qsizetype i) { return uchar(bytes[i]); };
    const uchar lead = byte(at);
    const qsizetype length = lead > 0xf4 ? 0 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
    if (length == 0 || at + length > bytes.size())
        return 0;
    char32_t code = lead & (0x7f >> length);
    for (qsizetype i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3f);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return QChar::isPrint(code) ? length : 0;
}
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
        m_pending.insert(socket, {});
        Q_EMIT clientConnected(socket->peerAddress());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readClient(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void AmcpMonitor::readClient(QTcpSocket *socket)
{
    Pending &pending = m_pending[socket];
    QByteArray &buffer = pending.bytes;
    buffer += socket->readAll();
    const QString peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    qsizetype from = 0;
    qsizetype end;
    while ((end = buffer.indexOf(LineEnd, from)) >= 0) {
        const qsizetype length = end - from;
        const qint64 droppedBefore = pending.dropping;
        pending.dropping = -1;
        if (droppedBefore >= 0 || length > MaxLine) {
            Q_EMIT dropped(peer, qMax(droppedBefore, qint64(0)) + length + LineEnd.size());
        } else {
            const QByteArray line = buffer.mid(from, length);
            const QByteArray reply = answer(QString::fromUtf8(line));
            socket->write(reply);
            Q_EMIT received(peer, line, reply);
            if (reply.startsWith("202"))
                took(socket->peerAddress(), parameters(QString::fromUtf8(line)));
        }
        from = end + LineEnd.size();
    }
    buffer.remove(0, from);
    // Too long to be a command: drop it up to its end. A last CR may be half a line end.
    if (buffer.size() > MaxLine) {
        const qsizetype keep = buffer.endsWith('\r') ? 1 : 0;
        pending.dropping = qMax(pending.dropping, qint64(0)) + buffer.size() - keep;
        buffer.remove(0, buffer.size() - keep);
    }
    socket->flush();
}

namespace {
// "1-10" and "1": the channel-layer a command names, layer 0 (or -1) when it names none.
QString layerKey(const QString &at)
{
    return at.contains(QLatin1Char('-')) ? at : at + QStringLiteral("-0");
}
} // namespace

// What a command answered 202 did.
void AmcpMonitor::took(const QHostAddress &client, const QStringList &params)
{
    const QString command = params.value(0).toUpper();
    const QString at = params.value(1);
    const int channel = at.section(QLatin1Char('-'), 0, 0).toInt();
    const int layer = at.section(QLatin1Char('-'), 1, 1).toInt();
    if (command == QLatin1String("PLAY") && params.size() >= 3) {
        Q_EMIT played(client, channel, layer, params.at(2));
    } else if (command == QLatin1String("PLAY")) {
        Q_EMIT played(client, channel, layer, m_loaded.take(layerKey(at)));
    } else if (command == QLatin1String("LOADBG")) {
        if (m_loaded.size() < MaxLoaded || m_loaded.contains(layerKey(at)))
            m_loaded.insert(layerKey(at), params.at(2));
        Q_EMIT loaded(client, channel, layer, params.at(2));
    } else {
        const bool wholeChannel = command == QLatin1String("CLEAR") && !at.contains(QLatin1Char('-'));
        Q_EMIT stopped(client, channel, wholeChannel ? -1 : layer);
    }
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

QString AmcpMonitor::fileOf(const QString &clip) const
{
    const QString wanted = clip.toLower();
    for (const QString &listed : m_clips) {
        const QString name = listed.trimmed();
        if (name.toLower() == wanted || name.section(QLatin1Char('.'), 0, -2).toLower() == wanted)
            return name;
    }
    const qsizetype slash = clip.lastIndexOf(QLatin1Char('/'));
    return clip.indexOf(QLatin1Char('.'), slash + 1) > slash + 1 ? clip : clip + QStringLiteral(".mov");
}

QByteArray AmcpMonitor::printable(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        const uchar c = uchar(bytes[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if (c >= 0x20 && c < 0x7f) {
            out += char(c);
            ++i;
        } else if (const qsizetype length = printableUtf8(bytes, i)) {
            out += bytes.mid(i, length);
            i += length;
        } else {
            out += "\\x" + QByteArray::number(c, 16).rightJustified(2, '0');
            ++i;
        }
    }
    return out;
}

QByteArray AmcpMonitor::answer(const QString &line) const
{
    const QStringList params = parameters(line);
    const QString command = params.value(0).toUpper();
    if (command == QLatin1String("PING"))
        return "PONG" + LineEnd;
    const bool stop = command == QLatin1String("STOP") || command == QLatin1String("CLEAR");
    if (command != QLatin1String("PLAY") && command != QLatin1String("LOADBG") && !stop)
        return "400 ERROR" + LineEnd + line.toUtf8() + LineEnd;
    const QByteArray verb = command.toLatin1();
    if (params.size() < 2)
        return "402 " + verb + " FAILED" + LineEnd;
    if (params.at(1).section(QLatin1Char('-'), 0, 0) != QLatin1String("1"))
        return "401 " + verb + " ERROR" + LineEnd;
    if (stop)
        return "202 " + verb + " OK" + LineEnd;
    if (params.size() < 3) {
        const bool loadedThere = verb == "PLAY" && m_loaded.contains(layerKey(params.at(1)));
        return (loadedThere ? "202 PLAY OK" : "402 " + verb + " FAILED") + LineEnd;
    }
    return (hasClip(params.at(2)) ? "202 " + verb + " OK" : "404 " + verb + " FAILED") + LineEnd;
}
