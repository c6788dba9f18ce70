#pragma once

#include "linequeue.h"
#include "ttyport.h"

#include "serial/rfc2217/rfc2217server.h"
#include "serial/tty/linewatcher.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Serves one tty over Telnet Com Port Control (RFC 2217) to one client at a time, on one
// thread: poll() on the listening socket, the client, the tty, the line watcher's queue and a
// descriptor that says stop. Between events nothing runs: no timer, no polling of the lines.
//
// Every change of CTS, DSR, CD and RI the watcher finds (interrupt counters, so a pulse shorter
// than one notice's trip gives both edges) becomes one NOTIFY-MODEMSTATE, in order, with the
// change bit of its line set. A new client takes over from the old one, which is closed; the
// tty's lines stay as they are when a client leaves.
class PortServer
{
public:
    using Log = std::function<void(const std::string &)>;

    struct Options
    {
        std::string device;               // a path
        std::string listen = "127.0.0.1"; // a numeric IPv4 or IPv6 address
        std::uint16_t port = 2217;        // 0: any free one
        bool rts = true;
        bool dtr = true;
    };

    // What a client may hold us to: the bytes waiting for it (it is closed past this), the
    // bytes waiting for the tty (its input is not read past this), one read.
    static constexpr std::size_t MaxClientBacklog = 1 << 20;
    static constexpr std::size_t MaxDeviceBacklog = 64 << 10;
    static constexpr std::size_t ReadSize = 4096;
    // A client whose connection takes no data and answers no keep-alive for this long is dead.
    static constexpr unsigned DeadPeerSeconds = 10;

    enum Status { Ok = 0, Failed = 1, DeviceFailed = 2 };

    PortServer(Options options, Log log);
    ~PortServer();
    PortServer(const PortServer &) = delete;
    PortServer &operator=(const PortServer &) = delete;

    // Opens the device and starts watching its lines, then listens. DeviceFailed or Failed
    // with a line in the log when it cannot.
    Status open();
    std::uint16_t port() const { return m_port; }
    // Serves until stopFd becomes readable (Ok) or the device is lost (Failed).
    Status run(int stopFd);

private:
    struct Client;

    void lineChanged(const vantor::serial::LineWatcher::Change &change);
    void accept();
    void readClient();
    bool writeClient();
    bool readDevice();
    void writeDevice();
    void deliverLines();
    void send(const vantor::serial::rfc2217::Bytes &bytes);
    void dropClient(const std::string &why);

    const Options m_options;
    const Log m_log;
    TtyPort m_tty;     // server thread only, but for the watcher's pauses
    LineQueue m_queue; // watcher thread to server thread
    std::unique_ptr<vantor::serial::LineWatcher> m_watcher;
    std::uint8_t m_levels = 0; // watcher thread: the modem levels as of the last change
    int m_listenFd = -1;
    std::uint16_t m_port = 0;
    std::unique_ptr<Client> m_client;      // server thread
    std::string m_toDevice;                // server thread: bytes from the client not yet written
    std::size_t m_merged = 0;              // server thread: line changes merged in the full queue
    bool m_lost = false;                   // server thread: the tty is gone
    std::atomic<bool> m_watchEnded{false}; // set by the watcher thread when the lines cannot be read
};
