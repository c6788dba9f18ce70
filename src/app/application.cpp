#include "app/application.h"

#include "app/commandline.h"
#include "app/confirm/onairconfirmation.h"
#include "app/confirm/tallycontact.h"
#include "app/edition.h"
#include "app/monitor/boxwatch.h"
#include "app/monitor/operatorclose.h"
#include "app/monitor/portreopener.h"
#include "app/monitor/runmarker.h"
#include "app/monitor/servicenotifier.h"
#include "app/monitor/stationstatus.h"
#include "app/monitor/statusboard.h"
#include "app/monitor/statusfeed.h"
#include "app/monitor/statusserver.h"
#include "app/monitor/unattendedprompter.h"
#include "app/realtime/realtimemode.h"
#include "app/station/logfiles.h"
#include "app/station/setupfile.h"
#include "app/station/setuplock.h"
#include "app/station/setuprestore.h"
#include "app/station/stationnotice.h"
#include "app/station/storedmoviechooser.h"
#include "app/terminationsignals.h"
#include "app/window/activitylog.h"
#include "app/window/mainwindow.h"
#include "app/window/messageboxprompter.h"
#include "app/window/windowicon.h"

#include "errortrap/protector.h"

#include "onair/oscreceiver.h"

#include "playout/casparconnection.h"
#include "playout/casparservers.h"
#include "playout/qtaddresschooser.h"
#include "playout/qtfilechooser.h"
#include "serial/system/portprobe.h"
#include "serial/system/systemserialportservice.h"

#include <QApplication>
#include <QMessageBox>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vantor::app {

namespace {
// How long a box may wait for an answer in a start that nobody watches before the watchdog's
// pings stop.
constexpr std::chrono::seconds BoxGrace{60};

void describe()
{
    QCoreApplication::setApplicationName(QStringLiteral("vantor-listener"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTOR_VERSION));
}

// The box of the fault filter's installation, before there is a display to show it on: its
// text on standard error, and the program ends.
class StandardErrorPrompter : public Prompter
{
public:
    Answer ask(const std::string &prompt) override
    {
        std::fprintf(stderr, "%s\n", prompt.c_str());
        return Answer::Abort;
    }
};
// Without a display Qt ends the program with abort() and advice to reinstall it. The one fatal
// message before there is a window is that one: say what is wrong, and end as for a bad value.
void noDisplay(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    std::fprintf(stderr,
                 "vantor-listener: no display to show the window on: DISPLAY or WAYLAND_DISPLAY is not set, "
                 "or that display does not let this user in. Start it from the desktop session, or as its "
                 "systemd user service (man vantor-listener).\n");
    std::fflush(stderr);
    std::_Exit(2);
}

// The box of a start refused for the set-up file's lock, before the program has a window.
class MessageRefusalBox : public RefusalBox
{
public:
    MessageRefusalBox(int &argc, char **argv)
        : m_argc(argc)
        , m_argv(argv)
    {
    }
    void show(const QString &text) override
    {
        const QtMessageHandler standard = qInstallMessageHandler(noDisplay);
        QApplication app(m_argc, m_argv);
        qInstallMessageHandler(standard);
        describe();
        QMessageBox box(QMessageBox::Critical, MainWindow::Title, text, QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText); // a path may hold anything
        box.exec();
    }

private:
    int &m_argc;
    char **m_argv;
};

// --list-ports: each number, its device, and whether this user can open it.
QString portListing(const serial::PortMap &map)
{
    const serial::SystemPortProbe probe;
    QString text;
    const QStringList lines = map.listing();
    qsizetype i = 0;
    for (const auto &[number, target] : map.entries()) {
        text += lines.value(i++) + QStringLiteral("  ") + serial::SystemPortProbe::describe(probe.check(target), target)
            + QLatin1Char('\n');
    }
    return text;
}

// A start that nobody watches: the port log's "***" lines (why the port did not open, what
// failed) go to standard error as well, the journal under the service manager.
void echoFailures(ActivityLog &log)
{
    QObject::connect(&log, &ActivityLog::rowsInserted, &log, [&log](const QModelIndex &, int first, int last) {
        for (int row = first; row <= last && row < log.count(); ++row) {
            const QString &line = log.at(row);
            const qsizetype at = line.indexOf(QLatin1String(" : ***"));
            if (at >= 0 && at <= 8)
                std::fprintf(stderr, "vantor-listener: %s\n", qPrintable(line.mid(at + 3)));
        }
    });
}

// The run marker lives beside the set-up file: the station's state directory under the
// service unit.
std::unique_ptr<RunMarker> takeRunMarker(const QString &restoreFile)
{
    if (restoreFile.isEmpty())
        return {};
    return std::make_unique<RunMarker>(restoreFile + QStringLiteral(".running"));
}
} // namespace

