#include "combackend.h"

#include "errortrap/runtimeerror.h"

#include <cerrno>

namespace vantor::serial {

namespace {

const QString DevicePrefix = QStringLiteral("\\\\.\\");

// Received bytes that came with no wait (a driver that ends reads with nothing) are read again
// at once this many times, then no faster than every ten milliseconds.
constexpr int EmptyReadsBeforePause = 100;
constexpr std::chrono::milliseconds EmptyReadPause{10};

} // namespace

ComBackend::ComBackend(std::unique_ptr<CommCalls> calls)
    : m_calls(std::move(calls))
{
}

ComBackend::~ComBackend()
{
    close();
}

QString ComBackend::deviceName(const QString &target)
{
    return target.startsWith(DevicePrefix) ? target : DevicePrefix + target;
}

CommCalls::LineSettings ComBackend::lineSettings(const SettingsString &s, const QString &target)
{
    auto refuse = [&](const QString &what) {
        throw RuntimeError(errors::InvalidPropertyValue,
                           QStringLiteral("Invalid property value: %1 on %2").arg(what, target).toStdString());
    };
    CommCalls::LineSettings line;
    if (s.speed <= 0)
        refuse(QStringLiteral("speed %1").arg(s.speed));
    line.baudRate = std::uint32_t(s.speed);
    if (s.dataBits < 5 || s.dataBits > 8)
        refuse(QStringLiteral("%1 data bits").arg(s.dataBits));
    line.byteSize = std::uint8_t(s.dataBits);
    switch (s.parity) {
    case 'O': line.parity = 1; break;
    case 'E': line.parity = 2; break;
    case 'M': line.parity = 3; break;
    case 'S': line.parity = 4; break;
    default: line.parity = 0; break;
    }
    // As on Linux: 1.5 stop bits exist with 5-bit characters only.
    if (s.stopBits == QLatin1String("2")) {
        line.stopBits = 2;
    } else if (s.stopBits == QLatin1String("1.5")) {
        if (s.dataBits != 5)
            refuse(QStringLiteral("1.5 stop bits with %1 data bits").arg(s.dataBits));
        line.stopBits = 1;
    }
    line.rts = true;
    line.dtr = true;
    return line;
}

CommCalls::Timeouts ComBackend::timeouts(int speed)
{
    CommCalls::Timeouts t;
    t.readInterval = 1;
    // Eleven bits a byte at most (start, 8 data, parity, stop), twice over.
    t.writeMultiplier = std::uint32_t(2 * 11 * 1000 / std::max(speed, 1) + 1);
    t.writeConstant = 1000;
    return t;
}

void ComBackend::open(const QString &target, const SettingsString &settings, PortSink &sink)
{
    if (m_open)
        throw RuntimeError(errors::PortAlreadyOpen);
    m_target = target;
    CommCalls::LineSettings line = lineSettings(settings, target);
    line.dtr = m_dtr;
    CommCalls::Handle handle = 0;
    if (const std::uint32_t error = m_calls->open(deviceName(target), handle); error != 0) {
        if (error == win32::ErrorAccessDenied || error == win32::ErrorSharingViolation)
            throw RuntimeError(errors::PortAlreadyOpen, ("Port in use by another program: " + target).toStdString());
        fail(error);
    }
    m_handle = handle;
    m_open = true;
    m_sink = &sink;
    m_gone = false;
    try {
        if (const std::uint32_t error = m_calls->setState(m_handle, line); error != 0) {
            throw RuntimeError(errors::InvalidPropertyValue,
                               QStringLiteral("Invalid property value: settings %1 on %2 (%3)")
                                   .arg(settings.toString(), target, m_calls->describe(error))
                                   .toStdString());
        }
        if (const std::uint32_t error = m_calls->setTimeouts(m_handle, timeouts(settings.speed)); error != 0)
            fail(error);
        startThreads();
    } catch (...) {
        close();
        throw;
    }
}

// The mask goes in before the levels are read, so that a change after the reading is an event.
void ComBackend::startThreads()
{
    m_stop = m_calls->makeStop();
    std::uint32_t status = 0;
    const bool lines =
        m_calls->setMask(m_handle, ComLineWatcher::Mask) == 0 && m_calls->modemStatus(m_handle, status) == 0;
    if (lines) {
        PortSink *sink = m_sink;
        m_watcher = std::make_unique<ComLineWatcher>(
            *m_calls, m_handle, *m_stop, m_target,
            ComLineWatcher::Hooks{
                [sink](const CommEvent &e) { sink->event(e); }, [sink](const QString &line) { sink->notice(line); },
                [this](const char *call, std::uint32_t error) { gone(call, error); }, m_watcherThreadStart});
        m_watcher->start(status);
    } else {
        m_calls->setMask(m_handle, 0);
        m_sink->notice(noModemLinesNotice(m_target));
    }
    m_reader = std::thread([this] { readLoop(); });
}

void ComBackend::readLoop()
{
    int emptyReads = 0;
    while (!m_stop->raised()) {
        QByteArray data;
        const std::uint32_t error = m_calls->read(m_handle, data, ReadChunk, *m_stop);
        if (m_stop->raised())
            return;
        if (error != 0) {
            gone("ReadFile", error);
            return;
        }
        if (data.isEmpty()) {
            if (++emptyReads >= EmptyReadsBeforePause && m_stop->waitFor(EmptyReadPause))
                return;
            continue;
        }
        emptyReads = 0;
        m_sink->event(CommEvent{comm::Receive, false, data, Clock::now()});
    }
}

// Told once, by whichever thread finds it first; both threads end on their own.
void ComBackend::gone(const char *call, std::uint32_t error)
{
    if (m_gone.exchange(true))
        return;
    m_sink->notice(QStringLiteral("%1: %2 failed: %3 (system error %4)")
                       .arg(m_target, QLatin1String(call), m_calls->describe(error))
                       .arg(error));
    m_sink->lost(EIO, QStringLiteral("Input/output error, the device is gone: %1").arg(m_target));
}

void ComBackend::close()
{
    if (!m_open)
        return;
    if (m_stop)
        m_stop->raise();
    if (m_watcher) {
        m_watcher->join();
        m_watcher.reset();
    }
    if (m_reader.joinable())
        m_reader.join();
    m_calls->close(m_handle);
    m_stop.reset();
    m_open = false;
    m_handle = 0;
    m_sink = nullptr;
}

bool ComBackend::lineLevel(std::uint32_t level) const
{
    std::uint32_t status = 0;
    return m_open && m_watcher && m_calls->modemStatus(m_handle, status) == 0 && (status & level);
}

bool ComBackend::cts() const
{
    return lineLevel(win32::MsCtsOn);
}

bool ComBackend::dsr() const
{
    return lineLevel(win32::MsDsrOn);
}

void ComBackend::write(const QByteArray &bytes)
{
    if (!m_open)
        throw RuntimeError(errors::DeviceNotOpen);
    if (const std::uint32_t error = m_calls->write(m_handle, bytes); error != 0)
        fail(error);
}

// A port whose driver has no DTR to drive (a device without modem lines) says so as on Linux;
// any other failure is the system's.
void ComBackend::setDtr(bool asserted)
{
    m_dtr = asserted;
    if (!m_open)
        return;
    if (const std::uint32_t error = m_calls->setDtr(m_handle, asserted); error != 0) {
        if (error == win32::ErrorNotSupported || error == win32::ErrorInvalidParameter)
            throw RuntimeError(std::int32_t(error), ("No DTR line to drive on: " + m_target).toStdString());
        fail(error);
    }
}

void ComBackend::fail(std::uint32_t error) const
{
    throw RuntimeError(std::int32_t(error), (m_calls->describe(error) + QStringLiteral(": ") + m_target).toStdString());
}

} // namespace vantor::serial
