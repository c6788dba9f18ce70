#pragma once

#include <functional>

class QWidget;

namespace vantor::app {

// Gives a trigger slot's movie label its right-click menu: "Play now" fires the slot as a
// test, and is enabled only while the slot has a movie. The menu pops up and the click
// returns at once; the menu is deleted when it closes.
void addSlotMenu(QWidget *label, std::function<bool()> hasMovie, std::function<void()> playNow);

} // namespace vantor::app
