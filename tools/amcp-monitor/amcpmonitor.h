#pragma once

#include <QHostAddress>
#include <QObject>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// Listens like a playout server and answers each command line the way the real server does:
// "202 PLAY OK", or "404 PLAY FAILED" for a clip that is not in the list of clips (an empty
// list plays everything). Every line received is reported with its peer.
class AmcpMonitor : public QObject
{
    Q_OBJECT

public:
    explicit AmcpMonitor(QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;
    void setClips(const QStringList &clips) { m_clips = clips; }

    // The reply to one command line (without its CR LF), lines joined by CR LF, ended by CR LF.
    QByteArray answer(const QString &line) const;
    bool hasClip(const QString &clip) const;

    // The parameters of a command line: split on spaces, double quotes group, and inside
    // them \" and \\ stand for themselves and \n for a line feed; other backslash pairs drop.
    static QStringList parameters(const QString &line);

Q_SIGNALS:
    void received(const QString &peer, const QString &line, const QByteArray &reply);

private:
    void accept();
    void readClient(QTcpSocket *socket);

    QTcpServer *m_server;
    QStringList m_clips;
};
