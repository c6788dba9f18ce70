#include "commcalls.h"

#include <windows.h>

#include <list>
#include <mutex>

// The Win32 communications calls of the COM port.
//
// Every overlapped operation has an OVERLAPPED of its own on the heap with a manual-reset event.
// A wait watches that event and the stop together; when the stop wins, the operation is
// cancelled (CancelIoEx) and its end awaited at most CancelLimit. A driver that does not end it
// by then keeps its OVERLAPPED for ever (it is leaked on purpose: the driver may still write to
// it), and the caller goes on.

namespace vantor::serial {

namespace {

constexpr DWORD CancelLimit = 1000;

HANDLE handleOf(CommCalls::Handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

class EventStop : public CommStop
{
public:
    EventStop()
        : m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~EventStop() override { CloseHandle(m_event); }
    void raise() override { SetEvent(m_event); }
    bool raised() const override { return WaitForSingleObject(m_event, 0) == WAIT_OBJECT_0; }
    bool waitFor(std::chrono::milliseconds limit) override
    {
        return WaitForSingleObject(m_event, DWORD(limit.count())) == WAIT_OBJECT_0;
    }
    HANDLE event() const { return m_event; }

private:
    const HANDLE m_event;
};

// One overlapped operation's OVERLAPPED and event.
struct Operation
{
    OVERLAPPED overlapped{};
    Operation() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Operation() { CloseHandle(overlapped.hEvent); }
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;
};

// Waits for a started operation or the stop. Returns 0 or the operation's error; on the stop,
// ERROR_OPERATION_ABORTED. `transferred` receives the operation's byte count.
DWORD finish(HANDLE handle, std::unique_ptr<Operation> &operation, CommStop &stop, DWORD &transferred)
{
    const HANDLE events[] = {static_cast<EventStop &>(stop).event(), operation->overlapped.hEvent};
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0 + 1) {
        CancelIoEx(handle, &operation->overlapped);
        if (!GetOverlappedResultEx(handle, &operation->overlapped, &transferred, CancelLimit, FALSE)
            && GetLastError() == WAIT_TIMEOUT)
            operation.release(); // the driver still holds it
        return ERROR_OPERATION_ABORTED;
    }
    return GetOverlappedResult(handle, &operation->overlapped, &transferred, FALSE) ? 0 : GetLastError();
}

class SystemCommCalls : public CommCalls
{
public:
    ~SystemCommCalls() override = default;

    std::uint32_t open(const QString &device, Handle &handle) override
    {
        const HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(device.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        handle = reinterpret_cast<Handle>(h);
        return 0;
    }

    void close(Handle handle) override
    {
        CancelIoEx(handleOf(handle), nullptr);
        reapWrites(handleOf(handle), CancelLimit);
        CloseHandle(handleOf(handle));
    }

    std::uint32_t setState(Handle handle, const LineSettings &s) override
    {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handleOf(handle), &dcb))
            return GetLastError();
        dcb.BaudRate = s.baudRate;
        dcb.ByteSize = s.byteSize;
        dcb.Parity = s.parity;
        dcb.StopBits = s.stopBits;
        dcb.fBinary = TRUE;
        dcb.fParity = s.parity != NOPARITY;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = s.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fRtsControl = s.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        dcb.fAbortOnError = FALSE;
        return SetCommState(handleOf(handle), &dcb) ? 0 : GetLastError();
    }

    std::uint32_t setTimeouts(Handle handle, const Timeouts &t) override
    {
        COMMTIMEOUTS timeouts{t.readInterval, t.readMultiplier, t.readConstant, t.writeMultiplier, t.writeConstant};
        return SetCommTimeouts(handleOf(handle), &timeouts) ? 0 : GetLastError();
    }

    std::uint32_t setMask(Handle handle, std::uint32_t events) override
    {
        return SetCommMask(handleOf(handle), events) ? 0 : GetLastError();
    }

    std::uint32_t modemStatus(Handle handle, std::uint32_t &status) override
    {
        DWORD bits = 0;
        if (!GetCommModemStatus(handleOf(handle), &bits))
            return GetLastError();
        status = bits;
        return 0;
    }

    std::uint32_t clearErrors(Handle handle, std::uint32_t &errors) override
    {
        DWORD bits = 0;
        if (!ClearCommError(handleOf(handle), &bits, nullptr))
            return GetLastError();
        errors = bits;
        return 0;
    }

    std::uint32_t setDtr(Handle handle, bool asserted) override
    {
        return EscapeCommFunction(handleOf(handle), asserted ? SETDTR : CLRDTR) ? 0 : GetLastError();
    }

