#pragma once

namespace vantor::app {

// Marks the calling thread as background work: it gets `name` (as debuggers and the system's
// tools show it) and a lower priority than the threads that fire (nice 10 on Linux, below
// normal on Windows). One file per system beside this one.
void becomeBackgroundThread(const char *name);

} // namespace vantor::app
