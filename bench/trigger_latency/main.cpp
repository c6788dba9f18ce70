// Trigger latency: from the moment the port service is handed a line change (an injector
// thread calling post(), as the modem-line watcher does) to the PLAY line being read by a
// playout-server peer on 127.0.0.1 in a thread of its own. Bounce filter off.
//
//   QT_QPA_PLATFORM=offscreen bench_trigger_latency [--events 10000] [--pairs 1000]
//                                                   [--history 100000] [--seconds 120]
//                                                   [--log-dir DIR] [--load-events 3000] [--block 250]
//                                                   [--scrape-ms 0]
//
// Runs: alternating CTS ON/OFF with empty logs, then with --history lines in the History log;
// CTS and DSR changing together, with empty logs and with the full log; then the quiet and the
// busy machine (a competing load), each without and with the real-time mode, --load-events
// changes each in interleaved blocks of --block. A count of 0 leaves its runs out. Each run
// stops at its count or after --seconds, whichever comes first. With --log-dir the logs and the
// as-run record are written to files there, as the program's --log-dir does. With --scrape-ms N
// the alternating runs also serve the status endpoint (--status) and scrape its /metrics every
// N ms from another thread. Exit status 1 when a PLAY line is missing or wrong, a scrape went
// unanswered, or the competing load could not be started or ended.
#include "competingload.h"
#include "injector.h"
#include "latencystats.h"
#include "machinedescription.h"
#include "runqueuewait.h"
#include "scrapedstatus.h"
#include "station.h"

#include "app/realtime/realtimemode.h"

#include <QApplication>
#include <QEventLoop>

#include <cstdio>
#include <optional>
#include <thread>

namespace {

struct Arguments
{
    int events = 10000;
    int pairs = 1000;
    int history = 100000;
    int seconds = 120;
    QString logDir;
    int loadEvents = 3000;
    int block = 250;
    int scrapeMs = 0;
};

Arguments parse(const QStringList &args)
{
    Arguments a;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const int value = args[i + 1].toInt();
        if (args[i] == QLatin1String("--events"))
            a.events = value;
        else if (args[i] == QLatin1String("--pairs"))
            a.pairs = value;
        else if (args[i] == QLatin1String("--history"))
            a.history = value;
        else if (args[i] == QLatin1String("--seconds"))
            a.seconds = value;
        else if (args[i] == QLatin1String("--log-dir"))
            a.logDir = args[i + 1];
        else if (args[i] == QLatin1String("--load-events"))
            a.loadEvents = value;
        else if (args[i] == QLatin1String("--block"))
            a.block = std::max(1, value);
        else if (args[i] == QLatin1String("--scrape-ms"))
            a.scrapeMs = std::max(0, value);
    }
    return a;
}

