#include "app/station/setuplock.h"

#include "app/station/setupfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantor::app {

LockedFile lockRegularFile(const QString &path)
{
    LockedFile locked;
    // Never waits for a FIFO, never follows a link, and takes nothing but a regular file.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        locked.reason = qt_error_string(errno);
        return locked;
    }
    if (::fstat(fd, &locked.st) != 0 || !S_ISREG(locked.st.st_mode)) {
        locked.reason = QStringLiteral("not a regular file");
        ::close(fd);
        return locked;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        locked.inUse = errno == EWOULDBLOCK;
        locked.reason = qt_error_string(errno);
        ::close(fd);
        return locked;
    }
    locked.fd = fd;
    return locked;
}

SetupLock::SetupLock(const QString &setupPath)
{
    const QString target = SetupFile::regularTarget(setupPath);
    m_lockPath = (target.isEmpty() ? QFileInfo(setupPath).absoluteFilePath() : target) + QStringLiteral(".lock");
    QDir().mkpath(QFileInfo(m_lockPath).absolutePath());
    const LockedFile lock = lockRegularFile(m_lockPath);
    if (lock.fd < 0) {
        m_outcome = lock.inUse ? Outcome::InUse : Outcome::Skipped;
        m_reason = lock.reason;
        return;
    }
    m_fd = lock.fd;
    m_outcome = Outcome::Held;
}

SetupLock::~SetupLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace vantor::app
