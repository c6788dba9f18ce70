#pragma once

#include "windowfixture.h"

#include <QSemaphore>
#include <QThread>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <vector>

// The window on air: port open (fake port, bounce filter off), the given slots armed with
// movies "slot<N>.mov", connected to a playout-server peer that runs in a thread of its own.
//
// For an injector thread: lineArrived is released once per line the peer reads, handled
// once per port event the window has finished handling (its time is kept in handledAt).
class Station
{
public:
    using Clock = std::chrono::steady_clock;

    Station(std::initializer_list<int> armedSlots, int expectedEvents);
    ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    bool ready() const { return m_ready; }
    WindowFixture &fixture() { return m_f; }
    vantor::serial::SerialPortService &port() { return m_f.port; }
    AmcpResponder &server() { return m_f.server; }

    // Puts `lines` lines into the History log's model directly (through SetStatus this would
    // take hours: see fillHistory() in station.cpp), then writes one more through SetStatus
    // and returns how long that one took.
    Clock::duration fillHistory(int lines);
    // Forgets what the peer received and the handling times, keeping the connection.
    void resetCounts();

    QSemaphore lineArrived;
    QSemaphore handled;
    // When the window finished handling its n-th port event (user-interface thread only
    // while events run).
    std::vector<Clock::time_point> handledAt;

private:
    bool arm(int slot);
    bool connectToServer();

    WindowFixture m_f;
    QThread m_serverThread;
    bool m_ready = false;
};
