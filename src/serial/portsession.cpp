#include "portsession.h"

#include "integerconversion.h"

#include "errortrap/procedure.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

namespace vantor::serial {

namespace {
constexpr quint32 Red = 255;
constexpr quint32 Green = 65280;

// The port box shows what the operator typed or chose, and nothing else runs cboComm_Click:
// Qt's inline completion would change the text after cboComm_Change has read it (ports 3
// and 10 listed, "1" typed: the box shows 10 while port 1 is used), and Enter or leaving the
// box would choose the entry with the typed text a second time.
void showOnlyTheNumberInUse(QComboBox *box)
{
    QLineEdit *edit = box->lineEdit();
    if (edit == nullptr)
        return;
    box->setCompleter(nullptr);
    QObject::disconnect(edit, &QLineEdit::returnPressed, box, nullptr);
    QObject::disconnect(edit, &QLineEdit::editingFinished, box, nullptr);
}
} // namespace

QString errorLine(const RuntimeError &error)
{
    return QStringLiteral("***Err %1. %2").arg(error.number()).arg(QString::fromStdString(error.description()));
}

PortSession::PortSession(ErrorTrap &trap, SerialPortService &port, Controls controls, QObject *parent)
    : QObject(parent)
    , m_trap(trap)
    , m_port(port)
    , m_c(std::move(controls))
{
    showOnlyTheNumberInUse(m_c.cboComm);
    connect(&m_port, &SerialPortService::notice, this, [this](const QString &line) { m_c.setStatus1(line); });
    connect(&m_port, &SerialPortService::portLost, this, &PortSession::portLost);
}

bool PortSession::isOpen() const
{
    return m_c.cmdCOMStatus->text() == CloseCaption;
}

void PortSession::cboComm_Change()
{
    Procedure p(m_trap, {"frmMAIN", "cboComm_Change"}, 1);
    p.step(2, [&] { p.resumeNext(); });
    p.step(3, [&] { m_port.setCommPort(toInt16(m_c.cboComm->currentText())); });
    if (p.test(4, [&] { return p.lastError().has_value(); })) {
        const RuntimeError error = *p.lastError();
        p.step(5, [&] { m_c.setStatus1(errorLine(error)); });
    } else {
        p.mark(6);
        p.step(7, [&] { m_c.setStatus1(QStringLiteral("Changed to Com Port ") + m_c.cboComm->currentText()); });
    }
    p.mark(8);
    p.exit(9);
}

void PortSession::cboComm_Click()
{
    Procedure p(m_trap, {"frmMAIN", "cboComm_Click"}, 10);
    p.step(11, [&] { cboComm_Change(); });
    p.exit(12);
}

QString PortSession::settingsFromLists() const
{
    return QStringList{m_c.cboBaubRate->currentText(), m_c.cboParity->currentText(), m_c.cboDataBits->currentText(),
                       m_c.cboStopBits->currentText()}
        .join(QLatin1Char(','));
}

void PortSession::cmdCOMStatus_Click()
{
    Procedure p(m_trap, {"frmMAIN", "cmdCOMStatus_Click"}, 105);
    p.step(106, [&] { p.localHandler(); });
    try {
        if (p.test(107, [&] { return m_c.cmdCOMStatus->text() == CloseCaption; })) {
            p.step(108, [&] { m_c.setStatus1(QStringLiteral("Closing COM Port %1").arg(m_port.commPort())); });
            p.step(109, [&] { m_port.setPortOpen(false); });
            p.step(110, [&] { m_c.cmdCOMStatus->setText(OpenCaption); });
            p.step(111, [&] { m_c.cmdGetComPorts->setEnabled(true); });
            p.step(112, [&] { m_c.setLamp(Red); });
        } else {
            p.mark(113);
            p.step(114, [&] { m_c.setStatus1(QStringLiteral("Opening COM Port %1").arg(m_port.commPort())); });
            p.step(115, [&] {
                m_port.setSettings(settingsFromLists());
                m_port.setPortOpen(true);
            });
            p.step(116, [&] { m_c.cmdCOMStatus->setText(CloseCaption); });
            p.step(117, [&] { m_c.cmdGetComPorts->setEnabled(false); });
            p.step(118, [&] { m_c.setLamp(Green); });
        }
        p.mark(119);
        p.exit(120);
    } catch (const RuntimeError &error) {
        p.mark(121);
        m_c.setStatus1(errorLine(error));
        p.exit(123);
    }
}

void PortSession::showClosed()
{
    m_c.cmdCOMStatus->setText(OpenCaption);
    m_c.cmdGetComPorts->setEnabled(true);
    m_c.setLamp(Red);
}

// The open port went away under us (adapter pulled, server gone): say so and show the
// session closed, so the lamp never stays green for a port that is not there.
void PortSession::portLost(qint32 number, const QString &description)
{
    m_c.setStatus1(errorLine(RuntimeError(number, description.toStdString())));
    showClosed();
}

} // namespace vantor::serial
