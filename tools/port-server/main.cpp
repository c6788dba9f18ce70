// vantor-port-server: serves one local tty over Telnet Com Port Control (RFC 2217), reporting
// every change of its modem lines as the driver raises it. See its manual page.

#include "portserver.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr const char *Usage = R"(Usage: vantor-port-server [OPTION]... DEVICE
Serve the serial port DEVICE (ttyS1 or /dev/ttyS1) over RFC 2217 to one client at a time,
reporting every change of CTS, DSR, CD and RI as the driver raises it. A newcomer is refused
while the client served still answers (it has been heard from within 6 s).

  -l, --listen ADDRESS   numeric address to listen on (default 127.0.0.1)
  -p, --port PORT        TCP port (default 2217)
      --rts on|off       RTS at open (default on: contacts are fed from RTS)
      --dtr on|off       DTR at open (default on)
      --takeover         a newcomer takes over from the client served, live or not
  -h, --help             show this help and exit
  -v, --version          show the version and exit

Exit status: 0 stopped by a signal, 1 other failure, 2 the device cannot be opened.
)";

void log(const std::string &line)
{
    const std::string text = "vantor-port-server: " + line + "\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text.data(), text.size());
}

bool onOff(const char *text, bool &value)
{
    if (std::strcmp(text, "on") == 0 || std::strcmp(text, "off") == 0) {
        value = std::strcmp(text, "on") == 0;
        return true;
    }
    return false;
}

int usageError(const std::string &why)
{
    log(why + " (--help shows the usage)");
    return PortServer::Failed;
}

} // namespace

int main(int argc, char **argv)
{
    enum { RtsOption = 256, DtrOption, TakeoverOption };
    static const option Options[] = {{"listen", required_argument, nullptr, 'l'},
                                     {"port", required_argument, nullptr, 'p'},
                                     {"rts", required_argument, nullptr, RtsOption},
                                     {"dtr", required_argument, nullptr, DtrOption},
                                     {"takeover", no_argument, nullptr, TakeoverOption},
                                     {"help", no_argument, nullptr, 'h'},
                                     {"version", no_argument, nullptr, 'v'},
                                     {nullptr, 0, nullptr, 0}};
    PortServer::Options options;
    opterr = 0;
    for (int c; (c = ::getopt_long(argc, argv, "l:p:hv", Options, nullptr)) != -1;) {
        switch (c) {
        case 'l': options.listen = optarg; break;
        case 'p': {
            char *end = nullptr;
            const long port = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || port < 0 || port > 65535)
                return usageError(std::string("not a port number: ") + optarg);
            options.port = static_cast<std::uint16_t>(port);
            break;
        }
        case RtsOption:
            if (!onOff(optarg, options.rts))
                return usageError("--rts takes on or off");
            break;
        case DtrOption:
            if (!onOff(optarg, options.dtr))
                return usageError("--dtr takes on or off");
            break;
        case TakeoverOption: options.takeover = true; break;
        case 'h': std::fputs(Usage, stdout); return 0;
        case 'v': std::printf("vantor-port-server %s\n", VANTOR_VERSION); return 0;
        default: return usageError(std::string("unknown option or missing value: ") + argv[optind - 1]);
        }
    }
    if (optind != argc - 1)
        return usageError("give exactly one device");
    const std::string device = argv[optind];
    options.device = device.find('/') == std::string::npos ? "/dev/" + device : device;

    // SIGINT and SIGTERM end the server through its poll loop; SIGPIPE is not wanted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int stopFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

    PortServer server(options, log);
    if (const PortServer::Status status = server.open(); status != PortServer::Ok)
        return status;
    const PortServer::Status status = server.run(stopFd);
    log(status == PortServer::Ok ? "stopped" : "stopped after a failure");
    return status;
}
