#pragma once

#include <string>

namespace vantor {

// The operator's answer to an error box. The values are those of the classic message box.
enum class Answer { Abort = 3, Retry = 4, Ignore = 5 };

// Asks the operator what to do about an error. The program shows a modal
// Abort/Retry/Ignore box; tests script the answers.
class Prompter
{
public:
    virtual ~Prompter() = default;
    virtual Answer ask(const std::string &prompt) = 0;
};

} // namespace vantor
