#include "procedure.h"

#include "exceptionfilter.h"

#include <csetjmp>

namespace vantor {

namespace {
thread_local Procedure *innermost = nullptr;
}

// Where a fault that cannot be thrown comes back to. The mask is not saved (no system call per
// step): the fault signals are handled with SA_NODEFER, so a jump leaves nothing blocked.
struct Procedure::StepBoundary
{
    sigjmp_buf resume;
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

    if (sigsetjmp(boundary.resume, 0) != 0) // back from a fault that could not be thrown
        throw ProcessorFault(boundary.signal, boundary.name);
    m_boundary = &boundary;
    invoke(body);
}

std::uintptr_t Procedure::stepFrame() const
{
    return reinterpret_cast<std::uintptr_t>(m_boundary);
}

void Procedure::jumpBackToStep(int signal, const char *name)
{
    m_boundary->signal = signal;
    m_boundary->name = name;
    siglongjmp(m_boundary->resume, 1);
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
