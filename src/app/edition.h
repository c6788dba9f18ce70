#pragma once

#include <QString>

// What this edition of the program is on its system, one file per system beside this one
// (edition_linux.cpp, edition_win.cpp).
namespace vantor::app::edition {

// What --help says, after the options, about what this edition lacks; empty when nothing.
QString lacks();

// Connects standard output and standard error to the terminal the program was started from,
// where the system does not (a Windows program with a window has no console of its own), so
// that --help, --version and the errors of the command line reach it.
void connectStandardStreams();

// Whether a window would show on a display, where a person may see it: not on the offscreen
// platform, nor, on Linux, without DISPLAY or WAYLAND_DISPLAY. Windows always has its desktop.
bool onDisplay();

} // namespace vantor::app::edition
