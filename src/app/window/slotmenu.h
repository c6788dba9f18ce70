#pragma once

#include <QList>

#include <functional>

class QWidget;

namespace vantor::playout {
class AddressChooser;
class TriggerSlots;
} // namespace vantor::playout

namespace vantor::app {

// Gives trigger slot `index` its menu:
//   "Play now"            fires the slot as a test; enabled while the slot can send something
//   "Channel and layer…"  asks `chooser` for the slot's address (absent without a chooser)
//   "Action"              Play, Play pre-loaded, Stop or Clear, the slot's own one ticked
// The menu opens on a right click on any of `widgets` (the movie label, armed or not, and the
// slot's check box), and from the keyboard with the context-menu key or Shift+F10 on whichever
// of them has the focus; the movie label takes the focus with Tab. The menu pops up and the
// click or key returns at once; the menu is deleted when it closes.
void addSlotMenu(const QList<QWidget *> &widgets, playout::TriggerSlots &triggers, int index,
                 playout::AddressChooser *chooser, std::function<void()> playNow);

} // namespace vantor::app
