#pragma once

#include <QDateTime>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace vantor::app {

// A small file that says "this station's program runs": made at start, touched every second
// while the program lives, removed when the window is closed. Finding it at start, with no
// live program holding it, means the previous run ended without closing (a fault, a kill, a
// power cut), and its time of last touch says when, to the second.
//
// The running program holds an advisory lock (flock) on the marker, so that a second program
// started on the same set-up does not take the first one's marker for a dead run's.
//
// Made and removed on the window thread (at start and at the clean close); the touches come
// from a thread of its own ("run marker"), so no disk ever holds up the window thread.
class RunMarker
{
public:
    // Takes the marker at path: previousEnd() tells whether a dead run left one behind.
    explicit RunMarker(const QString &path);
    // The window closed: the marker goes, and the next start is no restart.
    ~RunMarker();

    RunMarker(const RunMarker &) = delete;
    RunMarker &operator=(const RunMarker &) = delete;

    // When the previous run, which ended without closing, was last seen alive.
    std::optional<QDateTime> previousEnd() const { return m_previousEnd; }
    // Why the marker cannot be kept ("not a regular file", "held by process 123", an errno
    // text); empty while it is kept.
    QString problem() const { return m_problem; }

    // The History line and the as-run text for a restart, for an end at `end`.
    static QString startedAgainLine(const QDateTime &end, const QDateTime &now);

private:
    void touchLoop();

    const QString m_path;
    int m_fd = -1;                          // the marker, locked; -1 when none is kept
    std::optional<QDateTime> m_previousEnd; // set when a dead run's marker was found
    QString m_problem;                      // why none is kept
    std::mutex m_mutex;                     // guards m_stop for the touch thread
    std::condition_variable m_wake;         // ends the touch thread's wait early
    bool m_stop = false;                    // the touch thread is to end; under m_mutex
    std::thread m_toucher;                  // touches m_fd every second
};

} // namespace vantor::app
