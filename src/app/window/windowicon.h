#pragma once

#include <QIcon>

namespace vantor::app {

// The program's icon for its window, the same picture as the installed
// vantor-listener.svg (a contact above a 9-pin connector), drawn here so that the window has
// it without an SVG image plugin.
QIcon windowIcon();

} // namespace vantor::app
