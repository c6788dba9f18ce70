#pragma once

#include "app/monitor/statusaddress.h"
#include "app/window/services.h"

#include "onair/onairrule.h"
#include "onair/tally.h"
#include "serial/system/portmap.h"

#include <QStringList>

#include <chrono>
#include <optional>
#include <vector>

namespace vantor::app {

// What the command line asks for.
struct CommandLine
{
    Options options;
    std::vector<serial::PortMap::Pin> pins; // --port N=DEVICE
    bool listPorts = false;                 // --list-ports
    QString restoreFile;                    // --restore FILE
    QString logDir;                         // --log-dir DIR
    bool realtime = false;                  // --realtime
    bool unattended = false;                // --unattended
    std::optional<StatusAddress> status;    // --status ADDRESS:PORT
    QString statusSite;                     // --status-label site=NAME; empty for none
    std::optional<quint16> confirm;         // --confirm[=PORT]: on-air confirmation; none: the set-up file's
    std::chrono::milliseconds confirmMs{onair::OnAirRule::DefaultDeadline}; // --confirm-ms N
    std::optional<onair::Tally::Mode> tally;                                // --tally dtr|dtr:pulse=MS
    bool exit = false; // --help, --version, --list-ports or an error
    int exitCode = 0;
    QString output; // what to print before exiting

    // Reads the arguments (argv[0] included).
    static CommandLine parse(const QStringList &arguments);
};

} // namespace vantor::app
