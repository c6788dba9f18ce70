#pragma once

#include "linequeue.h"
#include "ttyport.h"

#include "serial/rfc2217/rfc2217server.h"
#include "serial/tty/linewatcher.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <poll.h>

// Serves one tty over Telnet Com Port Control (RFC 2217) to one client at a time, on one
// thread: poll() on the listening socket, the client, the tty, the line watcher's queue and a
// descriptor that says stop. Between events nothing runs: no timer, no polling of the lines
// (poll() has a time limit only while a connection that was told to go may still be read).
//
// Every change of CTS, DSR, CD and RI the watcher finds (interrupt counters, so a pulse shorter
// than one notice's trip gives both edges) becomes one NOTIFY-MODEMSTATE, in order, with the
// change bit of its line set. The tty's lines stay as they are when a client leaves.
//
// One client at a time, and the one served keeps its session: a newcomer (a port scan, a
// monitoring check, a second station, a program's probe) is refused while the client is alive,
// that is, it has sent something or answered the connection's keep-alive within SilentSeconds;
// a client silent longer than that is taken over. With Options::takeover every newcomer takes
// over, as a server that serves the last one to come. Whoever loses (a refused newcomer, a
// client taken over) is told why in a notice (rfc2217::notice) before its connection ends, and
// the log says so; refusals are logged at most once a second, with a count of the others.
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
        bool takeover = false; // a newcomer takes over from a live client
    };

    // What a client may hold us to: the bytes waiting for it (it is closed past this), the
    // bytes waiting for the tty (its input is not read past this), one read.
    static constexpr std::size_t MaxClientBacklog = 1 << 20;
    static constexpr std::size_t MaxDeviceBacklog = 64 << 10;
    static constexpr std::size_t ReadSize = 4096;
    // The client's connection: the first keep-alive probe after KeepIdleSeconds of quiet, then
    // one every KeepIntervalSeconds; a client that takes no data and answers no probe for
    // DeadPeerSeconds is dead (the kernel ends the connection).
    static constexpr unsigned KeepIdleSeconds = 4;
    static constexpr unsigned KeepIntervalSeconds = 2;
    static constexpr unsigned KeepProbes = 3;
    static constexpr unsigned DeadPeerSeconds = KeepIdleSeconds + KeepProbes * KeepIntervalSeconds;
    // A client not heard from for this long (no byte, no answer to the first probe) may be
    // taken over by a newcomer; one heard from sooner is alive and keeps its session.
    static constexpr unsigned SilentSeconds = KeepIdleSeconds + KeepIntervalSeconds;
    // Connections told why they end: each may take this long to read it and leave; at most
    // MaxLeaving of them wait (beyond that the oldest is closed at once).
    static constexpr std::chrono::milliseconds LeavingTime{2000};
    static constexpr std::size_t MaxLeaving = 8;

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
    using Clock = std::chrono::steady_clock;
    struct Leaving
    {
        int fd;
        Clock::time_point until;
    };

    void lineChanged(const vantor::serial::LineWatcher::Change &change);
    void accept();
    void readClient();
    bool writeClient();
    bool readDevice();
    void writeDevice();
    void deliverLines();
    void send(const vantor::serial::rfc2217::Bytes &bytes);
    void dropClient(const std::string &why);
    void readPendingClient();
    long clientSilentMs() const;
    void refuse(int fd, const std::string &name, long silentMs);
    void endClient(const std::string &why, const std::string &told);
    void letGo(int fd, const vantor::serial::rfc2217::Bytes &last);
    void drainLeaving(Clock::time_point now, const std::vector<pollfd> &fds, std::size_t first);
    int pollTimeout(Clock::time_point now) const;

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
    bool m_noModemLines = false;           // the tty has no modem lines to watch (told to each client)
    std::vector<Leaving> m_leaving;        // server thread: connections told why they end, oldest first
    Clock::time_point m_refusalLogged{};   // server thread: when a refusal was last logged
    unsigned m_refusalsUntold = 0;         // server thread: refusals since then, not logged
    std::atomic<bool> m_watchEnded{false}; // set by the watcher thread when the lines cannot be read
};