double ms(std::chrono::nanoseconds d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Runs the injector on its own thread while this thread runs the window's event loop.
// `waits` tells how long each of the three threads waited for a processor meanwhile.
// threadStart runs first on the injector's thread, as on the line watcher's.
template <class F>
Injector::Run drive(Station &station, int seconds, QString &waits, F plan,
                    const std::function<void()> &threadStart = {})
{
    Injector injector(station, Injector::Clock::now() + std::chrono::seconds(seconds));
    Injector::Run run;
    QEventLoop loop;
    const int window = RunQueueWait::currentThreadId();
    const auto windowBefore = RunQueueWait::of(window);
    const auto serverBefore = RunQueueWait::of(station.serverThreadId());
    std::chrono::nanoseconds injectorWait{};
    std::thread thread([&] {
        if (threadStart)
            threadStart();
        const auto before = RunQueueWait::of(RunQueueWait::currentThreadId());
        run = plan(injector);
        injectorWait = RunQueueWait::of(RunQueueWait::currentThreadId()) - before;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    thread.join();
    QCoreApplication::processEvents();
    waits = QStringLiteral("waited for a processor: window thread %1 ms, server thread %2 ms, injector %3 ms; "
                           "load average after %4")
                .arg(ms(RunQueueWait::of(window) - windowBefore), 0, 'f', 1)
                .arg(ms(RunQueueWait::of(station.serverThreadId()) - serverBefore), 0, 'f', 1)
                .arg(ms(injectorWait), 0, 'f', 1)
                .arg(MachineDescription::loadAverage());
    return run;
}

void print(const char *what, const LatencyStats &s)
{
    std::printf("  %-34s n=%-6zu p50 %9.1f us   p99 %9.1f us   max %9.1f us\n", what, s.count, s.p50, s.p99, s.max);
}

// Latencies over 1 ms, and how many of them are mostly the machine's: the window's and the
// server's threads together spent at least half of that time waiting for a processor.
// (Approximate: the window thread's wait after sending, until the reading, counts too.)
void printSlow(const std::vector<double> &latencyUs, const Injector::Run &run)
{
    int slow = 0, machine = 0;
    for (size_t i = 0; i < latencyUs.size() && i < run.processorWait.size(); ++i) {
        if (latencyUs[i] > 1000) {
            ++slow;
            machine += LatencyStats::us(run.processorWait[i]) >= latencyUs[i] / 2;
        }
    }
    std::printf("  %d over 1 ms, %d of them mostly waiting for a processor\n", slow, machine);
}

bool prepare(Station &station, const char *title, int historyLines)
{
    if (!station.ready()) {
        std::printf("%s: the window could not be set up\n", title);
        return false;
    }
    if (historyLines > 0) {
        const auto took = station.fillHistory(historyLines);
        std::printf("%s: %d lines through SetStatus in %.2f s (%.1f us each); the History log holds %d (cap %d)\n",
                    title, historyLines, LatencyStats::us(took) / 1e6, LatencyStats::us(took) / historyLines,
                    station.fixture().w().history().count(), station.fixture().w().history().capacity());
    }
    station.resetCounts();
    return true;
}

void printEnd(const Injector::Run &run, size_t asked, const QString &waits)
{
    std::printf("  %s\n", qPrintable(waits));
    if (run.posted.size() < asked && run.failure.isEmpty())
        std::printf("  (stopped at the time limit after %zu of %zu)\n", run.posted.size(), asked);
    if (!run.failure.isEmpty())
        std::printf("  FAILED: %s\n", qPrintable(run.failure));
}

// One PLAY line per change: ON plays slot 0's movie, OFF slot 1's.
bool alternatingRun(const char *title, const Arguments &a, int historyLines)
{
    Station station({0, 1}, a.events, a.logDir);
    if (!prepare(station, title, historyLines))
        return false;
    std::optional<ScrapedStatus> status;
    if (a.scrapeMs > 0 && !status.emplace(station, a.scrapeMs).ready()) {
        std::printf("%s: the status endpoint could not be started\n", title);
        return false;
    }
    QString waits;
    const Injector::Run run = drive(station, a.seconds, waits, [&](Injector &i) { return i.alternating(a.events); });
    const QList<StampingPeer::Line> lines = station.server().lines();
    const int scrapes = status ? status->answers() : 0, unanswered = status ? status->failures() : 0;
    status.reset();

    std::vector<double> toServer, handled, idle;
    int wrong = 0;
    for (size_t i = 0; i < run.posted.size() && i < size_t(lines.size()); ++i) {
        const QByteArray expected = i % 2 == 0 ? "PLAY 1 slot0.mov" : "PLAY 1 slot1.mov";
        wrong += lines[qsizetype(i)].text != expected;
        toServer.push_back(LatencyStats::us(lines[qsizetype(i)].at - run.posted[i]));
        if (i < station.handledAt.size())
            handled.push_back(LatencyStats::us(station.handledAt[i] - run.posted[i]));
        if (i < station.idleAt.size())
            idle.push_back(LatencyStats::us(station.idleAt[i] - run.posted[i]));
    }
    std::printf("%s: %zu changes, %lld PLAY lines, %d wrong, History at the end %d lines\n", title, run.posted.size(),
                qlonglong(lines.size()), wrong, station.fixture().w().history().count());
    print("post -> PLAY line read by server", LatencyStats::of(toServer));
    printSlow(toServer, run);
    print("post -> window done handling", LatencyStats::of(handled));
    print("post -> window idle again", LatencyStats::of(idle));
    if (a.scrapeMs > 0)
        std::printf("  /metrics scraped every %d ms: %d answers, %d failed\n", a.scrapeMs, scrapes, unanswered);
    printEnd(run, size_t(a.events), waits);
    return run.failure.isEmpty() && wrong == 0 && size_t(lines.size()) == run.posted.size() && unanswered == 0;
}

// CTS and DSR rise in the same microsecond: both PLAY lines must arrive.
bool simultaneousRun(const char *title, const Arguments &a, int historyLines)
{
    Station station({0, 3}, a.pairs * 4, a.logDir);
    if (!prepare(station, title, historyLines))
        return false;
    QString waits;
    const Injector::Run run = drive(station, a.seconds, waits, [&](Injector &i) { return i.simultaneous(a.pairs); });
    const QList<StampingPeer::Line> lines = station.server().lines();

    std::vector<double> first, second, gap;
    int wrong = 0, sameRead = 0;
    for (size_t i = 0; i < run.posted.size() && 2 * i + 1 < size_t(lines.size()); ++i) {
        const StampingPeer::Line &cts = lines[qsizetype(2 * i)];
        const StampingPeer::Line &dsr = lines[qsizetype(2 * i + 1)];
        wrong += cts.text != "PLAY 1 slot0.mov" || dsr.text != "PLAY 1 slot3.mov";
        sameRead += cts.read == dsr.read;
        first.push_back(LatencyStats::us(cts.at - run.posted[i]));
        second.push_back(LatencyStats::us(dsr.at - run.posted[i]));
        gap.push_back(LatencyStats::us(dsr.at - cts.at));
    }
    std::printf("%s: %zu pairs, %lld PLAY lines, %d out of order or wrong, %d pairs arrived in one read\n", title,
                run.posted.size(), qlonglong(lines.size()), wrong, sameRead);
    print("post -> CTS slot's PLAY line", LatencyStats::of(first));
    print("post -> DSR slot's PLAY line", LatencyStats::of(second));
    printSlow(second, run);
    print("gap between the two lines", LatencyStats::of(gap));
    printEnd(run, size_t(a.pairs), waits);
    return run.failure.isEmpty() && wrong == 0 && size_t(lines.size()) == 2 * run.posted.size();
}

// One of the four set-ups of the load comparison, and what its blocks gave.
struct Condition
{
    Condition(const char *machine, bool busy, bool realtime)
        : machine(machine)
        , busy(busy)
        , realtime(realtime)
    {
    }
    const char *machine;
    bool busy;
    bool realtime;
    std::vector<double> atSocket, readByServer, handled; // us after the post, per change
    Injector::Run run;                                   // every block's changes, one after the other
    int wrong = 0;
    size_t lines = 0;
};

// Runs one block of a condition on the station: the load and the mode only for its length.
bool runBlock(Station &station, Condition &c, int changes, const Arguments &a)
{
    station.fixture().w().history().clear(); // empty logs
    station.resetCounts();
    std::optional<CompetingLoad> load;
    if (c.busy) {
        load.emplace(std::chrono::seconds(a.seconds + 10));
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // under way, memory taken
    }
    vantor::app::RealtimeMode mode = c.realtime ? vantor::app::RealtimeMode::enter() : vantor::app::RealtimeMode();
    QString waits;
    const Injector::Run run = drive(
        station, a.seconds, waits, [&](Injector &i) { return i.alternating(changes); }, mode.threadStart());
    mode.leave();
    bool loadOk = true;
    if (load) {
        load->stop();
        loadOk = load->ok();
    }
    const QList<StampingPeer::Line> lines = station.server().lines();
    for (size_t i = 0; i < run.posted.size() && i < size_t(lines.size()); ++i) {
        c.wrong += lines[qsizetype(i)].text != (i % 2 == 0 ? "PLAY 1 slot0.mov" : "PLAY 1 slot1.mov");
        c.atSocket.push_back(LatencyStats::us(lines[qsizetype(i)].arrived - run.posted[i]));
        c.readByServer.push_back(LatencyStats::us(lines[qsizetype(i)].at - run.posted[i]));
        if (i < station.handledAt.size())
            c.handled.push_back(LatencyStats::us(station.handledAt[i] - run.posted[i]));
    }
    c.lines += size_t(lines.size());
    c.run.posted.insert(c.run.posted.end(), run.posted.begin(), run.posted.end());
    c.run.windowWait.insert(c.run.windowWait.end(), run.windowWait.begin(), run.windowWait.end());
    if (!run.failure.isEmpty())
        c.run.failure = run.failure;
    return loadOk && run.failure.isEmpty() && size_t(lines.size()) == run.posted.size();
}

// The quiet and the busy machine, each without and with the real-time mode, on one station in
// interleaved blocks (the first of the four rotating), so that all four meet the shared
// machine at the same times. The injector plays the line watcher: with the mode it is raised
// as the watcher's threads are. The playout-server peer stays an ordinary thread.
bool loadComparison(const Arguments &a)
{
    Condition conditions[] = {
        {"quiet", false, false}, {"quiet", false, true}, {"busy", true, false}, {"busy", true, true}};
    Station station({0, 1}, a.block);
    if (!prepare(station, "Quiet and busy machine", 0))
        return false;
    vantor::app::RealtimeMode probe = vantor::app::RealtimeMode::enter();
    const std::string granted = probe.summary();
    const char *const on = probe.priority() > 0 ? "on" : "on, refused";
    probe.leave();
    std::printf("Quiet and busy machine, without and with the real-time mode: %d changes each, in interleaved "
                "blocks of %d\n  busy: %d busy processes at nice 0 and one streaming through %d MiB, for each busy "
                "block\n  %s\n",
                a.loadEvents, a.block, int(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN))), CompetingLoad::StreamMiB,
                granted.c_str());
    bool ok = true;
    for (int b = 0; b * a.block < a.loadEvents; ++b)
        for (int k = 0; k < 4; ++k)
            ok = runBlock(station, conditions[(b + k) % 4], std::min(a.block, a.loadEvents - b * a.block), a) && ok;

    std::printf(
        "\nPost -> PLAY line at the server's socket, and read by the server's (ordinary) thread, us:\n\n"
        "| machine | real-time mode | changes | p50 | p99 | max | over 1 ms (window thread waiting for a processor) | "
        "read by the server: p50 / p99 / "
        "max | window done, p99 |\n|---|---|---|---|---|---|---|---|---|\n");
    for (const Condition &c : conditions) {
        const LatencyStats s = LatencyStats::of(c.atSocket), read = LatencyStats::of(c.readByServer);
        // Over 1 ms, and how many of those the window thread spent mostly ready to run without a processor.
        int slow = 0, waiting = 0;
        for (size_t i = 0; i < c.atSocket.size() && i < c.run.windowWait.size(); ++i) {
            if (c.atSocket[i] > 1000) {
                ++slow;
                waiting += LatencyStats::us(c.run.windowWait[i]) >= c.atSocket[i] / 2;
            }
        }
        std::printf("| %s | %s | %zu | %.1f | %.1f | %.1f | %d (%d) | %.1f / %.1f / %.1f | %.1f |\n", c.machine,
                    c.realtime ? on : "off", s.count, s.p50, s.p99, s.max, slow, waiting, read.p50, read.p99, read.max,
                    LatencyStats::of(c.handled).p99);
        if (c.wrong > 0 || c.lines != c.run.posted.size() || !c.run.failure.isEmpty())
            std::printf("  FAILED: %d wrong, %zu PLAY lines for %zu changes %s\n", c.wrong, c.lines,
                        c.run.posted.size(), qPrintable(c.run.failure));
        ok = ok && c.wrong == 0;
    }
    for (const Condition &c : conditions) {
        const auto slowest = std::max_element(c.atSocket.begin(), c.atSocket.end()) - c.atSocket.begin();
        if (size_t(slowest) < c.run.windowWait.size())
            std::printf("Slowest change, %s machine, mode %s: %.0f us, of which the window thread waited %.0f us for a "
                        "processor\n",
                        c.machine, c.realtime ? "on" : "off", c.atSocket[size_t(slowest)],
                        LatencyStats::us(c.run.windowWait[size_t(slowest)]));
    }
    const LatencyStats busyRealtime = LatencyStats::of(conditions[3].atSocket);
    std::printf("Goal (busy machine, real-time mode, at the server's socket: p99 under 300 us, max under 1 ms): %s "
                "(p99 %.1f us, max %.1f us)\n",
                busyRealtime.p99 < 300 && busyRealtime.max < 1000 ? "met" : "NOT met", busyRealtime.p99,
                busyRealtime.max);
    std::printf("Load average after: %s\n", qPrintable(MachineDescription::loadAverage()));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    if (const auto status = CompetingLoad::runIfAsked(argc, argv))
        return *status;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures show up as they come, also in a pipe
    const Arguments a = parse(QCoreApplication::arguments());

    std::printf("Trigger latency, %s\n", qPrintable(MachineDescription::describe()));
    std::printf("Command: QT_QPA_PLATFORM=%s %s --events %d --pairs %d --history %d --seconds %d --load-events %d "
                "--block %d --scrape-ms %d%s%s\n",
                qgetenv("QT_QPA_PLATFORM").constData(), argv[0], a.events, a.pairs, a.history, a.seconds, a.loadEvents,
                a.block, a.scrapeMs, a.logDir.isEmpty() ? "" : " --log-dir ", qPrintable(a.logDir));
    std::printf("Pacing: next change after the previous PLAY line arrived and the window went idle, "
                "plus 200-500 us\n\n");
    bool ok = true;
    if (a.events > 0) {
        ok = alternatingRun("Empty logs", a, 0) && ok;
        ok = alternatingRun("Full History log", a, a.history) && ok;
    }
    if (a.pairs > 0) {
        ok = simultaneousRun("CTS+DSR together, empty logs", a, 0) && ok;
        ok = simultaneousRun("CTS+DSR together, full History log", a, a.history) && ok;
    }
    if (a.loadEvents > 0)
        ok = loadComparison(a) && ok;
    std::printf("\n%s\n", ok ? "Every PLAY line arrived, in order." : "PLAY LINES MISSING OR WRONG");
    return ok ? 0 : 1;
}
