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

SetupLock::SetupLock(const QString &setupPath)
{
    const QString target = SetupFile::regularTarget(setupPath);
    m_lockPath = (target.isEmpty() ? QFileInfo(setupPath).absoluteFilePath() : target) + QStringLiteral(".lock");
    QDir().mkpath(QFileInfo(m_lockPath).absolutePath());
    // Never waits for a FIFO, never follows a link, and takes nothing but a regular file.
    const int fd = ::open(QFile::encodeName(m_lockPath).constData(),
                          O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_reason = qt_error_string(errno);
        return;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_reason = QStringLiteral("not a regular file");
        ::close(fd);
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_outcome = errno == EWOULDBLOCK ? Outcome::InUse : Outcome::Skipped;
        m_reason = qt_error_string(errno);
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_outcome = Outcome::Held;
}

SetupLock::~SetupLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace vantor::app
