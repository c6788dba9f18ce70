// A pre-loaded firing (bare PLAY 1-10 after a confirmed LOADBG) against a default one
// (PLAY 1 clip.mov): how long from FIREME to the line read by a server in a thread of its own
// on 127.0.0.1, and how many bytes go out on cue.
#include "../trigger_latency/latencystats.h"

#include "amcpresponder.h"
#include "scriptedfilechooser.h"
#include "scriptedprompter.h"

#include "playout/casparservers.h"
#include "playout/firing.h"
#include "playout/preloader.h"
#include "playout/triggerslots.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QLabel>
#include <QTest>
#include <QThread>

#include <cstdio>

using namespace vantor::playout;
using Clock = std::chrono::steady_clock;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"firings", "firings per case", "N", "1000"}});
    parser.process(app);
    const int firings = parser.value("firings").toInt();

    AmcpResponder responder;
    responder.listen();
    QThread thread;
    responder.moveToThread(&thread);
    thread.start();

    QWidget host;
    std::array<QCheckBox *, 6> boxes{};
    std::array<QLabel *, 6> labels{};
    for (int i = 0; i < 6; ++i) {
        boxes[i] = new QCheckBox(&host);
        labels[i] = new QLabel(QStringLiteral("clip.mov"), &host);
    }
    boxes[1]->setChecked(true);
    QLabel last;
    ScriptedPrompter prompter;
    vantor::ErrorTrap trap(prompter);
    ScriptedFileChooser chooser; // nothing to choose: the benches set the movies
    TriggerSlots triggers({boxes, labels}, trap, chooser);
    CasparConnection link(responder.port());
    const CasparServers servers(link);
    Firing firing({&last, [](const QString &) {}, {}}, trap, triggers, servers);
    Preloader preloader(triggers, servers, [](const QString &) {});
    firing.setPreloader(&preloader);
    triggers.setCommand(1, {{1, 10}, SlotAction::PlayPreloaded});
    link.connectTo(QStringLiteral("127.0.0.1"));
    bool ok = QTest::qWaitFor([&] { return link.isEstablished(); }, 5000);
    preloader.serverReady(CasparServers::Main);

    std::printf("| slot | firings | bytes on cue | p50 us | p99 us | max us |\n|---|---|---|---|---|---|\n");
    for (const int slot : {0, 1}) {
        std::vector<double> us;
        qsizetype bytes = 0;
        for (int i = 0; i < firings && ok; ++i) {
            ok = QTest::qWaitFor([&] { return slot == 0 || preloader.confirmed(1, CasparServers::Main); }, 2000);
            const int before = responder.lineCount();
            const Clock::time_point fired = Clock::now();
            firing.FIREME(qint16(slot));
            ok = ok && QTest::qWaitFor([&] { return responder.lineCount() > before; }, 2000);
            const auto lines = responder.lines();
            const auto &cue = lines.at(before);
            us.push_back(LatencyStats::us(cue.at - fired));
            bytes = cue.text.size() + 2; // with its CR LF
            QTest::qWait(5);             // contacts come apart; replies are read in between
        }
        const LatencyStats s = LatencyStats::of(us);
        std::printf("| %s | %zu | %lld | %.0f | %.0f | %.0f |\n",
                    slot == 0 ? "default (PLAY 1 clip.mov)" : "pre-loaded (PLAY 1-10)", s.count, (long long)bytes,
                    s.p50, s.p99, s.max);
    }
    std::fflush(stdout);
    thread.quit();
    thread.wait();
    return ok ? 0 : 1;
}
