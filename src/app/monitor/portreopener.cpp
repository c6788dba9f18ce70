#include "app/monitor/portreopener.h"

#include "serial/portsession.h"
#include "serial/service/serialportservice.h"
#include "serial/system/portmap.h"
#include "serial/system/portprobe.h"

#include "errortrap/runtimeerror.h"

namespace vantor::app {

PortReopener::PortReopener(serial::PortSession &session, serial::SerialPortService &port, serial::PortMap &map,
                           const serial::PortProbe &probe, Wanted wanted, Say say, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_port(port)
    , m_map(map)
    , m_probe(probe)
    , m_wanted(std::move(wanted))
    , m_say(std::move(say))
{
    connect(&m_timer, &QTimer::timeout, this, &PortReopener::tick);
    m_timer.start(Tick);
    tick();
}

void PortReopener::tick()
{
    if (!m_wanted() || m_session.isOpen()) {
        m_waiting = false;
        return;
    }
    const qint16 number = m_port.commPort();
    if (!std::exchange(m_waiting, true)) {
        m_ticks = 0;
        m_nextOpen = {};
        m_say(QStringLiteral("***COM port %1 is not open: it is opened as soon as it can be").arg(number));
    }
    QString target = m_map.target(number);
    const bool network = serial::PortMap::isNetworkTarget(target);
    if (network && m_ticks++ % NetworkEvery != 0)
        return;
    if (std::chrono::steady_clock::now() < m_nextOpen)
        return;
    bool usable = false;
    try {
        if (target.isEmpty() || !(usable = m_probe.available(target))) {
            m_map.refresh(); // an adapter plugged in since gets its number
            target = m_map.target(number);
            usable = !target.isEmpty() && !network && m_probe.available(target);
        }
    } catch (const RuntimeError &) {
        usable = false;
    }
    if (!usable)
        return;
    m_session.cmdCOMStatus_Click();
    if (m_session.isOpen()) {
        m_waiting = false;
        m_say(QStringLiteral("COM port %1 opened again").arg(number));
    } else {
        m_nextOpen = std::chrono::steady_clock::now() + AfterFailure;
    }
}

} // namespace vantor::app
