#include "app/station/setuplock.h"

#include "app/station/filehandles_win.h"

#include <fcntl.h>
#include <io.h>

// On Windows the lock is LockFileEx on the whole file, exclusive and failing at once when held,
// on a handle that is a C library descriptor too (LockedFile::fd), so that the callers close it
// as on Linux. The system lets the lock go when the process ends, however it ends.

namespace vantor::app {

LockedFile lockRegularFile(const QString &path)
{
    LockedFile locked;
    bool notRegular = false;
    // DELETE: the run marker removes the file through this handle.
    const HANDLE handle =
        win::openRegular(path, GENERIC_READ | GENERIC_WRITE | DELETE, OPEN_ALWAYS, locked.reason, notRegular);
    if (handle == INVALID_HANDLE_VALUE)
        return locked;
    OVERLAPPED whole{};
    if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
        const DWORD error = ::GetLastError();
        locked.inUse = error == ERROR_LOCK_VIOLATION;
        locked.reason = win::errorText(error);
        ::CloseHandle(handle);
        return locked;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0 || ::fstat(fd, &locked.st) != 0) {
        locked.reason = QStringLiteral("no descriptor for the file");
        if (fd >= 0)
            ::_close(fd);
        else
            ::CloseHandle(handle);
        return locked;
    }
    locked.fd = fd;
    return locked;
}

SetupLock::~SetupLock()
{
    if (m_fd >= 0)
        ::_close(m_fd);
}

} // namespace vantor::app
