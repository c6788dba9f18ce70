// The playout link's figures: how long a firing takes to reach the main server without a
// backup, beside a live one and beside a frozen one; how far apart the two servers get it; and
// what keeping the link proven costs the window thread when nothing happens.
#include "../trigger_latency/latencystats.h"

#include "amcpresponder.h"
#include "scriptedfilechooser.h"
#include "scriptedprompter.h"

#include "playout/casparservers.h"
#include "playout/firing.h"
#include "playout/triggerslots.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QFile>
#include <QLabel>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <cstdio>

using namespace vantor::playout;
using Clock = std::chrono::steady_clock;

namespace {

// A responder reading in a thread of its own, as a server on another machine would.
struct Server
{
    AmcpResponder responder;
    QThread thread;
    Server()
    {
        responder.listen();
        responder.moveToThread(&thread);
        thread.start();
    }
    ~Server()
    {
        thread.quit();
        thread.wait();
    }
    void freeze(bool on)
    {
        QMetaObject::invokeMethod(
            &responder, [this, on] { responder.setFrozen(on); }, Qt::BlockingQueuedConnection);
    }
};

// Voluntary context switches of the window thread (its wake-ups).
long wakeUps()
{
    QFile status(QStringLiteral("/proc/self/task/%1/status").arg(QCoreApplication::applicationPid()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(24).trimmed().toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"firings", "firings per case", "N", "1000"}, {"idle-seconds", "idle time", "S", "10"}});
    parser.process(app);
    const int firings = parser.value("firings").toInt();
    const int idleSeconds = parser.value("idle-seconds").toInt();

    QWidget host;
    std::array<QCheckBox *, 6> boxes{};
    std::array<QLabel *, 6> labels{};
    for (int i = 0; i < 6; ++i) {
        boxes[i] = new QCheckBox(&host);
        labels[i] = new QLabel(&host);
    }
    labels[0]->setText(QStringLiteral("clip.mov"));
    QLabel last;
    ScriptedPrompter prompter;
    vantor::ErrorTrap trap(prompter);
    ScriptedFileChooser chooser; // nothing to choose: the benches set the movies
    TriggerSlots triggers({boxes, labels}, trap, chooser);

    std::printf("| backup | firings | main p50 us | main p99 us | main max us | skew p50 us | skew p99 us |\n"
                "|---|---|---|---|---|---|---|\n");
    bool allArrived = true;
    for (const char *mode : {"none", "live", "frozen"}) {
        Server main, backup;
        CasparConnection mainLink(main.responder.port());
        std::optional<CasparConnection> backupLink;
        if (QByteArray(mode) != "none")
            backupLink.emplace(backup.responder.port());
        const CasparServers servers(mainLink, backupLink ? &*backupLink : nullptr);
        Firing firing({&last, [](const QString &) {}, {}}, trap, triggers, servers);
        for (int s = 0; s < servers.count(); ++s)
            servers.at(s).connectTo(QStringLiteral("127.0.0.1"));
        allArrived &= QTest::qWaitFor(
            [&] { return mainLink.isEstablished() && (!backupLink || backupLink->isEstablished()); }, 5000);
        if (QByteArray(mode) == "frozen")
            backup.freeze(true);

        std::vector<double> mainUs, skewUs;
        for (int i = 0; i < firings; ++i) {
            const int before = main.responder.lineCount();
            const int backupBefore = backup.responder.lineCount();
            const Clock::time_point fired = Clock::now();
            firing.FIREME(0);
            // A frozen backup reads nothing: only the main server's arrival is waited for.
            const bool both = QByteArray(mode) == "live" && backupLink->isEstablished();
            allArrived &= QTest::qWaitFor(
                [&] {
                    return main.responder.lineCount() > before
                        && (!both || backup.responder.lineCount() > backupBefore);
                },
                2000);
            const auto lines = main.responder.lines();
            mainUs.push_back(LatencyStats::us(lines.last().at - fired));
            if (both && backup.responder.lineCount() > backupBefore)
                skewUs.push_back(LatencyStats::us(backup.responder.lines().last().at - lines.last().at));
            QTest::qWait(5); // contacts come apart; replies are read in between
        }
        const LatencyStats m = LatencyStats::of(mainUs), k = LatencyStats::of(skewUs);
        std::printf("| %s | %zu | %.0f | %.0f | %.0f | %s | %s |\n", mode, m.count, m.p50, m.p99, m.max,
                    k.count ? qPrintable(QString::number(k.p50, 'f', 0)) : "-",
                    k.count ? qPrintable(QString::number(k.p99, 'f', 0)) : "-");
        if (QByteArray(mode) == "frozen")
            backup.freeze(false);
    }

    // Idle: the window thread's wake-ups per second, with no server and with one proven by PING.
    std::printf("\n| link | window-thread wake-ups per second |\n|---|---|\n");
    for (const bool connected : {false, true}) {
        Server server;
        CasparConnection link(server.responder.port());
        if (connected) {
            link.connectTo(QStringLiteral("127.0.0.1"));
            allArrived &= QTest::qWaitFor([&] { return link.isEstablished(); }, 5000);
        }
        const long before = wakeUps();
        QEventLoop idle; // not QTest::qWait, which wakes every few milliseconds itself
        QTimer::singleShot(idleSeconds * 1000, &idle, &QEventLoop::quit);
        idle.exec();
        std::printf("| %s | %.1f |\n", connected ? "connected (PING every 1 s)" : "not connected",
                    double(wakeUps() - before) / idleSeconds);
    }
    std::fflush(stdout);
    return allArrived ? 0 : 1;
}
