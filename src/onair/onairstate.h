#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What one playout server says plays, per channel-layer, as its OSC messages report it. Plain
// C++, no Qt, no I/O: the receiver applies decoded messages with the time they arrived.
//
// The server sends its state once per frame of each channel, in two layouts:
//   2.0.7 and 2.1   /channel/C/stage/layer/L/file/path       relative path with extension
//                   .../file/frame (current, total), .../file/time (elapsed, total, seconds),
//                   .../paused; nothing at all for an empty layer.
//   2.2 and later   /channel/C/stage/layer/L/foreground/file/name   as given in PLAY
//                   .../foreground/file/path (full path), .../foreground/file/time,
//                   .../foreground/producer, .../foreground/paused, the same under
//                   background/ for a pre-loaded clip; 2.3 adds .../foreground/frames_left.
// A side (foreground or background) plays a file while its file fields keep being reported:
// one whose file was last reported EmptyAfter before the server's latest datagram is empty,
// since the server stops reporting an empty layer rather than saying so.
namespace vantor::onair {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

enum class Side : std::uint8_t { Foreground, Background };
enum class Layout : std::uint8_t { Unknown, Classic /* 2.0.7, 2.1 */, Layered /* 2.2 and later */ };

// One message about a layer, decoded.
struct LayerUpdate
{
    enum class Field : std::uint8_t { Name, Path, Time, Frame, FramesLeft, Paused, Producer };

    int channel = 0;
    int layer = 0;
    Side side = Side::Foreground;
    Field field = Field::Path;
    Layout layout = Layout::Classic;
    std::string text;   // Name, Path, Producer: cut to MaxText bytes
    double first = 0;   // Time: elapsed; Frame: current; FramesLeft; Paused: non-zero when paused
    double second = -1; // Time, Frame: the total; -1 when not given
};

// What one side of a layer plays. Positions are the elapsed seconds where the server gives
// them, else the current frame.
struct Playing
{
    std::string name;       // 2.2+: as given in PLAY; empty on 2.0.7
    std::string path;       // 2.0.7: relative with extension; 2.2+: the full path
    std::string producer;   // 2.2+: "ffmpeg", "empty", ...
    double elapsed = -1;    // seconds; -1 until reported
    double total = -1;      // seconds
    double frame = -1;      // 2.0.7's file/frame
    double frames = -1;     // its total
    double framesLeft = -1; // 2.3+
    bool paused = false;
    TimePoint fileAt{}; // when name, path, time or frame were last reported
    TimePoint seenAt{}; // when anything of this side was last reported
    // The two latest positions of the same file, with when they came: the file advances when
    // the latest is beyond the one before. A new file, or a position that goes back (the file
    // started again), forgets the one before.
    double position = -1;
    TimePoint positionAt{};
    double previousPosition = -1;
    TimePoint previousAt{};

    // The name the operator knows the clip by: the name where given, else the path.
    const std::string &shownName() const { return name.empty() ? path : name; }
    bool advanced() const { return previousAt != TimePoint{} && position > previousPosition; }
};

struct LayerState
{
    int channel = 0;
    int layer = 0;
    Playing foreground;
    Playing background;
    TimePoint updatedAt{};
};

// One server's state, bounded: at most maxLayers channel-layers (a new one takes the place of
// one not reported for StaleLayer; otherwise it is dropped and counted), texts cut to MaxText.
class ServerState
{
public:
    static constexpr std::size_t MaxText = 512;
    static constexpr std::chrono::milliseconds EmptyAfter{200};
    static constexpr std::chrono::milliseconds StaleLayer{2000};
    static constexpr int MaxChannel = 9999;
    static constexpr int MaxLayer = 9999;

    explicit ServerState(std::size_t maxLayers = 64);

    // A datagram of the server arrived at `at`, carrying these updates.
    void apply(const std::vector<LayerUpdate> &updates, TimePoint at);

    TimePoint lastDatagram() const { return m_lastDatagram; }
    Layout layout() const { return m_layout; }
    const std::vector<LayerState> &layers() const { return m_layers; }
    const LayerState *find(int channel, int layer) const;
    std::uint64_t droppedLayers() const { return m_droppedLayers; }
    std::size_t maxLayers() const { return m_maxLayers; }

private:
    LayerState *slot(int channel, int layer, TimePoint at);
    void update(Playing &side, const LayerUpdate &u, TimePoint at);

    std::size_t m_maxLayers;
    std::vector<LayerState> m_layers; // at most m_maxLayers, in the order first reported
    TimePoint m_lastDatagram{};
    Layout m_layout = Layout::Unknown; // the layout of the latest layer message
    std::uint64_t m_droppedLayers = 0; // updates dropped for want of a free place
};

// What the on-air rule reads of one server and channel-layer: a copy, taken in one go.
struct LayerView
{
    TimePoint lastDatagram{}; // the server's latest datagram; {} when none came
    Layout layout = Layout::Unknown;
    std::optional<LayerState> layer; // none when never reported (or dropped)

    // The side plays a file: its file was reported within EmptyAfter of the latest datagram
    // (and its producer, where given, is not "empty").
    bool plays(Side side) const;
    const Playing *playing(Side side) const;
};

LayerView viewOf(const ServerState &server, int channel, int layer);

} // namespace vantor::onair
