#include "serialportservice.h"

#include "settingsstring.h"

#include "errortrap/runtimeerror.h"

#include <QMetaObject>
#include <QStringList>

#include <algorithm>
#include <array>
#include <span>
#include <utility>

namespace vantor::serial {

namespace {
// How long one turn of the event loop hands out port events before it lets the window do
// anything else.
constexpr std::chrono::milliseconds DrainSlice(5);
} // namespace

SerialPortService::SerialPortService(QObject *parent)
    : QObject(parent)
{
    m_holdOffTimer.setSingleShot(true);
    m_holdOffTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_holdOffTimer, &QTimer::timeout, this, &SerialPortService::expireHoldOffs);
    m_pressureTimer.setSingleShot(true);
    connect(&m_pressureTimer, &QTimer::timeout, this, [this] { reportPressure(true); });
    m_deferred.reserve(MaxDeferred);
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
    m_deferred.clear();
    m_holdOffTimer.stop();
    if (open) {
        m_session = m_inbox.open();
        try {
            if (m_dtrSet)
                setDeviceDtr(m_dtr);
            openDevice();
        } catch (...) {
            m_inbox.close();
            m_session = 0;
            throw;
        }
        m_open = true;
    } else {
        m_open = false;
        m_inbox.close();
        m_session = 0;
        closeDevice();
    }
}

qint16 SerialPortService::commEvent() const
{
    return m_current ? m_current->code : 0;
}

