#include "app/station/regularfile.h"

#include "app/station/filehandles_win.h"

#include <QFileInfo>

namespace vantor::app::regularfile {

bool missing(const QString &path)
{
    if (!win::deviceNameReason(path).isEmpty())
        return false;
    if (::GetFileAttributesW(win::nativePath(path).c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

QString saveTarget(const QString &path)
{
    if (!win::deviceNameReason(path).isEmpty())
        return {};
    const QString target = QFileInfo(path).absoluteFilePath();
    const DWORD attributes = ::GetFileAttributesW(win::nativePath(target).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return missing(target) ? target : QString(); // a pipe has no attributes to read
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return {};
    return target;
}

std::optional<QByteArray> read(const QString &path, qint64 limit, bool &regular)
{
    QString why;
    bool notRegular = false;
    const HANDLE handle = win::openRegular(path, GENERIC_READ, OPEN_EXISTING, why, notRegular);
    regular = !notRegular;
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    QByteArray bytes(qsizetype(limit + 1), Qt::Uninitialized);
    qint64 done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!::ReadFile(handle, bytes.data() + done, DWORD(bytes.size() - done), &n, nullptr)) {
            ::CloseHandle(handle);
            return std::nullopt;
        }
        if (n == 0)
            break;
        done += n;
    }
    ::CloseHandle(handle);
    bytes.truncate(qsizetype(done));
    return bytes;
}

void syncFolder(const QString &)
{
    // Windows has no call that flushes a folder: NTFS journals the rename itself.
}

} // namespace vantor::app::regularfile
