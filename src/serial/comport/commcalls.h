#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>

namespace vantor::serial {

// The few values of the Win32 communications API that the COM port's logic works with, under
// their own names, so that the logic builds without the system's headers (commcalls_win.cpp
// holds the real calls).
namespace win32 {
// Events of WaitCommEvent and SetCommMask.
constexpr std::uint32_t EvCts = 0x0008;
constexpr std::uint32_t EvDsr = 0x0010;
constexpr std::uint32_t EvRlsd = 0x0020;
constexpr std::uint32_t EvBreak = 0x0040;
constexpr std::uint32_t EvErr = 0x0080;
constexpr std::uint32_t EvRing = 0x0100;
// Line levels of GetCommModemStatus.
constexpr std::uint32_t MsCtsOn = 0x0010;
constexpr std::uint32_t MsDsrOn = 0x0020;
constexpr std::uint32_t MsRingOn = 0x0040;
constexpr std::uint32_t MsRlsdOn = 0x0080;
// Line errors of ClearCommError.
constexpr std::uint32_t CeRxOver = 0x0001;
constexpr std::uint32_t CeOverrun = 0x0002;
constexpr std::uint32_t CeRxParity = 0x0004;
constexpr std::uint32_t CeFrame = 0x0008;
// System error codes (GetLastError).
constexpr std::uint32_t ErrorFileNotFound = 2;
constexpr std::uint32_t ErrorAccessDenied = 5;
constexpr std::uint32_t ErrorNotReady = 21;
constexpr std::uint32_t ErrorBadCommand = 22;
constexpr std::uint32_t ErrorGenFailure = 31;
constexpr std::uint32_t ErrorSharingViolation = 32;
constexpr std::uint32_t ErrorNotSupported = 50;
constexpr std::uint32_t ErrorInvalidParameter = 87;
constexpr std::uint32_t ErrorBrokenPipe = 109;
constexpr std::uint32_t ErrorOperationAborted = 995;
constexpr std::uint32_t ErrorDeviceNotConnected = 1167;
} // namespace win32

// A manual-reset event: once raised it stays raised, so a thread that looks at it after the
// raise, in a wait or between two, sees it. Thread-safe.
class CommStop
{
public:
    virtual ~CommStop() = default;
    virtual void raise() = 0;
    virtual bool raised() const = 0;
    // Sleeps until raised, at most `limit`; true when raised.
    virtual bool waitFor(std::chrono::milliseconds limit) = 0;
};

// The Win32 calls the COM port makes, one member each, so that its logic runs against a fake
// in the tests. Every member returns 0 or the system error code of the failure; members that
// wait (waitEvent, read) end early with ErrorOperationAborted once `stop` is raised, their I/O
// cancelled. The handle's members may be called from several threads at once, as the system
// allows for a handle opened for overlapped I/O.
class CommCalls
{
public:
    using Handle = std::uintptr_t;

    // What goes into the device control block (DCB) beside the fixed choices: binary mode, no
    // flow control of either kind, no error replacement or null stripping, errors not aborting
    // reads. parity: 0 none, 1 odd, 2 even, 3 mark, 4 space; stopBits: 0 one, 1 one and a
    // half, 2 two; rts and dtr: held asserted while open (else held low).
    struct LineSettings
    {
        std::uint32_t baudRate = 9600;
        std::uint8_t byteSize = 8;
        std::uint8_t parity = 0;
        std::uint8_t stopBits = 0;
        bool rts = true;
        bool dtr = true;
        bool operator==(const LineSettings &) const = default;
    };
    // COMMTIMEOUTS, in milliseconds.
    struct Timeouts
    {
        std::uint32_t readInterval = 0;
        std::uint32_t readMultiplier = 0;
        std::uint32_t readConstant = 0;
        std::uint32_t writeMultiplier = 0;
        std::uint32_t writeConstant = 0;
        bool operator==(const Timeouts &) const = default;
    };

    virtual ~CommCalls() = default;

    // CreateFile: read and write, exclusive (share mode 0), an existing device, overlapped.
    virtual std::uint32_t open(const QString &device, Handle &handle) = 0;
    // CloseHandle, after cancelling what is still pending on the handle.
    virtual void close(Handle handle) = 0;
    // GetCommState, then SetCommState with the settings.
    virtual std::uint32_t setState(Handle handle, const LineSettings &settings) = 0;
    virtual std::uint32_t setTimeouts(Handle handle, const Timeouts &timeouts) = 0;
    virtual std::uint32_t setMask(Handle handle, std::uint32_t events) = 0;
    virtual std::uint32_t modemStatus(Handle handle, std::uint32_t &status) = 0;
    virtual std::uint32_t clearErrors(Handle handle, std::uint32_t &errors) = 0;
    // EscapeCommFunction: SETDTR or CLRDTR.
    virtual std::uint32_t setDtr(Handle handle, bool asserted) = 0;
    // WaitCommEvent, overlapped, until an event of the mask (`events`: which), a change of the
    // mask (`events` 0), a failure or `stop`.
    virtual std::uint32_t waitEvent(Handle handle, std::uint32_t &events, CommStop &stop) = 0;
    // ReadFile, overlapped, of at most `most` bytes, as the timeouts let it end.
    virtual std::uint32_t read(Handle handle, QByteArray &data, std::uint32_t most, CommStop &stop) = 0;
    // WriteFile, overlapped, started and not waited for; what it cannot take yet stays queued
    // (at most MaxQueuedWrite bytes, ErrorNotReady beyond). A failure of an earlier write that
    // ended since is returned by the next call.
    static constexpr std::uint32_t MaxQueuedWrite = 64 * 1024;
    virtual std::uint32_t write(Handle handle, const QByteArray &data) = 0;

    virtual std::unique_ptr<CommStop> makeStop() = 0;
    // The system's text for an error code (FormatMessage), without a trailing full stop.
    virtual QString describe(std::uint32_t error) const = 0;
};

// The system's own calls (commcalls_win.cpp).
std::unique_ptr<CommCalls> makeSystemCommCalls();

} // namespace vantor::serial
