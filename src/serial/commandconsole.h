#pragma once

#include "serial/service/serialportservice.h"

#include "errortrap/errortrap.h"

#include <functional>

class QComboBox;
class QPushButton;

namespace vantor::serial {

class PortSession;

// Sends a typed command (for instance "AT+GMM") to the port, and empties the port log
// on a right click.
class CommandConsole
{
public:
    struct Controls
    {
        QComboBox *cboCommand = nullptr;
        std::function<void(const QString &)> setStatus1;
        std::function<void()> clearPortLog;
    };

    CommandConsole(ErrorTrap &trap, SerialPortService &port, PortSession &session, Controls controls);

    void cmdGetInfo_Click();
    void lstCOMOUT_MouseDown(qint16 button, qint16 shift, float x, float y);

private:
    ErrorTrap &m_trap;
    SerialPortService &m_port;
    PortSession &m_session;
    Controls m_c;
};

} // namespace vantor::serial
