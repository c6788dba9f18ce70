#pragma once

#include "errortrap.h"

namespace vantor {

// Installs the fault filter, once per process, before the window loads: from then on a
// processor fault inside a trapped step is that step's run-time error 65535, named after
// the fault. A second call does nothing.
void vbwInitializeProtector(ErrorTrap &trap);

// Installs the fault filter (the signal handlers of faultsignals.h) for the calling thread.
void vbwHandleException(ErrorTrap &trap);

} // namespace vantor
