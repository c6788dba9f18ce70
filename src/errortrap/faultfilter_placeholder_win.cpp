#include "faultsignals.h"

// A placeholder until the Win32 fault filter (SetUnhandledExceptionFilter and a vectored
// handler) takes its place: on Windows a processor fault still ends the program through the
// system's own fault handling.

namespace vantor {

void installFaultFilter() {}

} // namespace vantor
