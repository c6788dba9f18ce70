#pragma once

#include "app/station/asrunrecord.h"
#include "app/station/logfilewriter.h"

#include <QObject>

namespace vantor::serial {
class SerialPortService;
}

namespace vantor::app {

class ActivityLog;
class MainWindow;

// The window's records on disk, in one directory: the History and port logs as daily files
// (history-YYYY-MM-DD.log, port-YYYY-MM-DD.log; each line as the window shows it, the date in
// front, control characters escaped), and the as-run record as-run-YYYY-MM-DD.csv. Nothing here writes a file on the
// window thread; trouble with the files is told in the History log.
class LogFiles : public QObject
{
    Q_OBJECT

public:
    enum StreamIndex { History, Port, AsRun };

    // onAirColumns: the as-run record has the on-air columns (--confirm). A day's file begun
    // without them keeps its header, and its rows go on without them until the next day.
    LogFiles(const QString &directory, MainWindow &window, serial::SerialPortService &port, bool onAirColumns = false,
             QObject *parent = nullptr);
    ~LogFiles() override;

    LogFileWriter &writer() { return m_writer; }
    // The date of a log line "hh:mm:ss : ..." written just now: yesterday's for a line stamped
    // before midnight and handed over after it.
    static QDate dateOf(const QString &line, const QDateTime &now);
    // A line as it goes into a log file: line breaks as \r and \n, other control characters
    // (C0, DEL, C1) as \xHH, so that a terminal showing the file takes none as a command.
    static QString escapeControls(const QString &line);
    // The line and the level a firing's event carried ("CTS ON"); empty for a test fire. Asked
    // while the firing runs, when the port service answers with that event's level.
    static QString lineAndEdge(const playout::FiringRecord &record, const serial::SerialPortService &port);
    // An as-run row saying that the program started again after an unclean end.
    void restarted(const QString &how);

private:
    void follow(ActivityLog &log, StreamIndex stream);

    MainWindow &m_window;
    serial::SerialPortService &m_port;
    LogFileWriter m_writer;
    AsRunRecord m_asRun;
};

} // namespace vantor::app
