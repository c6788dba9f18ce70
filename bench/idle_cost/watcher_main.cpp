// Idle cost of the modem-line watcher on a real UART: the local tty backend open on the
// guest's 16550 inside uart-vm (real 8250 driver), a few line changes through the UART's
// internal loopback, then nothing for --seconds; context switches of every thread.
//
//   uart-vm run --timeout 60 bench_idle_watcher [--seconds 10] [--device /dev/ttyS1]
//
// Exit status 0 when the watcher reported every change, 1 otherwise, 77 without the UART.
#include "loopbackport.h"
#include "recordingsink.h"
#include "threadswitches.h"

#include "serial/tty/ttybackend.h"

#include "errortrap/runtimeerror.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>

#include <sys/ioctl.h>

using namespace vantor::serial;

namespace {

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

const char *methodName(LineWatcher::Method m)
{
    switch (m) {
    case LineWatcher::Method::Interrupt: return "waits in the driver (TIOCMIWAIT)";
    case LineWatcher::Method::Polling: return "polls";
    case LineWatcher::Method::Unsupported: return "not watched";
    }
    return "?";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int seconds = 10;
    QString device = QStringLiteral("/dev/ttyS1");
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--seconds"))
            seconds = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--device"))
            device = args[i + 1];
    }
    if (!QFile::exists(device)) {
        std::printf("%s not found: skipped (run inside uart-vm)\n", qPrintable(device));
        return 77;
    }
    std::printf("Command: uart-vm run --timeout 60 bench_idle_watcher --seconds %d --device %s\n", seconds,
                qPrintable(device));

    RecordingSink sink;
    TtyBackend port;
    try {
        port.open(device, *SettingsString::parse(QStringLiteral("9600,n,8,1")), sink);
    } catch (const vantor::RuntimeError &e) {
        std::printf("open failed: %d %s\n", int(e.number()), e.description().c_str());
        return 1;
    }
    LoopbackPort loopback(device.toLocal8Bit().constData()); // RTS drives CTS
    if (!loopback.ok()) {
        std::printf("loopback: %s\n", loopback.error().c_str());
        return 1;
    }
    std::printf("Line watcher %s\n", methodName(port.watchMethod()));
    runFor(300); // the levels that switching the loopback on brought
    const auto ctsChanges = [&] { return sink.changes().filter(QRegularExpression(QStringLiteral("^3:"))).size(); };
    const qsizetype start = ctsChanges();

    // Some activity first, so that the watcher's sentry has something to look after; its
    // looks end about 127 ms after the last change.
    constexpr int Toggles = 5;
    bool level = port.cts();
    for (int i = 0; i < 2 * Toggles; ++i) {
        level = !level;
        if (level)
            loopback.raise(TIOCM_RTS);
        else
            loopback.drop(TIOCM_RTS);
        runFor(20);
    }
    runFor(1000);
    const qsizetype changes = ctsChanges() - start;
    const qsizetype reported = sink.changes().size();
    if (changes != 2 * Toggles)
        std::printf("changes reported: %s\n", qPrintable(sink.changes().join(QLatin1Char(' '))));

    const ThreadSwitches before = ThreadSwitches::now();
    runFor(seconds * 1000); // this end timer is one wake-up of the main thread
    const ThreadSwitches during = ThreadSwitches::now().since(before);

    std::printf("%lld CTS changes reported (%d made), %lld changes of any line during the idle time\n",
                qlonglong(changes), 2 * Toggles, qlonglong(sink.changes().size() - reported));
    std::printf("%d s idle, port open:\n", seconds);
    for (const auto &[tid, t] : during.threads)
        std::printf("  thread %-6d %-16s voluntary %6lld  involuntary %6lld\n", tid, qPrintable(t.name), t.voluntary,
                    t.involuntary);
    std::printf("  all threads: %lld switches, %.2f per second\n", during.total(), double(during.total()) / seconds);
    port.close();
    return changes == 2 * Toggles ? 0 : 1;
}
