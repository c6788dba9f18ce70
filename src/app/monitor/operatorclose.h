#pragma once

#include <QObject>

class QWidget;

namespace vantor::app {

// Whether the operator ended the program: a close of the window that comes from the window
// system (its close button, the window manager's Close) and not from the program itself
// (SIGTERM and SIGINT close the window too). Such an end has an exit status of its own, which
// the service unit does not restart (RestartPreventExitStatus=); every other end it restarts.
//
// Window thread only.
class OperatorClose : public QObject
{
    Q_OBJECT

public:
    static constexpr int ExitStatus = 3;

    explicit OperatorClose(QWidget &window);

    // The program's exit status for the event loop's.
    int exitStatus(int loopStatus) const { return loopStatus == 0 && m_closed ? ExitStatus : loopStatus; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_closed = false; // the window system closed the window
};

} // namespace vantor::app
