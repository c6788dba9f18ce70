#include "amcpmonitor.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

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
    parser.addOption(listen);
    parser.addOption(port);
    parser.addOption(clips);
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
