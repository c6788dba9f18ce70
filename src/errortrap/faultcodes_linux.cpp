#include "exceptionfilter.h"

#include <csignal>

// The status code of a Linux fault signal, from its number and si_code.

namespace vantor {

namespace {

// The kernel keeps this much unmapped room under a stack that grows on demand.
constexpr std::uintptr_t GuardGap = std::uintptr_t(1) << 20;
// A push, a call or a large frame's first store lands this close to the stack pointer.
constexpr std::uintptr_t NearStackPointer = std::uintptr_t(64) << 10;

std::uint32_t memoryFaultCode(int signalCode, std::uintptr_t address, std::uintptr_t stackPointer, StackBounds stack)
{
    if (signalCode == SEGV_BNDERR)
        return faultcodes::ArrayBoundsExceeded;
    if (signalCode > 0 && signalCode != SI_KERNEL && isStackOverflow(address, stackPointer, stack))
        return faultcodes::StackOverflow;
    // SI_KERNEL: a general protection fault (a privileged instruction, a non-canonical address).
    return faultcodes::AccessViolation;
}

std::uint32_t arithmeticFaultCode(int signalCode)
{
    switch (signalCode) {
    case FPE_INTDIV: return faultcodes::IntegerDivideByZero;
    case FPE_INTOVF: return faultcodes::IntegerOverflow;
    case FPE_FLTDIV: return faultcodes::FloatDivideByZero;
    case FPE_FLTOVF: return faultcodes::FloatOverflow;
    case FPE_FLTUND: return faultcodes::FloatUnderflow;
    case FPE_FLTRES: return faultcodes::FloatInexactResult;
    case FPE_FLTSUB: return faultcodes::ArrayBoundsExceeded;
    default: return faultcodes::FloatInvalidOperation; // FPE_FLTINV, FPE_FLTUNK, anything newer
    }
}

std::uint32_t trapCode(int signalCode)
{
    switch (signalCode) {
    case TRAP_TRACE:
    case TRAP_BRANCH: return faultcodes::SingleStep;
    default: return faultcodes::Breakpoint; // TRAP_BRKPT, TRAP_HWBKPT, and int3 (SI_KERNEL)
    }
}

} // namespace

bool isStackOverflow(std::uintptr_t address, std::uintptr_t stackPointer, StackBounds stack) noexcept
{
    const bool inGuardArea =
        stack.low != 0 && address < stack.low + NearStackPointer && address + GuardGap >= stack.low;
    const bool atStackPointer =
        stackPointer != 0 && address < stackPointer + NearStackPointer && address + NearStackPointer >= stackPointer;
    return inGuardArea || atStackPointer;
}

std::uint32_t faultCode(int signal, int signalCode, std::uintptr_t address, std::uintptr_t stackPointer,
                        StackBounds stack) noexcept
{
    switch (signal) {
    case SIGSEGV: return memoryFaultCode(signalCode, address, stackPointer, stack);
    case SIGBUS: return signalCode == BUS_ADRALN ? faultcodes::DatatypeMisalignment : faultcodes::InPageError;
    case SIGFPE: return arithmeticFaultCode(signalCode);
    case SIGILL: return signalCode == ILL_PRVOPC ? faultcodes::PrivilegedInstruction : faultcodes::IllegalInstruction;
    case SIGTRAP: return trapCode(signalCode);
    case SIGINT: return faultcodes::ControlCExit;
    default: return 0;
    }
}

} // namespace vantor
