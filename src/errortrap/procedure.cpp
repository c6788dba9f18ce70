#include "procedure.h"

#include "exceptionfilter.h"

// stepjump_linux.h or stepjump_win.h, chosen in CMakeLists.txt.
#include VANTOR_STEP_JUMP_HEADER

namespace vantor {

namespace {
thread_local Procedure *innermost = nullptr;
}

// Where a fault that cannot be thrown comes back to.
struct Procedure::StepBoundary
{
    StepJumpBuffer resume;
    volatile int signal = 0;
    const char *volatile name = nullptr;
};

Procedure::Procedure(ErrorTrap &trap, Location where, int armLine)
    : m_trap(trap)
    , m_where(where)
    , m_line(armLine)
    , m_caller(innermost)
{
    innermost = this;
}

Procedure::~Procedure()
{
    innermost = m_caller;
}

Procedure *Procedure::current()
{
    return innermost;
}

void Procedure::runStep(void (*invoke)(void *), void *body)
{
    StepBoundary boundary;
    // However the body ends, this procedure is the innermost one again: a procedure called from
    // the body is gone even when a fault skipped its destructor (the jump below always does; a
    // throw does when the compiler dropped a destructor it proved unreachable, after a trap).
    struct Restore
    {
        Procedure *const procedure;
        StepBoundary *const outer;
        ~Restore()
        {
            procedure->m_boundary = outer;
            innermost = procedure;
        }
    } const restore{this, m_boundary};

    if (VANTOR_STEP_SETJMP(boundary.resume) != 0) { // back from a fault that could not be thrown
        VANTOR_STEP_AFTER_JUMP(boundary.signal);
        throw ProcessorFault(boundary.signal, boundary.name);
    }
    m_boundary = &boundary;
    invoke(body);
}

std::uintptr_t Procedure::stepFrame() const
{
    return reinterpret_cast<std::uintptr_t>(m_boundary);
}

void Procedure::jumpBackToStep(int signal, const char *name)
{
    VANTOR_STEP_LONGJMP(*static_cast<StepJumpBuffer *>(jumpTarget(signal, name)));
}

void *Procedure::jumpTarget(int signal, const char *name)
{
    m_boundary->signal = signal;
    m_boundary->name = name;
    return &m_boundary->resume;
}

Answer Procedure::handle(std::exception_ptr failure)
{
    RuntimeError error = toRuntimeError(failure);
    switch (m_mode) {
    case Mode::ResumeNext: m_lastError = std::move(error); return Answer::Ignore;
    case Mode::LocalHandler: throw error;
    case Mode::Standard: break;
    }
    return m_trap.report(error, m_where, m_line);
}

} // namespace vantor
