#pragma once

class QWidget;

namespace vantor::app {

// SIGINT and SIGTERM close `window` as its close button does, from the event loop: they are
// not faults and show no box. A second one that comes while the first still waits for the
// event loop (the program hangs) ends the process by that signal's default action.
void closeOnTerminationSignals(QWidget *window);

// Called right before the main event loop starts. Until then closing the window cannot end the
// program, as no event loop that a close would leave runs yet (a box of the start-up may show
// in a loop of its own): a signal then closes the window and ends the process at once, with the
// status a close gives (0).
void mainLoopStarts();

} // namespace vantor::app
