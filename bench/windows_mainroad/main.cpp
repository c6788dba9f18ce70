// The main road through the Windows edition under Wine, beside the Linux program in the same
// run: each program, started with its set-up restored, opens a network serial port served by
// the contact simulator's server and connects to a recording playout peer; a contact on CTS
// then changes N times (CTS ON plays "in.mov", CTS OFF "out clip.mov", sent quoted), each change
// once the previous PLAY has arrived and the bounce hold-off has passed. Every change must give
// its PLAY line, in order, and the bytes the peer receives must be the same from both programs.
// Before the changes, the lamps must be green as the status endpoint reports them (port open,
// server connected, /healthz ok). Prints contact-to-PLAY p50 and p99 of each program.
//
//   xvfb-run -a bench_windows_mainroad [--changes 1000] [--windows-build DIR]
//
// Runs in a network namespace of its own (the playout server's port 5250 is fixed), with a Wine
// prefix of its own (DIR/wineprefix-mainroad), so that its wineserver is in that namespace too.
// Exit status 77 when the namespace, the Windows build or a display is missing; 1 when a PLAY
// is missing, out of order or different.
#include "amcpresponder.h"
#include "childprocess.h"
#include "contactserver.h"
#include "privatenetwork.h"

#include "../trigger_latency/latencystats.h"

#include "app/monitor/operatorclose.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

constexpr quint16 StatusPort = 9250;
constexpr auto HoldOff = std::chrono::milliseconds(15); // past the default 10 ms bounce hold-off
const QByteArray OnLine = "PLAY 1 in.mov";
const QByteArray OffLine = "PLAY 1 \"out clip.mov\"";

struct Edition
{
    const char *name;
    std::vector<std::string> command;                 // the program and its first arguments
    QByteArray platform;                              // QT_QPA_PLATFORM
    std::function<std::string(const QString &)> path; // a path as the program takes it
    std::vector<std::string> stop;                    // what ends it as the close button does; empty: SIGTERM
    int endStatus;                                    // the program's exit status for that end
};

struct Outcome
{
    bool ok = false;
    QByteArray bytes; // what the peer received, PING lines left out
    std::vector<double> latencies;
};

QByteArray get(const char *path)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(StatusPort).arg(path)))));
    (void)QTest::qWaitFor([&] { return reply->isFinished(); }, 5000);
    return reply->isFinished() && reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
}

// The newest lines of the program's log files, for a failure's report.
QByteArray logs(const QString &folder)
{
    QByteArray text;
    for (const QFileInfo &file : QDir(folder).entryInfoList({QStringLiteral("*.log")}, QDir::Files)) {
        QFile f(file.filePath());
        f.open(QIODevice::ReadOnly);
        text += file.fileName().toUtf8() + ":\n" + f.readAll().right(3000) + "\n";
    }
    return text;
}

void writeSetup(const QString &file)
{
    QFile setup(file);
    setup.open(QIODevice::WriteOnly);
    setup.write("[port]\nnumber=1\nspeed=9600\nparity=N\ndata_bits=8\nstop_bits=1\nopen=true\n"
                "[triggers]\ncts_on=true\ncts_on_movie=in.mov\ncts_off=true\ncts_off_movie=\"out clip.mov\"\n"
                "cts_change=false\ncts_change_movie=\"\"\ndsr_on=false\ndsr_on_movie=\"\"\n"
                "dsr_off=false\ndsr_off_movie=\"\"\ndsr_change=false\ndsr_change_movie=\"\"\n"
                "[caspar]\naddress=127.0.0.1\nconnected=true\n[window]\ncollapsed=false\n");
}

