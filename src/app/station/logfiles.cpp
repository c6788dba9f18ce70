#include "app/station/logfiles.h"

#include "app/station/csvwriter.h"
#include "app/station/stationnotice.h"
#include "app/window/activitylog.h"
#include "app/window/mainwindow.h"

#include "playout/firing.h"
#include "serial/service/serialportservice.h"

namespace vantor::app {

namespace {

const QString TimeOfRow = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");

// A log line as the window shows it, with the date in front; one line in the file also for
// received data with line breaks.
QByteArray logLine(const QDateTime &at, const QStringList &fields, QDate &day)
{
    QString line = fields.value(0);
    day = LogFiles::dateOf(line, at);
    line.replace(QLatin1Char('\r'), QLatin1String("\\r")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return (day.toString(Qt::ISODate) + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8();
}

QByteArray logNote(const QDateTime &at, const QString &text)
{
    return (at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss : ")) + text + QLatin1Char('\n')).toUtf8();
}

QByteArray asRunRow(const QDateTime &at, const QStringList &fields, QDate &day)
{
    day = at.date();
    return csvRow(QStringList{at.toString(TimeOfRow)} + fields);
}

QByteArray asRunNote(const QDateTime &at, const QString &text)
{
    return csvRow({at.toString(TimeOfRow), {}, {}, {}, text, {}, {}, {}});
}

std::vector<LogFileWriter::Stream> streams()
{
    return {{QStringLiteral("history-"), QStringLiteral(".log"), {}, logLine, logNote},
            {QStringLiteral("port-"), QStringLiteral(".log"), {}, logLine, logNote},
            {QStringLiteral("as-run-"), QStringLiteral(".csv"), csvRow(AsRunRecord::header()), asRunRow, asRunNote}};
}

} // namespace

LogFiles::LogFiles(const QString &directory, MainWindow &window, serial::SerialPortService &port, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_port(port)
    , m_writer(directory, streams())
    , m_asRun([this](qint64 at, QStringList columns) { m_writer.post(AsRun, at, std::move(columns)); })
{
    follow(window.history(), History);
    follow(window.portLog(), Port);
    window.firing().setRecord(
        [this](const playout::FiringRecord &record) { m_asRun.fired(record, lineAndEdge(record)); });

    // One line when the files stop being written, one when they are written again.
    const auto say = [this](const QString &line) { stationNotice(m_window, line); };
    connect(&m_writer, &LogFileWriter::failed, this, [say](const QString &file, const QString &reason) {
        say(QStringLiteral("***Log files not written: %1: %2").arg(file, reason));
    });
    connect(&m_writer, &LogFileWriter::recovered, this,
            [say, this] { say(QStringLiteral("Log files written again in ") + m_writer.directory()); });
    connect(&m_writer, &LogFileWriter::dropped, this,
            [say] { say(QStringLiteral("***Log files: lines dropped, the disk is too slow")); });
}

LogFiles::~LogFiles()
{
    m_window.firing().setRecord({});
}

QDate LogFiles::dateOf(const QString &line, const QDateTime &now)
{
    const QTime stamped = QTime::fromString(line.left(8), QStringLiteral("HH:mm:ss"));
    return stamped.isValid() && stamped > now.time() ? now.date().addDays(-1) : now.date();
}

// Every line the log takes, as the window shows it; the writer thread dates and formats it.
void LogFiles::follow(ActivityLog &log, StreamIndex stream)
{
    connect(&log, &ActivityLog::rowsInserted, this, [this, &log, stream](const QModelIndex &, int first, int last) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (int row = first; row <= last; ++row)
            m_writer.post(stream, now, {log.at(row)});
    });
}

// The line and the level the event carried; while a line change is handled, the port
// service answers with that level.
QString LogFiles::lineAndEdge(const playout::FiringRecord &record) const
{
    static const QString names[2][2] = {{QStringLiteral("DSR OFF"), QStringLiteral("DSR ON")},
                                        {QStringLiteral("CTS OFF"), QStringLiteral("CTS ON")}};
    if (record.test)
        return {};
    const bool cts = record.slot < 3;
    return names[cts][cts ? m_port.ctsHolding() : m_port.dsrHolding()];
}

} // namespace vantor::app
