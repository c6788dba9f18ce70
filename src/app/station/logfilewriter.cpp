#include "app/station/logfilewriter.h"

#include "app/station/appendfile.h"
#include "app/station/regularfile.h"
#include "app/window/activitylog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace vantor::app {

namespace {
struct Entry
{
    qint64 at = 0; // msecs since the epoch
    QStringList fields;
    qsizetype cost = 0; // what it holds in memory, as counted against the queue's byteCapacity
};

// What an entry holds: its fields' text, which it may share with a log (and keep alive after the
// log has dropped it), their headers and the allocator's, and its slot in the queue.
qsizetype costOf(const QStringList &fields)
{
    constexpr qsizetype FieldOverhead = 32;
    constexpr qsizetype EntryOverhead = 64;
    qsizetype cost = EntryOverhead;
    for (const QString &field : fields)
        cost += qsizetype(sizeof(QChar)) * (field.capacity() + 1) + FieldOverhead;
    return cost;
}

qint64 steadyMsecs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

// One stream's queue and the state of its thread.
struct LogFileWriter::Channel
{
    // Set once before the thread starts.
    QString directory;
    Stream stream;
    size_t capacity = 0;
    qsizetype byteCapacity = 0;

    std::mutex mutex;
    std::vector<Entry> queue; // guarded by mutex
    // The cost of the entries queued or being written: added by the window thread under mutex,
    // taken off by the writer without it, so that the writer holds the mutex only to take the
    // queue (a writer of low priority preempted while holding it would hold up the window).
    std::atomic<qsizetype> queuedBytes{0};
    qint64 overflowLost = 0;           // guarded by mutex: lines the full queue turned away
    LogFileWriter *receiver = nullptr; // guarded by mutex; null once the writer object is gone
    std::atomic<quint64> dropped{0};   // lines dropped so far, for any reason; any thread

    // Written by the thread, read by the window thread's stall watch.
    std::atomic<qint64> busySince{0};      // steady msecs when the running batch began; 0 while idle
    std::atomic<bool> owesRecovery{false}; // a failure or a stall was told for this stream

    // Window thread only.
    bool overflowing = false; // dropped() said so and the queue has not drained since
    qint64 stallTold = 0;     // the busySince of the stall last told

    // The thread's own.
    AppendFile file;    // the day's file, while open
    QDate date;         // the day the open file is for
    QDate formDay;      // the day whose file's form is known
    bool other = false; // that file began with the stream's other header
    qint64 lost = 0;    // lines missing in this stream since it last wrote
    QString lostReason; // why the last of them went missing
    QString reason;     // of the last failure to open or write

    // Calls `call` with the writer object from the window thread, if it still exists.
    template <class F>
    void tell(F call)
    {
        std::lock_guard lock(mutex);
        if (receiver)
            QMetaObject::invokeMethod(
                receiver, [r = receiver, call] { call(r); }, Qt::QueuedConnection);
    }

    QString pathOf(QDate day) const
    {
        return QDir(directory).filePath(stream.prefix + day.toString(Qt::ISODate) + stream.suffix);
    }

    void closeFile() { file.close(); }

    bool fail(const QString &why)
    {
        reason = why;
        return false;
    }

    bool writeAll(const QByteArray &bytes) { return file.write(bytes) || fail(file.error()); }

    // Whether the day's file began with the stream's other header: its first line, read once a
    // day, without waiting, from a regular file only.
    bool otherForm(QDate day)
    {
        if (stream.otherHeader.isEmpty())
            return false;
        if (day == formDay)
            return other;
        formDay = day;
        other = false;
        bool regular = false;
        const auto first = regularfile::read(pathOf(day), stream.otherHeader.size(), regular);
        other = first && first->startsWith(stream.otherHeader);
        return other;
    }

    // Opens the day's file for appending: a regular file only, and without waiting.
    bool open(QDate day, bool &reopened)
    {
        reopened = false;
        if (file.isOpen() && date == day) {
            reopened = file.vanished(pathOf(date));
            if (!reopened)
                return true;
        }
        closeFile();
        if (!QDir().mkpath(directory))
            return fail(qt_error_string(errno));
        if (!file.open(pathOf(day)))
            return fail(file.error());
        date = day;
        // A file that ends in the middle of a line (a write cut short by a full disk) gets its
        // line ended before anything is added.
        bool ok = true;
        if (file.sizeAtOpen() == 0 && !stream.header.isEmpty())
            ok = writeAll(day == formDay && other ? stream.otherHeader : stream.header);
        else if (!file.endedLine())
            ok = writeAll("\n");
        if (!ok)
            closeFile();
        return ok;
    }

    void write(QDate day, const QByteArray &lines, qint64 count)
    {
        bool reopened = false;
        QByteArray bytes;
        const bool opened = open(day, reopened);
        const auto &note = otherForm(day) ? stream.otherNote : stream.note;
        if (reopened) {
            bytes += note(QDateTime::currentDateTime(),
                          QStringLiteral("*** this file was removed or replaced while in use: the lines before "
                                         "this one are not in it"));
            tell([file = pathOf(day)](LogFileWriter *r) { Q_EMIT r->reopened(file); });
        }
        if (lost > 0) {
            bytes += note(QDateTime::currentDateTime(),
                          QStringLiteral("*** %1 lines missing here: %2").arg(lost).arg(lostReason));
        }
        bytes += lines;
        if (opened && writeAll(bytes)) {
            lost = 0;
            if (owesRecovery.exchange(false))
                tell([](LogFileWriter *r) { r->channelRecovered(); });
            return;
        }
        closeFile(); // opened afresh next time
        dropped.fetch_add(quint64(count), std::memory_order_relaxed);
        lost += count;
        lostReason = reason;
        owesRecovery = true;
        tell([file = pathOf(day), why = reason](LogFileWriter *r) { r->channelFailed(file, why); });
    }

