// Misbehaving network serial servers (RFC 2217) against the whole program: for each mode,
// the peak resident memory and the worst lag of the window's event loop while the peer is at
// it (and the program's own share of it: the time the window's thread ran meanwhile, apart
// from waits for a processor or a late timer of a busy machine); then whether the program
// still works (a contact fires its slot, a dead server closes
// the port with an "***Err" line).
// Full run, each mode in a process of its own:
//   for m in 0 1 2; do QT_QPA_PLATFORM=offscreen <build>/bench/hostile_serial/bench_hostile_serial --seconds 8 --mode $m; done
#include "hostilestation.h"

#include <QApplication>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

double mib(qint64 bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

} // namespace

int main(int argc, char *argv[])
{
    int seconds = 4;
    std::vector<HostilePeer::Mode> modes{HostilePeer::Mode::Renegotiate, HostilePeer::Mode::ModemFlood,
                                         HostilePeer::Mode::DataStream};
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--mode") == 0) // 0, 1 or 2: one mode alone, in a fresh process
            modes = {HostilePeer::Mode(std::clamp(std::atoi(argv[i + 1]), 0, 2))};
    }
    QApplication app(argc, argv);

    HostileStation station(std::chrono::seconds(seconds * 3 + 30));
    std::printf("%-52s %8s %9s %13s %9s %s\n", "mode", "RSS MiB", "peak MiB", "worst lag ms", "(own ms)", "port");
    bool ok = true;
    for (const HostilePeer::Mode mode : modes) {
        const HostileStation::Figures f = station.run(mode, seconds * 1000);
        std::printf("%-52s %8.1f %9.1f %13.1f %9.1f %s\n", HostilePeer::name(mode), mib(f.residentBefore),
                    mib(f.residentPeak), f.worstLagMs, f.worstOwnLagMs,
                    f.closedByItself ? "closed (***Err)" : "stayed open");
        std::fflush(stdout);
    }

    // Afterwards: a contact change on a well-behaved server fires the armed slot ...
    ok = station.connectToPlayout() && station.arm(0, QStringLiteral("intro.mov"))
        && station.selectAndOpen(HostileStation::ContactPort);
    QTest::qWait(200); // the server's first answer sets the levels
    station.contacts().setContact(ContactServer::Input::Cts, true);
    const bool played = QTest::qWaitFor([&] { return station.playout().lineCount() > 0; }, 5000);
    std::printf("afterwards: a contact fires its slot: %s\n", played ? "yes" : "NO");
    // ... and a server that stops answering closes the port with an "***Err" line.
    const bool opened = station.selectAndOpen(HostileStation::DeadPort);
    const bool closed = opened && QTest::qWaitFor([&] { return !station.isOpen(); }, 5000);
    const bool said = closed && station.portLog().last().contains(QLatin1String("***Err"));
    std::printf("afterwards: a dead server closes the port with ***Err: %s\n", said ? "yes" : "NO");
    return ok && played && said ? 0 : 1;
}
