#pragma once

#include <QByteArrayView>

#include <algorithm>
#include <chrono>
#include <optional>
#include <span>

namespace vantor::playout {

// How the commands of one server are spread over its command connections (lanes), and when a
// cue is refused. Pure rules; CasparConnection applies them.
//
// The server runs the commands of one connection one after another, in their order, and the
// commands of two connections in either order. So:
// - A command whose channel-layer has a command waiting goes on that command's lane, behind it,
//   so that the server keeps their order (a CLEAR and the LOADBG after it, two cues of one
//   layer), unless that lane is held up (its oldest command has run for longer than
//   heldUpAfter()) and the command is a cue: then it goes on a free lane, at once, and may
//   overtake the held-up command (which is then written when its late reply comes).
// - Otherwise a command goes on a lane with nothing waiting, at once.
// - Otherwise it queues on the lane that is expected to run it first, from the replies'
//   recent pace, if that is within its due time; held-up lanes take nothing.
// - A cue that no lane can run by its due time is refused.

using Clock = std::chrono::steady_clock;

// What a command line acts on: a channel and a layer, or a whole channel (CLEAR c). Commands
// that act on one layer of a channel overlap; a whole channel overlaps all of its layers.
struct CommandTarget
{
    int channel = 0; // 0: none (PING)
    int layer = 0;   // the server's layer; 0 when the line names none
    bool wholeChannel = false;

    // Read from a line "VERB c[-l] ..." as PlayCommand builds them.
    static CommandTarget of(QByteArrayView line);
    bool overlaps(const CommandTarget &other) const;
};

// The time the server recently takes per command, each counted from when its command began
// to run (its send, or the previous reply on its connection when it had to wait for that): a
// running average of the replies' times plus their running deviation from it, as TCP
// estimates its round trip, so that a server whose times vary is not expected to be faster
// than it is. Before the first reply a command is taken to need Initial.
class ReplyPace
{
public:
    static constexpr std::chrono::milliseconds Initial{100};

    void add(Clock::duration took);
    Clock::duration value() const { return m_average + m_deviation; }

private:
    // Window thread.
    Clock::duration m_average{Initial};
    Clock::duration m_deviation{0};
    bool m_measured = false; // a reply has come
};

// One command connection, as the rules see it.
struct Lane
{
    bool open = false;               // connected: it can take a command
    int waiting = 0;                 // commands waiting for their replies
    Clock::time_point headSince{};   // when the oldest of them began to run
    bool holdsOverlap = false;       // one of them overlaps the command to place
    Clock::time_point overlapSent{}; // with holdsOverlap: when the newest such was sent
};

struct LaneChoice
{
    int lane = -1;          // -1: refused
    bool overtakes = false; // goes past an overlapping command held up on another lane
};

// A lane is held up when its oldest command has run this long: a few times the pace, and
// never less than MinHeldUp.
constexpr std::chrono::milliseconds MinHeldUp{250};
Clock::duration heldUpAfter(Clock::duration pace);
// When the lane is expected to begin running one more command.
Clock::time_point expectedStart(const Lane &lane, Clock::duration pace, Clock::time_point now);

// Where a command goes; due: by when a cue must begin to run (none for a command without a
// bound, a pre-load, which is refused only without any open lane).
LaneChoice chooseLane(std::span<const Lane> lanes, Clock::duration pace, std::optional<Clock::time_point> due,
                      Clock::time_point now);

} // namespace vantor::playout
