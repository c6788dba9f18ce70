#pragma once

#include <QByteArray>
#include <QString>

namespace vantor::app {

// A daily log file open for appending, one file per system beside this one (appendfile_linux.cpp,
// appendfile_win.cpp). Only a regular file is opened (on Linux a link to one too), without
// waiting: a FIFO, a device, a directory (on Windows also a device name such as NUL or COM1,
// and any reparse point) is refused at once, and nothing is ever truncated. Owned by one
// writer thread.
class AppendFile
{
public:
    AppendFile() = default;
    ~AppendFile() { close(); }
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    // Opens path for appending, made when missing. False, with error() saying why, when it
    // cannot be opened or is no regular file.
    bool open(const QString &path);
    void close();
    bool isOpen() const { return m_handle != -1; }

    // The file's size when it was opened, and whether it then ended in a line end (an empty
    // file does); a write cut short by a full disk leaves it in the middle of a line.
    qint64 sizeAtOpen() const { return m_sizeAtOpen; }
    bool endedLine() const { return m_endedLine; }

    // Appends all of bytes. False, with error() saying why, when not all could be written.
    bool write(const QByteArray &bytes);

    // The open file is no longer the one at path: removed (with its folder, perhaps) or replaced.
    bool vanished(const QString &path) const;

    QString error() const { return m_error; }

private:
    bool fail(const QString &why);

    long long m_handle = -1;         // a descriptor on Linux, a HANDLE on Windows; -1 when closed
    unsigned long long m_volume = 0; // the open file's device (volume), to see it replaced
    unsigned long long m_file = 0;   // and its inode (file index)
    qint64 m_sizeAtOpen = 0;
    bool m_endedLine = true;
    QString m_error; // why the last open or write failed
};

} // namespace vantor::app
