#include "portprobe.h"

#include <QFile>
#include <QtEndian>

namespace vantor::serial {

// A line of /proc/net/tcp: "sl local_address rem_address st ...", an address as the hex digits
// of its 32-bit words in this machine's byte order (one word for IPv4, four for IPv6), then ':'
// and the port in hex; state 01 is ESTABLISHED.
bool SystemPortProbe::connectedFromHere(const QList<QHostAddress> &addresses, quint16 port)
{
    constexpr qint64 MaxTableBytes = 16 << 20; // a machine with very many connections is read this far
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.read(MaxTableBytes).split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines[i].simplified().split(' ');
            if (fields.size() < 4 || fields[3] != "01")
                continue;
            const QList<QByteArray> remote = fields[2].split(':');
            if (remote.size() != 2 || remote[1].toUInt(nullptr, 16) != port || remote[0].size() % 8 != 0)
                continue;
            QByteArray bytes;
            for (qsizetype at = 0; at < remote[0].size(); at += 8) {
                const quint32 word = remote[0].mid(at, 8).toUInt(nullptr, 16);
                bytes.append(reinterpret_cast<const char *>(&word), sizeof word);
            }
            QHostAddress peer;
            if (bytes.size() == 4)
                peer.setAddress(qFromBigEndian<quint32>(bytes.constData()));
            else if (bytes.size() == 16)
                peer.setAddress(reinterpret_cast<const quint8 *>(bytes.constData()));
            for (const QHostAddress &address : addresses) {
                if (peer.isEqual(address, QHostAddress::TolerantConversion))
                    return true;
            }
        }
    }
    return false;
}

} // namespace vantor::serial
