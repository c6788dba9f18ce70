#pragma once

#include "writerthread.h"

#include <QByteArray>
#include <QDate>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace vantor::app {

// Writes lines to daily files in one directory, on a thread of its own: the window thread only
// queues them and never waits for a disk.
//
// Each stream is one kind of daily file, named prefix + "YYYY-MM-DD" + suffix after the date
// the caller gives with each line. A line is written with one write call as soon as the thread
// gets to it, nothing is kept in a buffer.
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
        // The line that notes a gap, in the file's own form.
        std::function<QByteArray(const QDateTime &when, const QString &text)> note;
    };

    static constexpr int DefaultCapacity = 16384;

    LogFileWriter(const QString &directory, std::vector<Stream> streams, int capacity = DefaultCapacity,
                  QObject *parent = nullptr);
    // Writes what is queued, waiting for the disk at most WriterThread::DefaultStopLimit.
    ~LogFileWriter() override;

    QString directory() const { return m_directory; }
    QString fileName(int stream, QDate date) const;

    // Window thread: queues one line, its line end included, for the file of `stream` on `date`.
    void post(int stream, QDate date, QByteArray line);

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
