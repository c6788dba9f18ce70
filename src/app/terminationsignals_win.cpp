#include "app/terminationsignals.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>
#include <QWidget>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

// What ends the program on Windows as SIGTERM and SIGINT do on Linux:
//   - a console's control event (Ctrl+C, Ctrl+Break, the console closed, a log-off or shut-down
//     seen by a console): it arrives on a thread the system starts for it, which hands it to
//     the event loop; the window closes as its close button does. A second one while the first
//     still waits for the event loop (the program hangs) ends the process at once, with the
//     status the system's own handler gives (STATUS_CONTROL_C_EXIT). For the console's
//     closing, log-off and shut-down the system ends the process as soon as the handler
//     returns, so the handler waits (up to 4.5 s of the 5 s the system allows) while the event
//     loop ends the program;
//   - WM_ENDSESSION, the end of the user's session: the system may end the process as soon as
//     the message is handled, so the window closes and what is queued for the files is written
//     before it returns, and the program ends there;
//   - the window's own close (WM_CLOSE, as `taskkill` without /F sends) is the close button.

namespace vantor::app {

namespace {

// How long a console's closing, log-off or shut-down handler holds the process for its end.
constexpr DWORD EndWaitMs = 4500;

// The window thread's side. Set by closeOnTerminationSignals, read by the window thread only.
struct Ending
{
    QPointer<QWidget> window;
    std::function<void()> beforeEarlyExit;
    bool mainLoopRuns = false;
};
Ending &ending()
{
    static Ending state;
    return state;
}

// The console handler's side: one control event at a time is handed over.
std::atomic<bool> pending{false};
std::mutex relayMutex;       // guards relay against the window's destruction
QObject *relay = nullptr;    // under relayMutex: where the handler posts the close; the window
HANDLE endedEvent = nullptr; // never set: the handler's wait ends with the process

// Window thread: writes what is queued and ends the process, as a close would (status 0).
[[noreturn]] void endNow()
{
    if (ending().beforeEarlyExit)
        ending().beforeEarlyExit();
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}

// Window thread: a control event reached the event loop.
void closeFromEventLoop()
{
    pending.store(false);
    if (ending().window)
        ending().window->close();
    if (!ending().mainLoopRuns)
        endNow(); // the box's caller never resumes: what it was doing is dropped
}

BOOL WINAPI onConsoleEvent(DWORD type)
{
    if (pending.exchange(true)) {
        // The program hangs: ended as the system's own handler would, but on Wine too and
        // without running anything of the hung process.
        ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    }
    {
        std::lock_guard lock(relayMutex);
        if (!relay)
            return FALSE;
        QMetaObject::invokeMethod(relay, &closeFromEventLoop, Qt::QueuedConnection);
    }
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        ::WaitForSingleObject(endedEvent, EndWaitMs);
    return TRUE;
}

class EndSessionFilter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_ENDSESSION || msg->wParam == FALSE)
            return false;
        if (ending().window)
            ending().window->close();
        endNow();
    }
};

} // namespace

void closeOnTerminationSignals(QWidget *window, std::function<void()> beforeEarlyExit)
{
    ending().window = window;
    ending().beforeEarlyExit = std::move(beforeEarlyExit);
    static EndSessionFilter filter;
    QCoreApplication::instance()->installNativeEventFilter(&filter);
    {
        std::lock_guard lock(relayMutex);
        relay = window;
    }
    QObject::connect(window, &QObject::destroyed, [] {
        std::lock_guard lock(relayMutex);
        relay = nullptr;
    });
    static const bool installed = [] {
        endedEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        // Ctrl+C is taken even when the parent ignored it (an ignore flag is inherited), as
        // SIGINT's handler is installed over an inherited SIG_IGN on Linux.
        ::SetConsoleCtrlHandler(nullptr, FALSE);
        return ::SetConsoleCtrlHandler(&onConsoleEvent, TRUE) != FALSE;
    }();
    (void)installed;
}

void mainLoopStarts()
{
    ending().mainLoopRuns = true;
}

} // namespace vantor::app
