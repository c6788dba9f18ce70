#pragma once

#include "cliprules.h"
#include "onairclock.h"
#include "oscreceiver.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>
#include <vector>

namespace vantor::onair {

// The tally contact: the serial port's DTR line, for a lamp or an upstream device.
//   level  ("dtr")           DTR asserted while a clip fired from this program is on air; it
//                            drops when the clip stops, another clip takes its layer, or its
//                            server has said nothing for SilentAfter.
//   pulse  ("dtr:pulse=MS")  a pulse of MS ms (10 to 10000) for each firing on air; one that
//                            comes during a pulse makes the pulse last MS ms from then.
// RTS is left alone: it feeds the contacts. Window thread.
class Tally : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds SilentAfter{1000};

    struct Mode
    {
        bool pulse = false;
        int pulseMs = 0;

        // "dtr" or "dtr:pulse=MS"; none when the text is neither.
        static std::optional<Mode> parse(QStringView text);
    };
    // Drives DTR; throws vantor::RuntimeError when the port cannot (SerialPortService::setDtr).
    using Line = std::function<void(bool asserted)>;
    // What a server reports of a channel-layer now (OscReceiver::view).
    using Source = std::function<LayerView(OscReceiver::Server, int channel, int layer)>;

    Tally(Mode mode, Line line, const OnAirClock &clock, QObject *parent = nullptr);

    // Drops DTR: the state before any firing.
    void start();
    // A firing is on air (confirmed, or, without confirmation, answered 202).
    void onAir(OscReceiver::Server server, int channel, int layer, const QString &clip);
    // Level mode: looks again whether the clips on air still are (connect to the receiver's
    // changed() and to a slow timer, for a server that goes silent). Without confirmation no
    // source is ever read, and the level holds until release().
    void check(const Source &source);
    // Level mode without confirmation: this program stopped or cleared the channel-layer (a
    // layer of -1: the whole channel), so what it fired there is no longer on air.
    void cleared(OscReceiver::Server server, int channel, int layer);
    void release();

    bool asserted() const { return m_asserted; }

Q_SIGNALS:
    // The line could not be driven: said once until it can again.
    void lineFailed(const QString &why);

private:
    struct OnAir
    {
        OscReceiver::Server server;
        int channel;
        int layer;
        ClipName clip;
    };
    void drive(bool asserted);

    const Mode m_mode;
    Line m_line;
    const OnAirClock &m_clock;
    std::vector<OnAir> m_onAir; // level mode: one per server and channel-layer
    QTimer m_pulse;
    bool m_asserted = false; // as last driven
    bool m_known = false;    // m_asserted is the line's level (false until first driven)
    bool m_failing = false;  // the last drive failed (and was said)
};

} // namespace vantor::onair
