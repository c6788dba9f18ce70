#pragma once

// The jump back to a step's start (procedure.cpp) on Linux. The signal mask is not saved (no
// system call per step): the fault signals are handled with SA_NODEFER, so a jump leaves
// nothing blocked.

#include <csetjmp>

namespace vantor {
using StepJumpBuffer = sigjmp_buf;
} // namespace vantor

#define VANTOR_STEP_SETJMP(buffer) sigsetjmp(buffer, 0)
#define VANTOR_STEP_LONGJMP(buffer) siglongjmp(buffer, 1)
// Nothing to put right after the jump.
#define VANTOR_STEP_AFTER_JUMP(signal) ((void)(signal))
