#include "onairstate.h"

#include <algorithm>

namespace vantor::onair {

namespace {

using Field = LayerUpdate::Field;

bool isFileField(Field f)
{
    return f == Field::Name || f == Field::Path || f == Field::Time || f == Field::Frame;
}

} // namespace

ServerState::ServerState(std::size_t maxLayers)
    : m_maxLayers(std::max<std::size_t>(maxLayers, 1))
{
    m_layers.reserve(m_maxLayers);
}

const LayerState *ServerState::find(int channel, int layer) const
{
    for (const LayerState &l : m_layers) {
        if (l.channel == channel && l.layer == layer)
            return &l;
    }
    return nullptr;
}

LayerState *ServerState::slot(int channel, int layer, TimePoint at)
{
    if (const LayerState *found = find(channel, layer))
        return const_cast<LayerState *>(found);
    if (m_layers.size() < m_maxLayers) {
        m_layers.push_back({channel, layer, {}, {}, at});
        return &m_layers.back();
    }
    // Full: the layer reported longest ago gives its place, if it has been quiet long enough.
    auto oldest = std::min_element(m_layers.begin(), m_layers.end(),
                                   [](const LayerState &a, const LayerState &b) { return a.updatedAt < b.updatedAt; });
    if (at - oldest->updatedAt < StaleLayer) {
        ++m_droppedLayers;
        return nullptr;
    }
    *oldest = {channel, layer, {}, {}, at};
    return &*oldest;
}

void ServerState::apply(const std::vector<LayerUpdate> &updates, TimePoint at)
{
    m_lastDatagram = at;
    for (const LayerUpdate &u : updates) {
        if (u.channel < 1 || u.channel > MaxChannel || u.layer < 0 || u.layer > MaxLayer)
            continue;
        LayerState *l = slot(u.channel, u.layer, at);
        if (!l)
            continue;
        l->updatedAt = at;
        m_layout = u.layout;
        update(u.side == Side::Foreground ? l->foreground : l->background, u, at);
    }
}

void ServerState::update(Playing &side, const LayerUpdate &u, TimePoint at)
{
    // A side that had gone quiet (its layer emptied) starts afresh.
    if (side.fileAt != TimePoint{} && at - side.fileAt > EmptyAfter && isFileField(u.field))
        side = Playing{};
    side.seenAt = at;
    if (isFileField(u.field))
        side.fileAt = at;
    const std::string text = u.text.substr(0, MaxText);
    auto newFile = [&side] {
        side.position = side.previousPosition = -1;
        side.positionAt = side.previousAt = TimePoint{};
    };
    auto moveTo = [&side, at](double position) {
        if (position < side.position)
            side.previousAt = TimePoint{}; // started again
        else if (side.positionAt != TimePoint{})
            side.previousPosition = side.position, side.previousAt = side.positionAt;
        side.position = position;
        side.positionAt = at;
    };
    switch (u.field) {
    case Field::Name:
        if (text != side.name)
            newFile();
        side.name = text;
        break;
    case Field::Path:
        if (text != side.path)
            newFile();
        side.path = text;
        break;
    case Field::Time:
        side.elapsed = u.first;
        side.total = u.second;
        moveTo(u.first);
        break;
    case Field::Frame:
        side.frame = u.first;
        side.frames = u.second;
        if (side.elapsed < 0) // the time, where given, is the position
            moveTo(u.first);
        break;
    case Field::FramesLeft: side.framesLeft = u.first; break;
    case Field::Paused: side.paused = u.first != 0; break;
    case Field::Producer: side.producer = text; break;
    }
}

bool LayerView::plays(Side side) const
{
    const Playing *p = layer ? (side == Side::Foreground ? &layer->foreground : &layer->background) : nullptr;
    if (!p || p->fileAt == TimePoint{} || lastDatagram - p->fileAt > ServerState::EmptyAfter)
        return false;
    return p->producer != "empty";
}

const Playing *LayerView::playing(Side side) const
{
    if (!plays(side))
        return nullptr;
    return side == Side::Foreground ? &layer->foreground : &layer->background;
}

LayerView viewOf(const ServerState &server, int channel, int layer)
{
    LayerView view;
    view.lastDatagram = server.lastDatagram();
    view.layout = server.layout();
    if (const LayerState *l = server.find(channel, layer))
        view.layer = *l;
    return view;
}

} // namespace vantor::onair
