#pragma once

#include <functional>

class QWidget;

namespace vantor::app {

// SIGINT and SIGTERM close `window` as its close button does, from the event loop: they are
// not faults and show no box. A second one that comes while the first still waits for the
// event loop (the program hangs) ends the process by that signal's default action.
// `beforeEarlyExit` runs when a signal ends the program before the main event loop (below): it
// writes what is queued for the files and removes the run marker, as a clean end does, each
// waiting for its disk a bounded time.
void closeOnTerminationSignals(QWidget *window, std::function<void()> beforeEarlyExit = {});

// Called right before the main event loop starts. Until then closing the window cannot end the
// program, as no event loop that a close would leave runs yet (a box of the start-up may show
// in a loop of its own): a signal then closes the window, runs the early-exit work, and ends the
// process, with the status a close gives (0).
void mainLoopStarts();

} // namespace vantor::app
