#pragma once

#include <functional>

class QWidget;

namespace vantor::playout {
class AddressChooser;
class TriggerSlots;
} // namespace vantor::playout

namespace vantor::app {

// Gives trigger slot `index`'s movie label its right-click menu:
//   "Play now"            fires the slot as a test; enabled while the slot can send something
//   "Channel and layer…"  asks `chooser` for the slot's address (absent without a chooser)
//   "Action"              Play, Play pre-loaded, Stop or Clear, the slot's own one ticked
// The menu pops up and the click returns at once; the menu is deleted when it closes.
void addSlotMenu(QWidget *label, playout::TriggerSlots &triggers, int index, playout::AddressChooser *chooser,
                 std::function<void()> playNow);

} // namespace vantor::app
