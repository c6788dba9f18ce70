#include "app/monitor/markerfile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace vantor::app::markerfile {

QDateTime lastTouched(const struct stat &st)
{
    return QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec);
}

bool write(int fd, const QByteArray &content, QString &why)
{
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, content.constData(), size_t(content.size()), 0) != content.size()) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

void touch(int fd)
{
    ::futimens(fd, nullptr);
}

void remove(const QByteArray &path, int fd)
{
    ::unlink(path.constData());
    ::close(fd);
}

void close(int fd)
{
    ::close(fd);
}

} // namespace vantor::app::markerfile
