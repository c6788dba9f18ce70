#include "contactserver.h"
#include "simwindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vantor-gpi-sim"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Contact simulator: a network serial port (RFC 2217) with a contact on each input."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("TCP port to serve on 127.0.0.1 (default 7000)."),
                                  QStringLiteral("N"), QStringLiteral("7000"));
    const QCommandLineOption delay(QStringLiteral("notify-delay-ms"),
                                   QStringLiteral("Report line changes this long after the first one (default 0)."),
                                   QStringLiteral("MS"), QStringLiteral("0"));
    parser.addOption(port);
    parser.addOption(delay);
    parser.process(app);

    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber == 0 || portNumber > 65535) {
        std::fprintf(stderr, "vantor-gpi-sim: invalid port: %s\n", qPrintable(parser.value(port)));
        return 2;
    }
    ContactServer server;
    ContactServer::Behaviour behaviour;
    behaviour.notifyDelayMs = parser.value(delay).toInt();
    server.setBehaviour(behaviour);
    if (!server.listen(QHostAddress::LocalHost, quint16(portNumber))) {
        std::fprintf(stderr, "vantor-gpi-sim: cannot listen on 127.0.0.1:%u: %s\n", portNumber,
                     qPrintable(server.errorString()));
        return 1;
    }
    std::printf("vantor-gpi-sim: serving rfc2217://127.0.0.1:%u\n", portNumber);
    std::fflush(stdout);

    SimWindow window(server);
    window.show();
    return app.exec();
}
