#pragma once

#include "runtimeerror.h"

#include <atomic>
#include <cstdint>

namespace vantor {

// The classic status codes of processor faults, as the fault names are keyed.
namespace faultcodes {
constexpr std::uint32_t GuardPage = 0x80000001;
constexpr std::uint32_t DatatypeMisalignment = 0x80000002;
constexpr std::uint32_t Breakpoint = 0x80000003;
constexpr std::uint32_t SingleStep = 0x80000004;
constexpr std::uint32_t AccessViolation = 0xC0000005;
constexpr std::uint32_t InPageError = 0xC0000006;
constexpr std::uint32_t InvalidHandle = 0xC0000008;
constexpr std::uint32_t IllegalInstruction = 0xC000001D;
constexpr std::uint32_t NoncontinuableException = 0xC0000025;
constexpr std::uint32_t InvalidDisposition = 0xC0000026;
constexpr std::uint32_t ArrayBoundsExceeded = 0xC000008C;
constexpr std::uint32_t FloatDenormalOperand = 0xC000008D;
constexpr std::uint32_t FloatDivideByZero = 0xC000008E;
constexpr std::uint32_t FloatInexactResult = 0xC000008F;
constexpr std::uint32_t FloatInvalidOperation = 0xC0000090;
constexpr std::uint32_t FloatOverflow = 0xC0000091;
constexpr std::uint32_t FloatStackCheck = 0xC0000092;
constexpr std::uint32_t FloatUnderflow = 0xC0000093;
constexpr std::uint32_t IntegerDivideByZero = 0xC0000094;
constexpr std::uint32_t IntegerOverflow = 0xC0000095;
constexpr std::uint32_t PrivilegedInstruction = 0xC0000096;
constexpr std::uint32_t StackOverflow = 0xC00000FD;
constexpr std::uint32_t ControlCExit = 0xC000013A;
} // namespace faultcodes

// One fault record: its code and the record nested in it (nullptr when there is none).
struct FaultRecord
{
    std::uint32_t code = 0;
    const FaultRecord *nested = nullptr;
};

// What the filter is handed: the first record of the chain and the processor context.
struct FaultInformation
{
    const FaultRecord *record = nullptr;
    const void *context = nullptr;
};

// The filter's answer: its result (always ContinueExecution), and the fault it names.
struct FilterVerdict
{
    static constexpr std::int32_t ContinueExecution = -1;
    std::int32_t result = ContinueExecution;
    std::uint32_t code = 0;
    const char *name = nullptr;
};

// The fault's name by its exact code; "Unknown Exception" for any code not in the table.
const char *vbwExceptionName(std::uint32_t code) noexcept;

// Follows the chain of nested records to its last one and names that record's fault.
// Pure: touches nothing but the records. The raise of the run-time error is the caller's.
FilterVerdict vbwExceptionFilter(const FaultInformation &information) noexcept;

// The bounds of a thread's stack, [low, high); both 0 when unknown.
struct StackBounds
{
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
};

// True when a memory fault at `address` is the stack running out: the address lies in the
// guard area under the stack's lowest allowed page, or right at the stack pointer.
bool isStackOverflow(std::uintptr_t address, std::uintptr_t stackPointer, StackBounds stack) noexcept;

// The status code of a fault signal, from the signal number and its si_code.
std::uint32_t faultCode(int signal, int signalCode, std::uintptr_t address, std::uintptr_t stackPointer,
                        StackBounds stack) noexcept;

// A processor fault turned into run-time error 65535 on its way to the trap of the step that
// was running. While any such error exists (from the throw in the signal handler until the
// trap has finished with it, the error box included) a fault is "being handled", and a second
// fault is not delivered: it ends the process.
class ProcessorFault : public RuntimeError
{
public:
    ProcessorFault(int signal, const char *name);
    ProcessorFault(const ProcessorFault &other);
    ProcessorFault &operator=(const ProcessorFault &) = delete;
    ~ProcessorFault() override;

    int signal() const { return m_signal; }

    // How many ProcessorFault objects exist right now, on any thread.
    static int inFlight() noexcept { return s_inFlight.load(std::memory_order_acquire); }

private:
    int m_signal;
    static std::atomic<int> s_inFlight;
};

} // namespace vantor
