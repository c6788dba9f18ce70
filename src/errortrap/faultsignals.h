#pragma once

namespace vantor {

// Installs the fault filter for the calling thread, which from then on is the user-interface
// thread: a fault there, inside a trapped step, reaches that step's trap as error 65535.
// Any other fault prints its name and ends the process. On Linux the handlers of the fault
// signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP) and an alternate signal stack
// (faultsignals_linux.cpp, which prints a backtrace too and ends by the signal); on Windows the
// unhandled-exception filter and a vectored handler (faultfilter_win.cpp, which ends with the
// fault's status code). Throws RuntimeError when the system refuses a part of the installation.
void installFaultFilter();

} // namespace vantor
