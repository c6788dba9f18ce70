#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace vantor::playout {

// Where on the server a slot's command goes: a channel and, optionally, a layer. Without a
// layer the server takes its default layer, layer 0.
struct SlotAddress
{
    static constexpr int NoLayer = -1;
    static constexpr int MaxChannel = 99;
    static constexpr int MaxLayer = 9999;

    int channel = 1;
    int layer = NoLayer;

    bool hasLayer() const { return layer != NoLayer; }
    // The layer the server acts on.
    int effectiveLayer() const { return hasLayer() ? layer : 0; }
    bool isValid() const;
    // "1", "1-10"
    QString text() const;

    bool operator==(const SlotAddress &) const = default;
};

// What a slot does when it fires.
enum class SlotAction {
    Play,          // PLAY c[-l] movie
    PlayPreloaded, // LOADBG c[-l] movie ahead, PLAY c[-l] on cue
    Stop,          // STOP c[-l]
    Clear,         // CLEAR c[-l]
};

// A slot's command: its address and its action. The default is the classic PLAY 1 movie.
struct SlotCommand
{
    SlotAddress address;
    SlotAction action = SlotAction::Play;

    bool needsMovie() const { return action == SlotAction::Play || action == SlotAction::PlayPreloaded; }
    bool isDefault() const { return *this == SlotCommand{}; }
    // What the slot will send, for the operator, with the movie exactly as it goes on the wire:
    // "PLAY 1 \"my clip.mov\"", "PLAY 1-10, pre-loaded intro.mov", "STOP 1-10".
    QString describe(const QString &movie) const;

    // The operator's name of an action ("Play pre-loaded"), and its key in the set-up file
    // ("preloaded").
    static QString actionName(SlotAction action);
    static QString actionKey(SlotAction action);
    static std::optional<SlotAction> actionFromKey(QStringView key);

    bool operator==(const SlotCommand &) const = default;
};

} // namespace vantor::playout
