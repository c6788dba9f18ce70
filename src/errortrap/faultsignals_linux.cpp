#include "faultsignals.h"

#include "callsitetable.h"
#include "exceptionfilter.h"
#include "procedure.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <exception>
#include <iterator>
#include <utility>

#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

// How a fault reaches the trap of the step that was running.
//
// The rule: a fault goes to a step only when the step's own code, or code of this program that
// it called, faulted. Every frame between the fault and the step must be the program's own (its
// executable's code); the faulting frame alone may instead be one of a few leaf functions of the
// C library that take no lock and call nothing (FaultPassableLeaves below). Any other frame is
// a library's (Qt, the C library, anything built without our exception tables): its clean-ups
// cannot run, neither by a throw nor by the jump below, so a lock it holds would stay locked and
// the next lock() would hang the program. A hang on air is worse than an end: such a fault ends
// the program with its name and a backtrace, and the service manager starts it again. In
// particular a fault never unwinds through an event loop: a fault in a handler that an event
// loop called (painting, a socket read, a timer, while a box or dialog opened in a step shows)
// does not reach that step; it is a fault outside any step. A box of its own for it cannot be
// shown safely either, as Qt's frames of the dispatch lie between the fault and any catch.
//
// Within the program's own frames the fault goes on as follows. First choice, a throw from the
// handler. The whole program is compiled with
// -fnon-call-exceptions (top-level CMakeLists.txt), so an instruction of ours that can fault (a
// load, a store, a division) lies inside the exception regions of its function, and the
// unwinder walks from the handler through the kernel's signal frame into the faulting code and
// on to Procedure::step: the destructors of everything the step built run, a procedure called
// from the step takes itself off the chain of running procedures, and Retry and Ignore work as
// for any other run-time error.
//
// A throw cannot pass every frame of ours, though: g++ leaves out of a function's call-site
// table the instructions it proves cannot throw (a stack access that overflows, __builtin_trap,
// the body of a noexcept function, a call to a function it found nothrow), and so does our code
// built without -fnon-call-exceptions. The unwinder calls std::terminate at such a frame.
// So before throwing, the handler walks the frames between the fault and the step with the
// unwinder's own tables and reads the call-site table of each (callsitetable.h). When one of
// them would stop the throw, the handler jumps back to the start of the step instead
// (Procedure::jumpBackToStep, a siglongjmp to a sigsetjmp that saves no mask, so no system call
// per step) and the step fails there with the same error: the destructors of the skipped frames
// of ours do not run, which may leak, but the program stays on air and the operator gets the
// box. (The window thread's own code takes no lock that such a frame could hold.)
// Either way the step leaves its procedure the innermost one (Procedure::runStep), even when a
// called procedure's destructor was skipped.
//
// The handler is left by the throw or the jump, never by sigreturn, so it is installed with
// SA_NODEFER and an empty sa_mask: nothing it would block stays blocked afterwards.

namespace vantor {

namespace {

constexpr int HandledSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr std::size_t AlternateStackSize = 256 * 1024;

// The thread that installed the filter, and its stack. Written once before the handlers go in.
struct UserInterfaceThread
{
    std::atomic<pid_t> tid{0};
    std::atomic<std::uintptr_t> stackLow{0};
    std::atomic<std::uintptr_t> stackHigh{0};
};

UserInterfaceThread uiThread;

// C library functions that a fault may stop in and still reach the step: leaves that take no
// lock, change no state of the library and call nothing.
constexpr const char *FaultPassableLeaves[] = {"memchr", "memcmp", "memcpy", "memmove", "memset",  "strchr",
                                               "strcmp", "strcpy", "strlen", "strncmp", "strnlen", "strrchr"};

// Where the program's own code and the passable leaves lie. Written once before the handlers
// go in, read by the handler.
struct CodeMap
{
    struct Range
    {
        std::uintptr_t low = 0;
        std::uintptr_t high = 0;
    };
    std::array<Range, 8> own{};
    std::size_t ownCount = 0;
    std::array<std::uintptr_t, std::size(FaultPassableLeaves)> leaves{};

    bool isOwn(std::uintptr_t ip) const
    {
        for (std::size_t i = 0; i < ownCount; ++i) {
            if (ip >= own[i].low && ip < own[i].high)
                return true;
        }
        return false;
    }
    bool isLeaf(std::uintptr_t functionStart) const
    {
        return functionStart != 0 && std::find(leaves.begin(), leaves.end(), functionStart) != leaves.end();
    }
};

CodeMap codeMap;
std::atomic<int> lastFaultSignal{0};
std::atomic<const char *> lastFaultName{nullptr};
std::terminate_handler previousTerminate = nullptr;

// How many fault handlers this thread is inside; more than one means a fault in the handler.
thread_local int handlerDepth = 0;

struct HandlerEntry
{
    HandlerEntry() { ++handlerDepth; }
    ~HandlerEntry() { --handlerDepth; }
    HandlerEntry(const HandlerEntry &) = delete;
    HandlerEntry &operator=(const HandlerEntry &) = delete;
};

// Async-signal-safe output to standard error.
void writeText(const char *text)
{
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, text, left);
        if (written <= 0)
            return;
        text += written;
        left -= std::size_t(written);
    }
}

