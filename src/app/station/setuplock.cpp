#include "app/station/setuplock.h"

#include "app/station/setupfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>

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

SetupLock::SetupLock(const QString &setupPath)
    : m_setupPath(setupPath)
{
    const QString target = SetupFile::regularTarget(setupPath);
    m_lockPath = (target.isEmpty() ? QFileInfo(setupPath).absoluteFilePath() : target) + QStringLiteral(".lock");
    QDir().mkpath(QFileInfo(m_lockPath).absolutePath());
    const LockedFile lock = lockRegularFile(m_lockPath);
    if (lock.fd < 0) {
        m_outcome = lock.inUse ? Outcome::InUse : Outcome::Refused;
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

QString SetupLock::refusal() const
{
    switch (m_outcome) {
    case Outcome::Held: return {};
    case Outcome::InUse:
        return QStringLiteral("--restore %1: the set-up file is in use by another running program (%2 is locked)")
            .arg(m_setupPath, m_lockPath);
    case Outcome::Refused: break;
    }
    return QStringLiteral("--restore %1: the set-up file cannot be locked (%2: %3), and without the lock a second "
                          "program could save over its set-up: not started")
        .arg(m_setupPath, m_lockPath, m_reason);
}

std::unique_ptr<SetupLock> lockForStart(const QString &setupPath, RefusalBox *box)
{
    auto lock = std::make_unique<SetupLock>(setupPath);
    if (lock->outcome() == SetupLock::Outcome::Held)
        return lock;
    const QString text = lock->refusal();
    std::fprintf(stderr, "vantor-listener: %s\n", qPrintable(text));
    std::fflush(stderr);
    if (box)
        box->show(text);
    return {};
}

} // namespace vantor::app
