#pragma once

#include "app/station/writerthread.h"

#include <QByteArray>
#include <QDate>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

namespace vantor::app {

// Writes lines to daily files in one directory, on a thread of its own: the window thread only
// queues an entry (the time and the text of a line, shared, not copied) and never waits for
// a disk, nor formats anything.
//
// Each stream is one kind of daily file, named prefix + "YYYY-MM-DD" + suffix; the stream's
// format turns an entry into its line and the day it belongs to. Lines are written as soon
// as the thread gets to them, those waiting together in one write call; nothing is kept in
// a buffer.
//
// The queue is bounded: a line that finds it full is dropped. A line that cannot be written
// (the directory cannot be made or written, the disk is full) is dropped as well, and the
// writer tries again with the next lines, so it starts again by itself once space frees or
// the date changes. The first line written to a file after a gap is a note of how many lines
// are missing there and why. failed() and recovered() say when the files as a whole stop
// and start being written; dropped() when the queue overflows.
class LogFileWriter : public QObject
{
    Q_OBJECT

public:
    struct Stream
    {
        QString prefix;    // "history-"
        QString suffix;    // ".log"
        QByteArray header; // written first into a file that is new or empty
        // Writer thread: the line of an entry, its line end included, and the day of its file.
        std::function<QByteArray(const QDateTime &at, const QStringList &fields, QDate &day)> format;
        // Writer thread: the line that notes a gap, in the file's own form.
        std::function<QByteArray(const QDateTime &at, const QString &text)> note;
    };

    static constexpr int DefaultCapacity = 16384;

    LogFileWriter(const QString &directory, std::vector<Stream> streams, int capacity = DefaultCapacity,
                  QObject *parent = nullptr);
    // Writes what is queued, waiting for the disk at most WriterThread::DefaultStopLimit.
    ~LogFileWriter() override;

    QString directory() const { return m_directory; }
    QString fileName(int stream, QDate date) const;

    // Window thread: queues one entry for `stream`, made at `atMsecs` since the epoch.
    void post(int stream, qint64 atMsecs, QStringList fields);
    // Any thread: lines dropped so far, for a full queue or a file that could not be written.
    quint64 droppedLines() const;

Q_SIGNALS:
    // The files cannot be written (once, until recovered()).
    void failed(const QString &file, const QString &reason);
    // Every file that failed has been written again.
    void recovered();
    // Lines were dropped because the queue was full (once, until the queue has room again).
    void dropped();

private:
    struct Shared;
    QString m_directory;
    std::shared_ptr<Shared> m_shared;
    bool m_overflowing = false; // window thread: dropped() said so and the queue has not drained since
    WriterThread m_thread;      // last member: stops first
};

} // namespace vantor::app
