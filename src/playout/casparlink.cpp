#include "casparlink.h"

#include "casparconnection.h"

#include "errortrap/procedure.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace vantor::playout {

namespace {
constexpr Location ClickLocation{"frmMAIN", "cmdCASPAR_Click"};
} // namespace

CasparLink::CasparLink(Controls controls, ErrorTrap &trap, CasparConnection &connection, QObject *parent)
    : QObject(parent)
    , m_controls(std::move(controls))
    , m_trap(trap)
    , m_connection(connection)
{
    connect(&m_connection, &CasparConnection::establishedChanged, this, &CasparLink::showLamp);
    connect(&m_connection, &CasparConnection::historyLine, this,
            [this](const QString &line) { m_controls.setStatus(line); });
}

void CasparLink::showLamp()
{
    m_controls.setLamp(m_connection.isEstablished() ? Green : Red);
}

void CasparLink::cmdCASPAR_Click()
{
    Procedure p(m_trap, ClickLocation, 45);
    QPushButton *button = m_controls.cmdCASPAR;

    if (p.test(46, [&] { return button->text() == QLatin1String("Connect"); })) {
        p.step(47, [&] { m_connection.connectTo(m_controls.txtCASPARIP->text()); });
        // Green only once the connection is really made (establishedChanged).
        p.step(48, [&] { showLamp(); });
        p.step(49, [&] { button->setText(QStringLiteral("Disconnect")); });
        p.step(50, [&] { m_controls.lblCASPAR->setText(QStringLiteral("CSP:") + m_controls.txtCASPARIP->text()); });
    } else {
        p.mark(51);
        p.step(52, [&] { m_connection.close(); });
        p.step(53, [&] { m_controls.setLamp(Red); });
        p.step(54, [&] { button->setText(QStringLiteral("Connect")); });
        p.step(55, [&] { m_controls.lblCASPAR->setText(QStringLiteral("CSP:")); });
    }
    p.mark(56);
    p.exit(59);
}

} // namespace vantor::playout
