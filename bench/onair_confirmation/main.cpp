// On-air confirmation bench. A fake 2.2 server (its own thread, 25 bundles a second) plays a
// new clip every 300 ms; the window thread (this one) watches each firing and measures, per
// phase, how long after the first bundle that showed the clip the firing was confirmed, how
// late a 10 ms timer of its own runs, and the process's memory. Phases: quiet; a flood sent to
// a port nobody reads (what making the flood costs this machine, without the receiver); a
// flood from a stranger's address; a flood from the main server's own address (parsed up to
// the rate, the rest dropped).
// Then the same through the window (windowrun.h): the firing's own contact-to-send time
// without and with --confirm, and under a stranger's flood, side by side.
//   QT_QPA_PLATFORM=offscreen bench_onair_confirmation [--seconds S] [--flood PER_SECOND]
//       [--window-firings N] [--block N] [--spacing-ms MS]
#include "flooder.h"
#include "onair/onairwatch.h"
#include "onair/oscreceiver.h"
#include "oscplayout.h"
#include "windowrun.h"

#include <QApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

using namespace vantor::onair;
using namespace std::chrono;

namespace {

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

struct Phase
{
    const char *name;
    const char *source; // of the flood; none when quiet
    bool elsewhere;     // the flood goes to a port nobody reads: what sending it costs alone
};

struct Figures
{
    std::vector<double> confirmFrames; // from the first bundle that showed the clip
    std::vector<double> lateMs;        // of the 10 ms timer
    int firings = 0;
    int notOnAir = 0;
    QString lastReason;
    long rssMaxKiB = 0;
    std::uint64_t floodSent = 0;
    OscReceiver::Counts counts;
};

Figures run(const Phase &phase, int seconds, int floodRate)
{
    Figures f;
    OscReceiver receiver;
    if (!receiver.start(0)) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(receiver.errorString()));
        std::exit(1);
    }
    receiver.setServers({QHostAddress(QStringLiteral("127.0.0.1"))}, {});

    QThread senderThread;
    auto *sender = new OscPlayout;
    sender->setVersion(OscPlayout::Version::V22);
    sender->setRate(25);
    sender->bindSource(QHostAddress(QStringLiteral("127.0.0.1")));
    sender->addTarget(QHostAddress::LocalHost, receiver.port());
    sender->moveToThread(&senderThread);
    senderThread.start();
    QMetaObject::invokeMethod(sender, [sender] { sender->start(); });

    // When the first bundle showing each firing's clip left (sender thread writes).
    std::mutex mutex;
    std::map<quint64, TimePoint> firstShown;
    quint64 pending = 0;
    QObject::connect(
        sender, &OscPlayout::ticked, sender,
        [&] {
            std::lock_guard lock(mutex);
            if (pending)
                firstShown[std::exchange(pending, 0)] = Clock::now();
        },
        Qt::DirectConnection);

    SteadyOnAirClock clock;
    OnAirWatch watch([&receiver](OscReceiver::Server s, int c, int l) { return receiver.view(s, c, l); }, clock);
    QObject::connect(&receiver, &OscReceiver::changed, &watch, &OnAirWatch::check);
    QObject::connect(&watch, &OnAirWatch::onAir, [&](const OnAirWatch::Firing &firing, TimePoint) {
        const TimePoint now = Clock::now();
        std::lock_guard lock(mutex);
        if (auto it = firstShown.find(firing.id); it != firstShown.end())
            f.confirmFrames.push_back(duration<double>(now - it->second) / FrameTime);
    });
    QObject::connect(&watch, &OnAirWatch::notOnAir, [&](const OnAirWatch::Firing &, const QString &reason) {
        ++f.notOnAir;
        f.lastReason = reason;
    });

    std::unique_ptr<Flooder> flood;
    if (phase.source) {
        OscPlayout junk;
        junk.play(1, 20, QStringLiteral("junk"), QStringLiteral("junk.mov"));
        const QByteArray d = junk.bundle(1);
        flood = std::make_unique<Flooder>(phase.source, phase.elsewhere ? quint16(9) : receiver.port(),
                                          std::vector<char>(d.begin(), d.end()), floodRate);
        if (!flood->ok()) {
            std::fprintf(stderr, "cannot send from %s\n", phase.source);
            std::exit(1);
        }
    }

    QTimer fire;
    fire.setInterval(300);
    QObject::connect(&fire, &QTimer::timeout, [&] {
        const quint64 id = quint64(++f.firings);
        const QString clip = QStringLiteral("clip%1").arg(id % 2);
        watch.watch({id, OscReceiver::Main, 1, 10, QStringLiteral("1-10"), clip, Clock::now()});
        QMetaObject::invokeMethod(sender, [&, sender, id, clip] {
            sender->play(1, 10, clip, clip + QStringLiteral(".mov"));
            std::lock_guard lock(mutex);
            pending = id;
        });
    });
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    TimePoint last = Clock::now();
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const TimePoint now = Clock::now();
        f.lateMs.push_back(std::max(0.0, duration<double, std::milli>(now - last).count() - 10));
        last = now;
        if (f.lateMs.size() % 10 == 0)
            f.rssMaxKiB = std::max(f.rssMaxKiB, rssKiB());
    });
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    fire.start();
    tick.start();
    last = Clock::now();
    loop.exec();
    fire.stop();
    tick.stop();
    if (flood) {
        f.floodSent = flood->sent();
        flood.reset();
    }
    f.counts = receiver.counts();
    QMetaObject::invokeMethod(
        sender, [sender] { sender->halt(); }, Qt::BlockingQueuedConnection);
    senderThread.quit();
    senderThread.wait();
    delete sender;
    return f;
}