    // The thread's job: everything queued, in chunks of about ChunkBytes, each for one day.
    void drain()
    {
        std::vector<Entry> batch;
        qint64 overflow = 0;
        {
            std::lock_guard lock(mutex);
            batch.swap(queue);
            overflow = std::exchange(overflowLost, 0);
        }
        if (overflow > 0) {
            lost += overflow;
            lostReason = QStringLiteral("the disk was too slow");
        }
        if (batch.empty())
            return;
        busySince = steadyMsecs();
        QDate day;
        QByteArray lines;
        qint64 count = 0;
        qsizetype cost = 0; // of the entries in `lines`, released once they are written
        const auto flush = [&] {
            write(day, std::exchange(lines, {}), std::exchange(count, 0));
            queuedBytes.fetch_sub(std::exchange(cost, 0));
        };
        for (Entry &entry : batch) {
            QDate entryDay;
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(entry.at);
            QByteArray line = stream.format(at, entry.fields, entryDay);
            if (otherForm(entryDay))
                line = stream.otherFormat(at, entry.fields, entryDay);
            entry.fields = {}; // its text lives on in `line` only
            if (count > 0 && (entryDay != day || lines.size() + line.size() > ChunkBytes))
                flush();
            day = entryDay;
            lines += line;
            ++count;
            cost += entry.cost;
        }
        flush();
        busySince = 0;
    }
};

LogFileWriter::LogFileWriter(const QString &directory, std::vector<Stream> streams, int capacity,
                             qsizetype byteCapacity, std::chrono::milliseconds stallLimit, QObject *parent)
    : QObject(parent)
    , m_directory(directory)
    , m_stallLimit(stallLimit)
{
    for (Stream &stream : streams) {
        auto channel = std::make_shared<Channel>();
        channel->directory = directory;
        channel->stream = std::move(stream);
        channel->capacity = size_t(qMax(1, capacity));
        channel->byteCapacity = byteCapacity;
        channel->receiver = this;
        m_channels.push_back(channel);
        m_threads.push_back(std::make_unique<WriterThread>([channel] { channel->drain(); }));
    }
    m_stallWatch.setInterval(std::max<std::chrono::milliseconds>(stallLimit / 5, std::chrono::milliseconds(10)));
    connect(&m_stallWatch, &QTimer::timeout, this, &LogFileWriter::watchStalls);
    m_stallWatch.start();
}

LogFileWriter::~LogFileWriter()
{
    for (const auto &channel : m_channels) {
        std::lock_guard lock(channel->mutex);
        channel->receiver = nullptr;
    }
    // All streams write their last lines at once, within one limit.
    for (const auto &thread : m_threads)
        thread->requestStop();
    const auto until = std::chrono::steady_clock::now() + WriterThread::DefaultStopLimit;
    for (const auto &thread : m_threads) {
        thread->stop(
            std::max(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()),
                     std::chrono::milliseconds(0)));
    }
}

QString LogFileWriter::fileName(int stream, QDate date) const
{
    return m_channels[size_t(stream)]->pathOf(date);
}

QString LogFileWriter::cut(const QString &field)
{
    return ActivityLog::cut(field, MaxFieldLength);
}

void LogFileWriter::post(int stream, qint64 atMsecs, QStringList fields)
{
    Channel &channel = *m_channels[size_t(stream)];
    for (QString &field : fields) {
        if (field.size() > MaxFieldLength)
            field = cut(field);
    }
    const qsizetype cost = costOf(fields);
    bool wake = false;
    bool overflow = false;
    {
        std::lock_guard lock(channel.mutex);
        const qsizetype queued = channel.queuedBytes.load();
        if (channel.queue.size() >= channel.capacity || queued + cost > channel.byteCapacity) {
            ++channel.overflowLost;
            channel.dropped.fetch_add(1, std::memory_order_relaxed);
            overflow = !std::exchange(channel.overflowing, true);
        } else {
            wake = channel.queue.empty(); // the writer takes the whole queue each time it runs
            channel.queue.push_back({atMsecs, std::move(fields), cost});
            channel.queuedBytes.fetch_add(cost);
            if (channel.queue.size() < channel.capacity / 2 && queued < channel.byteCapacity / 2)
                channel.overflowing = false;
        }
    }
    if (wake)
        m_threads[size_t(stream)]->wake();
    if (overflow)
        QMetaObject::invokeMethod(
            this, [this] { Q_EMIT dropped(); }, Qt::QueuedConnection);
}

void LogFileWriter::channelFailed(const QString &file, const QString &reason)
{
    if (!std::exchange(m_failing, true))
        Q_EMIT failed(file, reason);
}

void LogFileWriter::channelRecovered()
{
    if (std::exchange(m_failing, false))
        Q_EMIT recovered();
}

// A write (or an open) that has been pending for stallLimit is told once as a failure.
void LogFileWriter::watchStalls()
{
    const qint64 now = steadyMsecs();
    for (const auto &channel : m_channels) {
        const qint64 since = channel->busySince;
        if (since == 0 || since == channel->stallTold || now - since < m_stallLimit.count())
            continue;
        channel->stallTold = since;
        channel->owesRecovery = true;
        channelFailed(channel->pathOf(QDate::currentDate()),
                      QStringLiteral("a write has been pending for %1 s").arg((now - since) / 1000.0));
    }
}

quint64 LogFileWriter::droppedLines() const
{
    quint64 sum = 0;
    for (const auto &channel : m_channels)
        sum += channel->dropped.load(std::memory_order_relaxed);
    return sum;
}

} // namespace vantor::app
