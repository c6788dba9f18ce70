#include "app/station/logfilewriter.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace vantor::app {

namespace {
struct Entry
{
    int stream = 0;
    qint64 at = 0; // msecs since the epoch
    QStringList fields;
};
} // namespace

struct LogFileWriter::Shared
{
    // Set once before the thread starts.
    QString directory;
    std::vector<Stream> streams;
    size_t capacity = 0;

    std::mutex mutex;
    std::vector<Entry> queue;          // guarded by mutex
    std::vector<qint64> overflowLost;  // per stream: lines the full queue turned away; guarded by mutex
    LogFileWriter *receiver = nullptr; // guarded by mutex; null once the writer object is gone
    std::atomic<quint64> dropped{0};   // lines dropped so far, for any reason; any thread

    // The writer thread's own.
    struct File
    {
        QFile file;
        QDate date;         // the day the open file is for
        qint64 lost = 0;    // lines missing in this stream since it last wrote
        QString lostReason; // why the last of them went missing
        bool failed = false;
    };
    std::vector<std::unique_ptr<File>> files;
    int failedFiles = 0;
    QString reason; // of the last failure to open or write

    // Emits a signal of the writer object from the window thread, if it still exists.
    template <class F>
    void tell(F signal)
    {
        std::lock_guard lock(mutex);
        if (receiver)
            QMetaObject::invokeMethod(
                receiver, [r = receiver, signal] { signal(r); }, Qt::QueuedConnection);
    }

    QString pathOf(int stream, QDate date) const
    {
        return QDir(directory).filePath(streams[size_t(stream)].prefix + date.toString(Qt::ISODate)
                                        + streams[size_t(stream)].suffix);
    }

    bool writeAll(QFile &file, const QByteArray &bytes)
    {
        if (file.write(bytes) == bytes.size())
            return true;
        reason = file.errorString();
        return false;
    }

    // A file that ends in the middle of a line (a write cut short by a full disk) gets its line
    // ended before anything is added.
    static bool endsInsideLine(const QString &path, qint64 size)
    {
        QFile reader(path);
        char last = '\n';
        return size > 0 && reader.open(QIODevice::ReadOnly) && !reader.isSequential() && reader.seek(size - 1)
            && reader.getChar(&last) && last != '\n';
    }

    bool open(int stream, QDate date)
    {
        File &f = *files[size_t(stream)];
        if (f.file.isOpen() && f.date == date)
            return true;
        f.file.close();
        if (!QDir().mkpath(directory)) {
            reason = qt_error_string(errno);
            return false;
        }
        f.file.setFileName(pathOf(stream, date));
        if (!f.file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            reason = f.file.errorString();
            return false;
        }
        f.date = date;
        const qint64 size = f.file.size();
        const QByteArray &header = streams[size_t(stream)].header;
        bool ok = true;
        if (size == 0 && !header.isEmpty())
            ok = writeAll(f.file, header);
        else if (endsInsideLine(f.file.fileName(), size))
            ok = writeAll(f.file, "\n");
        if (!ok)
            f.file.close();
        return ok;
    }

    void write(int stream, QDate date, const QByteArray &lines, qint64 count)
    {
        File &f = *files[size_t(stream)];
        QByteArray bytes;
        if (f.lost > 0) {
            bytes = streams[size_t(stream)].note(
                QDateTime::currentDateTime(),
                QStringLiteral("*** %1 lines missing here: %2").arg(f.lost).arg(f.lostReason));
        }
        bytes += lines;
        if (open(stream, date) && writeAll(f.file, bytes)) {
            f.lost = 0;
            if (std::exchange(f.failed, false) && --failedFiles == 0)
                tell([](LogFileWriter *r) { Q_EMIT r->recovered(); });
            return;
        }
        f.file.close(); // opened afresh next time
        dropped.fetch_add(quint64(count), std::memory_order_relaxed);
        f.lost += count;
        f.lostReason = reason;
        if (!std::exchange(f.failed, true) && failedFiles++ == 0) {
            tell([file = pathOf(stream, date), why = reason](LogFileWriter *r) { Q_EMIT r->failed(file, why); });
        }
    }

    // The writer thread's job: everything queued, each run of lines for the same file in one write.
    void drain()
    {
        std::vector<Entry> batch;
        std::vector<qint64> overflow(streams.size(), 0);
        {
            std::lock_guard lock(mutex);
            batch.swap(queue);
            overflow.swap(overflowLost);
            overflowLost.assign(streams.size(), 0);
        }
        for (size_t s = 0; s < streams.size(); ++s) {
            if (overflow[s] > 0) {
                files[s]->lost += overflow[s];
                files[s]->lostReason = QStringLiteral("the disk was too slow");
            }
        }
        int stream = -1;
        QDate day;
        QByteArray lines;
        qint64 count = 0;
        for (const Entry &entry : batch) {
            QDate entryDay;
            const QByteArray line =
                streams[size_t(entry.stream)].format(QDateTime::fromMSecsSinceEpoch(entry.at), entry.fields, entryDay);
            if ((entry.stream != stream || entryDay != day) && count > 0)
                write(stream, day, std::exchange(lines, {}), std::exchange(count, 0));
            stream = entry.stream;
            day = entryDay;
            lines += line;
            ++count;
        }
        if (count > 0)
            write(stream, day, lines, count);
    }
};

LogFileWriter::LogFileWriter(const QString &directory, std::vector<Stream> streams, int capacity, QObject *parent)
    : QObject(parent)
    , m_directory(directory)
    , m_shared(std::make_shared<Shared>())
    , m_thread([shared = m_shared] { shared->drain(); })
{
    // The thread runs its job only when woken, so the shared part may be filled in here.
    std::lock_guard lock(m_shared->mutex);
    m_shared->directory = directory;
    m_shared->capacity = size_t(qMax(1, capacity));
    m_shared->overflowLost.assign(streams.size(), 0);
    for (size_t i = 0; i < streams.size(); ++i)
        m_shared->files.push_back(std::make_unique<Shared::File>());
    m_shared->streams = std::move(streams);
    m_shared->receiver = this;
}

LogFileWriter::~LogFileWriter()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->receiver = nullptr;
}

QString LogFileWriter::fileName(int stream, QDate date) const
{
    return m_shared->pathOf(stream, date);
}

void LogFileWriter::post(int stream, qint64 atMsecs, QStringList fields)
{
    bool wake = false;
    bool overflow = false;
    {
        std::lock_guard lock(m_shared->mutex);
        auto &queue = m_shared->queue;
        if (queue.size() >= m_shared->capacity) {
            ++m_shared->overflowLost[size_t(stream)];
            m_shared->dropped.fetch_add(1, std::memory_order_relaxed);
            overflow = !std::exchange(m_overflowing, true);
        } else {
            wake = queue.empty(); // the writer takes the whole queue each time it runs
            queue.push_back({stream, atMsecs, std::move(fields)});
            if (queue.size() < m_shared->capacity / 2)
                m_overflowing = false;
        }
    }
    if (wake)
        m_thread.wake();
    if (overflow)
        QMetaObject::invokeMethod(
            this, [this] { Q_EMIT dropped(); }, Qt::QueuedConnection);
}

quint64 LogFileWriter::droppedLines() const
{
    return m_shared->dropped.load(std::memory_order_relaxed);
}

} // namespace vantor::app
