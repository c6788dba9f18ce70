#include "app/station/appendfile.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantor::app {

bool AppendFile::fail(const QString &why)
{
    m_error = why;
    return false;
}

bool AppendFile::open(const QString &path)
{
    close();
    const QByteArray native = QFile::encodeName(path);
    struct stat st = {};
    if (::stat(native.constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return fail(QStringLiteral("not a regular file"));
    const int fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(qt_error_string(errno));
    // Checked again on what was opened: something may have been put there meanwhile.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("not a regular file"));
    }
    m_handle = fd;
    m_volume = st.st_dev;
    m_file = st.st_ino;
    m_sizeAtOpen = st.st_size;
    char last = '\n';
    m_endedLine = st.st_size == 0 || ::pread(fd, &last, 1, st.st_size - 1) != 1 || last == '\n';
    return true;
}

void AppendFile::close()
{
    if (m_handle >= 0)
        ::close(int(m_handle));
    m_handle = -1;
}

bool AppendFile::write(const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(int(m_handle), bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(n < 0 ? qt_error_string(errno) : QStringLiteral("nothing written"));
        done += n;
    }
    return true;
}

bool AppendFile::vanished(const QString &path) const
{
    struct stat open = {};
    struct stat named = {};
    return ::fstat(int(m_handle), &open) != 0 || open.st_nlink == 0
        || ::stat(QFile::encodeName(path).constData(), &named) != 0 || named.st_dev != m_volume
        || named.st_ino != m_file;
}

} // namespace vantor::app
