#include "app/terminationsignals.h"

#include <QSocketNotifier>
#include <QWidget>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace vantor::app {

namespace {

// The self-pipe: the handler writes a byte, the event loop reads it. Made once per process.
int readEnd = -1;
std::atomic<int> writeEnd{-1};
std::atomic<bool> pending{false};
// Whether the main event loop runs, so that closing the window ends it. Window thread only.
bool mainLoopRuns = false;

void onTerminationSignal(int signal)
{
    const int savedErrno = errno;
    if (pending.exchange(true)) {
        struct sigaction standard = {};
        standard.sa_handler = SIG_DFL;
        sigaction(signal, &standard, nullptr);
        raise(signal);
    }
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(writeEnd.load(), &byte, 1);
    errno = savedErrno;
}

bool installHandlers()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    readEnd = ends[0];
    writeEnd.store(ends[1]);
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

} // namespace

void closeOnTerminationSignals(QWidget *window, std::function<void()> beforeEarlyExit)
{
    static const bool installed = installHandlers();
    if (!installed)
        return;
    auto *notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window, flush = std::move(beforeEarlyExit)] {
        char bytes[64];
        while (::read(readEnd, bytes, sizeof bytes) > 0) {
        }
        pending.store(false);
        window->close();
        if (!mainLoopRuns) {
            // The box's caller never resumes: what it was doing is dropped, what is queued written.
            if (flush)
                flush();
            std::fflush(nullptr);
            std::_Exit(EXIT_SUCCESS);
        }
    });
}

void mainLoopStarts()
{
    mainLoopRuns = true;
}

} // namespace vantor::app
