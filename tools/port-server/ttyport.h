#pragma once

#include "serial/rfc2217/rfc2217server.h"

#include <cstdint>
#include <functional>
#include <string>

#include <termios.h>

// The served tty: opened raw and exclusive, its settings and output lines set as the client
// asks. Linux only.
class TtyPort : public vantor::serial::rfc2217::PortControl
{
public:
    using Log = std::function<void(const std::string &)>;
    // Runs a change of the settings where nothing waits in the driver (the line watcher pauses:
    // tcsetattr can switch the 8250's modem-status interrupt off under a waiting thread).
    using Guard = std::function<void(const std::function<void()> &)>;

    TtyPort(std::string path, Log log);
    ~TtyPort() override;
    TtyPort(const TtyPort &) = delete;
    TtyPort &operator=(const TtyPort &) = delete;

    // Opens the device raw (CLOCAL, no flow control), with RTS and DTR as given. False with
    // the reason in error when it cannot.
    bool open(bool rts, bool dtr, std::string &error);
    int fd() const { return m_fd; }
    const std::string &path() const { return m_path; }
    void setGuard(Guard guard) { m_guard = std::move(guard); }
    // Called with the purge's code, so that the server drops what it holds for the device too.
    void setPurgeHook(std::function<void(std::uint8_t)> hook) { m_purgeHook = std::move(hook); }

    std::uint32_t setBaudRate(std::uint32_t baud) override;
    std::uint8_t setDataSize(std::uint8_t size) override;
    std::uint8_t setParity(std::uint8_t parity) override;
    std::uint8_t setStopSize(std::uint8_t size) override;
    std::uint8_t setControl(std::uint8_t value) override;
    void purge(std::uint8_t which) override;
    std::uint8_t modemLevels() const override { return m_levels; }
    // The server thread tells the levels as of the last change it has handed on.
    void setModemLevels(std::uint8_t levels) { m_levels = levels; }

private:
    bool settings(termios &t) const;
    void apply(const termios &t);
    bool setLine(int bit, bool on);
    bool line(int bit) const;
    void complain(const std::string &what, int error);

    const std::string m_path;
    const Log m_log;
    Guard m_guard;
    std::function<void(std::uint8_t)> m_purgeHook;
    int m_fd = -1;
    // What the client last asked of RTS and DTR: the answer where the tty has no modem lines
    // (a pseudo-terminal). Server thread only, like everything here.
    bool m_rts = true;
    bool m_dtr = true;
    bool m_break = false;
    std::uint8_t m_levels = 0;
    bool m_complained = false; // one log line for a tty without modem lines
};
