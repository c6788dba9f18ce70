#pragma once

#include "app/station/writerthread.h"

#include <QByteArray>
#include <QDate>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace vantor::app {

// Writes lines to daily files in one directory: the window thread only queues an entry (the
// time and the text of a line, shared, not copied) and never waits for a disk, nor formats
// anything.
//
// Each stream is one kind of daily file, named prefix + "YYYY-MM-DD" + suffix; the stream's
// format turns an entry into its line and the day it belongs to. Every stream has a queue and
// a thread of its own, so that a file that hangs (a hung network mount) holds up only its own
// lines. Lines are written as soon as the thread gets to them, those waiting together in one
// write call; nothing is kept in a buffer.
//
// Only a regular file (or a link to one) is opened, without waiting (a FIFO in its place is
// refused at once), and nothing is ever truncated. A stream whose form changed (new columns)
// may name another header, of another form of its lines: a day's file begun under it keeps
// it, and its lines keep that form, so that a file never mixes two forms under one header. Before each batch the writer checks that
// the open file is still the one at its path: a file removed or replaced while in use (its
// folder removed) is opened anew, and both the new file and reopened() say so.
//
// Each queue is bounded in lines and in bytes (what its lines hold in memory until they are
// written, the line being written included), and a line longer than MaxFieldLength characters
// is cut before it is queued, so that a disk that falls behind a flood of long lines costs
// memory up to the bound and no more. A line that finds its queue full is dropped. The writer
// formats and writes a batch in chunks of about ChunkBytes. A line that cannot be written
// (the directory cannot be made or written, the disk is full, the path is no regular file) is
// dropped as well, and the writer tries again with the next lines, so it starts again by
// itself once space frees or the date changes. The first line written to a file after a gap
// is a note of how many lines are missing there and why. failed() says when writing stops or
// a write has been pending for stallLimit, recovered() when a file is written again after
// that; dropped() when a queue overflows.
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
        // A day's file that begins with this other header (a file another form began: an older
        // version's, or a run's with or without optional columns) keeps it: its lines and notes
        // take that form for the rest of the day. Empty: none.
        QByteArray otherHeader{};
        std::function<QByteArray(const QDateTime &at, const QStringList &fields, QDate &day)> otherFormat{};
        std::function<QByteArray(const QDateTime &at, const QString &text)> otherNote{};
    };

    static constexpr int DefaultCapacity = 16384;                     // lines per stream
    static constexpr qsizetype DefaultByteCapacity = 4 * 1024 * 1024; // bytes per stream
    static constexpr qsizetype MaxFieldLength = 8192;                 // characters of one field
    static constexpr qsizetype ChunkBytes = 64 * 1024;                // formatted, per write call
    static constexpr std::chrono::milliseconds DefaultStallLimit{5000};

    LogFileWriter(const QString &directory, std::vector<Stream> streams, int capacity = DefaultCapacity,
                  qsizetype byteCapacity = DefaultByteCapacity,
                  std::chrono::milliseconds stallLimit = DefaultStallLimit, QObject *parent = nullptr);
    // Writes what is queued, waiting for the disks at most WriterThread::DefaultStopLimit in
    // all, the streams side by side.
    ~LogFileWriter() override;

    QString directory() const { return m_directory; }
    QString fileName(int stream, QDate date) const;

    // Window thread: queues one entry for `stream`, made at `atMsecs` since the epoch, each
    // field cut to MaxFieldLength characters.
    void post(int stream, qint64 atMsecs, QStringList fields);
    // A field as it is queued: one longer than MaxFieldLength characters keeps its first
    // MaxFieldLength and ends with " …[N more characters cut]".
    static QString cut(const QString &field);
    // Any thread: lines dropped so far, for a full queue or a file that could not be written.
    quint64 droppedLines() const;

Q_SIGNALS:
    // A file cannot be written, or a write has been pending for long (once, until recovered()).
    void failed(const QString &file, const QString &reason);
    // A file that failed or stalled has been written again.
    void recovered();
    // Lines were dropped because a queue was full (once, until that queue has room again).
    void dropped();
    // The file had been removed or replaced while it was open, and was opened anew.
    void reopened(const QString &file);

private:
    struct Channel;
    void channelFailed(const QString &file, const QString &reason);
    void channelRecovered();
    void watchStalls();

    QString m_directory;
    const std::chrono::milliseconds m_stallLimit;
    std::vector<std::shared_ptr<Channel>> m_channels;     // one per stream; each shared with its thread
    bool m_failing = false;                               // window thread: failed() said so and no recovered() since
    QTimer m_stallWatch;                                  // window thread: looks for writes pending too long
    std::vector<std::unique_ptr<WriterThread>> m_threads; // last member: stop first
};

} // namespace vantor::app
