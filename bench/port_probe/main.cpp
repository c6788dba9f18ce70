// Cost of the port probe: one device, a missing one, and a full pass over the 16 numbers that
// "Get COM Ports" probes (here 16 pseudo-terminals), against scanning /proc/*/fd for holders.

#include "pseudoterminal.h"
#include "serial/system/portprobe.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

using vantor::serial::SystemPortProbe;
using Clock = std::chrono::steady_clock;

namespace {

template <class F>
double microsecondsEach(int iterations, F f)
{
    const auto start = Clock::now();
    for (int i = 0; i < iterations; ++i)
        f();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / iterations;
}

// Finds the processes that hold the device open: a readlink for every descriptor of every
// process this user may look into.
int holdersByProcScan(const QString &device, int &descriptors)
{
    int holders = 0;
    descriptors = 0;
    const auto processes = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &pid : processes) {
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        const auto entries = fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : entries) {
            ++descriptors;
            if (QFileInfo(fds.filePath(fd)).symLinkTarget() == device) {
                ++holders;
                break;
            }
        }
    }
    return holders;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::vector<std::unique_ptr<PseudoTerminal>> ptys;
    for (int i = 0; i < 16; ++i)
        ptys.push_back(std::make_unique<PseudoTerminal>());
    const QString device = ptys.front()->slavePath();
    SystemPortProbe probe;

    volatile bool sink = false;
    const double one = microsecondsEach(iterations, [&] { sink = probe.available(device); });
    const double missing = microsecondsEach(iterations, [&] { sink = probe.available("/dev/ttyUSB99"); });
    const double pass = microsecondsEach(iterations / 10 + 1, [&] {
        for (const auto &pty : ptys)
            sink = probe.available(pty->slavePath());
    });
    int descriptors = 0;
    const double scan = microsecondsEach(iterations / 100 + 1, [&] { holdersByProcScan(device, descriptors); });

    std::printf("command: %s %d\n", argv[0], iterations);
    std::printf("lock-file probe, one device:          %8.1f us\n", one);
    std::printf("lock-file probe, missing device:      %8.1f us\n", missing);
    std::printf("lock-file probe, 16 numbers:          %8.1f us\n", pass);
    std::printf("/proc/*/fd scan, one device:          %8.1f us (%d descriptors looked at)\n", scan, descriptors);
    std::printf("/proc/*/fd scan, 16 numbers:          %8.1f us\n", scan * 16);
    return 0;
}
