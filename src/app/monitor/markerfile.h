#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <sys/stat.h>

// What the run marker asks of the file system, one file per system beside this one
// (markerfile_linux.cpp, markerfile_win.cpp). The marker is a file lockRegularFile() opened and
// locked: fd is its C library descriptor.
namespace vantor::app::markerfile {

// When the file was last written or touched, as lockRegularFile() found it.
QDateTime lastTouched(const struct stat &st);
// Replaces the file's content. False, with why set, when it could not.
bool write(int fd, const QByteArray &content, QString &why);
// Sets the file's time to now.
void touch(int fd);
// Removes the file at path and closes fd, so that no other program takes the name between the
// two while this one still holds the lock.
void remove(const QByteArray &path, int fd);
// Closes fd without removing the file.
void close(int fd);

} // namespace vantor::app::markerfile