// The window's part: prints its table and goals; false when the window could not be set up.
bool throughTheWindow(int firings, int block, int spacingMs, int floodRate)
{
    const std::vector<WindowCondition> conditions = runThroughTheWindow(firings, block, spacingMs, floodRate);
    if (conditions.empty()) {
        std::printf("\nThrough the window: the window could not be set up\n");
        return false;
    }
    std::printf("\nThrough the window: %d firings, a firing every %d-%d ms, in interleaved blocks of %d\n\n", firings,
                spacingMs, spacingMs + 20, block);
    std::printf("| condition | firings | contact-to-send p50 / p99 / max (us) | confirmed | confirm p50 / p99 / max "
                "(frames) | not on air | RSS max (MiB) |\n|---|---|---|---|---|---|---|\n");
    for (const WindowCondition &c : conditions) {
        const auto &s = c.contactToSendUs;
        const auto &f = c.confirmFrames;
        QString name = c.name;
        if (c.floodPerSecond > 0)
            name += QStringLiteral(" (%1/s sent)").arg(c.floodPerSecond, 0, 'f', 0);
        std::printf("| %s | %d | %.1f / %.1f / %.1f | %zu | %.2f / %.2f / %.2f | %d%s%s | %.1f |\n", qPrintable(name),
                    c.firings, percentile(s, 0.5), percentile(s, 0.99),
                    s.empty() ? -1 : *std::max_element(s.begin(), s.end()), f.size(), percentile(f, 0.5),
                    percentile(f, 0.99), f.empty() ? -1 : *std::max_element(f.begin(), f.end()), c.notOnAir,
                    c.notOnAir ? ", the last " : "", c.notOnAir ? qPrintable(c.lastReason) : "", c.rssMaxKiB / 1024.0);
    }
    const double without = percentile(conditions[0].contactToSendUs, 0.99);
    const double with = percentile(conditions[1].contactToSendUs, 0.99);
    const double flooded = percentile(conditions[2].contactToSendUs, 0.99);
    // Unchanged: within a fifth, or 50 us, of the p99 without --confirm.
    const auto unchanged = [without](double p99) { return p99 <= std::max(without * 1.2, without + 50); };
    std::printf("\nGoal \"confirmation within 2 frames of the first bundle that shows the clip (p99)\", through the "
                "window: %s (%.2f frames)\n",
                !conditions[1].confirmFrames.empty() && percentile(conditions[1].confirmFrames, 0.99) <= 2.0
                    ? "met"
                    : "NOT met",
                percentile(conditions[1].confirmFrames, 0.99));
    std::printf("Goal \"contact-to-send p99 unchanged with --confirm\" (within a fifth or 50 us of %.1f us): %s "
                "(%.1f us); under the flood: %s (%.1f us)\n",
                without, unchanged(with) ? "met" : "NOT met", with, unchanged(flooded) ? "met" : "NOT met", flooded);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int seconds = 20;
    int floodRate = 100000;
    int windowFirings = 1000;
    int block = 50;
    int spacingMs = 120;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--seconds"))
            seconds = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--flood"))
            floodRate = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--window-firings"))
            windowFirings = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--block"))
            block = std::max(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--spacing-ms"))
            spacingMs = std::max(1, args[i + 1].toInt());
    }
    const Phase phases[] = {
        {"quiet", nullptr, false},
        {"flood to a port nobody reads (its sending alone)", "127.0.0.3", true},
        {"flood from a stranger", "127.0.0.3", false},
        {"flood from the main server's address", "127.0.0.1", false},
    };
    if (seconds > 0) {
        std::printf("On-air confirmation: %d s per phase, flood %d datagrams/s, fake 2.2 server at 25 bundles/s, "
                    "a firing every 300 ms\n\n",
                    seconds, floodRate);
        std::printf("| phase | flood sent/s | firings | confirmed | confirm p50 / p99 / max (frames) | "
                    "timer late p50 / p99 / max (ms) | RSS max (MiB) | parsed | strangers | over rate |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
        bool met = true;
        for (const Phase &p : phases) {
            const Figures f = run(p, seconds, floodRate);
            const auto c = f.confirmFrames;
            std::printf(
                "| %s | %.0f | %d | %zu | %.2f / %.2f / %.2f | %.2f / %.2f / %.2f | %.1f | %llu | %llu | %llu |\n",
                p.name, double(f.floodSent) / seconds, f.firings, c.size(), percentile(c, 0.5), percentile(c, 0.99),
                c.empty() ? -1 : *std::max_element(c.begin(), c.end()), percentile(f.lateMs, 0.5),
                percentile(f.lateMs, 0.99), f.lateMs.empty() ? -1 : *std::max_element(f.lateMs.begin(), f.lateMs.end()),
                f.rssMaxKiB / 1024.0, static_cast<unsigned long long>(f.counts.parsed),
                static_cast<unsigned long long>(f.counts.strangers),
                static_cast<unsigned long long>(f.counts.overRate));
            if (f.notOnAir)
                std::printf("|   | not on air: %d, the last \"%s\" |||||||||\n", f.notOnAir, qPrintable(f.lastReason));
            if (!p.source || (p.source == std::string("127.0.0.3") && !p.elsewhere))
                met = met && !c.empty() && percentile(c, 0.99) <= 2.0;
        }
        std::printf(
            "\nGoal \"confirmed within 2 frames of the first bundle that shows the clip (p99)\", quiet and under a "
            "stranger's flood: %s\n",
            met ? "met" : "NOT met");
    }
    if (windowFirings > 0 && !throughTheWindow(windowFirings, block, spacingMs, floodRate))
        return 1;
    return 0;
}
