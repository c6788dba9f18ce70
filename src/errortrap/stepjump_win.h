#pragma once

// The jump back to a step's start (procedure.cpp) on Windows: the C library's setjmp, which on
// 64-bit Windows unwinds the frames it leaves through the system's unwinder.

#include <csetjmp>

namespace vantor {
using StepJumpBuffer = jmp_buf;
} // namespace vantor

#define VANTOR_STEP_SETJMP(buffer) setjmp(buffer)
#define VANTOR_STEP_LONGJMP(buffer) longjmp(buffer, 1)
