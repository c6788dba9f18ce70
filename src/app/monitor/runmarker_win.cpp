#include "app/monitor/runmarker.h"

#include "app/station/backgroundthread.h"
#include "app/station/setuplock.h"

#include <QCoreApplication>

#include <windows.h>

#include <io.h>

// On Windows the marker is held through the handle lockRegularFile opened (LockFileEx), which
// was opened with delete access: the clean close removes the file through it, so that no other
// program can take the name between the removal and the close.

namespace vantor::app {

namespace {
constexpr auto TouchEvery = std::chrono::seconds(1);

HANDLE handleOf(int fd)
{
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

bool replaceContent(HANDLE file, const QByteArray &content)
{
    LARGE_INTEGER start{};
    DWORD written = 0;
    return ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(file)
        && ::WriteFile(file, content.constData(), DWORD(content.size()), &written, nullptr)
        && written == DWORD(content.size());
}
} // namespace

RunMarker::RunMarker(const QString &path)
    : m_path(path)
{
    const LockedFile lock = lockRegularFile(path);
    if (lock.fd < 0) {
        m_problem = lock.inUse ? QStringLiteral("in use by another running program") : lock.reason;
        return;
    }
    // A marker with content that nobody holds is a dead run's; one made just now is empty.
    if (lock.st.st_size > 0)
        m_previousEnd = QDateTime::fromSecsSinceEpoch(lock.st.st_mtime);
    const QByteArray content = QStringLiteral("vantor-listener running, pid %1, since %2\n")
                                   .arg(QCoreApplication::applicationPid())
                                   .arg(QDateTime::currentDateTime().toString(Qt::ISODate))
                                   .toUtf8();
    if (!replaceContent(handleOf(lock.fd), content)) {
        m_problem = QStringLiteral("cannot be written (error %1)").arg(::GetLastError());
        ::_close(lock.fd);
        return;
    }
    m_fd = lock.fd;
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
    FILE_DISPOSITION_INFO remove{TRUE};
    ::SetFileInformationByHandle(handleOf(m_fd), FileDispositionInfo, &remove, sizeof remove);
    ::_close(m_fd);
}

void RunMarker::touchLoop()
{
    becomeBackgroundThread("run marker");
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, TouchEvery, [this] { return m_stop; })) {
        FILETIME now{};
        ::GetSystemTimeAsFileTime(&now);
        ::SetFileTime(handleOf(m_fd), nullptr, nullptr, &now);
    }
}

QString RunMarker::startedAgainLine(const QDateTime &end, const QDateTime &now)
{
    const QString at = end.date() == now.date() ? end.toString(QStringLiteral("HH:mm:ss"))
                                                : end.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return QStringLiteral("Started again: the previous run ended at %1 without closing").arg(at);
}

} // namespace vantor::app
