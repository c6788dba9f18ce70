#pragma once

#include "playout/addresschooser.h"

#include <deque>

// Hands out scripted channels and layers; nothing left means the operator cancelled.
class ScriptedAddressChooser : public vantor::playout::AddressChooser
{
public:
    std::deque<vantor::playout::SlotAddress> answers;

    std::optional<vantor::playout::SlotAddress> chooseAddress(const QString &, vantor::playout::SlotAddress) override
    {
        if (answers.empty())
            return std::nullopt;
        const auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
};
