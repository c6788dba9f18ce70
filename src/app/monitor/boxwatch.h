#pragma once

#include "errortrap/prompter.h"

#include <QObject>
#include <QString>

#include <vector>

namespace vantor::app {

// Sees the error trap's boxes open and close: it stands between the trap and the box, and
// while a box waits for an answer, waitingFor() says which, briefly:
//   "waiting for an answer to Error 40006 (Too many commands waiting) at frmMAIN.FIREME, line 12".
// A box may open while another waits (a timer's procedure fails in the first box's event
// loop): the newest one is named, and the text empties when the last one is answered.
//
// Window thread only.
class BoxWatch : public QObject, public Prompter
{
    Q_OBJECT

public:
    explicit BoxWatch(Prompter &box, QObject *parent = nullptr);

    Answer ask(const std::string &prompt) override;

    // What the open box asks, as above; empty while none is open.
    QString waitingFor() const { return m_open.empty() ? QString() : m_open.back(); }
    // The text for a box's prompt (the trap's four lines).
    static QString summary(const std::string &prompt);

Q_SIGNALS:
    void changed(const QString &waitingFor);

private:
    Prompter &m_box;
    std::vector<QString> m_open; // the boxes open now, the first opened first
};

} // namespace vantor::app
