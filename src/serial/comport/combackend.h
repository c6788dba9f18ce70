#pragma once

#include "comlinewatcher.h"
#include "commcalls.h"

#include "serial/service/portbackend.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace vantor::serial {

// A COM port of Windows ("COM3", or "\\.\COM12"), through the Win32 communications API.
//
// Opened for overlapped I/O and exclusively (a second program gets "port in use"), set up
// through the device control block from the settings string: binary, no flow control of either
// kind, errors not aborting reads, RTS held asserted (it feeds the contacts) and DTR at the level
// setDtr() last gave (asserted until then), as on Linux; while open, setDtr() drives DTR alone
// (EscapeCommFunction). The lines are watched by a ComLineWatcher on its own thread; received bytes come
// from an overlapped ReadFile on a second thread, handed over as soon as the line has been quiet
// for a millisecond. Writes are started and not waited for.
//
// A device that goes away while open (a USB adapter pulled: its calls fail with
// ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED and the like) is reported once
// as lost, with the same number and text as on Linux, after a port-log line with the system's
// error.
//
// open(), close(), cts(), dsr(), write() and setDtr() run on the user-interface thread.
class ComBackend : public PortBackend
{
public:
    explicit ComBackend(std::unique_ptr<CommCalls> calls);
    ~ComBackend() override;

    void open(const QString &target, const SettingsString &settings, PortSink &sink) override;
    void close() override;
    bool cts() const override;
    bool dsr() const override;
    void write(const QByteArray &bytes) override;
    void setDtr(bool asserted) override;

    bool isOpen() const { return m_open; }
    // Whether line changes are watched (false: the port has no modem lines, open for data only).
    bool watching() const { return m_watcher != nullptr; }
    // Run first on the line watcher's thread (see LineWatcher::setThreadStart on Linux).
    void setWatcherThreadStart(std::function<void()> f) { m_watcherThreadStart = std::move(f); }

    // The device name CreateFile is given for a target: "\\.\" before a plain "COMn".
    static QString deviceName(const QString &target);
    // The settings string as the device control block holds it; throws for what it cannot hold.
    static CommCalls::LineSettings lineSettings(const SettingsString &settings, const QString &target);
    // Reads end a millisecond after the last byte; a write may take twice its time at the speed,
    // plus a second.
    static CommCalls::Timeouts timeouts(int speed);

    static constexpr std::uint32_t ReadChunk = 4096;

private:
    void configure(const SettingsString &settings);
    void startThreads();
    void readLoop();
    void gone(const char *call, std::uint32_t error);
    [[noreturn]] void fail(std::uint32_t error) const;
    bool lineLevel(std::uint32_t level) const;

    const std::unique_ptr<CommCalls> m_calls;
    std::function<void()> m_watcherThreadStart;
    bool m_dtr = true; // user-interface thread: the level of DTR, kept across opens
    // User-interface thread, set while open; the worker threads read them and the sink.
    CommCalls::Handle m_handle = 0;
    bool m_open = false;
    QString m_target;
    PortSink *m_sink = nullptr;
    std::unique_ptr<CommStop> m_stop;          // raised to end both threads
    std::unique_ptr<ComLineWatcher> m_watcher; // none when the port has no modem lines
    std::thread m_reader;
    std::atomic<bool> m_gone{false}; // the loss was reported (either thread may find it)
};

} // namespace vantor::serial