void writeNumber(std::uintptr_t value, unsigned base)
{
    char digits[2 * sizeof value + 1];
    char *p = digits + sizeof digits - 1;
    *p = '\0';
    do {
        *--p = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    writeText(p);
}

[[noreturn]] void endByDefaultAction(int signal, const char *name, const char *why, const void *address,
                                     const Procedure *stepping = nullptr)
{
    writeText("VANTOR: ");
    writeText(name != nullptr ? name : "Unknown Exception");
    writeText(" (signal ");
    writeNumber(std::uintptr_t(signal), 10);
    writeText(", address 0x");
    writeNumber(reinterpret_cast<std::uintptr_t>(address), 16);
    writeText(") ");
    writeText(why);
    if (stepping != nullptr) {
        writeText(", while ");
        writeText(stepping->location().module);
        writeText(".");
        writeText(stepping->location().procedure);
        writeText(" line ");
        writeNumber(std::uintptr_t(stepping->line()), 10);
        writeText(" ran");
    }
    writeText("; ending.\n");
    void *frames[64];
    backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);

    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);
}

std::uintptr_t stackPointerOf(const void *context)
{
    const auto *uc = static_cast<const ucontext_t *>(context);
#if defined(__x86_64__)
    return std::uintptr_t(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return std::uintptr_t(uc->uc_mcontext.sp);
#else
    (void)uc;
    return 0;
#endif
}

std::uintptr_t instructionPointerOf(const void *context)
{
    const auto *uc = static_cast<const ucontext_t *>(context);
#if defined(__x86_64__)
    return std::uintptr_t(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return std::uintptr_t(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

// The walk from the faulting frame up to the frame that runs the step.
struct FrameWalk
{
    std::uintptr_t faultAddress;
    std::uintptr_t stepFrame;
    bool atFault = false;
    bool innermost = true;
    bool reachedStep = false;
    bool foreign = false;  // a frame that is not the program's own lies between
    bool throwable = true; // every frame's call-site table carries a throw
};

_Unwind_Reason_Code visitFrame(_Unwind_Context *frame, void *argument)
{
    auto &walk = *static_cast<FrameWalk *>(argument);
    int beforeInstruction = 0;
    std::uintptr_t ip = _Unwind_GetIPInfo(frame, &beforeInstruction);
    if (!walk.atFault) {
        walk.atFault = ip == walk.faultAddress; // the frames before it are the handler's own
        if (!walk.atFault)
            return _URC_NO_REASON;
    }
    if (_Unwind_GetCFA(frame) > walk.stepFrame) {
        walk.reachedStep = true;
        return _URC_END_OF_STACK;
    }
    if (!beforeInstruction)
        --ip; // a return address: the call lies before it
    const bool innermost = std::exchange(walk.innermost, false);
    if (!codeMap.isOwn(ip) && !(innermost && codeMap.isLeaf(_Unwind_GetRegionStart(frame)))) {
        walk.foreign = true;
        return _URC_END_OF_STACK;
    }
    const auto *lsda = static_cast<const unsigned char *>(_Unwind_GetLanguageSpecificData(frame));
    if (lsda != nullptr && !inCallSiteTable(lsda, _Unwind_GetRegionStart(frame), ip))
        walk.throwable = false;
    return _URC_NO_REASON;
}

// The frames between the fault and the step, as the rule at the top sees them.
FrameWalk walkToStep(const void *context, std::uintptr_t stepFrame)
{
    FrameWalk walk{instructionPointerOf(context), stepFrame};
    _Unwind_Backtrace(visitFrame, &walk);
    return walk;
}

// The procedure whose step is running: the innermost one, or, when the fault is in the body of
// a procedure called from a step, outside that procedure's own steps, the caller whose step it is.
Procedure *steppingProcedure()
{
    Procedure *procedure = Procedure::current();
    while (procedure != nullptr && !procedure->inStep())
        procedure = procedure->caller();
    return procedure;
}

// Why a fault cannot go to a step's trap, or nullptr when it can.
const char *undeliverable(const siginfo_t *info, bool onUserInterfaceThread)
{
    if (info->si_code <= 0)
        return "sent by a process, not raised by an instruction";
    if (!onUserInterfaceThread)
        return "outside the user-interface thread";
    if (handlerDepth > 1 || ProcessorFault::inFlight() > 0)
        return "while an earlier fault was being handled";
    if (steppingProcedure() == nullptr)
        return "outside any trapped step";
    return nullptr;
}

void onFault(int signal, siginfo_t *info, void *context)
{
    const HandlerEntry entry;
    const bool onUserInterfaceThread = gettid() == uiThread.tid.load(std::memory_order_acquire);
    StackBounds stack;
    if (onUserInterfaceThread)
        stack = {uiThread.stackLow.load(std::memory_order_relaxed), uiThread.stackHigh.load(std::memory_order_relaxed)};
    const FaultRecord record{faultCode(signal, info->si_code, reinterpret_cast<std::uintptr_t>(info->si_addr),
                                       stackPointerOf(context), stack),
                             nullptr};
    const FilterVerdict verdict = vbwExceptionFilter({&record, context});

    if (const char *why = undeliverable(info, onUserInterfaceThread))
        endByDefaultAction(signal, verdict.name, why, info->si_addr);
    lastFaultSignal.store(signal, std::memory_order_release);
    lastFaultName.store(verdict.name, std::memory_order_release);
    Procedure *const stepping = steppingProcedure();
    const FrameWalk walk = walkToStep(context, stepping->stepFrame());
    if (!walk.atFault || !walk.reachedStep || walk.foreign) {
        endByDefaultAction(signal, verdict.name,
                           "in code that is not the program's own (a library, an event loop's handler) or under it",
                           info->si_addr, stepping);
    }
    if (walk.throwable)
        throw ProcessorFault(signal, verdict.name);
    --handlerDepth; // the jump passes over the entry's destructor
    stepping->jumpBackToStep(signal, verdict.name);
}

// The last resort, for a throw that the walk judged passable and the unwinder did not.
[[noreturn]] void onTerminate()
{
    if (ProcessorFault::inFlight() > 0) {
        endByDefaultAction(lastFaultSignal.load(std::memory_order_acquire),
                           lastFaultName.load(std::memory_order_acquire),
                           "in code that cannot pass it on to the step's trap", nullptr);
    }
    if (previousTerminate != nullptr)
        previousTerminate();
    std::abort();
}

void recordUserInterfaceThread()
{
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void *low = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
            uiThread.stackLow.store(reinterpret_cast<std::uintptr_t>(low), std::memory_order_relaxed);
            uiThread.stackHigh.store(reinterpret_cast<std::uintptr_t>(low) + size, std::memory_order_relaxed);
        }
        pthread_attr_destroy(&attributes);
    }
    uiThread.tid.store(gettid(), std::memory_order_release);
}

// The executable segments of the program itself (the first object the loader lists) and the
// start of each passable leaf as the loader resolved it (for the C library's functions chosen
// at load time by the processor, the chosen one).
int recordOwnSegments(dl_phdr_info *info, std::size_t, void *)
{
    for (int i = 0; i < info->dlpi_phnum && codeMap.ownCount < codeMap.own.size(); ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0)
            continue;
        const std::uintptr_t low = info->dlpi_addr + segment.p_vaddr;
        codeMap.own[codeMap.ownCount++] = {low, low + segment.p_memsz};
    }
    return 1; // the program comes first; the libraries are not its own
}

void recordCodeMap()
{
    codeMap.ownCount = 0;
    dl_iterate_phdr(recordOwnSegments, nullptr);
    for (std::size_t i = 0; i < std::size(FaultPassableLeaves); ++i)
        codeMap.leaves[i] = reinterpret_cast<std::uintptr_t>(dlsym(RTLD_DEFAULT, FaultPassableLeaves[i]));
}

// A stack overflow leaves no room on the thread's own stack to run the handler.
void installAlternateStack()
{
    stack_t current = {};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0
        && current.ss_size >= AlternateStackSize)
        return;
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    const long minimum = sysconf(_SC_SIGSTKSZ);
    std::size_t size = std::max(AlternateStackSize, std::size_t(minimum > 0 ? minimum : 0) * 4);
    size = (size + page - 1) / page * page;
    void *base = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED)
        throw RuntimeError(errors::OutOfMemory);
    mprotect(base, page, PROT_NONE); // a guard page under it
    stack_t alternate = {};
    alternate.ss_sp = static_cast<char *>(base) + page;
    alternate.ss_size = size;
    if (sigaltstack(&alternate, nullptr) != 0) {
        munmap(base, size + page);
        throw RuntimeError(errors::InvalidProcedureCall);
    }
}

} // namespace

void installFaultFilter()
{
    recordUserInterfaceThread();
    recordCodeMap();
    installAlternateStack();
    // backtrace() loads its unwinder on first use; a fault handler must not be the first user.
    void *frame = nullptr;
    backtrace(&frame, 1);
    if (std::get_terminate() != onTerminate)
        previousTerminate = std::set_terminate(onTerminate);

    struct sigaction action = {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (const int signal : HandledSignals) {
        if (sigaction(signal, &action, nullptr) != 0)
            throw RuntimeError(errors::InvalidProcedureCall);
    }
}

} // namespace vantor
