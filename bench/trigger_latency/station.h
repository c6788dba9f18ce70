#pragma once

#include "stampingpeer.h"
#include "windowfixture.h"

#include "app/station/logfiles.h"

#include <QSemaphore>

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <vector>

// The window on air: port open (fake port, bounce filter off), the given slots armed with
// movies "slot<N>.mov", connected to a playout-server peer that runs in a thread of its own
// (StampingPeer; the fixture's own server stays unused).
//
// For an injector thread: lineArrived is released once per line the peer reads, and
// waitIdle() tells when the window has handled a number of port events and its event loop
// has nothing left to do (about to sleep). The times of both are kept for each event.
class Station
{
public:
    using Clock = std::chrono::steady_clock;

    // logDir: also write the logs and the as-run record there, as --log-dir does.
    Station(std::initializer_list<int> armedSlots, int expectedEvents, const QString &logDir = {});
    ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    bool ready() const { return m_ready; }
    int serverThreadId() const { return m_peer.threadId(); }
    int windowThreadId() const { return m_windowThreadId; }
    WindowFixture &fixture() { return m_f; }
    vantor::serial::SerialPortService &port() { return m_f.port; }
    StampingPeer &server() { return m_peer; }

    // Writes `lines` History lines through SetStatus; returns how long that took.
    Clock::duration fillHistory(int lines);
    // Forgets what the peer received and the handling times, keeping the connection.
    void resetCounts();

    // Thread-safe: waits until `events` port events were handled and the user-interface
    // thread went idle after the last of them. False when that took longer than `timeout`.
    bool waitIdle(int events, std::chrono::milliseconds timeout);

    QSemaphore lineArrived;
    // When the window finished handling its n-th port event, and when its event loop was
    // next about to sleep. Written on the user-interface thread; read them after a run.
    std::vector<Clock::time_point> handledAt;
    std::vector<Clock::time_point> idleAt;

private:
    void eventHandled();
    void aboutToSleep();

    bool arm(int slot);
    bool connectToServer();

    StampingPeer m_peer; // before the fixture, which connects to it
    WindowFixture m_f;
    std::unique_ptr<vantor::app::LogFiles> m_files;
    QMetaObject::Connection m_sleeping;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_handled = 0;   // guarded by m_mutex
    int m_idleAfter = 0; // events handled when the loop last went idle; guarded by m_mutex
    int m_windowThreadId = 0;
    bool m_ready = false;
};
