#include "app/commandline.h"

#include "app/edition.h"
#include "app/monitor/sitelabel.h"
#include "onair/oscreceiver.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace vantor::app {

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine result;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Plays movies on a Caspar playout server when contacts wired to "
                                                    "the CTS and DSR lines of a serial port close or open."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption port(
        {QStringLiteral("port")},
        QStringLiteral(
            "Pins port number N to DEVICE, a device path (/dev/serial/by-id/...) or rfc2217://HOST:PORT. Repeatable."),
        QStringLiteral("N=DEVICE"));
    const QCommandLineOption listPorts(
        {QStringLiteral("list-ports")},
        QStringLiteral("Prints the port numbering, and whether this user can open each port, and exits."));
    const QCommandLineOption mediaFolder(
        {QStringLiteral("media-folder")},
        QStringLiteral(
            "The server's media folder as seen from here: movies under it are sent by their path relative to it."),
        QStringLiteral("DIR"));
    const QCommandLineOption debounce(
        {QStringLiteral("debounce-ms")},
        QStringLiteral("Contact-bounce hold-off in milliseconds (default 10, 0 turns it off)."), QStringLiteral("N"),
        QStringLiteral("10"));
    const QCommandLineOption restore(
        {QStringLiteral("restore")},
        QStringLiteral(
            "Brings back the set-up kept in FILE at start and keeps every change in it (created if missing)."),
        QStringLiteral("FILE"));
    const QCommandLineOption logDir(
        {QStringLiteral("log-dir")},
        QStringLiteral("Writes both logs to daily files in DIR, and an as-run record as-run-YYYY-MM-DD.csv."),
        QStringLiteral("DIR"));
    const QCommandLineOption realtime(
        {QStringLiteral("realtime")},
        QStringLiteral("Runs the line watcher and the window thread under SCHED_FIFO and locks memory, where the "
                       "system allows it; the port log says what was granted."));
    const QCommandLineOption status(
        {QStringLiteral("status")},
        QStringLiteral("Answers GET /metrics (Prometheus) and GET /healthz over HTTP on ADDRESS:PORT, for facility "
                       "monitoring; a port number alone listens on 127.0.0.1 only."),
        QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption statusLabel(
        {QStringLiteral("status-label")},
        QStringLiteral("Gives every metric of --status the label site=\"NAME\", to tell the stations of several "
                       "sites apart; NAME is up to 64 printable characters."),
        QStringLiteral("site=NAME"));
    const QCommandLineOption backupServer(
        {QStringLiteral("backup-server")},
        QStringLiteral("Sends every firing to the playout server at HOST as well, after the main one; it gets a lamp "
                       "of its own. Overrides the set-up file's [caspar] backup_address."),
        QStringLiteral("HOST"));
    const QCommandLineOption unattended(
        {QStringLiteral("unattended")},
        QStringLiteral("Starts without waiting for a person: errors of the start go to the port log instead of a "
                       "box, and the restored port is opened as soon as it can be. Implied under a service manager "
                       "(NOTIFY_SOCKET)."));
    const QCommandLineOption confirm(
        {QStringLiteral("confirm")},
        QStringLiteral("Confirms each firing from the playout server's own state, its OSC received on UDP port "
                       "6250 (--confirm=PORT: on PORT), and writes whether the clip went on air. Overrides the "
                       "set-up file's [caspar] confirm."),
        QStringLiteral("PORT"));
    const QCommandLineOption confirmMs(
        {QStringLiteral("confirm-ms")},
        QStringLiteral("How long after its send a firing may take to show on air (default 500)."), QStringLiteral("N"),
        QStringLiteral("500"));
    const QCommandLineOption tally(
        {QStringLiteral("tally")},
        QStringLiteral("Drives the port's DTR line as a tally contact: dtr (asserted while a clip fired from here is "
                       "on air) or dtr:pulse=MS (a pulse for each firing on air)."),
        QStringLiteral("MODE"));
    parser.addOptions({port, listPorts, mediaFolder, debounce, restore, logDir, realtime, status, statusLabel,
                       backupServer, unattended, confirm, confirmMs, tally});

    const auto fail = [&](const QString &message) {
        result.exit = true;
        result.exitCode = 2;
        result.output = message + QLatin1Char('\n');
        return result;
    };
    // --confirm takes its port only as --confirm=PORT: alone, it stands for the default port.
    QStringList args = arguments;
    for (qsizetype i = 1; i < args.size() && args[i] != QLatin1String("--"); ++i) {
        if (args[i] != QLatin1String("--confirm"))
            continue;
        if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1Char('-')))
            return fail(QStringLiteral("--confirm takes its port as --confirm=PORT"));
        args[i] = QStringLiteral("--confirm=%1").arg(onair::OscReceiver::DefaultPort);
    }
    if (!parser.parse(args))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        result.exit = true;
        result.output = parser.helpText();
        if (const QString lacks = edition::lacks(); !lacks.isEmpty())
            result.output += QLatin1Char('\n') + lacks + QLatin1Char('\n');
        return result;
    }
    if (parser.isSet(version)) {
        result.exit = true;
        result.output = QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion()
            + QLatin1Char('\n');
        return result;
    }
    for (const QString &text : parser.values(port)) {
        QString error;
        const auto pin = serial::PortMap::parsePin(text, &error);
        if (!pin)
            return fail(QStringLiteral("--port %1: %2").arg(text, error));
        result.pins.push_back(*pin);
    }
    bool ok = false;
    const int ms = parser.value(debounce).toInt(&ok);
    if (!ok || ms < 0 || ms > 1000)
        return fail(QStringLiteral("--debounce-ms %1: takes 0 to 1000").arg(parser.value(debounce)));
    result.options.debounce = std::chrono::milliseconds(ms);
    result.options.mediaFolder = parser.value(mediaFolder);
    result.options.backupServer = parser.value(backupServer).trimmed();
    if (parser.isSet(backupServer) && result.options.backupServer.isEmpty())
        return fail(QStringLiteral("--backup-server takes a host"));
    result.restoreFile = parser.value(restore);
    result.logDir = parser.value(logDir);
    if ((parser.isSet(restore) && result.restoreFile.isEmpty()) || (parser.isSet(logDir) && result.logDir.isEmpty()))
        return fail(QStringLiteral("--restore and --log-dir take a path"));
    if (parser.isSet(status)) {
        QString error;
        result.status = StatusAddress::parse(parser.value(status), &error);
        if (!result.status)
            return fail(QStringLiteral("--status %1: %2").arg(parser.value(status), error));
    }
    if (parser.isSet(confirm)) {
        const uint udp = parser.value(confirm).toUInt(&ok);
        if (!ok || udp < 1 || udp > 65535)
            return fail(QStringLiteral("--confirm=%1: takes a UDP port, 1 to 65535").arg(parser.value(confirm)));
        result.confirm = quint16(udp);
    }
    const int deadline = parser.value(confirmMs).toInt(&ok);
    if (!ok || deadline < 40 || deadline > 10000)
        return fail(QStringLiteral("--confirm-ms %1: takes 40 to 10000").arg(parser.value(confirmMs)));
    result.confirmMs = std::chrono::milliseconds(deadline);
    if (parser.isSet(tally)) {
        result.tally = onair::Tally::Mode::parse(parser.value(tally));
        if (!result.tally)
            return fail(
                QStringLiteral("--tally %1: takes dtr or dtr:pulse=MS (MS 10 to 10000)").arg(parser.value(tally)));
    }
    if (parser.isSet(statusLabel)) {
        QString error;
        const auto site = SiteLabel::parse(parser.value(statusLabel), &error);
        if (!site)
            return fail(QStringLiteral("--status-label %1: %2").arg(parser.value(statusLabel), error));
        if (!result.status)
            return fail(QStringLiteral("--status-label takes effect only with --status"));
        result.statusSite = *site;
    }
    result.listPorts = parser.isSet(listPorts);
    result.realtime = parser.isSet(realtime);
    result.unattended = parser.isSet(unattended);
    result.exit = result.listPorts;
    return result;
}

} // namespace vantor::app
