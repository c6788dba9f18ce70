#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace vantor::playout {
struct FiringRecord;
}
namespace vantor::serial {
class SerialPortService;
}

namespace vantor::app {

class Lamp;
class MainWindow;

// The station in one line, for the service manager's status and a facility's monitoring:
// the port, the server lamps and the last firing,
//   "COM 1 open, Caspar connected, last fire 14:02:11 CTS ON intro.mov",
// with "backup connected, " after the main server where a backup server is set, and in front,
// while a box of the error trap waits for an answer, which box:
//   "waiting for an answer to Error 40006 (...) at frmMAIN.FIREME, line 12; COM 1 open, ...".
// It follows the lamps and the firings and says when the line changed.
//
// Made after LogFiles, whose record of the firings it passes on. Window thread only.
class StationStatus : public QObject
{
    Q_OBJECT

public:
    StationStatus(MainWindow &window, serial::SerialPortService &port, QObject *parent = nullptr);
    // Hands the firings back to whoever had them before.
    ~StationStatus() override;

    QString text() const;
    // A box waits for an answer (BoxWatch::waitingFor()); empty when none does.
    void setWaiting(const QString &waitingFor);

Q_SIGNALS:
    void changed(const QString &text);

private:
    void fired(const playout::FiringRecord &record);
    void update();

    MainWindow &m_window;
    serial::SerialPortService &m_port;
    Lamp *m_portLamp;
    Lamp *m_serverLamp;
    Lamp *m_backupLamp;                                          // only with a backup server
    std::function<void(const playout::FiringRecord &)> m_before; // who was told of firings before us
    QString m_lastFire; // "14:02:11 CTS ON intro.mov", empty before the first firing
    QString m_waiting;  // the box that waits for an answer, empty when none does
    QString m_text;     // the line last told
};

} // namespace vantor::app
