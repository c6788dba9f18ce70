#pragma once

#include <QString>

#include <chrono>
#include <vector>

// The on-air confirmation through the window, as the program runs it: a thread of its own
// hands line changes to the fake port (as the line watcher does), the window fires slot 0 or 1
// (PLAY 1 a.mov, PLAY 1 b.mov, one after the other: each firing a new clip), the fake 2.2
// server (tools/amcp-monitor, its own thread, 25 bundles a second from 127.0.0.1) answers and
// plays it, and OnAirConfirmation watches it. Three conditions, side by side in interleaved
// blocks on one window: without --confirm (no receiver), with it, and with it under a
// stranger's flood of OSC. Per condition: the firing's own contact-to-send time
// (FiringRecord::sentAt - contact), from the first bundle that showed the clip to the verdict
// on the window thread (frames of 40 ms), the verdicts not on air, the process's memory.
struct WindowCondition
{
    QString name;
    int firings = 0;
    std::vector<double> contactToSendUs;
    std::vector<double> confirmFrames;
    int notOnAir = 0;
    QString lastReason;
    long rssMaxKiB = 0;
    double floodPerSecond = 0;
};

// One frame of the fake server (25 a second): the unit the confirmation is measured in.
constexpr auto FrameTime = std::chrono::milliseconds(40);

// The process's resident memory in KiB (/proc/self/status), -1 when it cannot be read.
long rssKiB();

// `firings` in all, in blocks of `block`, a firing every `spacingMs`; the flood at floodRate.
// Empty when the window could not be set up.
std::vector<WindowCondition> runThroughTheWindow(int firings, int block, int spacingMs, int floodRate);
