#include "app/monitor/markerfile.h"

#include <windows.h>

#include <io.h>

// The marker's handle was opened with delete access (lockRegularFile): the file is removed
// through it, so that no other program can take the name between the removal and the close.

namespace vantor::app::markerfile {

namespace {
HANDLE handleOf(int fd)
{
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}
} // namespace

QDateTime lastTouched(const struct stat &st)
{
    return QDateTime::fromSecsSinceEpoch(st.st_mtime);
}

bool write(int fd, const QByteArray &content, QString &why)
{
    const HANDLE file = handleOf(fd);
    LARGE_INTEGER start{};
    DWORD written = 0;
    if (::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(file)
        && ::WriteFile(file, content.constData(), DWORD(content.size()), &written, nullptr)
        && written == DWORD(content.size()))
        return true;
    why = QStringLiteral("cannot be written (error %1)").arg(::GetLastError());
    return false;
}

void touch(int fd)
{
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ::SetFileTime(handleOf(fd), nullptr, nullptr, &now);
}

void remove(const QByteArray &, int fd)
{
    FILE_DISPOSITION_INFO gone{TRUE};
    ::SetFileInformationByHandle(handleOf(fd), FileDispositionInfo, &gone, sizeof gone);
    ::_close(fd);
}

void close(int fd)
{
    ::_close(fd);
}

} // namespace vantor::app::markerfile
