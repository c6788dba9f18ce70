#pragma once

#include <QObject>
#include <QTimer>

#include <QPointer>
#include <QString>

#include <array>
#include <chrono>
#include <functional>

namespace vantor::serial {
class SerialPortService;
}
namespace vantor::playout {
class CasparConnection;
struct FiringRecord;
} // namespace vantor::playout

namespace vantor::app {

class BoxWatch;
class MainWindow;
class StatusBoard;

// Keeps the status board up to date, on the window thread: counts the line changes the port
// hands out, the firings and the server's failure replies as they happen, and every
// PollMs reads what has no signal (the port's state, the merged changes, the log files'
// dropped lines) and marks the window thread alive. It also tells the board when a box of the
// error trap waits for an answer, and when the open port says that its device has no modem
// lines (until the port closes). For the status page it keeps on the board what each slot sends
// and whether it is armed, and the recent firing records with their replies and on-air verdicts. Only stores into
// the board's atomics.
class StatusFeed : public QObject
{
    Q_OBJECT

public:
    static constexpr int PollMs = 250;

    StatusFeed(StatusBoard &board, MainWindow &window, serial::SerialPortService &port, QObject *parent = nullptr);
    ~StatusFeed() override;

    // Follows a playout server's connection under the board's server index (0 main, 1 backup).
    void addServer(int server, playout::CasparConnection &connection);
    // Where the count of dropped log-file lines comes from (--log-dir); none counts 0.
    void setDroppedLogLines(std::function<quint64()> count) { m_droppedLogLines = std::move(count); }

    // Follows the boxes of the error trap.
    void watchBoxes(BoxWatch &boxes);
    // With on-air confirmation: the on-air metrics are served, and when each server's latest
    // OSC datagram came is read every PollMs ({} before the first). Each firing's verdict goes
    // to the page's record of it, and for a firing by contact into the metrics.
    using LastBundle = std::function<std::chrono::steady_clock::time_point(int server)>;
    void followOnAir(LastBundle lastBundle);

    // Reads everything polled now (also done every PollMs).
    void poll();

private:
    void followVerdict(const playout::FiringRecord &record);
    void recordFiring(const playout::FiringRecord &record);
    // Puts what a slot sends, and whether it is armed, on the board when that changed.
    void readSlots();

    StatusBoard &m_board;
    MainWindow &m_window;
    serial::SerialPortService &m_port;
    std::function<quint64()> m_droppedLogLines;
    LastBundle m_lastBundle; // with on-air confirmation
    QTimer m_poll;
    struct SlotShown
    {
        bool armed = false;
        QString sends; // null before the first reading
    };
    std::array<SlotShown, 6> m_slotsShown; // window thread: what the board holds of each slot
};

} // namespace vantor::app