std::optional<Clock::time_point> SerialPortService::eventTime() const
{
    if (!m_current)
        return std::nullopt;
    return m_current->when;
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

void SerialPortService::setDtr(bool asserted)
{
    m_dtr = asserted;
    m_dtrSet = true;
    if (m_open)
        setDeviceDtr(asserted);
}

void SerialPortService::output(const QByteArray &bytes)
{
    if (!m_open)
        throw RuntimeError(errors::PortNotOpen);
    writeDevice(bytes);
}

void SerialPortService::post(Session session, CommEvent event)
{
    if (m_inbox.post(session, std::move(event)))
        scheduleDrain();
}

void SerialPortService::postNotice(Session session, const QString &line)
{
    if (m_inbox.postNotice(session, line))
        scheduleDrain();
}

void SerialPortService::postLost(Session session, qint32 number, const QString &description)
{
    if (m_inbox.postLost(session, number, description))
        scheduleDrain();
}

void SerialPortService::scheduleDrain()
{
    QMetaObject::invokeMethod(this, &SerialPortService::drain, Qt::QueuedConnection);
}

// Takes what the backends queued, for DrainSlice at a time, so that the window keeps
// answering however fast they post; what comes meanwhile waits (and merges) in the queue.
// Never while an event is being handled: a handler that opens a modal box runs a nested event
// loop, and the delivery that is waiting for it goes on taking afterwards.
void SerialPortService::drain()
{
    if (m_draining || m_delivering)
        return;
    m_draining = true;
    const Clock::time_point until = Clock::now() + DrainSlice;
    bool idle = false;
    for (;;) {
        std::optional<EventInbox::Item> item = m_inbox.take();
        if (!item) {
            idle = true;
            break;
        }
        handle(std::move(*item));
        if (Clock::now() >= until) {
            scheduleDrain();
            break;
        }
    }
    m_draining = false;
    if (idle && m_open) {
        // Nothing older is queued: the merged changes held back go to the filter now.
        releaseDeferred(Clock::time_point::max());
        armHoldOffTimer();
        deliverPending();
    }
    reportPressure(idle);
}

void SerialPortService::handle(EventInbox::Item item)
{
    switch (item.kind) {
    case EventInbox::Item::Kind::Notice: Q_EMIT notice(item.text); break;
    case EventInbox::Item::Kind::Lost:
        if (item.session == m_session)
            lose(item.number, item.text);
        break;
    case EventInbox::Item::Kind::Event:
        if (item.session == m_session && m_open)
            deliver(item);
        break;
    }
}

// One line for the port log about what came faster than it could be handled, at most once a
// second: at once when the queue has run empty and the last line is a second old, else when
// that second is over.
void SerialPortService::reportPressure(bool idle)
{
    const Clock::time_point now = Clock::now();
    const auto due = m_pressureReported + std::chrono::seconds(1);
    if (now < due) {
        if (idle && !m_pressureTimer.isActive())
            m_pressureTimer.start(std::chrono::ceil<std::chrono::milliseconds>(due - now));
        return;
    }
    const EventInbox::Counts counts = m_inbox.takeCounts();
    if (!counts.any())
        return;
    m_pressureReported = now;
    m_pressureTotals.mergedChanges += counts.mergedChanges;
    m_pressureTotals.droppedEvents += counts.droppedEvents;
    m_pressureTotals.droppedNotices += counts.droppedNotices;
    m_pressureTotals.droppedBytes += counts.droppedBytes;
    QStringList parts;
    if (counts.mergedChanges)
        parts << QStringLiteral("%1 line changes merged (each line keeps its last level)").arg(counts.mergedChanges);
    if (counts.droppedBytes)
        parts << QStringLiteral("%1 received bytes dropped").arg(counts.droppedBytes);
    if (counts.droppedEvents)
        parts << QStringLiteral("%1 events dropped").arg(counts.droppedEvents);
    if (counts.droppedNotices)
        parts << QStringLiteral("%1 port-log lines dropped").arg(counts.droppedNotices);
    Q_EMIT notice((counts.lost() ? QStringLiteral("***") : QString())
                  + QStringLiteral("Port events came faster than they could be handled: ")
                  + parts.join(QStringLiteral(", ")));
}

namespace {
int debouncedLine(qint16 code)
{
    return code == comm::Cts ? 0 : code == comm::Dsr ? 1 : -1;
}
} // namespace

// A merged line change is handed on as the shortest run of changes with the same first and
// last level: first, last; or first, the other level, last when both are the same level (a
// pulse). Its first change goes to the filter at its place; the later ones are held back until
// every event queued before them in time has been through the filter, so that the filter sees
// all lines in time order (a hold-off of one line must not be ended early by a merged change of
// another). Line changes pass the bounce filter; everything else keeps its place in time behind
// the hold-offs that ended before it.
void SerialPortService::deliver(const EventInbox::Item &item)
{
    const CommEvent &last = item.event;
    const Clock::time_point first = item.changes > 1 ? item.firstWhen : last.when;
    releaseDeferred(first);
    if (item.changes > 1) {
        feed(CommEvent{last.code, item.firstLevel, {}, item.firstWhen});
        if (item.firstLevel == last.level)
            defer(CommEvent{last.code, !last.level, {}, last.when});
        defer(last);
    } else {
        feed(last);
    }
    armHoldOffTimer();
    deliverPending();
}

void SerialPortService::feed(const CommEvent &event)
{
    const int line = debouncedLine(event.code);
    if (line >= 0) {
        queueReports(m_debouncer.edge(line, event.level, event.when));
    } else {
        queueReports(m_debouncer.expire(event.when));
        m_pending.push_back(event);
    }
}

// Kept in time order. Each line has at most one merged item in the queue's tail, so at most
// two held-back changes per line: the room reserved is never outgrown.
void SerialPortService::defer(const CommEvent &event)
{
    const auto at = std::upper_bound(m_deferred.begin(), m_deferred.end(), event.when,
                                     [](Clock::time_point t, const CommEvent &e) { return t < e.when; });
    m_deferred.insert(at, event);
}

void SerialPortService::releaseDeferred(Clock::time_point until)
{
    std::size_t n = 0;
    while (n < m_deferred.size() && m_deferred[n].when <= until)
        feed(m_deferred[n++]);
    m_deferred.erase(m_deferred.begin(), m_deferred.begin() + std::ptrdiff_t(n));
}

void SerialPortService::queueReports(const std::vector<Debouncer::Report> &reports)
{
    for (const Debouncer::Report &r : reports)
        m_pending.push_back(CommEvent{r.line == 0 ? comm::Cts : comm::Dsr, r.level, {}, r.when});
}

void SerialPortService::expireHoldOffs()
{
    // Events still queued are older than now: the drain due for them goes first, and arms the
    // timer again once the queue is empty.
    if (!m_open || !m_inbox.empty())
        return;
    releaseDeferred(Clock::time_point::max());
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
    if (!m_draining && !m_inbox.empty())
        scheduleDrain(); // drains skipped while a handler ran
}

void SerialPortService::lose(qint32 number, const QString &description)
{
    if (!m_open)
        return;
    m_open = false;
    m_inbox.close();
    m_session = 0;
    m_pending.clear();
    m_debouncer.reset();
    m_deferred.clear();
    m_holdOffTimer.stop();
    closeDevice();
    Q_EMIT portLost(number, description);
}

} // namespace vantor::serial
