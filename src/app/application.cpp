#include "app/application.h"

#include "app/commandline.h"
#include "app/monitor/statusboard.h"
#include "app/monitor/statusfeed.h"
#include "app/monitor/statusserver.h"
#include "app/realtime/realtimemode.h"
#include "app/station/logfiles.h"
#include "app/station/setupfile.h"
#include "app/station/setuprestore.h"
#include "app/station/stationnotice.h"
#include "app/station/storedmoviechooser.h"
#include "app/terminationsignals.h"
#include "app/window/mainwindow.h"
#include "app/window/messageboxprompter.h"

#include "errortrap/protector.h"

#include "playout/casparconnection.h"
#include "playout/casparservers.h"
#include "playout/qtfilechooser.h"
#include "serial/system/portprobe.h"
#include "serial/system/systemserialportservice.h"

#include <QApplication>

#include <cstdio>

namespace vantor::app {

namespace {
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
} // namespace

int run(int argc, char *argv[])
{
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
            command.output = portMap.listing().join(QLatin1Char('\n')) + QLatin1Char('\n');
        if (command.exit) {
            std::fputs(command.output.toLocal8Bit().constData(), command.exitCode ? stderr : stdout);
            return command.exitCode;
        }
    }

    QApplication app(argc, argv);
    describe();
    QApplication::setApplicationDisplayName(MainWindow::Title);
    QApplication::setQuitOnLastWindowClosed(false); // the window quits explicitly when closed

    // Before any thread of the trigger path starts; threads started from here on begin ordinary.
    const RealtimeMode realtime = command.realtime ? RealtimeMode::enter() : RealtimeMode();
    serial::SystemSerialPortService port(std::move(portMap));
    port.setWatcherThreadStart(realtime.threadStart());
    port.setDebounce(command.options.debounce);
    serial::SystemPortProbe probe;
    MessageBoxPrompter prompter;
    playout::QtFileChooser chooser;
    StoredMovieChooser movies(chooser); // --restore picks its movies through it
    playout::CasparConnection caspar;
    // The backup server: from the command line, else from the set-up file.
    if (command.options.backupServer.isEmpty() && !command.restoreFile.isEmpty())
        command.options.backupServer = SetupFile::parse(command.restoreFile).setup.backup;
    std::unique_ptr<playout::CasparConnection> backup;
    if (!command.options.backupServer.isEmpty())
        backup = std::make_unique<playout::CasparConnection>();
    serial::PortMap &numbers = port.portMap();
    Services services{port,     numbers, probe,  [&numbers] { return serial::systemPortEntries(numbers); },
                      prompter, movies,  caspar, backup.get()};

    MainWindow window(services, command.options);
    prompter.setParent(&window);
    chooser.setParent(&window);
    closeOnTerminationSignals(&window);
    std::unique_ptr<LogFiles> logFiles; // --log-dir: before Form_Load, whose lines it keeps
    if (!command.logDir.isEmpty())
        logFiles = std::make_unique<LogFiles>(command.logDir, window, port);
    std::unique_ptr<SetupRestore> setup; // --restore
    if (!command.restoreFile.isEmpty())
        setup = std::make_unique<SetupRestore>(command.restoreFile, window, port, movies, command.options.mediaFolder);
    StatusBoard board; // --status: what monitoring reads; the server's threads stop before it goes
    std::unique_ptr<StatusFeed> feed;
    StatusServer statusServer(board);
    if (command.status) {
        feed = std::make_unique<StatusFeed>(board, window, port);
        feed->addServer(playout::CasparServers::Main, caspar);
        if (backup)
            feed->addServer(playout::CasparServers::Backup, *backup);
        if (logFiles)
            feed->setDroppedLogLines([&writer = logFiles->writer()] { return writer.droppedLines(); });
    }
    window.Form_Load();
    if (command.realtime)
        window.SetStatus1(QString::fromStdString(realtime.summary()));
    if (command.status) {
        const QString error = statusServer.start(command.status->address, command.status->port);
        stationNotice(window,
                      error.isEmpty() ? QStringLiteral("Status at http://%1:%2/metrics and /healthz")
                                            .arg(command.status->address)
                                            .arg(command.status->port)
                                      : QStringLiteral("***Status not served: ") + error);
    }
    if (setup)
        setup->restore();
    mainLoopStarts();
    return QApplication::exec();
}

} // namespace vantor::app
