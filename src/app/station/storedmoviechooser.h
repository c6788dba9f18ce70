#pragma once

#include "playout/filechooser.h"

namespace vantor::app {

// The window's file chooser, which can be told the answer to the next question: how a
// restored movie goes through the slot's own procedure, as if the operator had picked it.
class StoredMovieChooser : public playout::FileChooser
{
public:
    explicit StoredMovieChooser(playout::FileChooser &operatorChooser)
        : m_operator(operatorChooser)
    {
    }

    // The next chooseMovie() returns `path` without asking anyone.
    void answerNext(const QString &path) { m_next = path; }

    std::optional<QString> chooseMovie(const QString &title, const QStringList &filters) override
    {
        if (m_next)
            return std::exchange(m_next, std::nullopt);
        return m_operator.chooseMovie(title, filters);
    }

private:
    playout::FileChooser &m_operator;
    std::optional<QString> m_next;
};

} // namespace vantor::app
