#include "errortrap.h"

#include <cstdio>
#include <cstdlib>

namespace vantor {

namespace {
[[noreturn]] void endAtOnce()
{
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}
} // namespace

ErrorTrap::ErrorTrap(Prompter &prompter, std::function<void()> endProgram)
    : m_prompter(prompter)
    , m_endProgram(std::move(endProgram))
{
}

std::string ErrorTrap::prompt(const RuntimeError &error, const Location &where, int line)
{
    std::string text = "Error " + std::to_string(error.number()) + "\r\n";
    text += error.description() + "\r\n";
    text += std::string("Location: ") + Project + "." + where.module + "." + where.procedure + "\r\n";
    text += "Line " + std::to_string(line);
    return text;
}

Answer ErrorTrap::report(const RuntimeError &error, const Location &where, int line)
{
    const Answer answer = m_prompter.ask(prompt(error, where, line));
    if (answer == Answer::Retry || answer == Answer::Ignore)
        return answer;
    if (m_endProgram)
        m_endProgram();
    endAtOnce();
}

} // namespace vantor
