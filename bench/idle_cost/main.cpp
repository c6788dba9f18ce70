// Idle cost: what the program does while nothing happens, and what its History log costs in
// memory over a long run.
//
//   QT_QPA_PLATFORM=offscreen bench_idle_cost [--seconds 10] [--lines 1000000]
//
// Idle: port 1 open, connected to a playout-server peer on 127.0.0.1 (its own thread, left out
// of the figures), event loop running for --seconds; context switches of every thread from
// /proc/self/task/*/status, and what woke the user-interface thread. Once with the tests' fake
// port (the window alone), once with the system port service on a pseudo-terminal (a pty has
// no modem lines, so no line watcher runs; on a real UART it sleeps in the driver).
// Memory: --lines History lines through SetStatus, resident size (/proc/self/statm) at 10%,
// 50% and 100% of them.
#include "eventcensus.h"
#include "idlestation.h"
#include "machinedescription.h"
#include "pseudoterminal.h"
#include "threadswitches.h"

#include "serial/system/systemserialportservice.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <unistd.h>

namespace {

struct Arguments
{
    int seconds = 10;
    int lines = 1000000;
};

Arguments parse(const QStringList &args)
{
    Arguments a;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            a.seconds = args[++i].toInt();
        else if (args[i] == QLatin1String("--lines") && i + 1 < args.size())
            a.lines = args[++i].toInt();
    }
    return a;
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Returns the switches per second of the program's own threads.
double idle(IdleStation &station, int seconds, const char *title)
{
    runFor(500); // connection replies, first paint, delayed layouts
    EventCensus census;
    census.start();
    const ThreadSwitches before = ThreadSwitches::now();
    runFor(seconds * 1000); // this end timer is one wake-up of the user-interface thread
    const ThreadSwitches during = ThreadSwitches::now().since(before);
    census.stop();

    long long own = 0;
    std::printf("%s, %d s idle:\n", title, seconds);
    for (const auto &[tid, t] : during.threads) {
        const bool peer = tid == station.serverThreadId();
        if (!peer)
            own += t.total();
        std::printf("  thread %-7d %-16s voluntary %6lld  involuntary %6lld%s\n", tid, qPrintable(t.name), t.voluntary,
                    t.involuntary, peer ? "  (the server peer, left out)" : "");
    }
    const double perSecond = double(own) / seconds;
    std::printf("  program's threads: %lld switches, %.2f per second\n", own, perSecond);
    std::printf("  user-interface thread woke %lld times; events delivered:\n", census.wakeUps());
    std::vector<std::pair<QString, long long>> events(census.events().begin(), census.events().end());
    std::sort(events.begin(), events.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    for (size_t i = 0; i < events.size() && i < 12; ++i)
        std::printf("    %6lld  %s\n", events[i].second, qPrintable(events[i].first));
    if (events.empty())
        std::printf("    none\n");
    return perSecond;
}

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? double(fields[1].toLongLong()) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

// The log keeps its newest lines only: past the cap the resident size must stay flat.
void memory(IdleStation &station, int lines)
{
    using Clock = std::chrono::steady_clock;
    auto &w = station.window();
    std::printf("\nHistory log memory (cap %d lines), every line through SetStatus:\n", w.history().capacity());
    std::printf("  %9d lines: RSS %7.1f MiB\n", w.history().count(), residentMiB());
    const std::vector<int> checkpoints = {lines / 10, lines / 2, lines};
    int written = 0;
    auto start = Clock::now();
    for (const int checkpoint : checkpoints) {
        const int from = written;
        for (; written < checkpoint; ++written) {
            w.SetStatus(QStringLiteral("Fire Trigger. Play movie line%1.mov").arg(written));
            if (written % 1000 == 999)
                QCoreApplication::processEvents(); // as the running program would between lines
        }
        QCoreApplication::processEvents();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("  %9d lines: RSS %7.1f MiB, log holds %d, %.1f us per line\n", written, residentMiB(),
                    w.history().count(), seconds * 1e6 / std::max(1, written - from));
        start = Clock::now();
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures show up as they come, also in a pipe
    const Arguments a = parse(QCoreApplication::arguments());
    std::printf("Idle cost, %s\n", qPrintable(MachineDescription::describe()));
    std::printf("Command: QT_QPA_PLATFORM=%s %s --seconds %d --lines %d\n\n", qgetenv("QT_QPA_PLATFORM").constData(),
                argv[0], a.seconds, a.lines);

    PseudoTerminal pty;
    vantor::serial::PortMap map([] { return QStringList{}; });
    map.pin({1, pty.slavePath()});
    map.refresh();
    bool ok = pty.isValid();

    {
        FakeSerialPortService fake;
        IdleStation station(fake, map);
        ok = ok && station.ready();
        if (station.ready())
            idle(station, a.seconds, "Window alone (fake port)");
    }
    std::printf("\n");
    {
        vantor::serial::SystemSerialPortService system(map);
        IdleStation station(system, system.portMap());
        ok = ok && station.ready();
        if (station.ready()) {
            idle(station, a.seconds, qPrintable(QStringLiteral("System port service on %1").arg(pty.slavePath())));
            memory(station, a.lines);
        }
    }
    if (!ok)
        std::printf("\nTHE WINDOW COULD NOT BE SET UP (port open, server connected)\n");
    return ok ? 0 : 1;
}
