#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <array>
#include <functional>
#include <optional>

class QHostInfo;

namespace vantor::playout {

// Whether a backup server is the main server under another name (or the same one twice):
// both names are looked up in the background, within LookupLimitMs, and their addresses
// compared, ports included. Were it the same, every cue would play twice on one server.
// Window thread only.
class BackupCheck : public QObject
{
    Q_OBJECT

public:
    static constexpr int LookupLimitMs = 2000;

    struct Server
    {
        QString host;
        quint16 port = 0;
    };
    enum class Verdict {
        Distinct, // no address of one is an address of the other (or the ports differ)
        Same,     // detail: the address they share
        Unknown,  // detail: why not (a lookup failed or took longer than LookupLimitMs)
    };
    using Done = std::function<void(Verdict verdict, const QString &detail)>;

    explicit BackupCheck(QObject *parent = nullptr);

    // Starts the lookups; done is called once, on the window thread, unless cancel() comes first.
    void start(const Server &main, const Server &backup, Done done);
    void cancel();

private:
    void answered(int which, const QHostInfo &info);
    void finish(Verdict verdict, const QString &detail);

    std::array<Server, 2> m_servers;                               // main, backup
    std::array<int, 2> m_lookups{-1, -1};                          // QHostInfo ids under way
    std::array<std::optional<QList<QHostAddress>>, 2> m_addresses; // the answers so far
    QTimer m_limit;
    Done m_done; // empty: no check under way
};

} // namespace vantor::playout
