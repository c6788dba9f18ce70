#pragma once

#include "onair/onairclock.h"
#include "onair/onairwatch.h"
#include "onair/oscreceiver.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <chrono>
#include <memory>
#include <unordered_map>

class QLabel;

namespace vantor::playout {
struct FiringRecord;
struct OnAirVerdict;
template <class T>
class Pending;
} // namespace vantor::playout

namespace vantor::app {

class MainWindow;

// On-air confirmation (--confirm): every firing sent with a clip (Play, Play pre-loaded, a test
// fire too) is watched on each server it went to, until that server's own state shows the clip
// on the slot's channel-layer (onair::OnAirRule) or the deadline passes, and the verdict is told:
//   History     "On air: CTS ON intro.mov on 1-10 after 84 ms" (the time from the send), or
//               "***Not on air: CTS ON intro.mov on 1-10, 1-10 plays other.mov"; " (backup)"
//               after the backup's
//   the window  the accessible description and tooltip of lblLASTTRINGER: the lines of the
//               latest firing (its caption stays the slot's condition)
//   the record  FiringRecord::onAir, for the as-run record and the metrics
// Stop and Clear are not watched. A bare PLAY of a pre-loaded clip also looks, before the cue,
// whether the server shows the clip in the layer's background (2.2 and later say; 2.0.7 and 2.1
// do not, and nothing is said then).
//
// The servers are told apart by the address their connection reached, taken again each time
// a connection becomes ready. A server that sends no state at all (its OSC not configured, a
// firewall) is said once, with what to check: when it has been connected for SilentAfter
// without a datagram, or when a firing finds no state; it is said again only after it has sent
// and then stopped again.
//
// Window thread, like the receiver's changed() notifications it follows.
class OnAirConfirmation : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds SilentAfter{2000};
    static constexpr int SilenceCheckMs = 500;

    OnAirConfirmation(MainWindow &window, onair::OscReceiver &receiver,
                      std::chrono::milliseconds deadline = onair::OnAirRule::DefaultDeadline,
                      QObject *parent = nullptr);
    // Firings still waiting keep their rows waiting no longer: they are told "not watched".
    ~OnAirConfirmation() override;

    // What a server reports of a channel-layer now.
    onair::LayerView view(onair::OscReceiver::Server server, int channel, int layer) const;
    onair::OscReceiver &receiver() const { return m_receiver; }

Q_SIGNALS:
    // A firing's clip was confirmed on air on that server.
    void confirmed(int server, int channel, int layer, const QString &clip);

private:
    struct Watched
    {
        quint64 firing = 0; // counts the firings, a firing's records on both servers alike
        QString what;       // "CTS ON intro.mov on 1-10"
        std::shared_ptr<playout::Pending<playout::OnAirVerdict>> verdict;
        std::chrono::steady_clock::time_point sentAt;
    };
    // Whether a server's silence was said, and since when it has been connected.
    struct Silence
    {
        bool said = false;
        onair::TimePoint saidAt{};
        onair::TimePoint upSince{}; // {} while not connected
    };

    void fired(const playout::FiringRecord &record);
    void checkBackground(const playout::FiringRecord &record, const QString &what);
    void onAir(const onair::OnAirWatch::Firing &firing, onair::TimePoint at);
    void notOnAir(const onair::OnAirWatch::Firing &firing, const QString &reason, onair::OnAirRule::Why why);
    void takeAddresses();
    void checkSilence();
    void saySilent(int server);
    void show(quint64 firing, int server, const QString &line);
    QString suffix(int server) const;

    MainWindow &m_window;
    onair::OscReceiver &m_receiver;
    onair::SteadyOnAirClock m_clock;
    onair::OnAirWatch m_watch;
    QLabel *m_lastTrigger; // the window's lblLASTTRINGER
    // All on the window thread.
    std::unordered_map<quint64, Watched> m_watched; // by watch id; at most OnAirWatch::MaxWaiting
    quint64 m_nextId = 0;
    quint64 m_firings = 0;                          // firings seen so far
    int m_lastServer = 1;                           // the server of the last record seen
    quint64 m_shownFiring = 0;                      // whose lines lblLASTTRINGER describes
    std::array<QString, 2> m_shown;                 // those lines, per server
    std::array<QList<QHostAddress>, 2> m_addresses; // per server: where its connection reached
    std::array<Silence, 2> m_silence;               // per server
    QTimer m_silenceCheck;
};

} // namespace vantor::app
