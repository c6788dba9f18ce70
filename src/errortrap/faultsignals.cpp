#include "faultsignals.h"

#include "exceptionfilter.h"
#include "procedure.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <exception>

#include <execinfo.h>
#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

// How a fault reaches the trap of the step that was running.
//
// The handler throws a ProcessorFault. The whole program is compiled with -fnon-call-exceptions
// (top-level CMakeLists.txt), so every instruction that can fault (a load, a store, a division)
// lies inside the exception regions of its function, and the unwinder walks from the handler
// through the kernel's signal frame into the faulting code and on to Procedure::step: the
// destructors of everything the step built run, a procedure called from the step takes itself
// off the chain of running procedures, and Retry and Ignore work as for any other run-time error.
//
// The alternative, a jump back to the step boundary (sigsetjmp/siglongjmp), skips every
// destructor between the fault and the step: it leaks, leaves locks held and leaves a called
// procedure on the chain of running procedures; and a sigsetjmp that saves the signal mask
// costs a system call on every step of the trigger path.
//
// The handler is left by the throw, never by sigreturn, so it is installed with SA_NODEFER and
// an empty sa_mask: nothing it would block stays blocked after the throw.
//
// A fault inside a library built without -fnon-call-exceptions, at an instruction that its
// function's exception table does not cover, makes the unwinder call std::terminate; the
// terminate handler below then ends the process by the fault's signal as for any fault that
// cannot be delivered.

namespace vantor {

namespace {

constexpr int HandledSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr std::size_t AlternateStackSize = 256 * 1024;
constexpr std::int32_t InvalidProcedureCall = 5;

// The thread that installed the filter, and its stack. Written once before the handlers go in.
struct UserInterfaceThread
{
    std::atomic<pid_t> tid{0};
    std::atomic<std::uintptr_t> stackLow{0};
    std::atomic<std::uintptr_t> stackHigh{0};
};

UserInterfaceThread uiThread;
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

[[noreturn]] void endByDefaultAction(int signal, const char *name, const char *why, const void *address)
{
    writeText("VANTOR: ");
    writeText(name != nullptr ? name : "Unknown Exception");
    writeText(" (signal ");
    writeNumber(std::uintptr_t(signal), 10);
    writeText(", address 0x");
    writeNumber(reinterpret_cast<std::uintptr_t>(address), 16);
    writeText(") ");
    writeText(why);
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

// Why a fault cannot go to a step's trap, or nullptr when it can.
const char *undeliverable(const siginfo_t *info, bool onUserInterfaceThread)
{
    if (info->si_code <= 0)
        return "sent by a process, not raised by an instruction";
    if (!onUserInterfaceThread)
        return "outside the user-interface thread";
    if (handlerDepth > 1 || ProcessorFault::inFlight() > 0)
        return "while an earlier fault was being handled";
    const Procedure *running = Procedure::current();
    if (running == nullptr || !running->inStep())
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
    throw ProcessorFault(signal, verdict.name);
}

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
        throw RuntimeError(errors::OutOfMemory, "Out of memory");
    mprotect(base, page, PROT_NONE); // a guard page under it
    stack_t alternate = {};
    alternate.ss_sp = static_cast<char *>(base) + page;
    alternate.ss_size = size;
    if (sigaltstack(&alternate, nullptr) != 0) {
        munmap(base, size + page);
        throw RuntimeError(InvalidProcedureCall, "Invalid procedure call or argument");
    }
}

} // namespace

void installFaultFilter()
{
    recordUserInterfaceThread();
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
            throw RuntimeError(InvalidProcedureCall, "Invalid procedure call or argument");
    }
}

} // namespace vantor
