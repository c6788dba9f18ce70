#pragma once

#include "onair/onairclock.h"
#include "onair/tally.h"

#include <QObject>
#include <QTimer>

namespace vantor::playout {
struct FiringRecord;
}
namespace vantor::serial {
class SerialPortService;
}

namespace vantor::app {

class MainWindow;
class OnAirConfirmation;

// The tally contact (--tally): the DTR line of the window's serial port, through onair::Tally,
// for a lamp or an upstream device. With on-air confirmation it follows the servers' own state:
// a firing confirmed on air raises it (level) or pulses it; the level drops when that clip
// stops, another takes its layer, or its server goes silent (looked at whenever the state
// changes, and every CheckMs). Without confirmation it follows the server's 202 to a PLAY
// instead, which says only that the server took the command; the level then drops when this
// program's Stop or Clear of that layer is answered 2xx. RTS is never touched. A port that
// cannot drive DTR is said once in the port log, until it can again. Window thread.
class TallyContact : public QObject
{
    Q_OBJECT

public:
    static constexpr int CheckMs = 250;

    // confirmation: none to follow the replies instead. Drops DTR at once (the level before
    // any firing; a closed port opens with it).
    TallyContact(onair::Tally::Mode mode, MainWindow &window, serial::SerialPortService &port,
                 OnAirConfirmation *confirmation = nullptr, QObject *parent = nullptr);
    ~TallyContact() override;

    bool asserted() const { return m_tally.asserted(); }

private:
    void fired(const playout::FiringRecord &record);

    MainWindow &m_window;
    onair::SteadyOnAirClock m_clock;
    onair::Tally m_tally;
    QTimer m_check; // with confirmation: the level looked at again
};

} // namespace vantor::app
