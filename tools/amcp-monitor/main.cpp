#include "amcpmonitor.h"
#include "oscplayout.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>
#include <optional>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantor-amcp-monitor"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTOR_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Listens like a playout server, answers each command and prints it with a time stamp."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("ADDR"),
                                    QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("TCP port (default 5250)."),
                                  QStringLiteral("N"), QStringLiteral("5250"));
    const QCommandLineOption clips(
        QStringLiteral("clips"),
        QStringLiteral("Comma-separated clip names that play; others fail with 404 (default: all play)."),
        QStringLiteral("LIST"));
    const QCommandLineOption osc(
        QStringLiteral("osc"),
        QStringLiteral("After a clip plays, send OSC like server VERSION (2.0.7, 2.1, 2.2 or 2.3) "
                       "to each client's address."),
        QStringLiteral("VERSION"));
    const QCommandLineOption oscRate(QStringLiteral("osc-rate"),
                                     QStringLiteral("OSC bundles a second per channel: 25 or 50."), QStringLiteral("N"),
                                     QStringLiteral("25"));
    const QCommandLineOption oscPort(QStringLiteral("osc-port"),
                                     QStringLiteral("UDP port of the clients (default 6250)."), QStringLiteral("N"),
                                     QStringLiteral("6250"));
    const QCommandLineOption oscFault(
        QStringLiteral("osc-fault"),
        QStringLiteral("Report clips that stall, are paused, or play on the next layer up: "
                       "stall, pause or other-layer."),
        QStringLiteral("FAULT"));
    parser.addOption(listen);
    parser.addOption(port);
    parser.addOption(clips);
    parser.addOptions({osc, oscRate, oscPort, oscFault});
    parser.process(app);

    const QHostAddress address(parser.value(listen));
    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (address.isNull() || !ok || portNumber > 65535) {
        std::fprintf(stderr, "vantor-amcp-monitor: invalid address or port\n");
        return 2;
    }
    AmcpMonitor monitor;
    if (parser.isSet(clips))
        monitor.setClips(parser.value(clips).split(QLatin1Char(','), Qt::SkipEmptyParts));
    if (!monitor.listen(address, quint16(portNumber))) {
        std::fprintf(stderr, "vantor-amcp-monitor: cannot listen on %s:%u: %s\n", qPrintable(address.toString()),
                     portNumber, qPrintable(monitor.errorString()));
        return 1;
    }
    OscPlayout playout;
    if (parser.isSet(osc)) {
        const auto version = OscPlayout::versionOf(parser.value(osc));
        const int rate = parser.value(oscRate).toInt();
        const uint udpPort = parser.value(oscPort).toUInt(&ok);
        const auto fault = parser.isSet(oscFault) ? OscPlayout::faultOf(parser.value(oscFault))
                                                  : std::optional(OscPlayout::Fault::None);
        if (!version || (rate != 25 && rate != 50) || !ok || udpPort == 0 || udpPort > 65535 || !fault) {
            std::fprintf(stderr, "vantor-amcp-monitor: invalid OSC version, rate, port or fault\n");
            return 2;
        }
        playout.setVersion(*version);
        playout.setRate(rate);
        playout.setFault(*fault);
        QObject::connect(
            &monitor, &AmcpMonitor::clientConnected, &playout,
            [&playout, udpPort](const QHostAddress &client) { playout.addTarget(client, quint16(udpPort)); });
        QObject::connect(&monitor, &AmcpMonitor::played, &playout,
                         [&playout, &monitor](const QHostAddress &, int channel, int layer, const QString &clip) {
                             playout.play(channel, layer, clip, monitor.fileOf(clip));
                         });
        QObject::connect(&monitor, &AmcpMonitor::loaded, &playout,
                         [&playout, &monitor](const QHostAddress &, int channel, int layer, const QString &clip) {
                             playout.loadBackground(channel, layer, clip, monitor.fileOf(clip));
                         });
        QObject::connect(&monitor, &AmcpMonitor::stopped, &playout,
                         [&playout](const QHostAddress &, int channel, int layer) { playout.clear(channel, layer); });
        playout.start();
    }
    std::printf("vantor-amcp-monitor: listening on %s:%u\n", qPrintable(address.toString()), monitor.port());
    std::fflush(stdout);

    const auto stamp = [] {
        return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toUtf8();
    };
    // What a client sent goes to the terminal escaped: its bytes cannot steer the terminal.
    QObject::connect(&monitor, &AmcpMonitor::received, &app,
                     [stamp](const QString &peer, const QByteArray &line, const QByteArray &reply) {
                         std::printf("%s  %s  %s  -> %s\n", stamp().constData(), qPrintable(peer),
                                     AmcpMonitor::printable(line).constData(),
                                     AmcpMonitor::printable(reply.left(reply.indexOf('\r'))).constData());
                         std::fflush(stdout);
                     });
    QObject::connect(&monitor, &AmcpMonitor::dropped, &app, [stamp](const QString &peer, qint64 size) {
        std::printf("%s  %s  (line of %lld bytes dropped unanswered: longer than %lld)\n", stamp().constData(),
                    qPrintable(peer), static_cast<long long>(size), static_cast<long long>(AmcpMonitor::MaxLine));
        std::fflush(stdout);
    });
    return app.exec();
}
