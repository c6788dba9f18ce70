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
    const QString line = fields.value(0);
    day = LogFiles::dateOf(line, at);
    return (day.toString(Qt::ISODate) + QLatin1Char(' ') + LogFiles::escapeControls(line) + QLatin1Char('\n')).toUtf8();
}

QByteArray logNote(const QDateTime &at, const QString &text)
{
    return (at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss : ")) + text + QLatin1Char('\n')).toUtf8();
}

// A row with every column of the header (`columns` of them, the time included), whatever it
// was handed; control characters escaped as in the logs, so that a server's reply runs nothing
// on a terminal that shows the file.
QByteArray asRunRow(const QDateTime &at, const QStringList &fields, qsizetype columns)
{
    QStringList row{at.toString(TimeOfRow)};
    for (const QString &field : fields)
        row << LogFiles::escapeControls(field);
    row.resize(columns);
    return csvRow(row);
}

std::vector<LogFileWriter::Stream> streams(bool onAirColumns)
{
    const QStringList header = AsRunRecord::header(onAirColumns);
    // A day's file begun by a run with the on-air columns, or without them, keeps its form.
    const QStringList otherHeader = AsRunRecord::header(!onAirColumns);
    const auto format = [](qsizetype columns) {
        return [columns](const QDateTime &at, const QStringList &fields, QDate &day) {
            day = at.date();
            return asRunRow(at, fields, columns);
        };
    };
    // The note of a gap, in the outcome column.
    const auto note = [](qsizetype columns) {
        return [columns](const QDateTime &at, const QString &text) {
            return asRunRow(at, {{}, {}, {}, text}, columns);
        };
    };
    LogFileWriter::Stream asRun{QStringLiteral("as-run-"), QStringLiteral(".csv"), csvRow(header),
                                format(header.size()), note(header.size())};
    asRun.otherHeader = csvRow(otherHeader);
    asRun.otherFormat = format(otherHeader.size());
    asRun.otherNote = note(otherHeader.size());
    return {{QStringLiteral("history-"), QStringLiteral(".log"), {}, logLine, logNote},
            {QStringLiteral("port-"), QStringLiteral(".log"), {}, logLine, logNote},
            std::move(asRun)};
}

} // namespace

LogFiles::LogFiles(const QString &directory, MainWindow &window, serial::SerialPortService &port, bool onAirColumns,
                   QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_port(port)
    , m_writer(directory, streams(onAirColumns))
    , m_asRun([this](qint64 at, QStringList columns) { m_writer.post(AsRun, at, std::move(columns)); }, onAirColumns)
{
    follow(window.history(), History);
    follow(window.portLog(), Port);
    window.firing().setRecord(
        [this](const playout::FiringRecord &record) { m_asRun.fired(record, lineAndEdge(record, m_port)); });

    // One line when the files stop being written, one when they are written again.
    const auto say = [this](const QString &line) { stationNotice(m_window, line); };
    connect(&m_writer, &LogFileWriter::failed, this, [say](const QString &file, const QString &reason) {
        say(QStringLiteral("***Log files not written: %1: %2").arg(file, reason));
    });
    connect(&m_writer, &LogFileWriter::recovered, this,
            [say, this] { say(QStringLiteral("Log files written again in ") + m_writer.directory()); });
    connect(&m_writer, &LogFileWriter::reopened, this, [say](const QString &file) {
        say(QStringLiteral("***Log file %1 was removed or replaced while in use: written anew from here").arg(file));
    });
    connect(&m_writer, &LogFileWriter::dropped, this,
            [say] { say(QStringLiteral("***Log files: lines dropped, the disk is too slow")); });
}

LogFiles::~LogFiles()
{
    m_window.firing().setRecord({});
}

QString LogFiles::escapeControls(const QString &line)
{
    QString out;
    out.reserve(line.size());
    for (const QChar c : line) {
        const char16_t u = c.unicode();
        if (u == u'\r')
            out += QLatin1String("\\r");
        else if (u == u'\n')
            out += QLatin1String("\\n");
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
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
QString LogFiles::lineAndEdge(const playout::FiringRecord &record, const serial::SerialPortService &port)
{
    static const QString names[2][2] = {{QStringLiteral("DSR OFF"), QStringLiteral("DSR ON")},
                                        {QStringLiteral("CTS OFF"), QStringLiteral("CTS ON")}};
    if (record.test)
        return {};
    const bool cts = record.slot < 3;
    return names[cts][cts ? port.ctsHolding() : port.dsrHolding()];
}

void LogFiles::restarted(const QString &how)
{
    m_writer.post(AsRun, QDateTime::currentMSecsSinceEpoch(), {QStringLiteral("restart"), {}, {}, how});
}

} // namespace vantor::app
