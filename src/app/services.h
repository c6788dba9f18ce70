#pragma once

#include <QString>

#include <chrono>

namespace vantor {
class Prompter;
}
namespace vantor::serial {
class SerialPortService;
}
namespace vantor::playout {
class FileChooser;
}

namespace vantor::app {

// Everything outside the program that the window talks to. The program passes the real ones,
// tests pass fakes.
struct Services
{
    serial::SerialPortService &port;
    Prompter &prompter;
    playout::FileChooser &fileChooser;
};

// What the command line can change.
struct Options
{
    QString mediaFolder;                                    // --media-folder DIR
    std::chrono::milliseconds debounce{10};                 // --debounce-ms N
    quint16 casparPort = 5250;
};

} // namespace vantor::app
