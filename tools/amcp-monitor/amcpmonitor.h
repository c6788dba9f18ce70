#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// Listens like a playout server and answers each command line the way the real server does:
// "202 PLAY OK", or "404 PLAY FAILED" for a clip that is not in the list of clips (an empty
// list plays everything). Every line received is reported with its peer. A line longer than
// MaxLine bytes is not a command: it is dropped whole, unanswered, and reported as dropped.
class AmcpMonitor : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype MaxLine = 1 << 20;

    explicit AmcpMonitor(QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;
    void setClips(const QStringList &clips) { m_clips = clips; }

    // The reply to one command line (without its CR LF), lines joined by CR LF, ended by CR LF.
    QByteArray answer(const QString &line) const;
    bool hasClip(const QString &clip) const;
    // The file a clip that plays stands for, relative to the media folder: the listed name
    // that matched, else the clip with ".mov" where it has no extension.
    QString fileOf(const QString &clip) const;

    // The parameters of a command line: split on spaces, double quotes group, and inside
    // them \" and \\ stand for themselves and \n for a line feed; other backslash pairs drop.
    static QStringList parameters(const QString &line);

    // Bytes as a terminal may show them: printable ASCII and printable UTF-8 characters as they
    // are, a backslash doubled, every other byte (control characters, invalid UTF-8) as \xNN.
    static QByteArray printable(const QByteArray &bytes);

Q_SIGNALS:
    void received(const QString &peer, const QByteArray &line, const QByteArray &reply);
    void clientConnected(const QHostAddress &address);
    // A PLAY of a clip was answered 202: the clip plays on the channel-layer (layer 0 when
    // none was given).
    void played(const QHostAddress &client, int channel, int layer, const QString &clip);
    // A line of `size` bytes (line end included) went unanswered for its length.
    void dropped(const QString &peer, qint64 size);

private:
    // What one client has sent of a line not yet ended.
    struct Pending
    {
        QByteArray bytes;
        qint64 dropping = -1; // bytes of an over-long line dropped so far, -1 while none is
    };

    void accept();
    void readClient(QTcpSocket *socket);

    QTcpServer *m_server;
    QStringList m_clips;
    QHash<QTcpSocket *, Pending> m_pending; // per connected client; all on the monitor's thread
};
