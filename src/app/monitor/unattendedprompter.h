#pragma once

#include "errortrap/prompter.h"

#include <QString>

#include <functional>

namespace vantor::app {

// The error box of a start that nobody watches (under a service manager, or --unattended).
// Until the start is done, a box would wait for a person who is not there, and Abort, its
// default, would leave the station dead: each error goes to the port log as a "***" line
// instead, and the start goes on with the next step (Ignore). Once the start is done, errors
// get the box as always.
//
// Window thread only.
class UnattendedPrompter : public Prompter
{
public:
    using Log = std::function<void(const QString &line)>;

    explicit UnattendedPrompter(Prompter &box)
        : m_box(box)
    {
    }

    // Where the errors of the start go (the port log); before it is set they go to standard error.
    void setLog(Log log) { m_log = std::move(log); }
    // The start is done: from now on the box asks.
    void startIsDone() { m_starting = false; }

    Answer ask(const std::string &prompt) override;

private:
    Prompter &m_box;
    Log m_log;
    bool m_starting = true; // the start is still running: nobody is asked
};

} // namespace vantor::app
