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
// front), and the as-run record as-run-YYYY-MM-DD.csv. Nothing here writes a file on the
// window thread; trouble with the files is told in the History log.
class LogFiles : public QObject
{
    Q_OBJECT

public:
    enum StreamIndex { History, Port, AsRun };

    LogFiles(const QString &directory, MainWindow &window, serial::SerialPortService &port, QObject *parent = nullptr);
    ~LogFiles() override;

    LogFileWriter &writer() { return m_writer; }
    // The date of a log line "hh:mm:ss : ..." written just now: yesterday's for a line stamped
    // before midnight and handed over after it.
    static QDate dateOf(const QString &line, const QDateTime &now);

private:
    void follow(ActivityLog &log, StreamIndex stream);
    QString lineAndEdge(const playout::FiringRecord &record) const;

    MainWindow &m_window;
    serial::SerialPortService &m_port;
    LogFileWriter m_writer;
    AsRunRecord m_asRun;
};

} // namespace vantor::app
