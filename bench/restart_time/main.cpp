// How long a station is off air after its program dies: SIGKILL, then the listener started
// again one second later as the service unit does (RestartSec=1), restoring its set-up,
// reopening its network serial port and reconnecting to the playout server. A contact on CTS
// changes every 20 ms throughout; the figure is the time from the SIGKILL to the first PLAY
// the server receives from the new run, split into its parts.
#include "amcpresponder.h"
#include "childprocess.h"
#include "contactserver.h"
#include "notifysocket.h"
#include "privatenetwork.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Round
{
    double restartDelay = 0; // SIGKILL to the new process (the unit's RestartSec)
    double toReady = 0;      // new process to READY=1
    double toPlay = 0;       // READY=1 to the first PLAY
    double total = 0;        // SIGKILL to the first PLAY
};

void printFigures(const char *name, std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::printf("%-26s median %7.0f ms   max %7.0f ms\n", name, values[values.size() / 2], values.back());
}

} // namespace

int main(int argc, char *argv[])
{
    if (!enterPrivateNetwork()) {
        std::fprintf(stderr, "restart_time: no network namespace of our own here: skipped\n");
        return 77;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    int rounds = 10;
    const QStringList args = app.arguments();
    if (const qsizetype i = args.indexOf("--rounds"); i >= 0)
        rounds = std::max(1, args.value(i + 1).toInt());

    AmcpResponder server;
    ContactServer contacts;
    if (!server.listen(5250) || !contacts.listen(QHostAddress::LocalHost)) {
        std::fprintf(stderr, "restart_time: cannot listen on 127.0.0.1\n");
        return 1;
    }
    QTimer contact; // the waiting contact: changes every 20 ms, also while the listener is down
    QObject::connect(&contact, &QTimer::timeout, &contacts, [&] {
        contacts.setContact(ContactServer::Input::Cts, !contacts.contact(ContactServer::Input::Cts));
    });
    contact.start(20);

    QTemporaryDir dir;
    {
        QFile setup(dir.filePath("setup.ini"));
        setup.open(QIODevice::WriteOnly);
        setup.write("[port]\nnumber=1\nspeed=9600\nparity=N\ndata_bits=8\nstop_bits=1\nopen=true\n"
                    "[triggers]\ncts_on=false\ncts_on_movie=\"\"\ncts_off=false\ncts_off_movie=\"\"\n"
                    "cts_change=true\ncts_change_movie=intro.mov\ndsr_on=false\ndsr_on_movie=\"\"\n"
                    "dsr_off=false\ndsr_off_movie=\"\"\ndsr_change=false\ndsr_change_movie=\"\"\n"
                    "[caspar]\naddress=127.0.0.1\nconnected=true\n[window]\ncollapsed=false\n");
    }
    NotifySocket notify;
    qputenv("NOTIFY_SOCKET", notify.path());
    qputenv("WATCHDOG_USEC", "5000000");
    const std::vector<std::string> arguments{"--port",    "1=rfc2217://127.0.0.1:" + std::to_string(contacts.port()),
                                             "--restore", dir.filePath("setup.ini").toStdString(),
                                             "--log-dir", dir.filePath("logs").toStdString()};
    const auto plays = [&] { return server.lines().size(); };
    const auto waitForPlay = [&](qsizetype after) { return QTest::qWaitFor([&] { return plays() > after; }, 30000); };

    auto listener = std::make_unique<ChildProcess>(LISTENER, arguments);
    if (!waitForPlay(0)) {
        std::fprintf(stderr, "restart_time: the first run never fired\n%s\n", listener->describe().constData());
        return 1;
    }
    std::vector<Round> results;
    for (int r = 0; r < rounds; ++r) {
        QTest::qWait(500); // on air for a while
        Round round;
        const Clock::time_point killed = Clock::now();
        listener->signal(SIGKILL);
        listener->waitForEnd();
        QTest::qWait(int(1000 - ms(Clock::now() - killed))); // RestartSec=1, counted from the end
        const qsizetype before = plays();
        const size_t notices = notify.take().size();
        const Clock::time_point started = Clock::now();
        listener = std::make_unique<ChildProcess>(LISTENER, arguments);
        const int ready = notify.waitFor("READY=1", notices, 30000);
        const Clock::time_point readyAt = Clock::now();
        if (ready < 0 || !waitForPlay(before)) {
            std::fprintf(stderr, "restart_time: round %d never fired\n%s\n", r, listener->describe().constData());
            return 1;
        }
        const Clock::time_point played = server.lines().value(before).at;
        round.restartDelay = ms(started - killed);
        round.toReady = ms(readyAt - started);
        round.toPlay = ms(played - readyAt);
        round.total = ms(played - killed);
        results.push_back(round);
        std::printf("round %2d: SIGKILL to first PLAY %6.0f ms\n", r + 1, round.total);
    }
    listener->signal(SIGTERM);
    listener->waitForEnd();

    std::printf("\n%d rounds, contact changing every 20 ms\n", rounds);
    const auto column = [&](double Round::*field) {
        std::vector<double> v;
        for (const Round &round : results)
            v.push_back(round.*field);
        return v;
    };
    printFigures("restart delay (unit)", column(&Round::restartDelay));
    printFigures("start to READY=1", column(&Round::toReady));
    printFigures("READY=1 to first PLAY", column(&Round::toPlay));
    printFigures("SIGKILL to first PLAY", column(&Round::total));
    return 0;
}
