#pragma once

#include "playcommand.h"

#include "errortrap/errortrap.h"

#include <functional>

class QLabel;

namespace vantor::playout {

class CasparConnection;
class TriggerSlots;

// Fires trigger slots: sends the slot's movie to the server as a play command and records
// the outcome in the History log and in the top strip's last-trigger label.
class Firing
{
public:
    struct Controls
    {
        QLabel *lblLASTTRINGER = nullptr;
        std::function<void(const QString &message)> setStatus;
    };

    Firing(Controls controls, ErrorTrap &trap, const TriggerSlots &triggers, CasparConnection &connection);

    // Fires slot triggerid (0 to 5), armed or not: the caller has decided that it fires.
    void FIREME(qint16 triggerid);

private:
    Controls m_controls;
    ErrorTrap &m_trap;
    const TriggerSlots &m_triggers;
    CasparConnection &m_connection;
    PlayCommand m_command;
};

} // namespace vantor::playout
