#pragma once

#include <QString>

#include <memory>

#include <sys/stat.h>

namespace vantor::app {

// A regular file opened for reading and writing (made when missing) and locked (flock,
// exclusive), without ever waiting: a link, a FIFO, a folder or a device in its place is
// refused (and left as it is), and a lock that another process holds is not waited for.
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
        Refused // no lock can be taken (something else than a regular file at FILE.lock, a
                // folder that cannot be written, ...)
    };

    explicit SetupLock(const QString &setupPath);
    ~SetupLock();
    SetupLock(const SetupLock &) = delete;
    SetupLock &operator=(const SetupLock &) = delete;

    Outcome outcome() const { return m_outcome; }
    QString lockPath() const { return m_lockPath; }
    // Why a program started on this set-up file does not run; empty while the lock is held.
    QString refusal() const;

private:
    QString m_setupPath;
    QString m_lockPath;
    QString m_reason; // why the lock was Refused
    Outcome m_outcome = Outcome::Refused;
    int m_fd = -1; // open while Held
};

// Where a refused start is shown besides standard error: an operator who started the program
// from the desktop never sees standard error (the journal does). The program shows a modal
// box; tests record the text.
class RefusalBox
{
public:
    virtual ~RefusalBox() = default;
    virtual void show(const QString &text) = 0;
};

// The start with --restore FILE: the lock on FILE, held. Or, when no lock is held, none: the
// reason went to standard error and to `box` (null when nobody watches a display), and the
// program ends with status 2 without touching the set-up file.
std::unique_ptr<SetupLock> lockForStart(const QString &setupPath, RefusalBox *box);

} // namespace vantor::app
