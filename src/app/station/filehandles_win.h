#pragma once

#include <QString>

#include <windows.h>

#include <string>

// What the station's files on Windows share: a name is checked before anything is opened (a
// device name opens the device: COM1 would raise the port's control lines), a reparse point
// is never followed, and what was opened is checked to be a regular file on a disk.
namespace vantor::app::win {

// Why path names a device rather than a file: a reserved name as its last part (NUL, CON,
// PRN, AUX, COM0 to COM9, LPT0 to LPT9, CONIN$, CONOUT$, with any extension, in any folder) or
// a path in a device namespace (\\.\, \\?\ except \\?\C:\ and \\?\UNC\). Empty for a file name.
QString deviceNameReason(const QString &path);

// The path in the form the system's calls take.
std::wstring nativePath(const QString &path);

// The system's text for an error code.
QString errorText(DWORD error);

// Whether an open handle is a regular file: on a disk, neither a directory nor a reparse point.
bool isRegularFile(HANDLE handle);

// Opens the regular file at path with access and disposition (OPEN_EXISTING, OPEN_ALWAYS),
// shared for reading, writing and deleting, without following a reparse point and without
// opening a device. INVALID_HANDLE_VALUE when it cannot, with why set, and notRegular true
// when something else than a regular file is there (a device name included).
HANDLE openRegular(const QString &path, DWORD access, DWORD disposition, QString &why, bool &notRegular);

} // namespace vantor::app::win
