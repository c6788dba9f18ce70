#pragma once

#include "prompter.h"
#include "runtimeerror.h"

#include <functional>
#include <string>
#include <string_view>

namespace vantor {

// Where an error arose: module and procedure, written into each procedure when it is built.
struct Location
{
    const char *module;
    const char *procedure;
};

// The one error box of the program. Every trapped procedure reports through it.
class ErrorTrap
{
public:
    static constexpr const char *Project = "VANTOR";

    // endProgram must not return; by default the process ends at once, running nothing more.
    explicit ErrorTrap(Prompter &prompter, std::function<void()> endProgram = {});

    // The four lines of the box, joined by CR LF.
    static std::string prompt(const RuntimeError &error, const Location &where, int line);

    // Shows the box and returns Retry or Ignore; Abort ends the program and never returns.
    Answer report(const RuntimeError &error, const Location &where, int line);

    Prompter &prompter() { return m_prompter; }

private:
    Prompter &m_prompter;
    std::function<void()> m_endProgram;
};

} // namespace vantor
