#pragma once

namespace vantor {

// Installs the handlers of the fault signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP) and an
// alternate signal stack for the calling thread, which from then on is the user-interface
// thread: a fault there, inside a trapped step, reaches that step's trap as error 65535.
// Any other fault prints its name and a backtrace and ends the process by its signal.
// Throws RuntimeError when the system refuses a part of the installation.
void installFaultFilter();

} // namespace vantor
