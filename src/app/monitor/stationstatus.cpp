#include "app/monitor/stationstatus.h"

#include "app/station/logfiles.h"
#include "app/window/lamp.h"
#include "app/window/mainwindow.h"

#include "playout/firing.h"
#include "serial/service/serialportservice.h"

namespace vantor::app {

StationStatus::StationStatus(MainWindow &window, serial::SerialPortService &port, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_port(port)
    , m_portLamp(window.findChild<Lamp *>(QStringLiteral("shpCOMSTATUS")))
    , m_serverLamp(window.findChild<Lamp *>(QStringLiteral("shpCASPAR")))
    , m_backupLamp(window.findChild<Lamp *>(QStringLiteral("shpCASPARBACKUP")))
{
    Q_ASSERT(m_portLamp && m_serverLamp);
    for (Lamp *lamp : {m_portLamp, m_serverLamp, m_backupLamp}) {
        if (lamp)
            connect(lamp, &Lamp::fillColorChanged, this, &StationStatus::update);
    }
    m_before = window.firing().record();
    window.firing().setRecord([this](const playout::FiringRecord &record) {
        if (m_before)
            m_before(record);
        fired(record);
    });
    m_text = text();
}

StationStatus::~StationStatus()
{
    m_window.firing().setRecord(m_before);
}

QString StationStatus::text() const
{
    QString line = m_waiting.isEmpty() ? QString() : m_waiting + QStringLiteral("; ");
    line += QStringLiteral("COM %1 %2, Caspar %3, ")
                .arg(m_port.commPort())
                .arg(m_portLamp->meaning(), m_serverLamp->meaning());
    if (m_backupLamp)
        line += QStringLiteral("backup %1, ").arg(m_backupLamp->meaning());
    return line + (m_lastFire.isEmpty() ? QStringLiteral("no fire yet") : QStringLiteral("last fire ") + m_lastFire);
}

void StationStatus::setWaiting(const QString &waitingFor)
{
    m_waiting = waitingFor;
    update();
}

void StationStatus::fired(const playout::FiringRecord &record)
{
    if (record.server != playout::CasparServers::Main)
        return; // the backup's record of the same firing
    const QString line = record.test ? QStringLiteral("test fire") : LogFiles::lineAndEdge(record, m_port);
    m_lastFire = QStringLiteral("%1 %2 %3%4")
                     .arg(record.when.toString(QStringLiteral("HH:mm:ss")), line, record.movie,
                          record.sent ? QString() : QStringLiteral(" (not sent)"));
    update();
}

void StationStatus::update()
{
    const QString now = text();
    if (now == m_text)
        return;
    m_text = now;
    Q_EMIT changed(m_text);
}

} // namespace vantor::app
