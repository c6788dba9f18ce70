#include "faultsignals.h"

#include "callsitetable.h"
#include "exceptionfilter.h"
#include "faultfilter_win.h"
#include "procedure.h"

#include <setjmp.h>
#include <windows.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <utility>

// How a fault reaches the trap of the step that was running, on Windows.
//
// Two handlers, one rule. The process-wide unhandled-exception filter (SetUnhandledExceptionFilter)
// is the program's filter: an exception that nothing handled reaches it, is named after the last
// record of its chain, and the filter answers "continue execution" with the thread resumed in
// the trap of the step that was running, or ends the program. A vectored handler does the same
// first, before any frame's handler: 64-bit Windows runs a window's procedure from inside calls
// such as SetWindowPos and ShowWindow behind a handler of its own that swallows what is raised
// there, so a fault in a step reached that way would never come to the filter, and the step
// would be left half done without a box. The vectored handler takes only the faults the rule
// delivers; everything else goes on to the frames' own handlers and, unhandled, to the filter.
//
// The rule, as on Linux (faultsignals_linux.cpp): a fault goes to a step only on the
// user-interface thread, while a step runs, when no earlier fault is being handled, and when
// every frame between the fault and the step is the program's own (its executable's code) - the
// faulting frame alone may instead be one of a few leaf functions of the system that take no
// lock and call nothing (the C library's memory and string leaves, RtlMoveMemory, lstrlen, and
// RaiseException, which raises what the program asked for). The frames are walked with the
// system's unwinder (RtlLookupFunctionEntry, RtlVirtualUnwind). Any other frame is a library's:
// Qt and the C++ runtime are built by GCC without exceptions, so a throw would pass them without
// their clean-ups, and the system's DLLs release their locks in __finally blocks only here and
// there; a lock left held would hang the program later, which on air is worse than an end. So
// such a fault ends the program with its name on standard error (its exit status is the
// fault's code), as does a fault outside any step or on another thread. That includes a fault
// in a handler that an event loop called (painting, a timer, a socket, while a step's box shows):
// Qt's frames lie between. An exception raised as non-continuable cannot be resumed anywhere
// and ends the program too.
//
// The fault reaches the step in one of two ways, both by rewriting the fault's context and
// answering "continue execution":
//   - a throw: the thread resumes in faultEntry below, which makes it look as if the faulting
//     function had called it at the faulting instruction, and throws from there; the C++
//     unwinder runs the destructors of everything the step built. Taken when every frame is the
//     program's own and its exception data lets a throw pass (as on Linux, the call-site tables
//     are read first: g++ leaves out instructions it proves cannot throw).
//   - the jump: the thread resumes at the registers the step saved when it started
//     (Procedure::jumpTarget, setjmp's buffer), and the step fails there with the same error;
//     the destructors of the frames between do not run. Taken for a frame that would stop a
//     throw, for a fault in a function's prologue (whose frame a throw cannot describe), for a
//     fault in a leaf of the system (whose frame handlers must not see our throw), for a code
//     raised by a call rather than by the processor (its address is a return address, not the
//     faulting instruction a throw is described from), and for a stack overflow: it needs no
//     stack at all. The stack's guard page is put back afterwards (stepjump_win.h), and
//     SetThreadStackGuarantee keeps room for the handlers themselves.
//
// The status codes are the system's own, named by the table of exceptionfilter.cpp.

namespace vantor {

// The start of the throw: the faulting thread resumes here with the address to return to in
// RCX. It pushes that address, so that the frame below looks like a call from the faulting
// function, and calls vantorThrowPendingFault with an aligned stack under a frame the unwinder
// knows.
extern "C" void vantorFaultEntry();
extern "C" [[noreturn]] void vantorThrowPendingFault();
asm(R"(
    .text
    .globl vantorFaultEntry
vantorFaultEntry:
    pushq %rcx
    jmp vantorFaultFrame
    .def vantorFaultFrame; .scl 3; .type 32; .endef
    .seh_proc vantorFaultFrame
vantorFaultFrame:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    callq vantorThrowPendingFault
    ud2
    .seh_endproc
)");

namespace {

constexpr std::uint32_t StackOverflow = faultcodes::StackOverflow;
constexpr ULONG StackGuarantee = 64 * 1024;
constexpr int MaxFrames = 100000;
constexpr int MaxNestedRecords = 64;

// The codes the processor raises itself, at the faulting instruction. Any other code was raised
// by a call (RaiseException), at a return address.
bool isProcessorFault(DWORD code)
{
    switch (code) {
    case faultcodes::GuardPage:
    case faultcodes::DatatypeMisalignment:
    case faultcodes::Breakpoint:
    case faultcodes::SingleStep:
    case faultcodes::AccessViolation:
    case faultcodes::InPageError:
    case faultcodes::IllegalInstruction:
    case faultcodes::PrivilegedInstruction:
    case faultcodes::StackOverflow: return true;
    default: return code >= faultcodes::ArrayBoundsExceeded && code <= faultcodes::IntegerOverflow;
    }
}

// GCC's own exceptions (a throw, its unwinding): never a fault.
bool isGccException(DWORD code)
{
    return (code & 0xF0FFFFFF) == 0x20474343;
}

// What the handlers read; written once before they go in.
struct CodeMap
{
    DWORD uiThread = 0;
    std::uintptr_t ownLow = 0;
    std::uintptr_t ownHigh = 0;
    std::array<std::uintptr_t, 24> leaves{};
    std::size_t leafCount = 0;

