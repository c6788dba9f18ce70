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
    // The first look soon after the start, whose own open may have just failed.
    QTimer::singleShot(Tick / 4, this, &PortReopener::tick);
}

void PortReopener::tick()
{
    const Clock::time_point now = Clock::now();
    if (!m_wanted() || m_session.isOpen()) {
        m_waiting = false;
        if (m_session.isOpen() && now - m_openedAt >= Quiet)
            m_backOff = FirstBackOff;
        return;
    }
    const qint16 number = m_port.commPort();
    if (!std::exchange(m_waiting, true)) {
        m_ticks = 0;
        if (now >= m_nextNotice) {
            m_nextNotice = now + Quiet;
            m_say(QStringLiteral("***COM port %1 is not open: it is opened as soon as it can be").arg(number));
        }
    }
    if (now < m_nextOpen)
        return;
    if (serial::PortMap::isNetworkTarget(m_map.target(number))) {
        if (m_ticks++ % NetworkEvery != 0)
            return;
    } else if (!usable(number)) {
        return;
    }
    m_session.cmdCOMStatus_Click();
    if (m_session.isOpen()) {
        m_waiting = false;
        m_openedAt = now;
        m_say(QStringLiteral("COM port %1 opened again").arg(number));
    } else {
        m_nextOpen = now + m_backOff;
        m_backOff = std::min(m_backOff * 2, LongestBackOff);
    }
}

// The probe of a local device; an adapter plugged in since the last look gets its number first.
bool PortReopener::usable(qint16 number)
{
    try {
        if (m_probe.available(m_map.target(number)))
            return true;
        m_map.refresh();
        const QString target = m_map.target(number);
        return !target.isEmpty() && m_probe.available(target);
    } catch (const RuntimeError &) {
        return false;
    }
}

} // namespace vantor::app
