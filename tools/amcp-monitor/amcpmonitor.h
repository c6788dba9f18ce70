#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// Listens like a playout server and answers each command line the way the real server does:
// "202 PLAY OK", or "404 PLAY FAILED" for a clip that is not in the list of clips (an empty
// list plays everything); LOADBG likewise, and a bare PLAY c-l plays what was loaded there
// ("402 PLAY FAILED" when nothing was); STOP and CLEAR "202". Every line received is reported
// with its peer. A line longer than MaxLine bytes is not a command: it is dropped whole,
// unanswered, and reported as dropped. At most MaxLoaded channel-layers hold a loaded clip.
class AmcpMonitor : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype MaxLine = 1 << 20;
    static constexpr qsizetype MaxLoaded = 64;

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
    // none was given); a bare PLAY plays the clip loaded there.
    void played(const QHostAddress &client, int channel, int layer, const QString &clip);
    // A LOADBG was answered 202: the clip waits in the background of the channel-layer.
    void loaded(const QHostAddress &client, int channel, int layer, const QString &clip);
    // A STOP or CLEAR was answered 202: the layer is empty (layer -1: CLEAR of the whole channel).
    void stopped(const QHostAddress &client, int channel, int layer);
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
    void took(const QHostAddress &client, const QStringList &params);

    QTcpServer *m_server;
    QStringList m_clips;
    QHash<QTcpSocket *, Pending> m_pending; // per connected client; all on the monitor's thread
    QHash<QString, QString> m_loaded;       // "c-l" -> the clip LOADBG put there; at most MaxLoaded
};
