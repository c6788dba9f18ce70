#pragma once

#include "playout/filechooser.h"

#include <deque>

// Hands out scripted file choices; nothing left means the operator cancelled.
class ScriptedFileChooser : public vantor::playout::FileChooser
{
public:
    std::deque<QString> choices;
    int shown = 0;
    QString lastTitle;
    QStringList lastFilters;

    std::optional<QString> chooseMovie(const QString &title, const QStringList &filters) override
    {
        ++shown;
        lastTitle = title;
        lastFilters = filters;
        if (choices.empty())
            return std::nullopt;
        const QString choice = choices.front();
        choices.pop_front();
        return choice;
    }
};
