#pragma once

#include "errortrap/prompter.h"

#include <deque>
#include <string>
#include <vector>

// Answers error boxes from a script and remembers every prompt it was shown.
// When the script runs out it answers Ignore.
class ScriptedPrompter : public vantor::Prompter
{
public:
    std::deque<vantor::Answer> answers;
    std::vector<std::string> prompts;

    vantor::Answer ask(const std::string &prompt) override
    {
        prompts.push_back(prompt);
        if (answers.empty())
            return vantor::Answer::Ignore;
        const vantor::Answer a = answers.front();
        answers.pop_front();
        return a;
    }
};
