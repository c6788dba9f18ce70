#include "comlinewatcher.h"

namespace vantor::serial {

ComLineWatcher::ComLineWatcher(CommCalls &calls, CommCalls::Handle handle, CommStop &stop, QString device, Hooks hooks)
    : m_calls(calls)
    , m_handle(handle)
    , m_stop(stop)
    , m_device(std::move(device))
    , m_hooks(std::move(hooks))
{
}

ComLineWatcher::~ComLineWatcher()
{
    m_stop.raise();
    join();
}

void ComLineWatcher::start(std::uint32_t status)
{
    m_reported = status;
    m_thread = std::thread([this] { run(); });
}

void ComLineWatcher::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void ComLineWatcher::run()
{
    if (m_hooks.threadStart)
        m_hooks.threadStart();
    if (waitLoop())
        pollLoop();
}

// True when the levels are to be polled from now on.
bool ComLineWatcher::waitLoop()
{
    int emptyWakes = 0;
    while (!m_stop.raised()) {
        std::uint32_t events = 0;
        const std::uint32_t error = m_calls.waitEvent(m_handle, events, m_stop);
        const Clock::time_point when = Clock::now();
        if (m_stop.raised())
            return false;
        std::uint32_t status = 0;
        if (error != 0) {
            if (!readStatus(status))
                return false;
            m_hooks.notice(
                QStringLiteral("***Err %1. %2: waiting for line changes failed on %3; polling them every 2 ms")
                    .arg(error)
                    .arg(m_calls.describe(error), m_device));
            report(0, status, when);
            return true;
        }
        if (events == 0) {
            // The mask was changed under the wait, or the driver ends waits for nothing.
            if (++emptyWakes == MaxEmptyWakes) {
                m_hooks.notice(QStringLiteral("Warning: %1 signals line changes that are not there; polling them "
                                              "every 2 ms")
                                   .arg(m_device));
                return true;
            }
            continue;
        }
        emptyWakes = 0;
        if (!readStatus(status))
            return false;
        report(events, status, when);
    }
    return false;
}

void ComLineWatcher::pollLoop()
{
    m_polling = true;
    while (!m_stop.waitFor(PollInterval)) {
        std::uint32_t status = 0;
        if (!readStatus(status))
            return;
        report(0, status, Clock::now());
        reportErrors(Clock::now());
    }
}

bool ComLineWatcher::readStatus(std::uint32_t &status)
{
    const std::uint32_t error = m_calls.modemStatus(m_handle, status);
    if (error == 0)
        return true;
    if (!m_stop.raised())
        m_hooks.gone("GetCommModemStatus", error);
    return false;
}

void ComLineWatcher::report(std::uint32_t events, std::uint32_t now, Clock::time_point when)
{
    reportLine(comm::Cts, "CTS", win32::MsCtsOn, events & win32::EvCts, now, when);
    reportLine(comm::Dsr, "DSR", win32::MsDsrOn, events & win32::EvDsr, now, when);
    reportLine(comm::Cd, "CD", win32::MsRlsdOn, events & win32::EvRlsd, now, when);
    if (events & win32::EvRing)
        post(comm::Ring, false, when);
    if (events & win32::EvBreak)
        post(comm::Break, false, when);
    if (events & win32::EvErr)
        reportErrors(when);
}

void ComLineWatcher::reportLine(qint16 code, const char *name, std::uint32_t level, bool signalled, std::uint32_t now,
                                Clock::time_point when)
{
    const bool was = m_reported & level;
    const bool is = now & level;
    if (was != is) {
        post(code, is, when);
    } else if (signalled) {
        // Both edges of a pulse that was over before the levels were read.
        if (!std::exchange(m_pulseSaid, true))
            m_hooks.notice(QStringLiteral("Warning: %1 changed %2 and back before the change could be read; both "
                                          "edges are reported, in order (said once while the port is open)")
                               .arg(m_device, QLatin1String(name)));
        post(code, !was, when);
        post(code, was, when);
    }
    m_reported = (m_reported & ~level) | (now & level);
}

void ComLineWatcher::reportErrors(Clock::time_point when)
{
    std::uint32_t errors = 0;
    if (m_calls.clearErrors(m_handle, errors) != 0)
        return; // the next reading of the levels finds out whether the device is gone
    if (errors & win32::CeFrame)
        post(comm::Frame, false, when);
    if (errors & win32::CeOverrun)
        post(comm::Overrun, false, when);
    if (errors & win32::CeRxOver)
        post(comm::RxOver, false, when);
    if (errors & win32::CeRxParity)
        post(comm::RxParity, false, when);
}

void ComLineWatcher::post(qint16 code, bool level, Clock::time_point when)
{
    m_hooks.event(CommEvent{code, level, {}, when});
}

} // namespace vantor::serial
