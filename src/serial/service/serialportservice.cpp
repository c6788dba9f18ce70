#include "serialportservice.h"

#include "settingsstring.h"

#include "errortrap/runtimeerror.h"

#include <QMetaObject>

#include <algorithm>
#include <utility>

namespace vantor::serial {

SerialPortService::SerialPortService(QObject *parent)
    : QObject(parent)
{
    m_holdOffTimer.setSingleShot(true);
    m_holdOffTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_holdOffTimer, &QTimer::timeout, this, &SerialPortService::expireHoldOffs);
}

void SerialPortService::setDebounce(std::chrono::microseconds holdOff)
{
    m_debouncer = Debouncer(holdOff);
    m_holdOffTimer.stop();
}

SerialPortService::~SerialPortService() = default;

void SerialPortService::validatePort(qint16 port) const
{
    if (port < 1)
        throw RuntimeError(errors::InvalidPortNumber);
}

void SerialPortService::setCommPort(qint16 port)
{
    if (m_open)
        throw RuntimeError(errors::PortAlreadyOpen);
    validatePort(port);
    m_commPort = port;
}

void SerialPortService::setSettings(const QString &settings)
{
    if (!SettingsString::parse(settings))
        throw RuntimeError(errors::InvalidPropertyValue);
    m_settings = settings;
}

void SerialPortService::setPortOpen(bool open)
{
    if (open == m_open) {
        if (open)
            throw RuntimeError(errors::PortAlreadyOpen);
        return;
    }
    m_pending.clear();
    m_debouncer.reset();
    m_holdOffTimer.stop();
    if (open) {
        openDevice();
        m_open = true;
    } else {
        m_open = false;
        closeDevice();
    }
}

qint16 SerialPortService::commEvent() const
{
    return m_current ? m_current->code : 0;
}

bool SerialPortService::ctsHolding() const
{
    if (m_current && m_current->code == comm::Cts)
        return m_current->level;
    return m_open && presentCts();
}

bool SerialPortService::dsrHolding() const
{
    if (m_current && m_current->code == comm::Dsr)
        return m_current->level;
    return m_open && presentDsr();
}

QByteArray SerialPortService::input()
{
    if (!m_open)
        throw RuntimeError(errors::PortNotOpen);
    if (!m_current)
        return {};
    return std::exchange(m_current->data, QByteArray());
}

void SerialPortService::output(const QByteArray &bytes)
{
    if (!m_open)
        throw RuntimeError(errors::PortNotOpen);
    writeDevice(bytes);
}

void SerialPortService::post(CommEvent event)
{
    QMetaObject::invokeMethod(
        this, [this, event = std::move(event)]() mutable { deliver(std::move(event)); }, Qt::QueuedConnection);
}

void SerialPortService::postLost(qint32 number, const QString &description)
{
    QMetaObject::invokeMethod(
        this, [this, number, description] { lose(number, description); }, Qt::QueuedConnection);
}

namespace {
int debouncedLine(qint16 code)
{
    return code == comm::Cts ? 0 : code == comm::Dsr ? 1 : -1;
}
} // namespace

// Line changes pass the bounce filter; everything else keeps its place in time behind the
// hold-offs that ended before it.
void SerialPortService::deliver(CommEvent event)
{
    if (!m_open)
        return; // posted before the port was closed
    const int line = debouncedLine(event.code);
    if (line >= 0) {
        queueReports(m_debouncer.edge(line, event.level, event.when));
    } else {
        queueReports(m_debouncer.expire(event.when));
        m_pending.push_back(std::move(event));
    }
    armHoldOffTimer();
    deliverPending();
}

void SerialPortService::queueReports(const std::vector<Debouncer::Report> &reports)
{
    for (const Debouncer::Report &r : reports)
        m_pending.push_back(CommEvent{r.line == 0 ? comm::Cts : comm::Dsr, r.level, {}, r.when});
}

void SerialPortService::expireHoldOffs()
{
    if (!m_open)
        return;
    queueReports(m_debouncer.expire(Clock::now()));
    armHoldOffTimer();
    deliverPending();
}

void SerialPortService::armHoldOffTimer()
{
    const auto deadline = m_debouncer.nextDeadline();
    if (!deadline) {
        m_holdOffTimer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    m_holdOffTimer.start(std::max(wait, std::chrono::milliseconds(0)));
}

// One event at a time: a handler that opens a modal box runs a nested event loop, and the
// events that arrive meanwhile wait for it instead of interleaving with it.
void SerialPortService::deliverPending()
{
    if (m_delivering)
        return;
    m_delivering = true;
    while (!m_pending.empty() && m_open) {
        m_current = std::move(m_pending.front());
        m_pending.pop_front();
        Q_EMIT onComm();
        m_current.reset();
    }
    m_delivering = false;
}

void SerialPortService::lose(qint32 number, const QString &description)
{
    if (!m_open)
        return;
    m_open = false;
    m_pending.clear();
    m_debouncer.reset();
    m_holdOffTimer.stop();
    closeDevice();
    Q_EMIT portLost(number, description);
}

} // namespace vantor::serial
