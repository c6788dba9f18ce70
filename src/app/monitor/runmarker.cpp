#include "app/monitor/runmarker.h"

#include "app/monitor/markerfile.h"
#include "app/station/setuplock.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>

namespace vantor::app {

namespace {
constexpr auto TouchEvery = std::chrono::seconds(1);
} // namespace

// The marker kept: the thread's own once it runs; it lives as long as the thread, which may
// outlive the RunMarker when stuck.
struct RunMarker::Kept
{
    QByteArray path;
    int fd = -1; // the marker, locked; -1 once removed
    Touch touch;
    std::atomic<bool> ending{false}; // set by the owner: the next run removes the marker

    void run()
    {
        if (fd < 0)
            return;
        if (!ending.load()) {
            touch(fd);
            return;
        }
        markerfile::remove(path, fd);
        fd = -1;
    }
};

RunMarker::RunMarker(const QString &path, Touch touch)
{
    const LockedFile lock = lockRegularFile(path);
    if (lock.fd < 0) {
        m_problem = lock.inUse ? QStringLiteral("in use by another running program") : lock.reason;
        return;
    }
    const int fd = lock.fd;
    // A marker with content that nobody holds is a dead run's; one made just now is empty.
    if (lock.st.st_size > 0)
        m_previousEnd = markerfile::lastTouched(lock.st);
    const QByteArray content = QStringLiteral("vantor-listener running, pid %1, since %2\n")
                                   .arg(QCoreApplication::applicationPid())
                                   .arg(QDateTime::currentDateTime().toString(Qt::ISODate))
                                   .toUtf8();
    if (!markerfile::write(fd, content, m_problem)) {
        markerfile::close(fd);
        return;
    }
    m_kept = std::make_shared<Kept>();
    m_kept->path = QFile::encodeName(path);
    m_kept->fd = fd;
    m_kept->touch = touch ? std::move(touch) : Touch(&markerfile::touch);
    m_thread = std::make_unique<WriterThread>([kept = m_kept] { kept->run(); }, "run marker", TouchEvery);
}

RunMarker::~RunMarker()
{
    if (!m_thread)
        return;
    m_kept->ending = true;
    m_thread->stop(); // at most WriterThread::DefaultStopLimit
}

QString RunMarker::startedAgainLine(const QDateTime &end, const QDateTime &now)
{
    const QString at = end.date() == now.date() ? end.toString(QStringLiteral("HH:mm:ss"))
                                                : end.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return QStringLiteral("Started again: the previous run ended at %1 without closing").arg(at);
}

} // namespace vantor::app