int run(int argc, char *argv[])
{
    edition::connectStandardStreams();
    {
        // The fault filter goes in first, before any port, socket or list exists.
        StandardErrorPrompter console;
        ErrorTrap startUp(console);
        vbwInitializeProtector(startUp);
    }
    CommandLine command;
    serial::PortMap portMap;
    {
        // --help, --version and --list-ports answer without a window (and without a display).
        QCoreApplication core(argc, argv);
        describe();
        command = CommandLine::parse(QCoreApplication::arguments());
        for (const auto &pin : command.pins)
            portMap.pin(pin);
        portMap.refresh();
        if (command.listPorts)
            command.output = portListing(portMap);
        if (command.exit) {
            std::fputs(command.output.toLocal8Bit().constData(), command.exitCode ? stderr : stdout);
            return command.exitCode;
        }
    }

    // One program per set-up file: a second one would overwrite the first one's set-up. It
    // runs only while it holds the lock.
    const bool unattended = command.unattended || ServiceNotifier::underServiceManager();
    std::unique_ptr<SetupLock> setupLock;
    if (!command.restoreFile.isEmpty()) {
        MessageRefusalBox box(argc, argv);
        setupLock = lockForStart(command.restoreFile, !unattended && edition::onDisplay() ? &box : nullptr);
        if (!setupLock)
            return 2;
    }

    const QtMessageHandler standard = qInstallMessageHandler(noDisplay);
    QApplication app(argc, argv);
    qInstallMessageHandler(standard);
    describe();
    QApplication::setWindowIcon(windowIcon());
    QApplication::setApplicationDisplayName(MainWindow::Title);
    QApplication::setQuitOnLastWindowClosed(false); // the window quits explicitly when closed

    // Before any thread of the trigger path starts; threads started from here on begin ordinary.
    const RealtimeMode realtime = command.realtime ? RealtimeMode::enter() : RealtimeMode();
    serial::SystemSerialPortService port(std::move(portMap));
    port.setWatcherThreadStart(realtime.threadStart());
    port.setDebounce(command.options.debounce);
    serial::SystemPortProbe probe;
    MessageBoxPrompter box;
    BoxWatch boxes(box); // every box of the trap, seen open by the health check and the watchdog
    UnattendedPrompter startUpPrompter(boxes);
    Prompter &prompter = unattended ? static_cast<Prompter &>(startUpPrompter) : boxes;
    playout::QtFileChooser chooser;
    playout::QtAddressChooser addresses;
    StoredMovieChooser movies(chooser); // --restore picks its movies through it
    playout::CasparConnection caspar;
    // The backup server and the on-air confirmation: from the command line, else from the
    // set-up file.
    if (!command.restoreFile.isEmpty() && (command.options.backupServer.isEmpty() || !command.confirm)) {
        const Setup saved = SetupFile::parse(command.restoreFile).setup;
        if (command.options.backupServer.isEmpty())
            command.options.backupServer = saved.backup;
        if (!command.confirm)
            command.confirm = SetupFile::confirmPort(saved.confirm, onair::OscReceiver::DefaultPort);
    }
    // --confirm: the servers' OSC, on a thread of its own; without it, no socket and no thread.
    std::unique_ptr<onair::OscReceiver> osc;
    QString oscError;
    if (command.confirm) {
        osc = std::make_unique<onair::OscReceiver>();
        if (!osc->start(*command.confirm)) {
            oscError = osc->errorString();
            osc.reset();
        }
    }
    std::unique_ptr<playout::CasparConnection> backup;
    if (!command.options.backupServer.isEmpty())
        backup = std::make_unique<playout::CasparConnection>();
    serial::PortMap &numbers = port.portMap();
    Services services{port,     numbers, probe,  serial::systemPortEnumerator(numbers),
                      prompter, movies,  caspar, backup.get()};
    services.addressChooser = &addresses;

    MainWindow window(services, command.options);
    box.setParent(&window);
    const OperatorClose operatorClose(window);
    startUpPrompter.setLog([&window](const QString &line) { window.SetStatus1(line); });
    if (unattended)
        echoFailures(window.portLog());
    chooser.setParent(&window);
    addresses.setParent(&window);
    std::unique_ptr<LogFiles> logFiles;  // --log-dir
    std::unique_ptr<SetupRestore> setup; // --restore
    std::unique_ptr<RunMarker> marker;   // --restore
    // A signal at a box of the start-up ends the program there, and cleanly: the files' writers
    // write what is queued, then the run marker goes (their destructors, each waiting for its
    // disk a bounded time).
    closeOnTerminationSignals(&window, [&] {
        setup.reset();
        logFiles.reset();
        marker.reset();
    });
    if (!command.logDir.isEmpty()) // before Form_Load, whose lines it keeps
        logFiles = std::make_unique<LogFiles>(command.logDir, window, port, osc != nullptr);
    // A dead run's marker: the first History line says so, before anything of this start.
    marker = takeRunMarker(command.restoreFile);
    if (marker && marker->previousEnd()) {
        const QString line = RunMarker::startedAgainLine(*marker->previousEnd(), QDateTime::currentDateTime());
        window.SetStatus(line);
        if (logFiles)
            logFiles->restarted(line);
    } else if (marker && !marker->problem().isEmpty()) {
        std::fprintf(stderr, "vantor-listener: run marker %s.running not kept: %s\n", qPrintable(command.restoreFile),
                     qPrintable(marker->problem()));
    }
    ServiceNotifier notifier;
    StationStatus status(window, port); // after LogFiles, whose firing record it passes on
    QObject::connect(&status, &StationStatus::changed, &notifier, &ServiceNotifier::setStatus);
    // A box nobody can see is a hang: after the grace the watchdog restarts the program.
    if (unattended)
        notifier.setBoxGrace(BoxGrace);
    QObject::connect(&boxes, &BoxWatch::changed, &status, [&](const QString &waitingFor) {
        notifier.setBoxOpen(!waitingFor.isEmpty());
        status.setWaiting(waitingFor);
    });
    if (!command.restoreFile.isEmpty())
        setup = std::make_unique<SetupRestore>(command.restoreFile, window, port, movies, command.options.mediaFolder);
    // --status: what monitoring reads; the server's threads stop before it goes.
    StatusBoard board(command.statusSite.toStdString());
    std::unique_ptr<StatusFeed> feed;
    StatusServer statusServer(board);
    if (command.status) {
        feed = std::make_unique<StatusFeed>(board, window, port);
        feed->addServer(playout::CasparServers::Main, caspar);
        feed->watchBoxes(boxes);
        if (backup)
            feed->addServer(playout::CasparServers::Backup, *backup);
        if (logFiles)
            feed->setDroppedLogLines([&writer = logFiles->writer()] { return writer.droppedLines(); });
    }
    std::unique_ptr<OnAirConfirmation> confirmation; // --confirm
    if (osc) {
        confirmation = std::make_unique<OnAirConfirmation>(window, *osc, command.confirmMs);
        if (feed)
            feed->followOnAir([&osc](int server) { return osc->lastDatagram(onair::OscReceiver::Server(server)); });
    }
    std::unique_ptr<TallyContact> tally; // --tally
    if (command.tally)
        tally = std::make_unique<TallyContact>(*command.tally, window, port, confirmation.get());
    window.Form_Load();
    if (command.confirm) {
        stationNotice(window,
                      osc ? QStringLiteral("On-air confirmation: the servers' state on UDP port %1").arg(osc->port())
                          : QStringLiteral("***On-air confirmation off: ") + oscError);
    }
    if (command.realtime)
        window.SetStatus1(QString::fromStdString(realtime.summary()));
    if (command.status) {
        const QString error = statusServer.start(command.status->address, command.status->port);
        stationNotice(window,
                      error.isEmpty() ? QStringLiteral("Status at http://%1:%2/ (page), /metrics and /healthz")
                                            .arg(command.status->address)
                                            .arg(command.status->port)
                                      : QStringLiteral("***Status not served: ") + error);
    }
    if (setup)
        setup->restore();
    // A restored port that does not open is opened as soon as it can be, attended or not.
    std::unique_ptr<PortReopener> reopener;
    if (setup) {
        reopener = std::make_unique<PortReopener>(
            window.session(), port, numbers, probe, [&setup] { return setup->setup().portOpen; },
            [&window](const QString &line) { stationNotice(window, line); });
    }
    startUpPrompter.startIsDone();
    notifier.ready(status.text());
    mainLoopStarts();
    const int code = QApplication::exec();
    notifier.stopping();
    return operatorClose.exitStatus(code);
}

} // namespace vantor::app
