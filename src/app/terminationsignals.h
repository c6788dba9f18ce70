#pragma once

class QWidget;

namespace vantor::app {

// SIGINT and SIGTERM close `window` as its close button does, from the event loop: they are
// not faults and show no box. A second one that comes while the first still waits for the
// event loop (the program hangs) ends the process by that signal's default action.
void closeOnTerminationSignals(QWidget *window);

} // namespace vantor::app
