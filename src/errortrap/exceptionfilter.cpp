#include "exceptionfilter.h"

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
