// Hostile playout servers against the whole window.
//
//   QT_QPA_PLATFORM=offscreen bench_hostile_playout [--seconds 10] [--trigger-page] [--log-dir DIR]
//                                                  [--slow-disk] [--mode NAME]
//
// Without --mode, runs every mode in a child process of its own (so that each peak is its
// own) and prints a table. One mode: the window with its fakes for the serial port and the
// file chooser, the real Caspar connection with the program's own retry timing, slot CTS
// CHANGE armed, the History page in sight (the Trigger page, as at start-up, with
// --trigger-page); a hostile peer (HostilePlayoutPeer, own thread,
// 127.0.0.1) takes the playout server's place for --seconds, then behaves, and a slot fires.
// Peak resident memory is the kernel's high-water mark of the process (VmHWM); the lag is how
// late a 10 ms timer of the window's event loop came at worst, and "own lag" the same less the
// time the window's thread spent waiting for a processor meanwhile (run-queue delay from
// /proc/self/task/<tid>/schedstat): on a shared machine, the program's own share. A run whose
// memory passes 2 GiB is stopped early, to spare the machine. With --log-dir the logs are also
// written to daily files in DIR (each mode in a folder of its own under it), as the service unit
// runs the program; --slow-disk stands for a disk far slower than the flood while the peer does
// its worst: the file writers' threads run under SCHED_IDLE on one processor that a busy thread
// of the bench keeps to itself, so that they write a little now and then.
#include "../trigger_latency/runqueuewait.h"
#include "fakeportprobe.h"
#include "fakeserialportservice.h"
#include "hostileplayoutpeer.h"
#include "loopwatch.h"
#include "scriptedfilechooser.h"
#include "scriptedprompter.h"

#include "app/station/logfiles.h"
#include "app/window/mainwindow.h"
#include "app/window/services.h"
#include "app/window/tabcontrol.h"
#include "playout/casparconnection.h"
#include "playout/triggerslots.h"
#include "serial/system/portmap.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include <sched.h>

using Mode = HostilePlayoutPeer::Mode;

namespace {

constexpr qint64 MemoryGuard = qint64(2) << 30;

struct ModeName
{
    const char *name;
    Mode mode;
};
const ModeName Modes[] = {{"failure-flood", Mode::FailureFlood},
                          {"accept-and-close", Mode::AcceptAndClose},
                          {"unfinished-replies", Mode::UnfinishedReplies}};

qint64 statusField(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

double mib(qint64 bytes)
{
    return double(bytes) / (1 << 20);
}

// LoopWatch's lag, and the lag less the thread's run-queue delay over the same interval.
class LagWatch : public QObject
{
public:
    static constexpr int Period = 10;

    LagWatch()
        : m_tid(RunQueueWait::currentThreadId())
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(Period);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            const qint64 waited = RunQueueWait::of(m_tid).count();
            const qint64 lag = now - m_last - qint64(Period) * 1000000;
            m_worst = qMax(m_worst, lag);
            m_worstOwn = qMax(m_worstOwn, lag - (waited - m_lastWaited));
            m_last = now;
            m_lastWaited = waited;
        });
    }
    void start()
    {
        m_clock.start();
        m_lastWaited = RunQueueWait::of(m_tid).count();
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    double worstMs() const { return double(m_worst) / 1e6; }
    double worstOwnMs() const { return double(m_worstOwn) / 1e6; }

private:
    int m_tid;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0, m_lastWaited = 0, m_worst = 0, m_worstOwn = 0;
};

// --slow-disk: the file writers' threads get a processor only when a busy thread of our own,
// on the same processor, leaves it (SCHED_IDLE), as long as this object lives.
class SlowDisk
{
public:
    SlowDisk()
    {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        sched_getaffinity(0, sizeof allowed, &allowed);
        int cpu = 0;
        while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &allowed))
            ++cpu;
        CPU_ZERO(&m_one);
        CPU_SET(cpu, &m_one);
        const QDir tasks(QStringLiteral("/proc/self/task"));
        for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
            if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "file-writer")
                continue;
            const sched_param idle{0};
            if (sched_setscheduler(tid.toInt(), SCHED_IDLE, &idle) == 0
                && sched_setaffinity(tid.toInt(), sizeof m_one, &m_one) == 0)
                ++m_slowed;
        }
        m_busy = std::thread([this] {
            sched_setaffinity(0, sizeof m_one, &m_one);
            while (!m_stop.load(std::memory_order_relaxed)) {
            }
        });
    }
    ~SlowDisk()
    {
        m_stop = true;
        m_busy.join();
    }
    int slowed() const { return m_slowed; }

private:
    cpu_set_t m_one;
    int m_slowed = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_busy;
};

