#pragma once

#include <QList>

#include <functional>

class QWidget;

namespace vantor::app {

// Gives a trigger slot its menu: "Play now" fires the slot as a test, and is enabled only
// while the slot has a movie. The menu opens on a right click on any of `widgets` (the movie
// label, armed or not, and the slot's check box), and from the keyboard with the context-menu
// key or Shift+F10 on whichever of them has the focus; the movie label takes the focus with
// Tab. The menu pops up and the click or key returns at once; the menu is deleted when it
// closes.
void addSlotMenu(const QList<QWidget *> &widgets, std::function<bool()> hasMovie, std::function<void()> playNow);

} // namespace vantor::app
