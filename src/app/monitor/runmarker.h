#pragma once

#include "app/station/writerthread.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace vantor::app {

// A small file that says "this station's program runs": made at start, touched every second
// while the program lives, removed at a clean end (the window closed, or SIGTERM or SIGINT).
// Finding it at start, with no live program holding it, means the previous run ended without
// closing (a fault, a kill, a power cut), and its time of last touch says when, to the second.
//
// The running program holds an advisory lock (flock; LockFileEx on Windows) on the marker, so
// that a second program started on the same set-up does not take the first one's marker for a
// dead run's.
//
// Made on the window thread at start; touched and removed by a thread of its own ("run
// marker"), so no disk ever holds up the window thread afterwards, and the end waits for a
// hung folder a bounded time, as the file writers do.
class RunMarker
{
public:
    // Sets the marker's time to now; tests give one that hangs, as a hung folder would.
    using Touch = std::function<void(int fd)>;

    // Takes the marker at path: previousEnd() tells whether a dead run left one behind.
    explicit RunMarker(const QString &path, Touch touch = {});
    // A clean end: the marker goes, and the next start is no restart. Waits for that at most
    // WriterThread::DefaultStopLimit; a thread stuck in a hung folder is left to end with the
    // process (and the marker then says the run ended without closing).
    ~RunMarker();

    RunMarker(const RunMarker &) = delete;
    RunMarker &operator=(const RunMarker &) = delete;

    // When the previous run, which ended without closing, was last seen alive.
    std::optional<QDateTime> previousEnd() const { return m_previousEnd; }
    // Why the marker cannot be kept ("not a regular file", "in use by another running
    // program", an errno text); empty while it is kept.
    QString problem() const { return m_problem; }

    // The History line and the as-run text for a restart, for an end at `end`.
    static QString startedAgainLine(const QDateTime &end, const QDateTime &now);

private:
    struct Kept;

    std::optional<QDateTime> m_previousEnd; // set when a dead run's marker was found
    QString m_problem;                      // why none is kept
    std::shared_ptr<Kept> m_kept;           // the marker kept, shared with the thread; null when none
    std::unique_ptr<WriterThread> m_thread; // touches and removes the marker; last member: stops first
};

} // namespace vantor::app