// One mode in this process. Prints one line "RESULT mode peak-MiB lag-ms ..." for the parent.
int runMode(const ModeName &mode, int seconds, bool triggerPage, const QString &logDir, bool slowDisk)
{
    HostilePlayoutPeer peer(std::chrono::seconds(seconds + 120));
    if (!peer.listen())
        return 2;
    peer.setMode(mode.mode);

    FakeSerialPortService port;
    vantor::serial::PortMap portMap{[] { return QStringList{"/dev/ttyS0"}; }};
    portMap.refresh();
    FakePortProbe probe;
    probe.openable = {"/dev/ttyS0"};
    ScriptedPrompter prompter;
    ScriptedFileChooser chooser;
    vantor::playout::CasparConnection caspar(peer.port()); // the program's own retry timing
    vantor::app::Services services{port,     portMap, probe, [] { return std::vector<vantor::serial::PortEntry>{}; },
                                   prompter, chooser, caspar};
    vantor::app::Options options;
    options.debounce = std::chrono::milliseconds(0);
    port.setDebounce(options.debounce);
    vantor::app::MainWindow window(services, options);
    std::unique_ptr<vantor::app::LogFiles> logFiles;
    if (!logDir.isEmpty())
        logFiles =
            std::make_unique<vantor::app::LogFiles>(QDir(logDir).filePath(QLatin1String(mode.name)), window, port);
    window.Form_Load();
    window.findChild<QPushButton *>(QStringLiteral("cmdCOMStatus"))->click();
    window.findChild<QCheckBox *>(QStringLiteral("chkTRIGGER(2)"))->click(); // CTS CHANGE
    chooser.choices.push_back(QStringLiteral("/media/back.mov"));
    window.triggerSlots().lblTRIGERMOVIE_DblClick(2);
    window.findChild<vantor::app::TabControl *>(QStringLiteral("SSTab1"))->setCurrentIndex(triggerPage ? 1 : 3);
    // Painted once with a full page first, so that the figures hold what the peer costs, not
    // the window's first paint.
    for (int i = 0; i < 50; ++i)
        window.SetStatus(QStringLiteral("warm-up"));
    QTest::qWait(200);
    window.repaint(); // at once, should the machine have been too busy to paint yet
    window.history().clear();

    qint64 failuresReported = 0;
    int shownUp = 0;
    qint64 linesWritten = 0;
    QObject::connect(&caspar, &vantor::playout::CasparConnection::replied,
                     [&](int code, const QByteArray &) { failuresReported += code >= 400 ? 1 : 0; });
    QObject::connect(&caspar, &vantor::playout::CasparConnection::establishedChanged,
                     [&](bool up) { shownUp += up ? 1 : 0; });
    QObject::connect(&window.history(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex &, int first, int last) { linesWritten += last - first + 1; });
    const auto plays = [&] { return int(peer.commands().count("PLAY 1 back.mov")); };
    const auto fire = [&] { port.changeCts(!port.cts); };

    {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
    }
    LagWatch watch;
    QElapsedTimer clock;
    QTimer driver; // fires the slot every 50 ms in the replies mode; watches memory
    bool guarded = false;
    QEventLoop loop;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (LoopWatch::residentBytes() > MemoryGuard) {
            guarded = true;
            loop.quit();
        } else if (clock.elapsed() >= seconds * 1000) {
            loop.quit();
        } else if (mode.mode == Mode::UnfinishedReplies && caspar.isEstablished()) {
            fire();
        }
    });
    std::optional<SlowDisk> slow;
    if (slowDisk && logFiles) {
        slow.emplace();
        if (slow->slowed() != 3) {
            std::fprintf(stderr, "--slow-disk: %d of 3 file writers slowed\n", slow->slowed());
            return 2;
        }
    }
    watch.start();
    clock.start();
    driver.start(50);
    window.findChild<QPushButton *>(QStringLiteral("cmdCASPAR"))->click();
    loop.exec();
    driver.stop();
    watch.stop();
    slow.reset();
    const double ran = clock.elapsed() / 1000.0;
    const qint64 peak = statusField("VmHWM:");
    const double lag = watch.worstMs();
    const double ownLag = watch.worstOwnMs();
    const int connections = peer.connections();

    // Afterwards: the peer behaves; does a slot that fires still send its PLAY line?
    peer.setMode(Mode::Behave);
    const int before = plays();
    QElapsedTimer recovery;
    recovery.start();
    const bool connected = QTest::qWaitFor(
        [&] {
            return peer.openConnections() == caspar.connectionCount()
                && caspar.state() == vantor::playout::CasparConnection::Connected;
        },
        30000);
    if (connected)
        fire();
    const bool works = connected && QTest::qWaitFor([&] { return plays() > before; }, 5000);
    // Waits for the last failures to be reported; the counts printed below tell whether they were.
    (void)QTest::qWaitFor([&] { return failuresReported >= peer.failuresSent(); }, 2000);
    const qint64 failuresSent = peer.failuresSent(); // a flood line begun is finished after the switch
    const int held = window.history().count();

    std::printf("RESULT %s %.1f %.1f %.1f %.1f %d %lld %lld %lld %d %d %s %.1f %lld\n", mode.name, mib(peak), lag,
                ownLag, ran, connections, qlonglong(failuresSent), qlonglong(failuresReported), qlonglong(linesWritten),
                held, shownUp, works ? "yes" : "no", recovery.elapsed() / 1000.0,
                logFiles ? qlonglong(logFiles->writer().droppedLines()) : -1LL);
    std::printf("  %s%s\n", mode.name, guarded ? ": stopped early, memory passed 2 GiB" : "");
    std::fflush(stdout);
    return works ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int seconds = 10;
    QString only;
    QString logDir;
    const QStringList args = app.arguments();
    const bool triggerPage = args.contains(QLatin1String("--trigger-page"));
    const bool slowDisk = args.contains(QLatin1String("--slow-disk"));
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--seconds"))
            seconds = args[++i].toInt();
        else if (args[i] == QLatin1String("--mode"))
            only = args[++i];
        else if (args[i] == QLatin1String("--log-dir"))
            logDir = QDir(args[++i]).absolutePath();
    }
    for (const ModeName &mode : Modes) {
        if (only == QLatin1String(mode.name))
            return runMode(mode, seconds, triggerPage, logDir, slowDisk);
    }
    if (!only.isEmpty()) {
        std::fprintf(stderr, "unknown mode %s\n", qPrintable(only));
        return 2;
    }

    std::printf("Command: QT_QPA_PLATFORM=%s %s --seconds %d%s%s%s\n\n", qgetenv("QT_QPA_PLATFORM").constData(),
                qPrintable(args[0]), seconds, triggerPage ? " --trigger-page" : "",
                logDir.isEmpty() ? "" : qPrintable(QStringLiteral(" --log-dir ") + logDir),
                slowDisk ? " --slow-disk" : "");
    std::printf("%-19s %9s %9s %9s %6s %6s %10s %10s %9s %6s %5s %6s %9s %9s\n", "mode", "peak MiB", "lag ms", "own ms",
                "ran s", "conns", "fail sent", "fail rep.", "hist.lines", "held", "green", "works", "after s",
                "dropped");
    int status = 0;
    for (const ModeName &mode : Modes) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList childArgs{QStringLiteral("--mode"), QLatin1String(mode.name), QStringLiteral("--seconds"),
                              QString::number(seconds)};
        if (triggerPage)
            childArgs << QStringLiteral("--trigger-page");
        if (!logDir.isEmpty())
            childArgs << QStringLiteral("--log-dir") << logDir;
        if (slowDisk)
            childArgs << QStringLiteral("--slow-disk");
        child.start(args[0], childArgs);
        if (!child.waitForFinished((seconds + 120) * 1000)) {
            child.kill();
            child.waitForFinished();
        }
        const QByteArrayList lines = child.readAllStandardOutput().split('\n');
        bool reported = false;
        for (const QByteArray &line : lines) {
            if (!line.startsWith("RESULT "))
                continue;
            const QByteArrayList f = line.split(' ');
            if (f.size() < 15)
                continue;
            reported = true;
            std::printf("%-19s %9s %9s %9s %6s %6s %10s %10s %9s %6s %5s %6s %9s %9s\n", f[1].constData(),
                        f[2].constData(), f[3].constData(), f[4].constData(), f[5].constData(), f[6].constData(),
                        f[7].constData(), f[8].constData(), f[9].constData(), f[10].constData(), f[11].constData(),
                        f[12].constData(), f[13].constData(), f[14] == "-1" ? "-" : f[14].constData());
        }
        for (const QByteArray &line : lines) {
            if (line.startsWith("  ") && line.contains("stopped early"))
                std::printf("%s\n", line.constData());
        }
        if (!reported || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
            std::printf("%-19s failed (exit %d)\n", mode.name, child.exitCode());
            status = 1;
        }
    }
    std::printf("\npeak MiB: the process's peak resident size; lag ms: worst lateness of a 10 ms timer on the window's"
                "\nevent loop; own ms: the same less the window thread's wait for a processor; conns: connections the "
                "peer accepted; fail sent/rep.: failure replies the peer wrote"
                "\nin full / the connection reported; hist.lines: History lines written, held: still held; green: times"
                "\nthe lamp turned green; works: a PLAY went out after the peer began to behave, after s seconds;"
                "\ndropped: log-file lines dropped (--log-dir).\n");
    return status;
}
