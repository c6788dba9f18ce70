#pragma once

// The jump back to a step's start (procedure.cpp) on Windows: the C library's setjmp. The fault
// filter (faultfilter_win.cpp) does not call longjmp: it resumes the faulting thread at the
// buffer's registers itself, through the fault's context, which needs no stack (a stack
// overflow leaves none). After a stack overflow the stack's guard page is put back, so that the
// next overflow is caught too.

#include <csetjmp>
#include <cstdint>

#include <malloc.h>

namespace vantor {
using StepJumpBuffer = jmp_buf;

inline void restoreStackGuard(int code)
{
    constexpr std::uint32_t StackOverflow = 0xC00000FD;
    if (std::uint32_t(code) == StackOverflow)
        _resetstkoflw();
}
} // namespace vantor

#define VANTOR_STEP_SETJMP(buffer) setjmp(buffer)
#define VANTOR_STEP_LONGJMP(buffer) longjmp(buffer, 1)
#define VANTOR_STEP_AFTER_JUMP(signal) restoreStackGuard(signal)
