#include "app/station/appendfile.h"

#include "app/station/filehandles_win.h"

namespace vantor::app {

namespace {
HANDLE handleOf(long long value)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}
} // namespace

bool AppendFile::fail(const QString &why)
{
    m_error = why;
    return false;
}

bool AppendFile::open(const QString &path)
{
    close();
    QString why;
    bool notRegular = false;
    // Append access only (no FILE_WRITE_DATA): every write goes to the end of the file, as with
    // O_APPEND, whoever else writes to it.
    const HANDLE handle =
        win::openRegular(path, FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES, OPEN_ALWAYS, why, notRegular);
    if (handle == INVALID_HANDLE_VALUE)
        return fail(why);
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (!::GetFileInformationByHandle(handle, &info) || !::GetFileSizeEx(handle, &size)) {
        const QString error = win::errorText(::GetLastError());
        ::CloseHandle(handle);
        return fail(error);
    }
    m_handle = static_cast<long long>(reinterpret_cast<intptr_t>(handle));
    m_volume = info.dwVolumeSerialNumber;
    m_file = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    m_sizeAtOpen = size.QuadPart;
    m_endedLine = true;
    if (m_sizeAtOpen > 0) {
        char last = '\n';
        DWORD n = 0;
        OVERLAPPED at{};
        at.Offset = DWORD(quint64(m_sizeAtOpen - 1));
        at.OffsetHigh = DWORD(quint64(m_sizeAtOpen - 1) >> 32);
        m_endedLine = !::ReadFile(handle, &last, 1, &n, &at) || n != 1 || last == '\n';
    }
    return true;
}

void AppendFile::close()
{
    if (m_handle != -1)
        ::CloseHandle(handleOf(m_handle));
    m_handle = -1;
}

bool AppendFile::write(const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        DWORD n = 0;
        const DWORD chunk = DWORD(std::min<qsizetype>(bytes.size() - done, qsizetype(1) << 30));
        if (!::WriteFile(handleOf(m_handle), bytes.constData() + done, chunk, &n, nullptr))
            return fail(win::errorText(::GetLastError()));
        if (n == 0)
            return fail(QStringLiteral("nothing written"));
        done += n;
    }
    return true;
}

bool AppendFile::vanished(const QString &path) const
{
    // Removed: older Windows marks the file delete-pending while this handle holds it; Windows 10
    // takes its name away at once, and the path no longer opens below.
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(handleOf(m_handle), FileStandardInfo, &standard, sizeof standard)
        || standard.DeletePending)
        return true;
    const HANDLE named = ::CreateFileW(win::nativePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return true;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool same = ::GetFileInformationByHandle(named, &info) && info.dwVolumeSerialNumber == m_volume
        && ((quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow) == m_file;
    ::CloseHandle(named);
    return !same;
}

} // namespace vantor::app
