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

CasparLink::CasparLink(Controls controls, ErrorTrap &trap, CasparServers servers, QObject *parent)
    : QObject(parent)
    , m_controls(std::move(controls))
    , m_trap(trap)
    , m_servers(servers)
    , m_connection(servers.main())
{
    m_backupRetry.setSingleShot(true);
    connect(&m_backupRetry, &QTimer::timeout, this, &CasparLink::checkBackup);
    for (int server = 0; server < m_servers.count(); ++server) {
        CasparConnection &c = m_servers.at(server);
        connect(&c, &CasparConnection::establishedChanged, this, &CasparLink::showLamp);
        connect(&c, &CasparConnection::historyLine, this,
                [this, server](const QString &line) { m_controls.setStatus(line + CasparServers::suffix(server)); });
    }
}

void CasparLink::showLamp()
{
    m_controls.setLamp(m_connection.isEstablished() ? Green : Red);
    if (CasparConnection *backup = m_servers.backup(); backup && m_controls.setBackupLamp)
        m_controls.setBackupLamp(backup->isEstablished() ? Green : Red);
}

void CasparLink::checkBackup()
{
    CasparConnection *backup = m_servers.backup();
    if (!backup)
        return;
    const BackupCheck::Server main{m_mainHost, m_connection.port()}, other{m_controls.backupHost, backup->port()};
    m_backupCheck.start(main, other, [this, other](BackupCheck::Verdict verdict, const QString &detail) {
        switch (verdict) {
        case BackupCheck::Verdict::Distinct: m_servers.backup()->connectTo(other.host); return;
        case BackupCheck::Verdict::Same:
            m_controls.setStatus(QStringLiteral("***Backup server %1 not used: it is the main server (%2 port %3)")
                                     .arg(other.host, detail)
                                     .arg(other.port));
            return;
        case BackupCheck::Verdict::Unknown:
            if (!std::exchange(m_backupUnknownSaid, true))
                m_controls.setStatus(
                    QStringLiteral("***Backup server %1 not connected yet: %2; trying again every %3 s")
                        .arg(other.host, detail)
                        .arg(BackupRetryMs / 1000));
            m_backupRetry.start(BackupRetryMs);
            return;
        }
    });
}

void CasparLink::cmdCASPAR_Click()
{
    Procedure p(m_trap, ClickLocation, 45);
    QPushButton *button = m_controls.cmdCASPAR;

    if (p.test(46, [&] { return button->text() == QLatin1String("Connect"); })) {
        p.step(47, [&] {
            m_mainHost = m_controls.txtCASPARIP->text();
            m_connection.connectTo(m_mainHost);
            m_backupUnknownSaid = false;
            checkBackup();
        });
        // Green only once the connection is really made (establishedChanged).
        p.step(48, [&] { showLamp(); });
        p.step(49, [&] { button->setText(QStringLiteral("Disconnect")); });
        p.step(50, [&] { m_controls.lblCASPAR->setText(QStringLiteral("CSP:") + m_controls.txtCASPARIP->text()); });
    } else {
        p.mark(51);
        p.step(52, [&] {
            m_connection.close();
            m_backupCheck.cancel();
            m_backupRetry.stop();
            if (CasparConnection *backup = m_servers.backup())
                backup->close();
        });
        p.step(53, [&] {
            m_controls.setLamp(Red);
            if (m_servers.backup() && m_controls.setBackupLamp)
                m_controls.setBackupLamp(Red);
        });
        p.step(54, [&] { button->setText(QStringLiteral("Connect")); });
        p.step(55, [&] { m_controls.lblCASPAR->setText(QStringLiteral("CSP:")); });
    }
    p.mark(56);
    p.exit(59);
}

} // namespace vantor::playout
