#include "exceptionfilter.h"

#include <csignal>

namespace vantor {

namespace {

struct NamedFault
{
    std::uint32_t code;
    const char *name;
};

constexpr NamedFault Names[] = {
    {faultcodes::GuardPage, "Exception: Guard Page"},
    {faultcodes::DatatypeMisalignment, "Exception: Datatype Misalignment"},
    {faultcodes::Breakpoint, "Exception: Breakpoint"},
    {faultcodes::SingleStep, "Exception: Single Step"},
    {faultcodes::AccessViolation, "Exception: Access Violation"},
    {faultcodes::InPageError, "Exception: In Page Error"},
    {faultcodes::InvalidHandle, "Exception: Invalid Handle"},
    {faultcodes::IllegalInstruction, "Exception: Illegal Instruction"},
    {faultcodes::NoncontinuableException, "Exception: Non Continuable Exception"},
    {faultcodes::InvalidDisposition, "Exception: Invalid Disposition"},
    {faultcodes::ArrayBoundsExceeded, "Exception: Array Bounds Exceeded"},
    {faultcodes::FloatDenormalOperand, "Exception: Float Denormal Operand"},
    {faultcodes::FloatDivideByZero, "Exception: Float Divide By Zero"},
    {faultcodes::FloatInexactResult, "Exception: Float Inexact Result"},
    {faultcodes::FloatInvalidOperation, "Exception: Float Invalid Operation"},
    {faultcodes::FloatOverflow, "Exception: Float Overflow"},
    {faultcodes::FloatStackCheck, "Exception: Float Stack Check"},
    {faultcodes::FloatUnderflow, "Exception: Float Underflow"},
    {faultcodes::IntegerDivideByZero, "Exception: Integer Divide By Zero"},
    {faultcodes::IntegerOverflow, "Exception: Integer Overflow"},
    {faultcodes::PrivilegedInstruction, "Exception: Priv Instruction"},
    {faultcodes::StackOverflow, "Exception: Stack Overflow"},
    {faultcodes::ControlCExit, "Exception: Control C Exit"},
};

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

const char *vbwExceptionName(std::uint32_t code) noexcept
{
    for (const NamedFault &entry : Names) {
        if (entry.code == code)
            return entry.name;
    }
    return "Unknown Exception";
}

FilterVerdict vbwExceptionFilter(const FaultInformation &information) noexcept
{
    FaultRecord working = *information.record;
    while (working.nested != nullptr)
        working = *working.nested;
    FilterVerdict verdict;
    verdict.result = FilterVerdict::ContinueExecution;
    verdict.code = working.code;
    verdict.name = vbwExceptionName(working.code);
    return verdict;
}

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

std::atomic<int> ProcessorFault::s_inFlight{0};

ProcessorFault::ProcessorFault(int signal, const char *name)
    : RuntimeError(errors::Fault, name)
    , m_signal(signal)
{
    s_inFlight.fetch_add(1, std::memory_order_acq_rel);
}

ProcessorFault::ProcessorFault(const ProcessorFault &other)
    : RuntimeError(other)
    , m_signal(other.m_signal)
{
    s_inFlight.fetch_add(1, std::memory_order_acq_rel);
}

ProcessorFault::~ProcessorFault()
{
    s_inFlight.fetch_sub(1, std::memory_order_acq_rel);
}

} // namespace vantor
