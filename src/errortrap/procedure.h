#pragma once

#include "errortrap.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace vantor {

// One run of a trapped procedure. Its body is a sequence of numbered steps; a run-time error
// (or any exception) in a step reaches this procedure's trap:
//   - standard trap: the error box; Retry runs the step again, Ignore goes on after it;
//   - resumeNext(): the error is recorded (lastError()) and the body goes on after the step;
//   - localHandler(): the error leaves the body as a RuntimeError, for the procedure's own catch.
// An error inside a called procedure is reported by the callee's own Procedure.
//
//     Procedure p(trap, {"frmMAIN", "lblPROP_Click"}, 150);
//     if (p.test(151, [&] { return caption() == "6"; })) { p.step(152, ...); ... }
//     p.exit(158);
class Procedure
{
public:
    enum class Mode { Standard, ResumeNext, LocalHandler };

    Procedure(ErrorTrap &trap, Location where, int armLine);
    ~Procedure();
    Procedure(const Procedure &) = delete;
    Procedure &operator=(const Procedure &) = delete;

    // Runs the step numbered `line`.
    template <class F>
    void step(int line, F &&body)
    {
        using Body = std::remove_reference_t<F>;
        void *const target = const_cast<void *>(static_cast<const void *>(std::addressof(body)));
        for (;;) {
            m_line = line;
            try {
                runStep([](void *b) { (*static_cast<Body *>(b))(); }, target);
                return;
            } catch (...) {
                if (handle(std::current_exception()) == Answer::Retry)
                    continue;
                return;
            }
        }
    }

    // A condition on the line `line`. When evaluating it fails and the operator goes on,
    // the statement after the test runs, as the block under a condition does.
    template <class F>
    bool test(int line, F &&condition)
    {
        bool result = true;
        step(line, [&] { result = condition(); });
        return result;
    }

    // Marks a numbered line that does no work of its own (else, end of block, normal exit).
    void mark(int line) { m_line = line; }
    void exit(int line) { m_line = line; }

    void resumeNext() { m_mode = Mode::ResumeNext; }
    void localHandler() { m_mode = Mode::LocalHandler; }

    const std::optional<RuntimeError> &lastError() const { return m_lastError; }
    void clearError() { m_lastError.reset(); }

    const Location &location() const { return m_where; }
    int line() const { return m_line; }
    Procedure *caller() const { return m_caller; }

    // True while the body of one of this procedure's steps runs.
    bool inStep() const { return m_boundary != nullptr; }

    // For the fault handler (faultsignals_linux.cpp, faultfilter_win.cpp), while a step runs: the
    // stack address above every frame of the step's body, and the jump back to the step's start
    // for a fault that cannot be thrown through those frames; the step then fails with that
    // fault's error. jumpTarget() is the jump's buffer (stepjump_*.h), the fault set, for a
    // handler that resumes the thread there itself (Windows: through the fault's context).
    std::uintptr_t stepFrame() const;
    [[noreturn]] void jumpBackToStep(int signal, const char *name);
    void *jumpTarget(int signal, const char *name);

    // The innermost procedure running on this thread, or nullptr.
    static Procedure *current();

private:
    struct StepBoundary;
    void runStep(void (*invoke)(void *), void *body);
    Answer handle(std::exception_ptr failure);

    ErrorTrap &m_trap;
    Location m_where;
    int m_line;
    Mode m_mode = Mode::Standard;
    std::optional<RuntimeError> m_lastError;
    Procedure *m_caller;
    StepBoundary *m_boundary = nullptr;
};

} // namespace vantor
