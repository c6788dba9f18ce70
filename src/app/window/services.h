#pragma once

#include <QString>

#include <chrono>

namespace vantor {
class Prompter;
}
#include "serial/portdiscovery.h"

namespace vantor::serial {
class SerialPortService;
class PortMap;
class PortProbe;
} // namespace vantor::serial
namespace vantor::playout {
class FileChooser;
class CasparConnection;
} // namespace vantor::playout

namespace vantor::app {

// Everything outside the program that the window talks to. The program passes the real ones,
// tests pass fakes.
struct Services
{
    serial::SerialPortService &port;
    serial::PortMap &portMap;              // port numbers and the devices they stand for
    const serial::PortProbe &probe;        // can a port be opened now
    serial::PortEnumerator enumeratePorts; // every port the system knows
    Prompter &prompter;
    playout::FileChooser &fileChooser;
    playout::CasparConnection &caspar;
    playout::CasparConnection *casparBackup = nullptr; // --backup-server: the backup playout server
};

// What the command line can change.
struct Options
{
    QString mediaFolder;                    // --media-folder DIR
    std::chrono::milliseconds debounce{10}; // --debounce-ms N
    QString backupServer;                   // --backup-server HOST (or the set-up file's)
};

} // namespace vantor::app
