#pragma once

#include "commevent.h"

#include <QString>

#include <array>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>

namespace vantor::serial {

// The bounded queue between the threads that see a port's events (the line watcher, the
// backends) and the user-interface thread that handles them. Every item belongs to a session,
// one opening of the port; only the session open now is taken in, so nothing of a port that
// was closed (and perhaps opened again) is ever handed out as the new one's.
//
// Bounds, whatever the device or the peer does:
//   - MaxItems items; a line change may still get in when its line has no item queued, so
//     there are at most MaxItems + one per line, and a loss is always taken;
//   - received bytes: at most MaxEventBytes in one event and MaxQueuedBytes queued, and no
//     more than ReceiveRate bytes a second are taken in (a burst of MaxQueuedBytes may come
//     at once); bytes beyond are dropped.
// Merge rule: while the queue is full, a line change goes into the newest queued item of its
// line. That item keeps its first change (level and time), its last change, and the number of
// changes it stands for. Other events, notices and bytes that find no room are dropped. What
// was merged and dropped is counted for the port log (takeCounts). While the queue has room
// nothing is merged: at contact rates every change is an item of its own.
//
// Thread-safe. Posting never waits for the reader, only for the short lock.
class EventInbox
{
public:
    using Session = quint64;
    // Stands for "the session open now" in a post.
    static constexpr Session Current = std::numeric_limits<Session>::max();

    static constexpr std::size_t MaxItems = 256;
    static constexpr qsizetype MaxEventBytes = 1024;
    static constexpr qsizetype MaxQueuedBytes = 16 * 1024;
    static constexpr qsizetype ReceiveRate = 16 * 1024; // bytes per second

    struct Item
    {
        enum class Kind { Event, Notice, Lost };
        Kind kind = Kind::Event;
        Session session = 0;
        CommEvent event;             // Event: the event (of a merged line change: its last change)
        quint64 changes = 1;         // Event of a line: how many changes this item stands for
        bool firstLevel = false;     // ... and the level and time of the first of them
        Clock::time_point firstWhen; //
        qint32 number = 0;           // Lost: the error number
        QString text;                // Notice: the line; Lost: the description
    };

    struct Counts
    {
        quint64 mergedChanges = 0; // line changes that went into an item already queued
        quint64 droppedEvents = 0;
        quint64 droppedNotices = 0;
        quint64 droppedBytes = 0;
        bool any() const { return mergedChanges || droppedEvents || droppedNotices || droppedBytes; }
        bool lost() const { return droppedEvents || droppedNotices || droppedBytes; }
    };

    // Starts a new session and takes in only its posts from now on; returns its id.
    Session open();
    // Takes in nothing more; queued events and losses are dropped (notices stay).
    void close();

    // Each returns true when the reader is to be woken: the first post after take() found the
    // queue empty. Posts of any session but the open one are ignored.
    bool post(Session session, CommEvent event);
    bool postNotice(Session session, QString line);
    bool postLost(Session session, qint32 number, QString description);

    // The oldest item; none when the queue is empty (the next post then wakes the reader).
    std::optional<Item> take();
    bool empty() const;
    // What was merged and dropped since the last call.
    Counts takeCounts();

private:
    static int lineIndex(qint16 code);
    bool wake();
    Item &push(Item::Kind kind, Session session);
    void postReceive(Session session, CommEvent &event);
    void dropOthers();

    // All owned by m_mutex; posted from any thread, taken on the user-interface thread.
    mutable std::mutex m_mutex;
    std::deque<Item> m_items;
    quint64 m_frontSerial = 0;                            // serial number of m_items.front()
    std::array<std::optional<quint64>, 4> m_newestOfLine; // serial of each line's newest item
    qsizetype m_queuedBytes = 0;
    double m_receiveAllowance = MaxQueuedBytes; // bytes that may still be taken in now
    Clock::time_point m_allowanceAt = Clock::now();
    Session m_open = 0; // 0: none
    Session m_lastSession = 0;
    bool m_lossQueued = false;
    bool m_wakePending = false;
    Counts m_counts;
};

} // namespace vantor::serial
