#include "commandconsole.h"

#include "portsession.h"

#include "errortrap/procedure.h"

#include <QComboBox>

namespace vantor::serial {

CommandConsole::CommandConsole(ErrorTrap &trap, SerialPortService &port, PortSession &session, Controls controls)
    : m_trap(trap)
    , m_port(port)
    , m_session(session)
    , m_c(std::move(controls))
{
}

void CommandConsole::cmdGetInfo_Click()
{
    Procedure p(m_trap, {"frmMAIN", "cmdGetInfo_Click"}, 78);
    p.step(79, [&] { p.localHandler(); });
    try {
        if (p.test(80, [&] { return !m_session.isOpen(); }))
            p.step(81, [&] { m_session.cmdCOMStatus_Click(); });
        p.mark(82);
        QString command;
        p.step(83, [&] {
            command = m_c.cboCommand->currentText();
            m_c.setStatus1(QStringLiteral("Sending ") + command + QStringLiteral(" command..."));
        });
        // One byte per character, then a carriage return.
        p.step(84, [&] { m_port.output(command.toLatin1() + '\r'); });
        p.exit(85);
    } catch (const RuntimeError &error) {
        p.mark(86);
        m_c.setStatus1(errorLine(error));
        p.exit(95);
    }
}

void CommandConsole::lstCOMOUT_MouseDown(qint16 button, qint16, float, float)
{
    Procedure p(m_trap, {"frmMAIN", "lstCOMOUT_MouseDown"}, 167);
    if (p.test(168, [&] { return button == 2; }))
        p.step(169, [&] { m_c.clearPortLog(); });
    p.mark(170);
    p.exit(171);
}

} // namespace vantor::serial