    bool isOwn(std::uintptr_t ip) const { return ip >= ownLow && ip < ownHigh; }
    bool isLeaf(std::uintptr_t functionStart) const
    {
        for (std::size_t i = 0; i < leafCount; ++i) {
            if (leaves[i] == functionStart)
                return true;
        }
        return false;
    }
};

CodeMap codeMap;
std::atomic<bool> installed{false};
PVOID vectoredHandler = nullptr;
std::terminate_handler previousTerminate = nullptr;
std::atomic<DWORD> lastFaultCode{0};
std::atomic<const char *> lastFaultName{nullptr};

// The fault the throw carries, from the handler to vantorThrowPendingFault: written by a handler
// on the user-interface thread right before that thread resumes there.
DWORD pendingCode = 0;
const char *pendingName = nullptr;

// How many of our handlers this thread is inside; more than one means a fault in a handler.
thread_local int handlerDepth = 0;

struct HandlerEntry
{
    HandlerEntry() { ++handlerDepth; }
    ~HandlerEntry() { --handlerDepth; }
    HandlerEntry(const HandlerEntry &) = delete;
    HandlerEntry &operator=(const HandlerEntry &) = delete;
};

// The name of the last record of the chain.
const char *nameOf(const EXCEPTION_RECORD *first)
{
    std::array<FaultRecord, MaxNestedRecords> chain{};
    std::size_t count = 0;
    for (const EXCEPTION_RECORD *r = first; r != nullptr && count < chain.size(); r = r->ExceptionRecord)
        chain[count++] = {std::uint32_t(r->ExceptionCode), nullptr};
    for (std::size_t i = 0; i + 1 < count; ++i)
        chain[i].nested = &chain[i + 1];
    return vbwExceptionFilter({&chain[0], nullptr}).name;
}

void writeText(const char *text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(std::strlen(text)), &written, nullptr);
}

[[noreturn]] void endProgram(DWORD code, const char *name, const char *why, const void *address,
                             const Procedure *stepping = nullptr)
{
    char line[512];
    int length = std::snprintf(line, sizeof line, "VANTOR: %s (code 0x%08lX, address %p) %s", name,
                               static_cast<unsigned long>(code), address, why);
    if (stepping != nullptr && length > 0 && std::size_t(length) < sizeof line)
        length += std::snprintf(line + length, sizeof line - std::size_t(length), ", while %s.%s line %d ran",
                                stepping->location().module, stepping->location().procedure, stepping->line());
    writeText(line);
    writeText("; ending.\n");
    TerminateProcess(GetCurrentProcess(), code);
    ExitProcess(code);
}

Procedure *steppingProcedure()
{
    Procedure *procedure = Procedure::current();
    while (procedure != nullptr && !procedure->inStep())
        procedure = procedure->caller();
    return procedure;
}

struct FrameWalk
{
    bool reachedStep = false;
    bool foreign = false;  // a frame that is neither the program's own nor a passable leaf lies between
    bool leaf = false;     // the faulting frame is a leaf of the system
    bool prologue = false; // the fault lies in the faulting function's prologue
    bool throwable = true; // every frame's call-site table carries a throw
};

bool inPrologue(DWORD64 imageBase, const RUNTIME_FUNCTION &function, DWORD64 ip)
{
    const auto *info = reinterpret_cast<const unsigned char *>(imageBase + function.UnwindData);
    return ip - (imageBase + function.BeginAddress) < info[1]; // SizeOfProlog
}

FrameWalk walkToStep(const CONTEXT &fault, std::uintptr_t stepFrame)
{
    FrameWalk walk;
    CONTEXT context = fault;
    for (int depth = 0; depth < MaxFrames; ++depth) {
        if (context.Rsp > stepFrame) {
            walk.reachedStep = true;
            return walk;
        }
        const bool innermost = depth == 0;
        const DWORD64 ip = context.Rip;
        const DWORD64 lookup = innermost ? ip : ip - 1; // a return address: the call lies before it
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(lookup, &imageBase, nullptr);
        const std::uintptr_t start = function ? imageBase + function->BeginAddress : 0;
        const bool own = codeMap.isOwn(lookup);
        if (!own) {
            if (!innermost || !codeMap.isLeaf(start)) {
                walk.foreign = true;
                return walk;
            }
            walk.leaf = true;
        }
        if (function == nullptr) { // a function without a frame: its return address is on top
            context.Rip = *reinterpret_cast<const DWORD64 *>(context.Rsp);
            context.Rsp += 8;
            continue;
        }
        if (innermost && own)
            walk.prologue = inPrologue(imageBase, *function, ip);
        void *handlerData = nullptr;
        DWORD64 establisher = 0;
        const PEXCEPTION_ROUTINE handler = RtlVirtualUnwind(UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER, imageBase, ip,
                                                            function, &context, &handlerData, &establisher, nullptr);
        if (own && handler != nullptr && handlerData != nullptr
            && !inCallSiteTable(static_cast<const unsigned char *>(handlerData), start, lookup))
            walk.throwable = false;
    }
    return walk;
}

enum class Verdict { NotOurs, Deliver, End };

struct Decision
{
    Verdict verdict = Verdict::NotOurs;
    const char *name = nullptr;
    const char *why = nullptr;
    Procedure *stepping = nullptr;
    FrameWalk walk;
};

Decision decide(const EXCEPTION_POINTERS &info)
{
    Decision d;
    const EXCEPTION_RECORD &record = *info.ExceptionRecord;
    if (isGccException(record.ExceptionCode))
        return d;
    d.name = nameOf(&record);
    d.verdict = Verdict::End;
    if (GetCurrentThreadId() != codeMap.uiThread)
        d.why = "outside the user-interface thread";
    else if (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE)
        d.why = "raised as non-continuable";
    else if (handlerDepth > 1 || ProcessorFault::inFlight() > 0)
        d.why = "while an earlier fault was being handled";
    else if ((d.stepping = steppingProcedure()) == nullptr)
        d.why = "outside any trapped step";
    if (d.why != nullptr)
        return d;
    d.walk = walkToStep(*info.ContextRecord, d.stepping->stepFrame());
    if (!d.walk.reachedStep || d.walk.foreign) {
        d.why = "in code that is not the program's own (a library, an event loop's handler) or under it";
        return d;
    }
    d.verdict = Verdict::Deliver;
    return d;
}

// Rewrites the context so that the thread resumes in the step's trap.
LONG deliver(const Decision &d, EXCEPTION_POINTERS &info)
{
    CONTEXT &context = *info.ContextRecord;
    const DWORD code = info.ExceptionRecord->ExceptionCode;
    lastFaultCode = code;
    lastFaultName = d.name;
    const bool jump =
        !isProcessorFault(code) || code == StackOverflow || d.walk.leaf || d.walk.prologue || !d.walk.throwable;
    if (!jump) {
        pendingCode = code;
        pendingName = d.name;
        context.Rcx = context.Rip + 1; // the throw's lookup takes the address before a return address
        context.Rip = reinterpret_cast<DWORD64>(&vantorFaultEntry);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    const auto &saved = *static_cast<const _JUMP_BUFFER *>(d.stepping->jumpTarget(int(code), d.name));
    context.Rbx = saved.Rbx;
    context.Rsp = saved.Rsp;
    context.Rbp = saved.Rbp;
    context.Rsi = saved.Rsi;
    context.Rdi = saved.Rdi;
    context.R12 = saved.R12;
    context.R13 = saved.R13;
    context.R14 = saved.R14;
    context.R15 = saved.R15;
    context.Rip = saved.Rip;
    context.Rax = 1; // setjmp's second return
    context.MxCsr = saved.MxCsr;
    context.FltSave.MxCsr = saved.MxCsr;
    auto xmm = [](M128A &to, const SETJMP_FLOAT128 &from) { std::memcpy(&to, &from, sizeof to); };
    xmm(context.Xmm6, saved.Xmm6);
    xmm(context.Xmm7, saved.Xmm7);
    xmm(context.Xmm8, saved.Xmm8);
    xmm(context.Xmm9, saved.Xmm9);
    xmm(context.Xmm10, saved.Xmm10);
    xmm(context.Xmm11, saved.Xmm11);
    xmm(context.Xmm12, saved.Xmm12);
    xmm(context.Xmm13, saved.Xmm13);
    xmm(context.Xmm14, saved.Xmm14);
    xmm(context.Xmm15, saved.Xmm15);
    return EXCEPTION_CONTINUE_EXECUTION;
}

LONG CALLBACK onVectored(EXCEPTION_POINTERS *info)
{
    const HandlerEntry entry;
    const Decision d = decide(*info);
    return d.verdict == Verdict::Deliver ? deliver(d, *info) : EXCEPTION_CONTINUE_SEARCH;
}

// The program's filter: what nothing handled.
LONG WINAPI vbwUnhandledExceptionFilter(EXCEPTION_POINTERS *info)
{
    const HandlerEntry entry;
    const EXCEPTION_RECORD &record = *info->ExceptionRecord;
    if (isGccException(record.ExceptionCode)) // a throw nobody catches: std::terminate, as the runtime's filter does
        return (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) ? EXCEPTION_CONTINUE_SEARCH
                                                                  : EXCEPTION_CONTINUE_EXECUTION;
    const Decision d = decide(*info);
    if (d.verdict == Verdict::Deliver)
        return deliver(d, *info);
    endProgram(record.ExceptionCode, d.name, d.why, record.ExceptionAddress, d.stepping);
}

// The last resort, for a throw that the walk judged passable and the unwinder did not.
[[noreturn]] void onTerminate()
{
    if (ProcessorFault::inFlight() > 0)
        endProgram(lastFaultCode.load(), lastFaultName.load(), "in code that cannot pass it on to the step's trap",
                   nullptr);
    if (previousTerminate != nullptr)
        previousTerminate();
    std::abort();
}

// The program's own code and the start of each passable leaf, as the loader resolved it.
void recordCodeMap()
{
    const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    codeMap.ownLow = base;
    codeMap.ownHigh = base + nt->OptionalHeader.SizeOfImage;
    struct Leaf
    {
        const wchar_t *module;
        const char *function;
    };
    static constexpr Leaf Leaves[] = {
        {L"msvcrt.dll", "memchr"},           {L"msvcrt.dll", "memcmp"},
        {L"msvcrt.dll", "memcpy"},           {L"msvcrt.dll", "memmove"},
        {L"msvcrt.dll", "memset"},           {L"msvcrt.dll", "strchr"},
        {L"msvcrt.dll", "strcmp"},           {L"msvcrt.dll", "strcpy"},
        {L"msvcrt.dll", "strlen"},           {L"msvcrt.dll", "strncmp"},
        {L"msvcrt.dll", "strnlen"},          {L"msvcrt.dll", "strrchr"},
        {L"ntdll.dll", "RtlMoveMemory"},     {L"ntdll.dll", "RtlFillMemory"},
        {L"ntdll.dll", "RtlZeroMemory"},     {L"ntdll.dll", "RtlCompareMemory"},
        {L"kernel32.dll", "lstrlenA"},       {L"kernel32.dll", "lstrlenW"},
        {L"kernel32.dll", "RaiseException"}, {L"kernelbase.dll", "lstrlenA"},
        {L"kernelbase.dll", "lstrlenW"},     {L"kernelbase.dll", "RaiseException"},
    };
    static_assert(std::size(Leaves) <= std::tuple_size_v<decltype(codeMap.leaves)>);
    codeMap.leafCount = 0;
    for (const Leaf &leaf : Leaves) {
        const HMODULE module = GetModuleHandleW(leaf.module);
        const FARPROC address = module ? GetProcAddress(module, leaf.function) : nullptr;
        if (address == nullptr)
            continue;
        // The start of the function as the unwinder knows it (an export may be a forwarder's target).
        DWORD64 imageBase = 0;
        const auto at = reinterpret_cast<DWORD64>(address);
        const PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(at, &imageBase, nullptr);
        codeMap.leaves[codeMap.leafCount++] = function ? imageBase + function->BeginAddress : at;
    }
}

} // namespace

void withoutVectoredHandler()
{
    if (vectoredHandler != nullptr)
        RemoveVectoredExceptionHandler(std::exchange(vectoredHandler, nullptr));
}

extern "C" [[noreturn]] void vantorThrowPendingFault()
{
    throw ProcessorFault(int(pendingCode), pendingName);
}

void installFaultFilter()
{
    codeMap.uiThread = GetCurrentThreadId();
    recordCodeMap();
    ULONG guarantee = StackGuarantee;
    SetThreadStackGuarantee(&guarantee); // room for the handlers after a stack overflow
    if (std::get_terminate() != onTerminate)
        previousTerminate = std::set_terminate(onTerminate);
    SetUnhandledExceptionFilter(vbwUnhandledExceptionFilter);
    if (!installed.exchange(true)) {
        vectoredHandler = AddVectoredExceptionHandler(1, onVectored);
        if (vectoredHandler == nullptr)
            throw RuntimeError(errors::InvalidProcedureCall);
    }
}

} // namespace vantor
