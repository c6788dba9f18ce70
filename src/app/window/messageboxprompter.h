#pragma once

#include "errortrap/prompter.h"

#include <QString>

class QWidget;

namespace vantor::app {

// The program's error box: modal, Abort/Retry/Ignore, Abort the default, no icon,
// titled with the application's title.
class MessageBoxPrompter : public Prompter
{
public:
    explicit MessageBoxPrompter(QWidget *parent = nullptr)
        : m_parent(parent)
    {
    }
    void setParent(QWidget *parent) { m_parent = parent; }
    Answer ask(const std::string &prompt) override;

private:
    QWidget *m_parent;
};

} // namespace vantor::app
