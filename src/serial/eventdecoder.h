#pragma once

#include "serial/service/serialportservice.h"

#include "errortrap/errortrap.h"

#include <functional>

namespace vantor::serial {

// Turns each event of the port into the History line that names it, and fires the armed
// trigger slots whose condition a CTS or DSR change meets.
class EventDecoder
{
public:
    struct Controls
    {
        std::function<bool(int slot)> armed;   // slot 0..5 armed (check box value 1)
        std::function<void(qint16 slot)> fire; // FIREME
        std::function<void(const QString &)> setStatus;
    };

    EventDecoder(ErrorTrap &trap, SerialPortService &port, Controls controls);

    void MSComm1_OnComm();

    // The History text of an event code other than a line change or received data.
    static QString message(qint16 code);

private:
    ErrorTrap &m_trap;
    SerialPortService &m_port;
    Controls m_c;
};

} // namespace vantor::serial
