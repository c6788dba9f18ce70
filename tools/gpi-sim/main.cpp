#include "contactserver.h"
#include "simwindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>

namespace {

struct Options
{
    quint16 port = 7000;
    ContactServer::Behaviour behaviour;
};

void describe()
{
    QCoreApplication::setApplicationName(QStringLiteral("vantor-gpi-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTOR_VERSION));
}

// --help and --version answer without a window (and without a display).
Options parse(int argc, char *argv[])
{
    QCoreApplication core(argc, argv);
    describe();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Contact simulator: a network serial port (RFC 2217) with a contact on each input."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("TCP port to serve on 127.0.0.1 (default 7000)."), QStringLiteral("N"),
                                  QStringLiteral("7000"));
    const QCommandLineOption delay(QStringLiteral("notify-delay-ms"),
                                   QStringLiteral("Report line changes this long after the first one (default 0)."),
                                   QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption noMaskAck(
        QStringLiteral("no-mask-ack"),
        QStringLiteral("Never acknowledge the modem-state and line-state masks, as some servers do."));
    parser.addOption(port);
    parser.addOption(delay);
    parser.addOption(noMaskAck);
    parser.process(core);

    Options options;
    bool portOk = false;
    bool delayOk = false;
    const uint number = parser.value(port).toUInt(&portOk);
    const int ms = parser.value(delay).toInt(&delayOk);
    if (!portOk || !delayOk || number == 0 || number > 65535 || ms < 0) {
        std::fprintf(stderr, "vantor-gpi-sim: invalid --port or --notify-delay-ms\n");
        std::exit(2);
    }
    options.port = quint16(number);
    options.behaviour.notifyDelayMs = ms;
    options.behaviour.acknowledgeMasks = !parser.isSet(noMaskAck);
    return options;
}

// Without a display Qt ends the program with abort() and advice to reinstall it. The one fatal
// message before there is a window is that one: say what is wrong, and end as for a bad value,
// as the listener does.
void noDisplay(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    std::fprintf(stderr,
                 "vantor-gpi-sim: no display to show the window on: DISPLAY or WAYLAND_DISPLAY is not set, "
                 "or that display does not let this user in. Start it from the desktop session.\n");
    std::fflush(stderr);
    std::_Exit(2);
}

} // namespace

int main(int argc, char *argv[])
{
    const Options options = parse(argc, argv);
    const QtMessageHandler standard = qInstallMessageHandler(noDisplay);
    QApplication app(argc, argv);
    qInstallMessageHandler(standard);
    describe();

    ContactServer server;
    server.setBehaviour(options.behaviour);
    if (!server.listen(QHostAddress::LocalHost, options.port)) {
        std::fprintf(stderr, "vantor-gpi-sim: cannot listen on 127.0.0.1:%u: %s\n", unsigned(options.port),
                     qPrintable(server.errorString()));
        return 1;
    }
    std::printf("vantor-gpi-sim: serving rfc2217://127.0.0.1:%u\n", unsigned(options.port));
    std::fflush(stdout);

    SimWindow window(server);
    window.show();
    return app.exec();
}
