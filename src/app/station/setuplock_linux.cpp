#include "app/station/setuplock.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantor::app {

namespace {
QString notRegular(mode_t mode)
{
    const QString what = S_ISLNK(mode) ? QStringLiteral(": a symbolic link")
        : S_ISDIR(mode)                ? QStringLiteral(": a folder")
        : S_ISFIFO(mode)               ? QStringLiteral(": a FIFO")
                                       : QString();
    return QStringLiteral("not a regular file") + what;
}
} // namespace

LockedFile lockRegularFile(const QString &path)
{
    LockedFile locked;
    const QByteArray name = QFile::encodeName(path);
    // Never waits for a FIFO, never follows a link, and takes nothing but a regular file.
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        struct stat there = {};
        const bool other = ::lstat(name.constData(), &there) == 0 && !S_ISREG(there.st_mode);
        locked.reason = other ? notRegular(there.st_mode) : qt_error_string(error);
        return locked;
    }
    if (::fstat(fd, &locked.st) != 0 || !S_ISREG(locked.st.st_mode)) {
        locked.reason = notRegular(locked.st.st_mode);
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

SetupLock::~SetupLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace vantor::app
