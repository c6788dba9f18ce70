#include "procedure.h"

namespace vantor {

namespace {
thread_local Procedure *innermost = nullptr;
}

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

Answer Procedure::handle(std::exception_ptr failure)
{
    RuntimeError error = toRuntimeError(failure);
    switch (m_mode) {
    case Mode::ResumeNext:
        m_lastError = std::move(error);
        return Answer::Ignore;
    case Mode::LocalHandler:
        throw error;
    case Mode::Standard:
        break;
    }
    return m_trap.report(error, m_where, m_line);
}

} // namespace vantor
