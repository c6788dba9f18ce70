#include "app/station/filehandles_win.h"

#include <QDir>
#include <QStringList>

namespace vantor::app::win {

namespace {

bool isDeviceNamespace(const QString &native)
{
    if (native.startsWith(QLatin1String("\\\\.\\")))
        return true;
    if (!native.startsWith(QLatin1String("\\\\?\\")))
        return false;
    // \\?\C:\... and \\?\UNC\server\share\... are files; \\?\GLOBALROOT\Device\... and the like
    // are not.
    const QString rest = native.mid(4);
    const bool drive =
        rest.size() >= 3 && rest.at(0).isLetter() && rest.at(1) == QLatin1Char(':') && rest.at(2) == QLatin1Char('\\');
    return !drive && !rest.startsWith(QLatin1String("UNC\\"), Qt::CaseInsensitive);
}

bool isReservedName(QString name)
{
    // The system ignores what follows the first dot and trailing spaces and colons: "nul.txt",
    // "NUL " and "com1:" name devices as well.
    name = name.section(QLatin1Char('.'), 0, 0);
    while (name.endsWith(QLatin1Char(' ')) || name.endsWith(QLatin1Char(':')))
        name.chop(1);
    name = name.toUpper();
    static const QStringList fixed{QStringLiteral("CON"),   QStringLiteral("PRN"),    QStringLiteral("AUX"),
                                   QStringLiteral("NUL"),   QStringLiteral("CONIN$"), QStringLiteral("CONOUT$"),
                                   QStringLiteral("CLOCK$")};
    if (fixed.contains(name))
        return true;
    if (name.size() != 4 || !(name.startsWith(QLatin1String("COM")) || name.startsWith(QLatin1String("LPT"))))
        return false;
    // COM0 to COM9 and LPT0 to LPT9, and the superscript digits one to three the system also takes.
    const QChar digit = name.at(3);
    return (digit >= QLatin1Char('0') && digit <= QLatin1Char('9')) || digit == QChar(0x00B9) || digit == QChar(0x00B2)
        || digit == QChar(0x00B3);
}

} // namespace

QString deviceNameReason(const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    if (isDeviceNamespace(native))
        return QStringLiteral("a device path, not a file");
    QString last = native.section(QLatin1Char('\\'), -1);
    if (last.size() >= 2 && last.at(1) == QLatin1Char(':') && last.at(0).isLetter())
        last = last.mid(2); // "C:nul" is NUL too
    if (isReservedName(last))
        return QStringLiteral("a device name, not a file");
    return {};
}

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QString errorText(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString out = n > 0 ? QString::fromWCharArray(text, int(n)).trimmed() : QStringLiteral("error %1").arg(error);
    ::LocalFree(text);
    if (out.endsWith(QLatin1Char('.')))
        out.chop(1);
    return out;
}

bool isRegularFile(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileType(handle) == FILE_TYPE_DISK && ::GetFileInformationByHandle(handle, &info)
        && !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

HANDLE openRegular(const QString &path, DWORD access, DWORD disposition, QString &why, bool &notRegular)
{
    why = deviceNameReason(path);
    notRegular = !why.isEmpty();
    if (notRegular)
        return INVALID_HANDLE_VALUE;
    const std::wstring native = nativePath(path);
    const DWORD attributes = ::GetFileAttributesW(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES
        && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) {
        why = QStringLiteral("not a regular file");
        notRegular = true;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle =
        ::CreateFileW(native.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        why = errorText(::GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    // Checked again on what was opened: something may have been put there meanwhile.
    if (!isRegularFile(handle)) {
        ::CloseHandle(handle);
        why = QStringLiteral("not a regular file");
        notRegular = true;
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

} // namespace vantor::app::win
