#pragma once

#include <QString>

#include <sys/stat.h>

namespace vantor::app {

// A regular file opened for reading and writing (made when missing) and locked (flock,
// exclusive), without ever waiting: a link, a FIFO or a device in its place is refused, and a
// lock that another process holds is not waited for.
struct LockedFile
{
    int fd = -1;         // open and locked, the caller's to close; -1 when not
    bool inUse = false;  // another process holds the lock
    QString reason;      // why fd is -1
    struct stat st = {}; // the file, while fd is open
};
LockedFile lockRegularFile(const QString &path);

// Keeps a second program from working on the same set-up file: an exclusive lock (flock) on
// FILE.lock beside the file (beside the target of a link, so that every name of one file
// shares one lock), held as long as this object lives. The lock file is left in place; the
// kernel lets the lock go when the process ends, however it ends.
class SetupLock
{
public:
    enum class Outcome {
        Held,   // this program holds the lock
        InUse,  // another process holds it
        Skipped // no lock could be made (the folder cannot be written, ...): the program runs
    };

    explicit SetupLock(const QString &setupPath);
    ~SetupLock();
    SetupLock(const SetupLock &) = delete;
    SetupLock &operator=(const SetupLock &) = delete;

    Outcome outcome() const { return m_outcome; }
    QString lockPath() const { return m_lockPath; }
    QString reason() const { return m_reason; } // why the lock was Skipped

private:
    QString m_lockPath;
    QString m_reason;
    Outcome m_outcome = Outcome::Skipped;
    int m_fd = -1; // open while Held
};

} // namespace vantor::app