Outcome drive(const Edition &edition, int changes)
{
    Outcome outcome;
    QThread peerThread;
    auto *peer = new AmcpResponder;
    peer->moveToThread(&peerThread);
    QObject::connect(&peerThread, &QThread::finished, peer, &QObject::deleteLater);
    peerThread.start();
    bool listening = false;
    QMetaObject::invokeMethod(
        peer, [&] { listening = peer->listen(5250); }, Qt::BlockingQueuedConnection);
    ContactServer contacts;
    QByteArrayList served; // the contact server's own log, for a failure's report
    QObject::connect(&contacts, &ContactServer::logged, [&](const QString &line) {
        served << line.toUtf8();
        if (served.size() > 40)
            served.removeFirst();
    });
    QTemporaryDir dir;
    if (!listening || !contacts.listen(QHostAddress::LocalHost)) {
        std::fprintf(stderr, "%s: cannot listen on 127.0.0.1\n", edition.name);
        return outcome;
    }
    writeSetup(dir.filePath(QStringLiteral("setup.ini")));
    std::vector<std::string> command = edition.command;
    for (const std::string &argument :
         {std::string("--unattended"), std::string("--restore"),
          edition.path(dir.filePath(QStringLiteral("setup.ini"))), std::string("--port"),
          "1=rfc2217://127.0.0.1:" + std::to_string(contacts.port()), std::string("--status"),
          std::to_string(StatusPort), std::string("--log-dir"), edition.path(dir.filePath(QStringLiteral("logs")))})
        command.push_back(argument);
    qputenv("QT_QPA_PLATFORM", edition.platform);
    auto program = std::make_unique<ChildProcess>(command.front().c_str(),
                                                  std::vector<std::string>(command.begin() + 1, command.end()));

    // On air: the port lamp and the server lamp green, the window thread answering.
    int primed = 0; // PLAY lines of the changes that set the starting level
    const bool ready = QTest::qWaitFor([&] { return get("/healthz").startsWith("ok"); }, 120000);
    const QByteArray metrics = get("/metrics");
    const bool lamps = metrics.contains("vantor_port_open{port=\"COM 1\"} 1")
        && metrics.contains("vantor_server_connected{server=\"main\"} 1");
    if (!ready || !lamps) {
        std::fprintf(stderr, "%s: not on air (healthz %s, lamps %s)\n%s\n", edition.name, ready ? "ok" : "not ok",
                     lamps ? "green" : "not green", program->describe().constData());
    } else {
        // The first changes after the port opens only set the levels the program starts from
        // (the server's answer may carry change bits from before the session): the contact
        // changes until one fires, and the count starts after it.
        bool closed = contacts.contact(ContactServer::Input::Cts);
        for (int tries = 0; peer->lineCount() == 0 && tries < 100; ++tries) {
            closed = !closed;
            contacts.setContact(ContactServer::Input::Cts, closed);
            (void)QTest::qWaitFor([&] { return peer->lineCount() > 0; }, 300);
        }
        // The count starts from an open contact in every run, so that the lines compare.
        if (closed && peer->lineCount() > 0) {
            (void)QTest::qWaitFor([] { return false; }, 100); // its bounce hold-off over
            const int before = peer->lineCount();
            closed = false;
            contacts.setContact(ContactServer::Input::Cts, closed);
            (void)QTest::qWaitFor([&] { return peer->lineCount() > before; }, 10000);
        }
        (void)QTest::qWaitFor([] { return false; }, 100); // its bounce hold-off over
        primed = peer->lineCount();
        Clock::time_point last = Clock::now();
        for (int i = 0; i < changes; ++i) {
            (void)QTest::qWaitFor([&] { return Clock::now() - last >= HoldOff; }, 1000);
            closed = !closed;
            last = Clock::now();
            contacts.setContact(ContactServer::Input::Cts, closed);
            if (!QTest::qWaitFor([&] { return peer->lineCount() > primed + i; }, 10000)) {
                std::fprintf(stderr, "%s: change %d gave no PLAY; its logs:\n%s\nthe port's server:\n%s\n",
                             edition.name, i + 1, logs(dir.filePath(QStringLiteral("logs"))).constData(),
                             served.join('\n').constData());
                break;
            }
            const AmcpResponder::Line line = peer->lines().at(primed + i);
            if (line.text != (closed ? OnLine : OffLine)) {
                std::fprintf(stderr, "%s: change %d gave \"%s\"\n", edition.name, i + 1, line.text.constData());
                break;
            }
            outcome.latencies.push_back(LatencyStats::us(line.at - last));
        }
        outcome.ok = int(outcome.latencies.size()) == changes && peer->lineCount() == primed + changes;
    }
    // What came after the priming lines, byte for byte, but for the link's own PING.
    outcome.bytes = peer->received().replace("PING\r\n", "");
    for (int i = 0; i < primed; ++i)
        outcome.bytes.remove(0, outcome.bytes.indexOf("\r\n") + 2);
    if (edition.stop.empty()) {
        program->signal(SIGTERM);
    } else {
        ChildProcess stop(edition.stop.front().c_str(),
                          std::vector<std::string>(edition.stop.begin() + 1, edition.stop.end()));
        stop.waitForEnd(60000);
    }
    program->waitForEnd(60000);
    if (!program->exitedWith(edition.endStatus)) {
        std::fprintf(stderr, "%s: did not end cleanly: %s\n", edition.name, program->describe().constData());
        outcome.ok = false;
    }
    peerThread.quit();
    peerThread.wait();
    return outcome;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!enterPrivateNetwork()) {
        std::fprintf(stderr, "windows_mainroad: no network namespace of our own here: skipped\n");
        return 77;
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int changes = 1000;
    QString windowsBuild = QStringLiteral(WINDOWS_BUILD);
    if (const qsizetype i = args.indexOf("--changes"); i >= 0)
        changes = std::max(1, args.value(i + 1).toInt());
    if (const qsizetype i = args.indexOf("--windows-build"); i >= 0)
        windowsBuild = args.value(i + 1);
    const QString exe = windowsBuild + QStringLiteral("/vantor-listener.exe");
    if (!QFileInfo::exists(exe) || qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "windows_mainroad: no %s or no display: skipped\n", qPrintable(exe));
        return 77;
    }
    const std::string wineRun = WINE_RUN;
    const std::string prefix = (windowsBuild + QStringLiteral("/wineprefix-mainroad")).toStdString();
    const auto windowsPath = [](const QString &path) { return "Z:" + QDir::toNativeSeparators(path).toStdString(); };
    const Edition linux{"Linux", {LISTENER}, "offscreen", [](const QString &p) { return p.toStdString(); }, {}, 0};
    const Edition windows{"Windows (Wine)",
                          {wineRun, "--prefix", prefix, exe.toStdString()},
                          "windows",
                          windowsPath,
                          {wineRun, "--prefix", prefix, "taskkill", "/IM", "vantor-listener.exe"},
                          vantor::app::OperatorClose::ExitStatus}; // WM_CLOSE, as the close button

    const Outcome onLinux = drive(linux, changes);
    const Outcome onWindows = drive(windows, changes);
    for (const auto &[name, outcome] : {std::pair{linux.name, &onLinux}, std::pair{windows.name, &onWindows}}) {
        const LatencyStats s = LatencyStats::of(outcome->latencies);
        std::printf("%-15s %4zu of %d PLAY lines in order; contact to PLAY p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms\n",
                    name, s.count, changes, s.p50 / 1000, s.p99 / 1000, s.max / 1000);
    }
    const bool same = onLinux.bytes == onWindows.bytes;
    std::printf("bytes at the peer: %lld from Linux, %lld from Windows, %s\n", qlonglong(onLinux.bytes.size()),
                qlonglong(onWindows.bytes.size()), same ? "the same" : "DIFFERENT");
    return onLinux.ok && onWindows.ok && same ? 0 : 1;
}
