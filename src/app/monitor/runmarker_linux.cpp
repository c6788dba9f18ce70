#include "app/monitor/runmarker.h"

#include "app/station/setuplock.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantor::app {

namespace {
constexpr auto TouchEvery = std::chrono::seconds(1);
} // namespace

RunMarker::RunMarker(const QString &path)
    : m_path(path)
{
    const LockedFile lock = lockRegularFile(path);
    if (lock.fd < 0) {
        m_problem = lock.inUse ? QStringLiteral("in use by another running program") : lock.reason;
        return;
    }
    const int fd = lock.fd;
    const struct stat &st = lock.st;
    // A marker with content that nobody holds is a dead run's; one made just now is empty.
    if (st.st_size > 0)
        m_previousEnd = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec);
    const QByteArray content = QStringLiteral("vantor-listener running, pid %1, since %2\n")
                                   .arg(::getpid())
                                   .arg(QDateTime::currentDateTime().toString(Qt::ISODate))
                                   .toUtf8();
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, content.constData(), size_t(content.size()), 0) != content.size()) {
        m_problem = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_toucher = std::thread([this] { touchLoop(); });
}

RunMarker::~RunMarker()
{
    if (m_fd < 0)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_toucher.join();
    ::unlink(m_path.toLocal8Bit().constData());
    ::close(m_fd);
}

void RunMarker::touchLoop()
{
    pthread_setname_np(pthread_self(), "run marker");
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, TouchEvery, [this] { return m_stop; }))
        ::futimens(m_fd, nullptr);
}

QString RunMarker::startedAgainLine(const QDateTime &end, const QDateTime &now)
{
    const QString at = end.date() == now.date() ? end.toString(QStringLiteral("HH:mm:ss"))
                                                : end.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return QStringLiteral("Started again: the previous run ended at %1 without closing").arg(at);
}

} // namespace vantor::app