    std::uint32_t waitEvent(Handle handle, std::uint32_t &events, CommStop &stop) override
    {
        if (stop.raised())
            return ERROR_OPERATION_ABORTED;
        // The mask lives with the operation: the driver writes it when the wait ends.
        struct Wait : Operation
        {
            DWORD mask = 0;
        };
        auto wait = std::make_unique<Wait>();
        if (!WaitCommEvent(handleOf(handle), &wait->mask, &wait->overlapped)) {
            if (const DWORD error = GetLastError(); error != ERROR_IO_PENDING)
                return error;
            std::unique_ptr<Operation> operation(wait.release());
            DWORD transferred = 0;
            const DWORD error = finish(handleOf(handle), operation, stop, transferred);
            if (operation)
                events = static_cast<Wait &>(*operation).mask;
            return error;
        }
        events = wait->mask;
        return 0;
    }

    std::uint32_t read(Handle handle, QByteArray &data, std::uint32_t most, CommStop &stop) override
    {
        if (stop.raised())
            return ERROR_OPERATION_ABORTED;
        struct Read : Operation
        {
            QByteArray buffer;
        };
        auto read = std::make_unique<Read>();
        read->buffer.resize(qsizetype(most));
        DWORD got = 0;
        if (!ReadFile(handleOf(handle), read->buffer.data(), most, &got, &read->overlapped)) {
            if (const DWORD error = GetLastError(); error != ERROR_IO_PENDING)
                return error;
            std::unique_ptr<Operation> operation(read.release());
            const DWORD error = finish(handleOf(handle), operation, stop, got);
            if (error != 0 || !operation)
                return error;
            data = static_cast<Read &>(*operation).buffer.left(qsizetype(got));
            return 0;
        }
        data = read->buffer.left(qsizetype(got));
        return 0;
    }

    std::uint32_t write(Handle handle, const QByteArray &data) override
    {
        std::lock_guard lock(m_writesMutex);
        if (const DWORD error = reapWrites(handleOf(handle), 0); error != 0)
            return error;
        if (m_queued + std::uint32_t(data.size()) > MaxQueuedWrite)
            return ERROR_NOT_READY;
        auto write = std::make_unique<Write>();
        write->bytes = data;
        if (!WriteFile(handleOf(handle), write->bytes.constData(), DWORD(write->bytes.size()), nullptr,
                       &write->overlapped)) {
            if (const DWORD error = GetLastError(); error != ERROR_IO_PENDING)
                return error;
            m_queued += std::uint32_t(data.size());
            m_writes.push_back(std::move(write));
        }
        return 0;
    }

    std::unique_ptr<CommStop> makeStop() override { return std::make_unique<EventStop>(); }

    QString describe(std::uint32_t error) const override
    {
        wchar_t *text = nullptr;
        const DWORD length =
            FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
        QString message = length ? QString::fromWCharArray(text, int(length)).trimmed() : QString();
        LocalFree(text);
        while (message.endsWith(QLatin1Char('.')))
            message.chop(1);
        return message.isEmpty() ? QStringLiteral("System error %1").arg(error) : message;
    }

private:
    struct Write : Operation
    {
        QByteArray bytes;
    };

    // Frees the writes that have ended, waiting for each at most `limit` ms; the first failure
    // among them, or 0.
    DWORD reapWrites(HANDLE handle, DWORD limit)
    {
        DWORD failure = 0;
        for (auto it = m_writes.begin(); it != m_writes.end();) {
            Write &write = **it;
            DWORD transferred = 0;
            if (!GetOverlappedResultEx(handle, &write.overlapped, &transferred, limit, FALSE)) {
                const DWORD error = GetLastError();
                if (error == ERROR_IO_INCOMPLETE || error == WAIT_TIMEOUT) {
                    if (limit == 0) { // still going: looked at again by the next call
                        ++it;
                        continue;
                    }
                    (void)it->release(); // given up at close: the driver may still read it
                } else if (failure == 0) {
                    failure = error;
                }
            }
            m_queued -= std::uint32_t(write.bytes.size());
            it = m_writes.erase(it);
        }
        return failure;
    }

    std::mutex m_writesMutex;
    std::list<std::unique_ptr<Write>> m_writes; // started and not seen ended
    std::uint32_t m_queued = 0;                 // their bytes
};

} // namespace

std::unique_ptr<CommCalls> makeSystemCommCalls()
{
    return std::make_unique<SystemCommCalls>();
}

} // namespace vantor::serial
