#include "app/station/regularfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantor::app::regularfile {

namespace {
// Opens a path for reading without waiting for a writer (a FIFO) or a device: the caller
// checks with fstat what was opened before reading anything.
int openWithoutWaiting(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}
} // namespace

bool missing(const QString &path)
{
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

QString saveTarget(const QString &path)
{
    const QFileInfo info(path);
    QString target = info.absoluteFilePath();
    if (info.isSymLink())
        target = info.exists() ? info.canonicalFilePath() : info.symLinkTarget();
    struct stat st = {};
    if (::stat(QFile::encodeName(target).constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return {};
    return target;
}

std::optional<QByteArray> read(const QString &path, qint64 limit, bool &regular)
{
    regular = true;
    const int fd = openWithoutWaiting(path);
    if (fd < 0)
        return std::nullopt;
    struct stat st = {};
    std::optional<QByteArray> bytes;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        regular = false;
    } else {
        QFile file;
        if (file.open(fd, QIODevice::ReadOnly))
            bytes = file.read(limit + 1);
    }
    ::close(fd);
    return bytes;
}

void syncFolder(const QString &directory)
{
    const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace vantor::app::regularfile
