#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The set-up file's dealings with the file system, one file per system beside this one
// (regularfile_linux.cpp, regularfile_win.cpp): only a regular file is ever read or replaced,
// and nothing waits for a writer (a FIFO), a device or a terminal. Any thread.
namespace vantor::app::regularfile {

// True when nothing is at path (a dangling symbolic link counts as nothing), so that a new
// file may be made there.
bool missing(const QString &path);

// The regular file that a save of path replaces: the path itself, or on Linux the target of
// the symbolic link it is. Empty when something else is there (a directory, a device, a FIFO;
// on Windows also a device name such as NUL or COM1, and any reparse point).
QString saveTarget(const QString &path);

// Reads at most limit + 1 bytes of the regular file at path; nothing of anything else, and
// then regular is false. Nothing either when the file cannot be opened or read.
std::optional<QByteArray> read(const QString &path, qint64 limit, bool &regular);

// Makes a file renamed into directory durable, as far as the system lets a program do that.
void syncFolder(const QString &directory);

} // namespace vantor::app::regularfile
